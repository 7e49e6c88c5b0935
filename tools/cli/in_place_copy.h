#pragma once

#include <memory>
#include <string>

#include "file_facts.h"

namespace tacetra_cli {

// The muted copy of a file that is to replace it, made beside the file in a
// place of the program's own, and put in the file's place in one rename
// once complete, or removed.
//
// On POSIX systems the file is held open from the start, and the copy is
// written into a private directory (".tacetra-RANDOM", mode 0700) held open
// too: the job reads the file through its descriptor and writes through the
// directory's, so a name swapped in by someone else is never read, written
// or given attributes. The copy takes the file's owner, ACL, user.*
// attributes and mode through its own descriptor, and replaces the file
// only while the file is still the one opened, unchanged, and (on Linux,
// under a read lease) open for writing nowhere. Elsewhere the copy is a
// placeholder name beside the file, ".NAME.tacetra-PID-N.EXT".
class in_place_copy {
 public:
  // `original` is the file itself, not a link to it.
  explicit in_place_copy(std::string original);
  ~in_place_copy();  // removes the copy and its place unless it replaced the file
  in_place_copy(const in_place_copy&) = delete;
  in_place_copy& operator=(const in_place_copy&) = delete;

  // Takes hold of the file as it is now, before anything reads it: what it
  // is, its dates, owner and permissions. The reason when it cannot, or
  // nothing.
  std::string take_hold();
  // The facts taken by take_hold.
  const file_facts& original_facts() const;

  // Makes the place the copy is written to. The reason when it cannot, or
  // nothing.
  std::string make_place();
  // What the job reads and writes.
  const std::string& input_path() const;
  const std::string& copy_path() const;

  // Gives the copy the file's attributes (with `keep_dates` its dates too)
  // and moves it over the file, unless the file has changed since
  // take_hold. Returns why it did not, or nothing.
  std::string replace_original(bool keep_dates);

 private:
  struct place;  // what each platform keeps
  std::unique_ptr<place> place_;
};

}  // namespace tacetra_cli
