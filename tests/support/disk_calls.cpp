#include "support/disk_calls.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <utility>

namespace fixtures {
namespace {

std::mutex& calls_mutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<DiskCall>& calls() {
  static std::vector<DiskCall> recorded;
  return recorded;
}

int next_write_back_error = 0;  // guarded by calls_mutex()

void record(DiskCall call) {
  std::lock_guard lock(calls_mutex());
  calls().push_back(std::move(call));
}

void record_sync(int fd, bool write_back) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return;
  const DiskCall::Kind kind = write_back            ? DiskCall::write_back
                              : S_ISDIR(st.st_mode) ? DiskCall::directory_sync
                                                    : DiskCall::file_sync;
  record({kind, static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), {}});
}

void record_name(const char* new_path) {
  const char* slash = std::strrchr(new_path, '/');
  record({DiskCall::name_change, 0, 0, slash == nullptr ? new_path : slash + 1});
}

// The C library's own function of that name.
template <class Function>
Function* next(const char* name) {
  return reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

std::vector<DiskCall> disk_calls() {
  std::lock_guard lock(calls_mutex());
  return calls();
}

void clear_disk_calls() {
  std::lock_guard lock(calls_mutex());
  calls().clear();
}

void mark_disk_calls(const std::string& text) { record({DiskCall::mark, 0, 0, text}); }

void fail_next_write_back(int error) {
  std::lock_guard lock(calls_mutex());
  next_write_back_error = error;
}

}  // namespace fixtures

using fixtures::record_name;
using fixtures::record_sync;

extern "C" {

int fsync(int fd) {
  static auto* real = fixtures::next<int(int)>("fsync");
  const int result = real(fd);
  if (result == 0) record_sync(fd, false);
  return result;
}

int fdatasync(int fd) {
  static auto* real = fixtures::next<int(int)>("fdatasync");
  const int result = real(fd);
  if (result == 0) record_sync(fd, false);
  return result;
}

int sync_file_range(int fd, off64_t offset, off64_t count, unsigned int flags) {
  static auto* real = fixtures::next<int(int, off64_t, off64_t, unsigned int)>("sync_file_range");
  {
    std::lock_guard lock(fixtures::calls_mutex());
    if (const int error = std::exchange(fixtures::next_write_back_error, 0)) {
      errno = error;
      return -1;
    }
  }
  const int result = real(fd, offset, count, flags);
  if (result == 0) record_sync(fd, true);
  return result;
}

int rename(const char* old_path, const char* new_path) noexcept {
  static auto* real = fixtures::next<int(const char*, const char*)>("rename");
  const int result = real(old_path, new_path);
  if (result == 0) record_name(new_path);
  return result;
}

int renameat(int old_dir, const char* old_path, int new_dir, const char* new_path) noexcept {
  static auto* real = fixtures::next<int(int, const char*, int, const char*)>("renameat");
  const int result = real(old_dir, old_path, new_dir, new_path);
  if (result == 0) record_name(new_path);
  return result;
}

int renameat2(int old_dir, const char* old_path, int new_dir, const char* new_path,
              unsigned int flags) noexcept {
  static auto* real =
      fixtures::next<int(int, const char*, int, const char*, unsigned int)>("renameat2");
  const int result = real(old_dir, old_path, new_dir, new_path, flags);
  if (result == 0) record_name(new_path);
  return result;
}

int linkat(int old_dir, const char* old_path, int new_dir, const char* new_path,
           int flags) noexcept {
  static auto* real = fixtures::next<int(int, const char*, int, const char*, int)>("linkat");
  const int result = real(old_dir, old_path, new_dir, new_path, flags);
  if (result == 0) record_name(new_path);
  return result;
}

}  // extern "C"
