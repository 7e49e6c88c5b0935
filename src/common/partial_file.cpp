#include "common/partial_file.h"

#include <cerrno>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>

#include "platform/native_path.h"
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
#ifdef _WIN32
    // CREATE_NEW: msvcrt's fopen ignores "x". The name is read as FFmpeg,
    // which writes the file, reads it.
    const std::wstring wide = native_path(path_);
    if (wide.empty()) return false;
    const HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      exists_ = true;
      return true;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return false;  // a name that is taken: try the next
#else
    // "x": fails when the name exists, so nothing already there is opened.
    if (std::FILE* f = std::fopen(path_, "wbx")) {
      std::fclose(f);
      exists_ = true;
      return true;
    }
    if (errno != EEXIST) return false;  // a name that is taken: try the next
#endif
  }
  return false;
}

bool partial_file::commit(const char* final_path) {
#ifdef _WIN32
  const bool moved = MoveFileExW(native_path(path_).c_str(), native_path(final_path).c_str(),
                                 MOVEFILE_REPLACE_EXISTING) != 0;
#else
  const bool moved = std::rename(path_, final_path) == 0;
#endif
  if (moved) exists_ = false;
  return moved;
}

void partial_file::discard() {
  if (exists_) remove_file(path_);
  exists_ = false;
}

void remove_file(const char* path) {
#ifdef _WIN32
  DeleteFileW(native_path(path).c_str());
#else
  std::remove(path);
#endif
}

bool is_directory(const char* path) {
#ifdef _WIN32
  const DWORD attributes = GetFileAttributesW(native_path(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
#else
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
#endif
}

}  // namespace tacetra
