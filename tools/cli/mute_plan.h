#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "display_name.h"
#include "start_refusal.h"

namespace tacetra_cli {

// One file of a mute command, as planned before anything is written.
struct planned_file {
  std::string name;      // as the user gave it, for the messages
  std::string in_path;   // what the job reads
  std::string out_path;  // where the copy goes; in place, the file itself
  bool in_place = false;
  std::int64_t size = 0;           // the input's size, 0 when unknown (a pipe)
  std::optional<refusal> refused;  // refused up front, before any job

  // The name as printed, control characters escaped.
  std::string shown_name() const { return display_name(name); }
  // "IN -> OUT", or "IN" alone for a file muted in place.
  std::string what() const {
    return in_place ? shown_name() : shown_name() + " -> " + display_name(out_path);
  }
};

// INPUT OUTPUT: refused up front when OUTPUT is INPUT itself.
planned_file plan_one(const std::string& in_path, const std::string& out_path);

// --to DIR: each file into DIR under its own name. Refused up front: a file
// whose output another file of the batch already takes, and one whose output
// would overwrite one of the inputs (the library sees only running jobs).
std::vector<planned_file> plan_into_directory(const std::string& dir, const std::vector<std::string>& files);

// --in-place: each file replaced by its copy; a link is followed to the file
// it names. Refused up front: what is not a regular file; skipped: a file
// named a second time, by the same name or another link to it.
std::vector<planned_file> plan_in_place(const std::vector<std::string>& files);

}  // namespace tacetra_cli
