#pragma once

#include <cstdint>
#include <string>

namespace tacetra_cli {

// Where a batch stands as a whole.
struct batch_tally {
  int done = 0;
  int failed = 0;     // failed or refused, up front or at the start
  int cancelled = 0;  // cancelled or skipped after an interrupt
  int left = 0;       // running or waiting
  // Input bytes copied so far, of those of every file done, running or
  // waiting: a file that fails leaves both.
  std::int64_t copied_bytes = 0;
  std::int64_t total_bytes = 0;
  int skipped = 0;  // nothing to do (no audio), or named twice
};

// One line about a batch: bar and percent of the bytes, the files done,
// failed and left, bytes copied of the total and time left, e.g.
//   [######..............]  30.0%  3 done, 1 failed, 5 left  12.0 MB / 40.0 MB  ETA 0:04
// The skipped and cancelled counts show only when there are any. `wall_ms` is how long
// the batch has been running.
std::string batch_line(const batch_tally& tally, std::int64_t wall_ms);

}  // namespace tacetra_cli
