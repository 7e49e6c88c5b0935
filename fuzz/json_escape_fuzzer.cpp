// Random bytes and capacities through json_escape, checked against a plain
// model of its byte table and against the bounds its callers rely on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "reports/json_escape.h"

namespace {

// What json_escape must write: each byte by the table, stopping before the
// first byte (after the first) once the text is within two bytes of the end.
std::string model(const std::string& source, std::uint64_t capacity) {
  std::string out;
  for (std::size_t i = 0; i < source.size(); ++i) {
    if (i != 0 && out.size() + 2 >= capacity) break;
    const auto byte = static_cast<unsigned char>(source[i]);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += static_cast<char>(byte);
    } else if (byte >= 0x20) {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // The first two bytes choose the capacity (3 and up); the rest, up to the
  // first NUL, is the source.
  const std::uint64_t capacity = 3 + (static_cast<std::uint64_t>(data[0]) << 8 | data[1]) % 4096;
  const std::string source(reinterpret_cast<const char*>(data + 2),
                           strnlen(reinterpret_cast<const char*>(data + 2), size - 2));

  // A heap buffer of exactly `capacity` bytes: AddressSanitizer catches any
  // write past it. It starts filled with a byte the escape never writes last.
  std::vector<char> buffer(capacity, '\x01');
  tacetra::json_escape(source.c_str(), buffer.data(), capacity);

  const char* end = static_cast<const char*>(std::memchr(buffer.data(), '\0', capacity));
  check(end != nullptr);
  const std::string text(buffer.data(), static_cast<std::size_t>(end - buffer.data()));
  check(text.size() <= capacity - 1);
  check(text == model(source, capacity));

  // Backslashes only ever come in whole pairs, each before '"' or '\'.
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    check(byte >= 0x20);
    if (byte == '"') std::abort();  // a quote is always escaped, so seen at i + 1 only
    if (byte == '\\') {
      check(i + 1 < text.size());
      check(text[i + 1] == '"' || text[i + 1] == '\\');
      ++i;
    }
  }
  return 0;
}
