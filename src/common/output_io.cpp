#include "common/output_io.h"

#include <cstdint>

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/version.h>
}

#include "common/partial_file.h"

namespace tacetra {
namespace {

// The buffer FFmpeg's own file protocol writes through.
constexpr int buffer_size = 32768;

#if LIBAVFORMAT_VERSION_MAJOR < 61
using write_data = std::uint8_t*;
#else
using write_data = const std::uint8_t*;
#endif

int write_packet(void* file, write_data data, int size) {
  return static_cast<partial_file*>(file)->write(data, size);
}

std::int64_t seek(void* file, std::int64_t offset, int whence) {
  return static_cast<partial_file*>(file)->seek(offset, whence);
}

}  // namespace

AVIOContext* new_output_io(partial_file& file) {
  auto* buffer = static_cast<unsigned char*>(av_malloc(buffer_size));
  if (buffer == nullptr) return nullptr;
  AVIOContext* io = avio_alloc_context(buffer, buffer_size, 1, &file, nullptr, write_packet, seek);
  if (io == nullptr) av_free(buffer);
  return io;
}

}  // namespace tacetra
