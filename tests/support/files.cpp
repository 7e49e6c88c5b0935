#include "files.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace fixtures {

namespace fs = std::filesystem;

bool exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

std::string read_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::set<std::string> names_in(const TempDir& dir) { return names_in(dir.path()); }

std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

}  // namespace fixtures
