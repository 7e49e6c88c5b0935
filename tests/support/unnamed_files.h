// Files this process holds open that have no name, as a job's partial file
// has while it is written where the file system allows it. Linux only: it
// reads the process's descriptors in /proc.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

namespace fixtures {

// Whether the file system of `dir` lets a file be created without a name.
bool has_unnamed_files(const std::string& dir);

// What each unnamed file open in the directory `dir` (a path without a
// trailing slash) is: its mode, owner and size among the rest.
std::vector<struct stat> unnamed_files_open_in(const std::string& dir);

}  // namespace fixtures
