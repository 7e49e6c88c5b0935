#include <cstdio>

#include "jobs/session.h"
#include "reports/bad_id.h"
#include "reports/fixed_point.h"
#include "reports/percent_done.h"
#include "tacetra.h"

namespace tacetra {

double percent_done(std::int32_t state, std::int64_t processed_ms, std::int64_t total_ms) {
  if (state == MUTE_DONE) return 100.0;
  const std::int64_t divisor = total_ms > 0 ? total_ms : 1;
  const double percent = static_cast<double>(processed_ms) * 100.0 / static_cast<double>(divisor);
  return percent > 100.0 ? 100.0 : percent;
}

}  // namespace tacetra

using namespace tacetra;

extern "C" TACETRA_API const char* tacetra_progress(int id) {
  mute_session* s = session_in_use(id);
  if (s == nullptr) return bad_id_json;
  // One acquire read of the state decides everything state-dependent.
  const std::int32_t state = load(s->state, std::memory_order_acquire);
  const std::int64_t processed_ms = load(s->processed_ms);
  const std::int64_t total_ms = load(s->total_ms);
  const std::int64_t packets = load(s->packets);
  const fixed_point percent(percent_done(state, processed_ms, total_ms), 1);
  std::snprintf(s->progress_json, sizeof s->progress_json,
                R"({"state":%d,"percent":%s,"processed_ms":%lld,"total_ms":%lld,"packets":%lld})",
                state, percent.text, static_cast<long long>(processed_ms),
                static_cast<long long>(total_ms), static_cast<long long>(packets));
  return s->progress_json;
}
