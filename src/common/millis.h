#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/avutil.h>
}

namespace tacetra {

// FFmpeg durations are microseconds; the library reports milliseconds,
// truncated toward zero, with "no value" reported as 0.
constexpr std::int64_t duration_ms(std::int64_t us) {
  return us == AV_NOPTS_VALUE ? 0 : us / 1000;
}

}  // namespace tacetra
