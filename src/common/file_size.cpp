#include "common/file_size.h"

#include <cstdio>

namespace tacetra {

std::int64_t file_size(const char* path) {
  std::FILE* f = std::fopen(path, "rb");
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
