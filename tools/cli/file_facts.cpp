#include "file_facts.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#include <sys/utime.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace tacetra_cli {
namespace {

bool failed(std::error_code& error) {
  error.assign(errno, std::generic_category());
  return false;
}

}  // namespace

#ifdef _WIN32

std::optional<file_facts> facts_of(const std::string& path, std::error_code& error) {
  struct _stat64 st;
  if (_stat64(path.c_str(), &st) != 0) {
    failed(error);
    return std::nullopt;
  }
  file_facts f;
  f.regular = (st.st_mode & _S_IFMT) == _S_IFREG;
  f.size = st.st_size;
  f.modified_s = st.st_mtime;
  f.accessed_s = st.st_atime;
  f.mode = st.st_mode & (_S_IREAD | _S_IWRITE);
  f.device = static_cast<std::uint64_t>(st.st_dev);
  return f;
}

bool give_dates(const std::string& path, const file_facts& from, std::error_code& error) {
  struct __utimbuf64 times {
    from.accessed_s, from.modified_s
  };
  return _utime64(path.c_str(), &times) == 0 || failed(error);
}

bool give_mode_and_owner(const std::string& path, const file_facts& from, std::error_code& error) {
  return _chmod(path.c_str(), static_cast<int>(from.mode)) == 0 || failed(error);
}

bool replace_file(const std::string& from, const std::string& to, std::error_code& error) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0) return true;
  error.assign(static_cast<int>(GetLastError()), std::system_category());
  return false;
}

#else

std::optional<file_facts> facts_of(const std::string& path, std::error_code& error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    failed(error);
    return std::nullopt;
  }
  file_facts f;
  f.regular = S_ISREG(st.st_mode);
  f.size = st.st_size;
  f.modified_s = st.st_mtim.tv_sec;
  f.modified_ns = st.st_mtim.tv_nsec;
  f.accessed_s = st.st_atim.tv_sec;
  f.accessed_ns = st.st_atim.tv_nsec;
  f.mode = st.st_mode & 07777;
  f.owner = static_cast<long>(st.st_uid);
  f.group = static_cast<long>(st.st_gid);
  f.device = static_cast<std::uint64_t>(st.st_dev);
  return f;
}

bool give_dates(const std::string& path, const file_facts& from, std::error_code& error) {
  const timespec times[2] = {{from.accessed_s, from.accessed_ns}, {from.modified_s, from.modified_ns}};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0 || failed(error);
}

bool give_mode_and_owner(const std::string& path, const file_facts& from, std::error_code& error) {
  // Only root may give a file away; anyone may give it a group they are
  // in. What cannot be given stays the user's, as with cp -p.
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return failed(error);
  if (static_cast<long>(st.st_uid) != from.owner || static_cast<long>(st.st_gid) != from.group) {
    if (chown(path.c_str(), static_cast<uid_t>(from.owner), static_cast<gid_t>(from.group)) != 0) {
      (void)!chown(path.c_str(), static_cast<uid_t>(-1), static_cast<gid_t>(from.group));
    }
  }
  // After chown, which clears the set-id bits.
  return chmod(path.c_str(), static_cast<mode_t>(from.mode)) == 0 || failed(error);
}

bool replace_file(const std::string& from, const std::string& to, std::error_code& error) {
  return std::rename(from.c_str(), to.c_str()) == 0 || failed(error);
}

#endif

}  // namespace tacetra_cli
