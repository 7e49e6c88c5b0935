#include "common/file_size.h"

#include <cstdio>

#include "common/local_files.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/native_path.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tacetra {

#ifdef _WIN32
std::int64_t file_size(const char* path) {
  path = ffmpeg_file_name(path);  // the file FFmpeg reads for this name
  const std::wstring wide = native_path(path);
  // Devices and pipes are not opened: opening a pipe's end may wait for, or
  // take the place of, the reader it is meant for.
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!wide.empty() && GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
    if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return -1;
  }
  std::FILE* f = wide.empty() ? nullptr : _wfopen(wide.c_str(), L"rb");
  if (f == nullptr) f = std::fopen(path, "rb");
  if (f == nullptr) return 0;
  // 64-bit seek and tell: a plain long would cut sizes past 2 GiB.
  _fseeki64(f, 0, SEEK_END);
  const std::int64_t size = _ftelli64(f);
  std::fclose(f);
  return size;
}
#else
std::int64_t file_size(const char* path) {
  path = ffmpeg_file_name(path);  // the file FFmpeg reads for this name
  // Only a regular file is opened. Opening a FIFO waits for a writer, and
  // takes the place of the reader a writer is waiting for; its position
  // cannot be read anyway, nor can a device's or a socket's.
  struct stat st;
  if (::stat(path, &st) != 0) return 0;
  if (!S_ISREG(st.st_mode)) return -1;
  // Without blocking, and checked again once open: the name may have been
  // given to something else meanwhile.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  std::int64_t size = -1;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) size = ::lseek(fd, 0, SEEK_END);
  ::close(fd);
  return size;
}
#endif

}  // namespace tacetra
