#include "progress_display.h"

#include <cstdio>

namespace tacetra_cli {

void progress_display::update(const std::string& line, std::int64_t wall_ms) {
  if (terminal_) {
    draw(line);
  } else if (wall_ms >= next_plain_ms_) {
    std::fprintf(stderr, "%s\n", line.c_str());
    next_plain_ms_ = wall_ms + 1000;
  }
}

void progress_display::finish(const std::string& line) {
  if (terminal_) {
    draw(line);
    end_line();
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
}

void progress_display::end_line() {
  if (drawn_length_ == 0) return;
  std::fputc('\n', stderr);
  drawn_length_ = 0;
}

void progress_display::clear() {
  if (drawn_length_ == 0) return;
  std::fprintf(stderr, "\r%s\r", std::string(drawn_length_, ' ').c_str());
  std::fflush(stderr);
  drawn_length_ = 0;
}

void progress_display::draw(std::string line) {
  const std::size_t length = line.size();
  // Blank out whatever a longer previous line left behind.
  if (length < drawn_length_) line.append(drawn_length_ - length, ' ');
  std::fprintf(stderr, "\r%s", line.c_str());
  std::fflush(stderr);
  drawn_length_ = length;
}

}  // namespace tacetra_cli
