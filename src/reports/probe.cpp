#include <cstdio>

extern "C" {
#include <libavutil/error.h>
}

#include "common/local_files.h"
#include "reports/json_escape.h"
#include "reports/probe_report.h"
#include "tacetra.h"

namespace tacetra {
char g_probe_json[PROBE_CAPACITY];
}

using namespace tacetra;

extern "C" TACETRA_API const char* tacetra_probe(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    std::snprintf(g_probe_json, PROBE_CAPACITY, "%s", R"({"ok":false,"error":"empty path"})");
    return g_probe_json;
  }
  input_context input;
  if (const int rc = open_local_input(path, input); rc < 0) {
    char message[128];
    av_strerror(rc, message, sizeof message);
    char escaped[256];
    json_escape(message, escaped, sizeof escaped);
    std::snprintf(g_probe_json, PROBE_CAPACITY, R"({"ok":false,"error":"open: %s"})", escaped);
    return g_probe_json;
  }
  if (avformat_find_stream_info(input.get(), nullptr) < 0) {
    input.reset();
    std::snprintf(g_probe_json, PROBE_CAPACITY, "%s", R"({"ok":false,"error":"no stream info"})");
    return g_probe_json;
  }
  // The report is complete before the input, whose names it copies, closes.
  format_probe_report(*input, path, g_probe_json);
  input.reset();
  return g_probe_json;
}
