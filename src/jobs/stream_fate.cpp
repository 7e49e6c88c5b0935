#include "jobs/stream_fate.h"

#include <cstdint>
#include <cstdio>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mem.h>
}

#include "common/av_handles.h"
#include "jobs/output_stream.h"
#include "jobs/subtitle_convert.h"

namespace tacetra {
namespace {

#if LIBAVFORMAT_VERSION_MAJOR < 61
using write_data = std::uint8_t*;
#else
using write_data = const std::uint8_t*;
#endif

// Where a trial header goes: every byte is taken and dropped, and the
// position moves as in a file, so that a muxer that goes back to patch
// what it wrote behaves as it does on a real output.
struct null_sink {
  std::int64_t position = 0;
  std::int64_t size = 0;
};

int sink_write(void* opaque, write_data, int size) {
  auto& sink = *static_cast<null_sink*>(opaque);
  sink.position += size;
  if (sink.position > sink.size) sink.size = sink.position;
  return size;
}

std::int64_t sink_seek(void* opaque, std::int64_t offset, int whence) {
  auto& sink = *static_cast<null_sink*>(opaque);
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return sink.size;
    case SEEK_SET: break;
    case SEEK_CUR: offset += sink.position; break;
    case SEEK_END: offset += sink.size; break;
    default: return AVERROR(EINVAL);
  }
  if (offset < 0) return AVERROR(EINVAL);
  sink.position = offset;
  return offset;
}

// Whether a muxer of `format` writes its header for the kept video streams
// plus one more stream, which `add` sets up (none when `add` is null).
template <class SetUp>
bool muxer_takes(const AVOutputFormat& format, const std::vector<const AVStream*>& videos,
                 bool covers, SetUp* add) {
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, &format, nullptr, nullptr) < 0 || raw == nullptr)
    return false;
  output_context trial(raw);
  for (const AVStream* video : videos) {
    AVStream* out = avformat_new_stream(raw, nullptr);
    if (out == nullptr || !set_up_output_stream(*video, *out, format, covers)) return false;
  }
  if (add != nullptr) {
    AVStream* out = avformat_new_stream(raw, nullptr);
    if (out == nullptr || !(*add)(*out)) return false;
  }
  null_sink sink;
  constexpr int buffer_size = 4096;
  auto* buffer = static_cast<unsigned char*>(av_malloc(buffer_size));
  if (buffer == nullptr) return false;
  raw->pb = avio_alloc_context(buffer, buffer_size, 1, &sink, nullptr, sink_write, sink_seek);
  if (raw->pb == nullptr) {
    av_free(buffer);
    return false;
  }
  raw->flags |= AVFMT_FLAG_CUSTOM_IO;
  return avformat_write_header(raw, nullptr) >= 0;
}

// The first text format in `in`'s list of targets that this FFmpeg can
// write and the container takes; AV_CODEC_ID_NONE when there is none.
AVCodecID conversion_target(const AVStream& in, const AVOutputFormat& format,
                            const std::vector<const AVStream*>& videos, bool covers) {
  for (const AVCodecID target : text_subtitle_targets(in.codecpar->codec_id)) {
    if (target == in.codecpar->codec_id ||
        avformat_query_codec(&format, target, FF_COMPLIANCE_NORMAL) != 1) {
      continue;
    }
    subtitle_converter converter;
    if (!converter.open(in, target)) continue;
    auto converted = [&](AVStream& out) {
      out.time_base = in.time_base;
      return converter.output_parameters(*out.codecpar) >= 0;
    };
    if (muxer_takes(format, videos, covers, &converted)) return target;
  }
  return AV_CODEC_ID_NONE;
}

}  // namespace

std::vector<stream_fate> plan_streams(const AVFormatContext& input, const AVOutputFormat& format) {
  std::vector<stream_fate> fates(input.nb_streams);
  std::vector<const AVStream*> videos;
  bool others = false;
  for (unsigned i = 0; i < input.nb_streams; ++i) {
    const AVStream& in = *input.streams[i];
    if (!keeps_stream(in)) {
      fates[i].what = stream_fate::kind::dropped;
    } else if (in.codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      videos.push_back(&in);
    } else {
      others = true;
    }
  }
  // A container that refuses the video fails the job at its header whatever
  // becomes of the rest.
  const bool covers = covers_as_files(input, format);
  if (!others ||
      (!videos.empty() && !muxer_takes<bool(AVStream&)>(format, videos, covers, nullptr))) {
    return fates;
  }

  for (unsigned i = 0; i < input.nb_streams; ++i) {
    const AVStream& in = *input.streams[i];
    if (fates[i].what == stream_fate::kind::dropped ||
        in.codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
      continue;
    auto copied = [&](AVStream& out) { return set_up_output_stream(in, out, format, covers); };
    if (muxer_takes(format, videos, covers, &copied)) continue;
    const AVCodecID target = is_text_subtitle(in.codecpar->codec_id)
                                 ? conversion_target(in, format, videos, covers)
                                 : AV_CODEC_ID_NONE;
    fates[i] = target != AV_CODEC_ID_NONE
                   ? stream_fate{stream_fate::kind::converted, target}
                   : stream_fate{stream_fate::kind::left_out, AV_CODEC_ID_NONE};
  }
  return fates;
}

}  // namespace tacetra
