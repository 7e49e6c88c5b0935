#pragma once

// Appenders for building a report piece by piece, which costs a fraction of
// an snprintf of the same format. Each returns the position after what it
// wrote; the caller sizes the buffer for the whole text and adds the NUL.

#include <charconv>
#include <cstdint>
#include <cstring>

#include "reports/json_escape.h"

namespace tacetra {

template <std::size_t N>
char* put(char* out, const char (&literal)[N]) {
  std::memcpy(out, literal, N - 1);
  return out + N - 1;
}

// A decimal integer, as "%d" or "%lld" prints it.
template <class Integer>
char* put(char* out, char* end, Integer value) {
  return std::to_chars(out, end, value).ptr;
}

// A key and the integer that follows it, as `"key":%lld` prints them.
template <std::size_t N, class Integer>
char* put(char* out, char* end, const char (&key)[N], Integer value) {
  return put(put(out, key), end, value);
}

// `text` escaped for a JSON string, at the capacity of the text's field.
inline char* put_escaped(char* out, const char* text, std::uint64_t capacity) {
  json_escape(text, out, capacity);
  return out + std::strlen(out);
}

}  // namespace tacetra
