#pragma once

#include <cstddef>

namespace tacetra {

// A new file beside an output path that receives the output while it is
// written and takes the output's name only once complete, so that whatever
// stood at that name (a user's file, a symlink) is never truncated, and is
// replaced only by a finished output.
class partial_file {
 public:
  partial_file() = default;
  partial_file(const partial_file&) = delete;
  partial_file& operator=(const partial_file&) = delete;

  // Creates "<final_path>.part", or ".part1", ".part2", ... when taken,
  // never opening a file that already exists.
  bool create(const char* final_path);

  const char* path() const { return path_; }

  // Moves the file to `final_path`, replacing what is there.
  bool commit(const char* final_path);

  // Deletes the file unless it has been committed.
  void discard();

 private:
  static constexpr std::size_t capacity = 1200 + 16;
  char path_[capacity] = {};
  bool exists_ = false;
};

// Deletes the file at `path`, named as FFmpeg names it; a failure is ignored.
void remove_file(const char* path);

// True when `path` names an existing directory.
bool is_directory(const char* path);

}  // namespace tacetra
