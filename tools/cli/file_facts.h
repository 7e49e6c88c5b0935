#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

namespace tacetra_cli {

// What the program keeps of a file from before a job reads it: its dates
// (reading may move the access time), its permissions and owner, and what
// tells whether it changed meanwhile.
struct file_facts {
  bool regular = false;
  std::int64_t size = 0;
  std::int64_t modified_s = 0;
  long modified_ns = 0;
  std::int64_t accessed_s = 0;
  long accessed_ns = 0;
  unsigned mode = 0;  // the permission bits, set-id and sticky bits included
  long owner = -1;
  long group = -1;
  std::uint64_t device = 0;  // the filesystem that holds it
};

// Follows symbolic links.
std::optional<file_facts> facts_of(const std::string& path, std::error_code& error);

// Gives `path` the modification and access times of `from`.
bool give_dates(const std::string& path, const file_facts& from, std::error_code& error);

// Gives `path` the permission bits of `from` and, as far as the user may,
// its owner and group.
bool give_mode_and_owner(const std::string& path, const file_facts& from, std::error_code& error);

// Moves `from` over `to` in one step, replacing it.
bool replace_file(const std::string& from, const std::string& to, std::error_code& error);

}  // namespace tacetra_cli
