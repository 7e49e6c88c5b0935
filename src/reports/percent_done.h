#pragma once

#include <cstdint>

namespace tacetra {

// The progress report's percentage: 100.0 once done; otherwise processed over
// total (or over 1 when the input states no duration), at most 100.0.
double percent_done(std::int32_t state, std::int64_t processed_ms, std::int64_t total_ms);

}  // namespace tacetra
