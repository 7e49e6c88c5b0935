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
  std::uint64_t inode = 0;   // with `device`, the file itself
  // When its contents or attributes last changed, which no user can set
  // back; 0 where the system does not tell.
  std::int64_t changed_s = 0;
  long changed_ns = 0;
};

// Follows symbolic links.
std::optional<file_facts> facts_of(const std::string& path, std::error_code& error);
// Of the file open on `fd`.
std::optional<file_facts> facts_of(int fd, std::error_code& error);

// Gives `path` the modification and access times of `from`: on POSIX only a
// regular file of the program's own user, not reached through a link.
bool give_dates(const std::string& path, const file_facts& from, std::error_code& error);

}  // namespace tacetra_cli
