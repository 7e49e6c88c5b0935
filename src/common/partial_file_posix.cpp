#ifndef _WIN32

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

#include "common/partial_file.h"

#ifndef O_PATH
#define O_PATH O_RDONLY  // a directory opened only to name files in it
#endif

namespace tacetra {
namespace {

// Creates "<stem>.part", or ".part1", ".part2", ... when taken, in the
// directory, naming it in `name`; the descriptor, or -1 with errno set.
// O_EXCL with O_NOFOLLOW: a name that exists, a symlink included, is never
// opened; the next name is tried instead.
template <std::size_t N>
int create_new(int directory_fd, const char* stem, char (&name)[N]) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!partial_file_name(name, N, stem, attempt)) {
      errno = ENAMETOOLONG;
      return -1;
    }
    const int fd = ::openat(directory_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;  // every name was taken: errno is EEXIST
}

// A file without a name in the directory, which only this descriptor
// reaches until it is linked in; -1 with errno set.
int create_unnamed(int directory_fd) {
  return ::openat(directory_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
}

// The errors of a kernel or file system without unnamed files, where a
// named partial file is made instead.
bool has_no_unnamed_files(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

// Gives the file open at `fd` the name `name` in the directory, failing
// with EEXIST when the name is taken, as O_EXCL does: the file's entry in
// /proc, or, where /proc is missing, the descriptor itself (which the
// kernel allows only to some).
int link_descriptor(int fd, int directory_fd, const char* name) {
  char own[32];
  std::snprintf(own, sizeof own, "/proc/self/fd/%d", fd);
  if (::linkat(AT_FDCWD, own, directory_fd, name, AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno != ENOENT) return -1;
  return ::linkat(fd, "", directory_fd, name, AT_EMPTY_PATH);
}

}  // namespace

partial_file::created partial_file::create(const char* final_path, naming how) {
  const char* slash = std::strrchr(final_path, '/');
  if (slash == nullptr || slash[1] == '\0') return created::failed;
  final_name_ = slash + 1;
  const std::string directory(final_path, slash == final_path ? 1 : slash - final_path);
  // The directory is held open: every later step names files in this one,
  // even if a path leading to it is changed meanwhile.
  directory_fd_ = ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (directory_fd_ < 0) return created::failed;
  struct stat at_output;
  if (::fstatat(directory_fd_, final_name_, &at_output, 0) == 0 && S_ISDIR(at_output.st_mode)) {
    return created::directory_at_output;
  }

  if (how == naming::unnamed_where_possible) {
    fd_ = create_unnamed(directory_fd_);
    unnamed_ = fd_ >= 0;
    if (fd_ < 0 && !has_no_unnamed_files(errno)) return created::failed;
  }
  if (!unnamed_) {
    fd_ = create_new(directory_fd_, final_name_, name_);
    // A name at the file system's limit leaves no room for the suffix.
    if (fd_ < 0 && errno == ENAMETOOLONG) fd_ = create_new(directory_fd_, "tacetra", name_);
    if (fd_ < 0) return created::failed;
    exists_ = true;
  }
  struct stat own;
  if (::fstat(fd_, &own) != 0) return created::failed;  // discarded with the object
  device_ = own.st_dev;
  inode_ = own.st_ino;
  // Before a byte is written: the copy of a private file is never readable
  // by others, not even while it is written.
  if (!take_attributes_of_replaced()) return created::failed;
  return created::ok;
}

int partial_file::write(const std::uint8_t* data, int size) {
  for (int left = size; left > 0;) {
    const ssize_t n = ::write(fd_, data, static_cast<std::size_t>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return AVERROR(errno);
    if (n == 0) return AVERROR(EIO);
    data += n;
    left -= static_cast<int>(n);
  }
  return size;
}

std::int64_t partial_file::seek(std::int64_t offset, int whence) {
  if (whence & AVSEEK_SIZE) {
    struct stat st;
    return ::fstat(fd_, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : AVERROR(errno);
  }
  const off_t position = ::lseek(fd_, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
  return position < 0 ? AVERROR(errno) : static_cast<std::int64_t>(position);
}

bool partial_file::take_attributes_of_replaced() {
  struct stat replaced;
  if (::fstatat(directory_fd_, final_name_, &replaced, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(replaced.st_mode)) {
    return true;  // a new file keeps the default permissions
  }
  struct stat own;
  if (::fstat(fd_, &own) == 0 && (own.st_uid != replaced.st_uid || own.st_gid != replaced.st_gid)) {
    (void)::fchown(fd_, replaced.st_uid, replaced.st_gid);  // allowed only to some
  }
  return ::fchmod(fd_, replaced.st_mode & 0777) == 0;
}

bool partial_file::finish() {
  // Again at the end, for a file whose permissions changed meanwhile.
  if (!take_attributes_of_replaced()) return false;
  struct stat own;
  if (::fsync(fd_) != 0 || ::fstat(fd_, &own) != 0) return false;
  size_ = own.st_size;
  return true;
}

bool partial_file::link_in() {
  const char* stem = final_name_;
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned long long bits = 0;
    if (::getrandom(&bits, sizeof bits, 0) != static_cast<ssize_t>(sizeof bits)) return false;
    const int length = std::snprintf(name_, name_capacity, ".%s.%016llx.part", stem, bits);
    const bool fits = length >= 0 && static_cast<std::size_t>(length) < name_capacity;
    if (fits && link_descriptor(fd_, directory_fd_, name_) == 0) return true;
    // A name at the file system's limit leaves no room for the suffix.
    if ((!fits || errno == ENAMETOOLONG) && stem == final_name_) {
      stem = "tacetra";
      continue;
    }
    if (!fits || errno != EEXIST) return false;
  }
  return false;
}

bool partial_file::is_still_named() const {
  struct stat named;
  return ::fstatat(directory_fd_, name_, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         static_cast<std::uint64_t>(named.st_dev) == device_ &&
         static_cast<std::uint64_t>(named.st_ino) == inode_;
}

bool partial_file::commit() {
  if (fd_ < 0) return false;
  if (unnamed_) {
    if (!link_in()) return false;
    unnamed_ = false;
    exists_ = true;
  }
  // Whoever may write the directory may have renamed something else to the
  // name since: only this very file is moved over the output.
  if (!exists_ || !is_still_named()) return false;
  if (::renameat(directory_fd_, name_, directory_fd_, final_name_) != 0) return false;
  exists_ = false;
  ::close(fd_);  // every byte is already durable
  fd_ = -1;
  return true;
}

bool partial_file::flush_name() {
  // A name lives in its directory, which is flushed on its own. The held
  // handle names the directory but cannot be flushed: the same directory is
  // opened through it.
  const int directory = ::openat(directory_fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return false;
  const bool flushed = ::fsync(directory) == 0;
  ::close(directory);
  return flushed;
}

void partial_file::discard() {
  if (exists_ && is_still_named()) ::unlinkat(directory_fd_, name_, 0);
  exists_ = false;
  if (fd_ >= 0) ::close(fd_);
  if (directory_fd_ >= 0) ::close(directory_fd_);
  fd_ = directory_fd_ = -1;
}

}  // namespace tacetra

#endif
