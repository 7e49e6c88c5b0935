#include "units.h"

#include <cstdio>

namespace tacetra_cli {
namespace {

std::string hours_minutes_seconds(std::int64_t seconds) {
  char text[48];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return text;
}

std::string minutes_seconds(std::int64_t seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                static_cast<long long>(seconds % 60));
  return text;
}

}  // namespace

std::string format_clock(std::int64_t ms) {
  if (ms < 0) ms = 0;
  if (ms >= 3600 * 1000) return hours_minutes_seconds(ms / 1000);
  return minutes_seconds(ms / 1000) + "." + std::to_string(ms / 100 % 10);
}

std::string format_countdown(std::int64_t ms) {
  if (ms < 0) ms = 0;
  const std::int64_t seconds = (ms + 999) / 1000;
  return seconds >= 3600 ? hours_minutes_seconds(seconds) : minutes_seconds(seconds);
}

std::string format_size(std::int64_t bytes) {
  if (bytes < 1000) return std::to_string(bytes) + " B";
  const char* units[] = {"kB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes) / 1000.0;
  int unit = 0;
  while (value >= 1000.0 && unit < 3) {
    value /= 1000.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

}  // namespace tacetra_cli
