#include <cstdio>

extern "C" {
#include <libavformat/version.h>
}

#include "tacetra.h"

namespace {
constexpr char library_version[] = "1.0.0";
}

extern "C" TACETRA_API const char* tacetra_version(void) {
  // The libavformat numbers are those of the headers built against, fixed at
  // build time; the loaded FFmpeg is never asked.
  static char text[128];
  std::snprintf(text, sizeof text, "%s (libavformat %d.%d.%d)", library_version,
                LIBAVFORMAT_VERSION_MAJOR, LIBAVFORMAT_VERSION_MINOR, LIBAVFORMAT_VERSION_MICRO);
  return text;
}
