#include <cstdio>

extern "C" {
#include <libavformat/version.h>
}

#include "tacetra.h"

extern "C" TACETRA_API const char* tacetra_version(void) {
  // Both versions are those built with, fixed at build time: the library's
  // from its header, libavformat's from the headers compiled against. The
  // loaded FFmpeg is never asked.
  static char text[128];
  std::snprintf(text, sizeof text, "%d.%d.%d (libavformat %d.%d.%d)", TACETRA_VERSION_MAJOR,
                TACETRA_VERSION_MINOR, TACETRA_VERSION_PATCH, LIBAVFORMAT_VERSION_MAJOR,
                LIBAVFORMAT_VERSION_MINOR, LIBAVFORMAT_VERSION_MICRO);
  return text;
}
