#include "file_facts.h"

#include <sys/stat.h>

#include <cerrno>

#ifdef _WIN32
#include <io.h>
#include <sys/utime.h>
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

namespace {

file_facts facts_from(const struct _stat64& st) {
  file_facts f;
  f.regular = (st.st_mode & _S_IFMT) == _S_IFREG;
  f.size = st.st_size;
  f.modified_s = st.st_mtime;
  f.accessed_s = st.st_atime;
  f.mode = st.st_mode & (_S_IREAD | _S_IWRITE);
  f.device = static_cast<std::uint64_t>(st.st_dev);
  f.inode = static_cast<std::uint64_t>(st.st_ino);
  return f;
}

}  // namespace

std::optional<file_facts> facts_of(const std::string& path, std::error_code& error) {
  struct _stat64 st;
  if (_stat64(path.c_str(), &st) != 0) {
    failed(error);
    return std::nullopt;
  }
  return facts_from(st);
}

std::optional<file_facts> facts_of(int fd, std::error_code& error) {
  struct _stat64 st;
  if (_fstat64(fd, &st) != 0) {
    failed(error);
    return std::nullopt;
  }
  return facts_from(st);
}

bool give_dates(const std::string& path, const file_facts& from, std::error_code& error) {
  struct __utimbuf64 times {
    from.accessed_s, from.modified_s
  };
  return _utime64(path.c_str(), &times) == 0 || failed(error);
}

#else

namespace {

file_facts facts_from(const struct stat& st) {
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
  f.inode = static_cast<std::uint64_t>(st.st_ino);
  f.changed_s = st.st_ctim.tv_sec;
  f.changed_ns = st.st_ctim.tv_nsec;
  return f;
}

}  // namespace

std::optional<file_facts> facts_of(const std::string& path, std::error_code& error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    failed(error);
    return std::nullopt;
  }
  return facts_from(st);
}

std::optional<file_facts> facts_of(int fd, std::error_code& error) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    failed(error);
    return std::nullopt;
  }
  return facts_from(st);
}

bool give_dates(const std::string& path, const file_facts& from, std::error_code& error) {
  // Set through a descriptor of the finished copy, never through the name:
  // a link or another's file put at the name meanwhile is not touched.
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return failed(error);
  struct stat st;
  bool ours = fstat(fd, &st) == 0;
  if (ours && (!S_ISREG(st.st_mode) || st.st_uid != geteuid())) {
    errno = EPERM;
    ours = false;
  }
  const timespec times[2] = {{from.accessed_s, from.accessed_ns},
                             {from.modified_s, from.modified_ns}};
  const bool given = ours && futimens(fd, times) == 0;
  if (!given) failed(error);
  close(fd);
  return given;
}

#endif

}  // namespace tacetra_cli
