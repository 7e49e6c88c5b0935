#include <cstdio>

#include "jobs/session.h"
#include "reports/bad_id.h"
#include "reports/json_escape.h"
#include "tacetra.h"

using namespace tacetra;

extern "C" TACETRA_API const char* tacetra_result(int id) {
  mute_session* s = session_in_use(id);
  if (s == nullptr) return bad_id_json;
  // One acquire read of the state: a final state comes with its figures.
  const std::int32_t state = load(s->state, std::memory_order_acquire);
  char escaped[2048];
  if (state == MUTE_FAILED) {
    json_escape(s->error, escaped, 512);
    std::snprintf(s->result_json, sizeof s->result_json,
                  R"({"state":%d,"ok":false,"error":"%s"})", state, escaped);
    return s->result_json;
  }
  json_escape(s->out_path, escaped, sizeof escaped);
  const std::int64_t out_size = load(s->out_size_bytes);
  const std::int64_t in_size = load(s->in_size_bytes);
  const std::int64_t total_ms = load(s->total_ms);
  const std::int64_t packets = load(s->packets);
  const std::int64_t elapsed_ms = load(s->elapsed_ms);
  const std::int64_t saved = in_size > out_size ? in_size - out_size : 0;
  std::snprintf(s->result_json, sizeof s->result_json,
                R"({"state":%d,"ok":%s,"out_path":"%s","out_size_bytes":%lld,"in_size_bytes":%lld,)"
                R"("bytes_saved":%lld,"duration_ms":%lld,"packets_written":%lld,"elapsed_ms":%lld})",
                state, state == MUTE_DONE ? "true" : "false", escaped,
                static_cast<long long>(out_size), static_cast<long long>(in_size),
                static_cast<long long>(saved), static_cast<long long>(total_ms),
                static_cast<long long>(packets), static_cast<long long>(elapsed_ms));
  return s->result_json;
}
