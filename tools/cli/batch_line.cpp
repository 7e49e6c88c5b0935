#include "batch_line.h"

#include <algorithm>
#include <cstdio>

#include "units.h"

namespace tacetra_cli {
namespace {

constexpr int bar_width = 20;

}  // namespace

std::string batch_line(const batch_tally& t, std::int64_t wall_ms) {
  std::string bar = "[" + std::string(bar_width, '?') + "]";
  char percent[16] = "    ?%";
  if (t.total_bytes > 0) {
    const double share =
        std::clamp(static_cast<double>(t.copied_bytes) / static_cast<double>(t.total_bytes), 0.0, 1.0);
    const int filled = static_cast<int>(share * bar_width);
    bar = "[" + std::string(filled, '#') + std::string(bar_width - filled, '.') + "]";
    std::snprintf(percent, sizeof percent, "%5.1f%%", share * 100.0);
  }

  std::string eta = "--";
  if (t.left == 0) {
    eta = format_countdown(0);
  } else if (t.copied_bytes > 0 && t.total_bytes > t.copied_bytes && wall_ms > 0) {
    // The bytes still to copy, at the rate so far.
    const double left = static_cast<double>(t.total_bytes - t.copied_bytes) * static_cast<double>(wall_ms) /
                        static_cast<double>(t.copied_bytes);
    eta = format_countdown(static_cast<std::int64_t>(left));
  }

  std::string files = std::to_string(t.done) + " done, ";
  if (t.skipped > 0) files += std::to_string(t.skipped) + " skipped, ";
  files += std::to_string(t.failed) + " failed, ";
  if (t.cancelled > 0) files += std::to_string(t.cancelled) + " cancelled, ";
  files += std::to_string(t.left) + " left";

  return bar + " " + percent + "  " + files + "  " + format_size(t.copied_bytes) + " / " +
         format_size(t.total_bytes) + "  ETA " + eta;
}

}  // namespace tacetra_cli
