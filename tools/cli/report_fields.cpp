#include "report_fields.h"

#include <charconv>
#include <string>

namespace tacetra_cli {
namespace {

// The text just after `"key":`, or nothing. An escaped quote inside a string
// value is preceded by a backslash, so it never matches a key.
std::optional<std::string_view> value_of(std::string_view report, std::string_view key) {
  const std::string pattern = "\"" + std::string(key) + "\":";
  const auto at = report.find(pattern);
  if (at == std::string_view::npos) return std::nullopt;
  return report.substr(at + pattern.size());
}

template <class T>
std::optional<T> parse_number(std::string_view report, std::string_view key) {
  const auto value = value_of(report, key);
  if (!value) return std::nullopt;
  T number{};
  const auto [end, error] = std::from_chars(value->data(), value->data() + value->size(), number);
  if (error != std::errc{}) return std::nullopt;
  return number;
}

}  // namespace

std::optional<std::int64_t> number_field(std::string_view report, std::string_view key) {
  return parse_number<std::int64_t>(report, key);
}

std::optional<double> decimal_field(std::string_view report, std::string_view key) {
  return parse_number<double>(report, key);
}

std::optional<std::string> string_field(std::string_view report, std::string_view key) {
  const auto value = value_of(report, key);
  if (!value || value->empty() || value->front() != '"') return std::nullopt;
  std::string text;
  for (std::size_t i = 1; i < value->size(); ++i) {
    const char c = (*value)[i];
    if (c == '"') return text;
    if (c == '\\' && i + 1 < value->size()) {
      text += (*value)[++i];
    } else {
      text += c;
    }
  }
  return std::nullopt;  // no closing quote
}

std::optional<bool> bool_field(std::string_view report, std::string_view key) {
  const auto value = value_of(report, key);
  if (!value) return std::nullopt;
  if (value->starts_with("true")) return true;
  if (value->starts_with("false")) return false;
  return std::nullopt;
}

}  // namespace tacetra_cli
