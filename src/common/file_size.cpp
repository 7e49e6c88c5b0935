#include "common/file_size.h"

#include <cstdio>

#include "common/local_files.h"

#ifdef _WIN32
#include "platform/native_path.h"
#endif

namespace tacetra {

std::int64_t file_size(const char* path) {
  path = ffmpeg_file_name(path);  // the file FFmpeg reads for this name
#ifdef _WIN32
  const std::wstring wide = native_path(path);
  std::FILE* f = wide.empty() ? nullptr : _wfopen(wide.c_str(), L"rb");
  if (f == nullptr) f = std::fopen(path, "rb");
#else
  std::FILE* f = std::fopen(path, "rb");
#endif
  if (f == nullptr) return 0;
  // 64-bit seek and tell: a plain long would cut sizes where long is 32 bits.
#ifdef _WIN32
  _fseeki64(f, 0, SEEK_END);
  const std::int64_t size = _ftelli64(f);
#else
  fseeko(f, 0, SEEK_END);
  const std::int64_t size = ftello(f);
#endif
  std::fclose(f);
  return size;
}

}  // namespace tacetra
