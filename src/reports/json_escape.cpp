#include "reports/json_escape.h"

#include <cstddef>
#include <cstring>

namespace tacetra {
namespace {

bool copied_as_is(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 0x20 && byte != '"' && byte != '\\';
}

constexpr std::uint64_t each_byte = 0x0101010101010101;
constexpr std::uint64_t high_bits = 0x8080808080808080;

// True when one of the eight bytes of `word` is below 0x20, '"' or '\'.
// (word - n * each_byte) & ~word & high_bits is non-zero exactly when some
// byte is below n, for n up to 0x80.
bool needs_escaping(std::uint64_t word) {
  const std::uint64_t quote = word ^ (each_byte * '"');
  const std::uint64_t backslash = word ^ (each_byte * '\\');
  const std::uint64_t found = ((word - each_byte * 0x20) & ~word) |
                              ((quote - each_byte) & ~quote) |
                              ((backslash - each_byte) & ~backslash);
  return (found & high_bits) != 0;
}

// How many of the first `limit` bytes at `p` are copied as they are,
// eight at a time while that lasts.
std::size_t plain_run(const char* p, std::size_t limit) {
  std::size_t run = 0;
  for (; run + 8 <= limit; run += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + run, sizeof word);
    if (needs_escaping(word)) break;
  }
  while (run < limit && copied_as_is(p[run])) ++run;
  return run;
}

}  // namespace

void json_escape(const char* source, char* destination, std::uint64_t capacity) {
  const char* const end = source + std::strlen(source);
  std::uint64_t length = 0;
  const char* p = source;
  while (p != end) {
    // Room for the largest output of one byte (an escape pair) and the NUL.
    if (p != source && length + 2 >= capacity) break;
    if (copied_as_is(*p)) {
      // The bytes copied as they are go out in one piece, cut where the
      // rule above would cut them one by one.
      const std::uint64_t room = length + 2 < capacity ? capacity - 2 - length : 1;
      const std::uint64_t left = static_cast<std::uint64_t>(end - p);
      const std::size_t run = 1 + plain_run(p + 1, (room < left ? room : left) - 1);
      std::memcpy(destination + length, p, run);
      length += run;
      p += run;
      continue;
    }
    if (*p == '"' || *p == '\\') {
      destination[length++] = '\\';
      destination[length++] = *p;
    }
    ++p;  // control bytes are dropped
  }
  destination[length] = '\0';
}

}  // namespace tacetra
