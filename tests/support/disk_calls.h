// The calls that put a file and its name on the disk, as the test program
// makes them: linked into a test program, this file's fsync, fdatasync,
// sync_file_range, rename, renameat, renameat2 and linkat stand in front of
// the C library's (which they then call), record each call in order, and
// can make the next sync_file_range fail. POSIX only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fixtures {

struct DiskCall {
  enum Kind {
    file_sync,       // fsync or fdatasync of a regular file
    directory_sync,  // fsync or fdatasync of a directory
    write_back,      // sync_file_range of a regular file
    name_change,     // a rename or a link; `name` is the new name's last part
    mark,            // mark_disk_calls; `name` is its text
  };
  Kind kind;
  std::uint64_t device = 0, inode = 0;  // of the file or directory synced
  std::string name;
};

// Every call recorded since the program started or the last clear.
std::vector<DiskCall> disk_calls();
void clear_disk_calls();

// Records a moment of the test's own among the calls.
void mark_disk_calls(const std::string& text);

// Makes the next sync_file_range fail with `error` instead of writing.
void fail_next_write_back(int error);

}  // namespace fixtures
