#pragma once

// Owners for the FFmpeg objects the library opens, so that every way out of
// a function releases them, in the order their declarations give.

#include <memory>

extern "C" {
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

namespace tacetra {

struct input_closer {
  void operator()(AVFormatContext* ctx) const noexcept { avformat_close_input(&ctx); }
};
using input_context = std::unique_ptr<AVFormatContext, input_closer>;

// The output's I/O context is released before the context itself: one of
// the library's own (AVFMT_FLAG_CUSTOM_IO, see output_io.h) is freed, and
// what it still buffers dropped; one that FFmpeg opened is closed. A muxer
// with AVFMT_NOFILE owns no pb of ours.
struct output_deleter {
  void operator()(AVFormatContext* ctx) const noexcept {
    if (ctx->pb != nullptr && (ctx->flags & AVFMT_FLAG_CUSTOM_IO)) {
      av_freep(&ctx->pb->buffer);
      avio_context_free(&ctx->pb);
    } else if (ctx->pb != nullptr && !(ctx->oformat->flags & AVFMT_NOFILE)) {
      avio_closep(&ctx->pb);
    }
    avformat_free_context(ctx);
  }
};
using output_context = std::unique_ptr<AVFormatContext, output_deleter>;

struct packet_deleter {
  void operator()(AVPacket* pkt) const noexcept { av_packet_free(&pkt); }
};
using packet_ptr = std::unique_ptr<AVPacket, packet_deleter>;

struct av_deleter {
  void operator()(void* p) const noexcept { av_free(p); }
};
template <class T>
using av_array = std::unique_ptr<T[], av_deleter>;

}  // namespace tacetra
