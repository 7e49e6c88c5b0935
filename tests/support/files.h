// Bytes and names on disk, for tests that show what a job left behind.
#pragma once

#include <set>
#include <string>

#include "fixtures.h"

namespace fixtures {

// True for anything at `path`, a dangling symlink included.
bool exists(const std::string& path);

// The whole file; empty when it cannot be read.
std::string read_bytes(const std::string& path);

// Creates or truncates the file and writes `bytes` to it.
void write_bytes(const std::string& path, const std::string& bytes);

// The names in a directory, to show that a job left nothing behind.
std::set<std::string> names_in(const TempDir& dir);
std::set<std::string> names_in(const std::string& dir);

}  // namespace fixtures
