#include "common/same_file.h"

#include <cstring>
#include <string>
#include <string_view>

#ifdef _WIN32
#include <windows.h>

#include "platform/native_path.h"
#else
#include <sys/stat.h>
#endif

namespace tacetra {
namespace {

#ifdef _WIN32
constexpr std::string_view separators = "/\\";

struct file_id {
  DWORD volume;
  DWORD index_high;
  DWORD index_low;
};

// Opens the path as FFmpeg reads it (see native_path) without asking for any
// access, which works on directories and on files open elsewhere.
bool identify(const char* path, file_id& id) {
  constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const std::wstring wide = native_path(path);
  HANDLE h = wide.empty() ? INVALID_HANDLE_VALUE
                          : CreateFileW(wide.c_str(), 0, share, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    h = CreateFileA(path, 0, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  }
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (ok) id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return ok;
}

bool same_id(const file_id& a, const file_id& b) {
  return a.volume == b.volume && a.index_high == b.index_high && a.index_low == b.index_low;
}

// Windows file names compare without regard to case, by the file system's
// own upper-case table rather than a language's rules.
bool same_name(std::string_view a, std::string_view b) {
  const std::wstring wide_a = wide_from_utf8(a);
  const std::wstring wide_b = wide_from_utf8(b);
  if (wide_a.empty() || wide_b.empty()) return a == b;
  return CompareStringOrdinal(wide_a.data(), static_cast<int>(wide_a.size()), wide_b.data(),
                              static_cast<int>(wide_b.size()), TRUE) == CSTR_EQUAL;
}
#else
constexpr std::string_view separators = "/";

using file_id = struct stat;

bool identify(const char* path, file_id& id) { return stat(path, &id) == 0; }

bool same_id(const file_id& a, const file_id& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool same_name(std::string_view a, std::string_view b) { return a == b; }
#endif

// The directory part of a path ("." for a bare name) and the name in it.
std::pair<std::string, std::string_view> split(std::string_view path) {
  const auto cut = path.find_last_of(separators);
  if (cut == std::string_view::npos) return {".", path};
  return {std::string(path.substr(0, cut == 0 ? 1 : cut)), path.substr(cut + 1)};
}

}  // namespace

bool same_file(const char* a, const char* b) {
  file_id id_a{}, id_b{};
  const bool has_a = identify(a, id_a);
  const bool has_b = identify(b, id_b);
  if (has_a && has_b) return same_id(id_a, id_b);
  if (has_a || has_b) return false;
  // Neither exists yet: compare the directories by identity and the names.
  const auto [dir_a, name_a] = split(a);
  const auto [dir_b, name_b] = split(b);
  if (!same_name(name_a, name_b)) return false;
  if (!identify(dir_a.c_str(), id_a) || !identify(dir_b.c_str(), id_b)) return dir_a == dir_b;
  return same_id(id_a, id_b);
}

}  // namespace tacetra
