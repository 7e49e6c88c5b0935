#pragma once

#include <charconv>

namespace tacetra {

// The text of `value` with `decimals` digits after a full stop: the digits
// printf's "%.Nf" gives in the C locale, whatever locale the host has set.
struct fixed_point {
  fixed_point(double value, int decimals) {
    const auto end = std::to_chars(text, text + sizeof text - 1, value,
                                   std::chars_format::fixed, decimals).ptr;
    *end = '\0';
  }
  // Enough for any double with up to three decimals.
  char text[320];
};

}  // namespace tacetra
