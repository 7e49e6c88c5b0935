#include "common/absolute_path.h"

#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <libavformat/avio.h>
}

#include "common/local_files.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/native_path.h"
#else
#include <unistd.h>
#endif

namespace tacetra {
namespace {

bool copy(const char* text, char* out, std::size_t capacity) {
  const int length = std::snprintf(out, capacity, "%s", text);
  return length >= 0 && static_cast<std::size_t>(length) < capacity;
}

#ifdef _WIN32
// GetFullPathNameW of the UTF-8 name, back in UTF-8. A name that is not
// UTF-8 reaches FFmpeg's ANSI fallback as it is, and stays as it is.
bool full_name(const char* name, std::string& full) {
  const std::wstring wide = wide_from_utf8(name);
  if (wide.empty()) {
    full = name;
    return true;
  }
  const DWORD capacity = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (capacity == 0) return false;
  std::wstring full_wide(capacity, L'\0');
  const DWORD length = GetFullPathNameW(wide.c_str(), capacity, full_wide.data(), nullptr);
  if (length == 0 || length >= capacity) return false;
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, full_wide.data(), static_cast<int>(length),
                                        nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return false;
  full.assign(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, full_wide.data(), static_cast<int>(length), full.data(), bytes,
                      nullptr, nullptr);
  return true;
}
#else
bool full_name(const char* name, std::string& full) {
  if (name[0] == '/') {
    full = name;
    return true;
  }
  char cwd[4096];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return false;
  full = cwd;
  if (full.back() != '/') full += '/';
  full += name;
  return true;
}
#endif

}  // namespace

bool absolute_path(const char* path, char* out, std::size_t capacity) {
  const char* protocol = avio_find_protocol_name(path);
  if (protocol == nullptr || std::strcmp(protocol, "file") != 0) return copy(path, out, capacity);
  const char* name = ffmpeg_file_name(path);
  std::string full;
  try {
    if (!full_name(name, full)) return false;
    if (name != path) full.insert(0, path, static_cast<std::size_t>(name - path));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return copy(full.c_str(), out, capacity);
}

}  // namespace tacetra
