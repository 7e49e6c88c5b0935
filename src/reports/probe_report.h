#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

namespace tacetra {

inline constexpr unsigned long long PROBE_CAPACITY = 65536;

extern char g_probe_json[PROBE_CAPACITY];

// Writes the success form of the probe report for an opened input whose
// stream information has been read into `out` (PROBE_CAPACITY bytes).
// `path` is measured for "size_bytes" while the input is still open.
void format_probe_report(const AVFormatContext& input, const char* path, char* out);

}  // namespace tacetra
