#include "job.h"

#include "report_fields.h"
#include "tacetra.h"

namespace tacetra_cli {

progress_report parse_progress(const std::string& text) {
  progress_report p;
  p.state = static_cast<int>(number_field(text, "state").value_or(-1));
  p.percent = decimal_field(text, "percent").value_or(0.0);
  p.processed_ms = number_field(text, "processed_ms").value_or(0);
  p.total_ms = number_field(text, "total_ms").value_or(0);
  p.packets = number_field(text, "packets").value_or(0);
  return p;
}

job::job(int id) : id_(id), started_(std::chrono::steady_clock::now()) {}

job::~job() { tacetra_free(id_); }

bool job::finished() const {
  const int state = tacetra_status(id_);
  return state == TACETRA_DONE || state == TACETRA_CANCELLED || state == TACETRA_FAILED;
}

progress_report job::progress() const { return parse_progress(tacetra_progress(id_)); }

std::string job::result() const { return tacetra_result(id_); }

void job::cancel() { tacetra_cancel(id_); }

std::int64_t job::wall_ms() const {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now() - started_).count();
}

}  // namespace tacetra_cli
