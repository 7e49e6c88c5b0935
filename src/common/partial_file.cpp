#include "common/partial_file.h"

#include <cerrno>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace tacetra {

bool partial_file::create(const char* final_path) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int length = attempt == 0
                           ? std::snprintf(path_, capacity, "%s.part", final_path)
                           : std::snprintf(path_, capacity, "%s.part%d", final_path, attempt);
    if (length < 0 || static_cast<std::size_t>(length) >= capacity) return false;
    // "x": fails when the name exists, so nothing already there is opened.
    if (std::FILE* f = std::fopen(path_, "wbx")) {
      std::fclose(f);
      exists_ = true;
      return true;
    }
    if (errno != EEXIST) return false;  // a name that is taken: try the next
  }
  return false;
}

bool partial_file::commit(const char* final_path) {
#ifdef _WIN32
  const bool moved = MoveFileExA(path_, final_path, MOVEFILE_REPLACE_EXISTING) != 0;
#else
  const bool moved = std::rename(path_, final_path) == 0;
#endif
  if (moved) exists_ = false;
  return moved;
}

void partial_file::discard() {
  if (exists_) std::remove(path_);
  exists_ = false;
}

bool is_directory(const char* path) {
#ifdef _WIN32
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
#else
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
#endif
}

}  // namespace tacetra
