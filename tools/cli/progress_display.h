#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tacetra_cli {

// Shows a progress line on stderr: on a terminal one line drawn over and
// over in place, otherwise (a log, a pipe) a plain line every second.
class progress_display {
 public:
  explicit progress_display(bool terminal) : terminal_(terminal) {}
  progress_display(const progress_display&) = delete;
  progress_display& operator=(const progress_display&) = delete;

  // Called at every poll; `wall_ms` is the time since the work began.
  void update(const std::string& line, std::int64_t wall_ms);
  // Shows the last line whatever the time and ends it.
  void finish(const std::string& line);
  // Ends a line drawn in place, before some other text goes to stderr.
  void end_line();
  // Wipes a line drawn in place, so that a line written to stdout on the
  // same terminal starts clean; the next update draws it again.
  void clear();

 private:
  void draw(std::string line);

  bool terminal_;
  std::size_t drawn_length_ = 0;  // of the line now on the terminal
  std::int64_t next_plain_ms_ = 1000;
};

}  // namespace tacetra_cli
