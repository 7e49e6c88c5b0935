#include <charconv>
#include <cmath>

#include "jobs/session.h"
#include "reports/bad_id.h"
#include "reports/percent_done.h"
#include "reports/text_pieces.h"
#include "tacetra.h"

namespace tacetra {

double percent_done(std::int32_t state, std::int64_t processed_ms, std::int64_t total_ms) {
  if (state == MUTE_DONE) return 100.0;
  const std::int64_t divisor = total_ms > 0 ? total_ms : 1;
  const double percent = static_cast<double>(processed_ms) * 100.0 / static_cast<double>(divisor);
  return percent > 100.0 ? 100.0 : percent;
}

namespace {

// "%.1f". Rounding is monotonic and every n + 0.5 is a double, so the
// rounded product percent * 10 lies on the same side of each half as the
// exact one, unless it lands on a half: those values, and any outside 0 to
// 100, go to std::to_chars, which is exact like printf but slower.
char* put_percent(char* out, char* end, double percent) {
  if (percent >= 0.0 && percent <= 100.0 && !std::signbit(percent)) {
    const double tenths = percent * 10.0;
    const double whole = std::floor(tenths);
    const double fraction = tenths - whole;
    if (fraction != 0.5) {
      const auto rounded = static_cast<unsigned>(whole) + (fraction > 0.5 ? 1U : 0U);
      out = put(out, end, rounded / 10);
      *out++ = '.';
      *out++ = static_cast<char>('0' + rounded % 10);
      return out;
    }
  }
  return std::to_chars(out, end, percent, std::chars_format::fixed, 1).ptr;
}

}  // namespace
}  // namespace tacetra

using namespace tacetra;

extern "C" TACETRA_API const char* tacetra_progress(int id) {
  mute_session* s = session_in_use(id);
  if (s == nullptr) return bad_id_json;
  // One acquire read of the state decides everything state-dependent. The
  // text is built piece by piece with the bytes of {"state":%d,"percent":%.1f,
  // "processed_ms":%lld,"total_ms":%lld,"packets":%lld} in the C locale.
  const std::int32_t state = load(s->state, std::memory_order_acquire);
  // A job shown as not yet begun shows the figures it starts from, even if
  // its worker has begun since the state was read.
  const bool begun = state != MUTE_PENDING;
  const std::int64_t processed_ms = begun ? load(s->processed_ms) : 0;
  const std::int64_t total_ms = begun ? load(s->total_ms) : 0;
  const std::int64_t packets = begun ? load(s->packets) : 0;
  // Far shorter than the buffer, whatever the figures.
  char* out = s->progress_json;
  char* const end = s->progress_json + sizeof s->progress_json;
  out = put(out, end, R"({"state":)", state);
  out = put(out, R"(,"percent":)");
  out = put_percent(out, end, percent_done(state, processed_ms, total_ms));
  out = put(out, end, R"(,"processed_ms":)", processed_ms);
  out = put(out, end, R"(,"total_ms":)", total_ms);
  out = put(out, end, R"(,"packets":)", packets);
  out = put(out, "}");
  *out = '\0';
  return s->progress_json;
}
