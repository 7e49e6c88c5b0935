#pragma once

#include <cstddef>
#include <cstdint>

#include "job.h"

namespace tacetra_cli {

// Shows a job's progress on stderr: on a terminal one line drawn over and
// over in place, otherwise (a log, a pipe) a plain line every second.
class progress_display {
 public:
  explicit progress_display(bool terminal) : terminal_(terminal) {}
  progress_display(const progress_display&) = delete;
  progress_display& operator=(const progress_display&) = delete;

  // Called at every poll.
  void update(const progress_report& progress, std::int64_t wall_ms);
  // Shows the last state whatever the time and ends the line.
  void finish(const progress_report& progress, std::int64_t wall_ms);
  // Ends a line drawn in place, before some other text goes to stderr.
  void end_line();

 private:
  void draw(const progress_report& progress, std::int64_t wall_ms);

  bool terminal_;
  std::size_t drawn_length_ = 0;  // of the line now on the terminal
  std::int64_t next_plain_ms_ = 1000;
};

}  // namespace tacetra_cli
