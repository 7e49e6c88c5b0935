#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tacetra_cli {

// Reads one field of a report text from the library. Its forms are fixed and
// flat, and a path in them may hold bytes that are not UTF-8, so the fields
// are picked out directly rather than by a JSON parser that would refuse them.
std::optional<std::int64_t> number_field(std::string_view report, std::string_view key);
std::optional<double> decimal_field(std::string_view report, std::string_view key);
// A string field with the library's two escapes (\" and \\) undone.
std::optional<std::string> string_field(std::string_view report, std::string_view key);
std::optional<bool> bool_field(std::string_view report, std::string_view key);

}  // namespace tacetra_cli
