#pragma once

#include <cstdint>
#include <string>

namespace tacetra_cli {

// "4:05.3" (minutes, seconds, tenths), or "1:02:03" from an hour on.
std::string format_clock(std::int64_t ms);
// Whole seconds, rounded up: "0:07", "1:02:03".
std::string format_countdown(std::int64_t ms);
// "812 B", "4.2 kB", "31.0 MB", "1.5 GB".
std::string format_size(std::int64_t bytes);

}  // namespace tacetra_cli
