#pragma once

#include <cstdint>

namespace tacetra {

// Writes `source` into `destination` (of `capacity` bytes, at least 3) as the
// body of a JSON string: '"' and '\' get a backslash, control bytes 0x01-0x1F
// are dropped, every other byte is copied. A text that does not fit is cut
// before the first byte whose output (plus the NUL) might not fit, so an
// escape pair is never split. Always NUL-terminated.
void json_escape(const char* source, char* destination, std::uint64_t capacity);

}  // namespace tacetra
