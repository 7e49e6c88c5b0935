#include "progress_line.h"

#include <algorithm>
#include <cstdio>

#include "tacetra.h"
#include "units.h"

namespace tacetra_cli {
namespace {

constexpr int bar_width = 20;

std::string bar(double percent) {
  const int filled = std::clamp(static_cast<int>(percent / 100.0 * bar_width), 0, bar_width);
  return "[" + std::string(filled, '#') + std::string(bar_width - filled, '.') + "]";
}

}  // namespace

std::string progress_line(const progress_report& p, std::int64_t wall_ms) {
  // Without a known duration the library's percentage means nothing.
  const bool known_total = p.total_ms > 0 || p.state == TACETRA_DONE;
  char percent[16] = "    ?%";
  if (known_total) std::snprintf(percent, sizeof percent, "%5.1f%%", p.percent);

  char speed[32] = "--x";
  if (p.processed_ms > 0 && wall_ms > 0) {
    std::snprintf(speed, sizeof speed, "%.1fx",
                  static_cast<double>(p.processed_ms) / static_cast<double>(wall_ms));
  }

  std::string eta = "--";
  if (p.state == TACETRA_DONE) {
    eta = format_countdown(0);
  } else if (p.total_ms > 0 && p.processed_ms > 0 && wall_ms > 0) {
    // Media still to copy, at the speed so far.
    const double left = static_cast<double>(p.total_ms - p.processed_ms) *
                        static_cast<double>(wall_ms) / static_cast<double>(p.processed_ms);
    eta = format_countdown(static_cast<std::int64_t>(left));
  }

  return (known_total ? bar(p.percent) : "[" + std::string(bar_width, '?') + "]") + " " + percent +
         "  " + format_clock(p.processed_ms) + " / " +
         (p.total_ms > 0 ? format_clock(p.total_ms) : std::string("?")) + "  " +
         std::to_string(p.packets) + " packets  " + speed + "  ETA " + eta;
}

}  // namespace tacetra_cli
