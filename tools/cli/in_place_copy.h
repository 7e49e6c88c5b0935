#pragma once

#include <string>
#include <system_error>

#include "file_facts.h"

namespace tacetra_cli {

// The muted copy of a file that is to replace it: a name of the program's
// own beside the file, ".NAME.tacetra-PID-N.EXT", which keeps the file's
// extension (the copy's container follows from it). The copy replaces the
// file in one rename, or is removed.
class in_place_copy {
 public:
  // `original` is the file itself, not a link to it.
  explicit in_place_copy(std::string original) : original_(std::move(original)) {}
  ~in_place_copy();  // removes the copy unless it has replaced the original
  in_place_copy(const in_place_copy&) = delete;
  in_place_copy& operator=(const in_place_copy&) = delete;

  // Creates the copy's name as a new, empty file, never one that exists.
  bool reserve(std::error_code& error);
  const std::string& path() const { return path_; }

  // Gives the copy the original's permission bits and owner (and, with
  // `keep_dates`, its dates) and moves it over the original, unless the
  // original has changed since `before` was taken. Returns why it did not,
  // or nothing.
  std::string replace_original(const file_facts& before, bool keep_dates);

 private:
  std::string original_;
  std::string path_;
  bool owned_ = false;  // path_ is ours to remove
};

}  // namespace tacetra_cli
