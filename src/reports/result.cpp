#include <cstdint>

#include "jobs/session.h"
#include "reports/bad_id.h"
#include "reports/text_pieces.h"
#include "tacetra.h"

using namespace tacetra;

extern "C" TACETRA_API const char* tacetra_result(int id) {
  mute_session* s = session_in_use(id);
  if (s == nullptr) return bad_id_json;
  // One acquire read of the state: a final state comes with its figures.
  // The report is built piece by piece with the bytes of the formats quoted
  // below, in the C locale.
  const std::int32_t state = load(s->state, std::memory_order_acquire);
  // Either form, escaped text included, stays far shorter than the buffer.
  char* out = s->result_json;
  char* const end = s->result_json + sizeof s->result_json;
  out = put(out, end, R"({"state":)", state);
  if (state == MUTE_FAILED) {
    // {"state":%d,"ok":false,"error":"%s"}
    out = put(out, R"(,"ok":false,"error":")");
    out = put_escaped(out, s->error, 512);
    out = put(out, R"("})");
    *out = '\0';
    return s->result_json;
  }
  // {"state":%d,"ok":%s,"out_path":"%s","out_size_bytes":%lld,"in_size_bytes":%lld,
  //  "bytes_saved":%lld,"duration_ms":%lld,"packets_written":%lld,"elapsed_ms":%lld}
  // A job shown as not yet begun shows the figures it starts from, even if
  // its worker has begun since the state was read.
  const bool begun = state != MUTE_PENDING;
  const std::int64_t out_size = begun ? load(s->out_size_bytes) : 0;
  const std::int64_t in_size = load(s->in_size_bytes);
  const std::int64_t total_ms = begun ? load(s->total_ms) : 0;
  const std::int64_t packets = begun ? load(s->packets) : 0;
  const std::int64_t elapsed_ms = begun ? load(s->elapsed_ms) : 0;
  // Never negative. Real sizes are never below -1; only absurd figures (an
  // output size far below zero) could take the difference past the largest
  // figure, which is then what is shown.
  const std::int64_t saved = in_size <= out_size                                   ? 0
                             : out_size < 0 && in_size > INT64_MAX + out_size ? INT64_MAX
                                                                              : in_size - out_size;
  out = state == MUTE_DONE ? put(out, R"(,"ok":true,"out_path":")")
                           : put(out, R"(,"ok":false,"out_path":")");
  // Room for every byte of the longest path to take an escape.
  out = put_escaped(out, s->out_path, 2 * PATH_MAX_LENGTH + 1);
  out = put(out, end, R"(","out_size_bytes":)", out_size);
  out = put(out, end, R"(,"in_size_bytes":)", in_size);
  out = put(out, end, R"(,"bytes_saved":)", saved);
  out = put(out, end, R"(,"duration_ms":)", total_ms);
  out = put(out, end, R"(,"packets_written":)", packets);
  out = put(out, end, R"(,"elapsed_ms":)", elapsed_ms);
  out = put(out, "}");
  *out = '\0';
  return s->result_json;
}
