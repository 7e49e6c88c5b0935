#include "common/output_io.h"

#include <cstdint>

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/version.h>
}

#include "common/write_back.h"

namespace tacetra {
namespace {

// Eight times the buffer FFmpeg's own file protocol writes through: an
// eighth of the write calls, which on a 1 GiB Matroska copy took a sixth
// off its time. A write that fails may then surface at a later flush, the
// trailer's included.
constexpr int buffer_size = 256 * 1024;

#if LIBAVFORMAT_VERSION_MAJOR < 61
using write_data = std::uint8_t*;
#else
using write_data = const std::uint8_t*;
#endif

int write_packet(void* file, write_data data, int size) {
  return static_cast<write_back*>(file)->write(data, size);
}

std::int64_t seek(void* file, std::int64_t offset, int whence) {
  return static_cast<write_back*>(file)->seek(offset, whence);
}

}  // namespace

AVIOContext* new_output_io(write_back& file) {
  auto* buffer = static_cast<unsigned char*>(av_malloc(buffer_size));
  if (buffer == nullptr) return nullptr;
  AVIOContext* io = avio_alloc_context(buffer, buffer_size, 1, &file, nullptr, write_packet, seek);
  if (io == nullptr) av_free(buffer);
  return io;
}

}  // namespace tacetra
