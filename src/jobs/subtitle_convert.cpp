#include "jobs/subtitle_convert.h"

#include <cstring>

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

namespace tacetra {
namespace {

// A decoded cue, freed whatever happens to it.
struct decoded_cue {
  AVSubtitle sub{};
  decoded_cue() = default;
  decoded_cue(const decoded_cue&) = delete;
  decoded_cue& operator=(const decoded_cue&) = delete;
  ~decoded_cue() { avsubtitle_free(&sub); }
};

bool is_styled(AVCodecID id) { return id == AV_CODEC_ID_ASS || id == AV_CODEC_ID_SSA; }

// The encoder reads its styles from an ASS header, which every text decoder
// makes (from the input's own header, or a default one).
bool copy_header(const AVCodecContext& from, AVCodecContext& to) {
  if (from.subtitle_header == nullptr || from.subtitle_header_size <= 0) return true;
  const auto size = static_cast<std::size_t>(from.subtitle_header_size);
  to.subtitle_header = static_cast<std::uint8_t*>(av_mallocz(size + 1));
  if (to.subtitle_header == nullptr) return false;
  std::memcpy(to.subtitle_header, from.subtitle_header, size);
  to.subtitle_header_size = from.subtitle_header_size;
  return true;
}

constexpr std::size_t kFirstBuffer = 64 * 1024;
constexpr std::size_t kLargestBuffer = 16 * 1024 * 1024;

}  // namespace

bool is_text_subtitle(AVCodecID id) {
  const AVCodecDescriptor* descriptor = avcodec_descriptor_get(id);
  return descriptor != nullptr && descriptor->type == AVMEDIA_TYPE_SUBTITLE &&
         (descriptor->props & AV_CODEC_PROP_TEXT_SUB) != 0;
}

std::vector<AVCodecID> text_subtitle_targets(AVCodecID from) {
  if (is_styled(from))
    return {AV_CODEC_ID_ASS, AV_CODEC_ID_MOV_TEXT, AV_CODEC_ID_SUBRIP, AV_CODEC_ID_WEBVTT};
  return {AV_CODEC_ID_SUBRIP, AV_CODEC_ID_MOV_TEXT, AV_CODEC_ID_ASS, AV_CODEC_ID_WEBVTT};
}

bool subtitle_converter::open(const AVStream& in, AVCodecID to) {
  const AVCodec* decoder = avcodec_find_decoder(in.codecpar->codec_id);
  const AVCodec* encoder = avcodec_find_encoder(to);
  if (decoder == nullptr || encoder == nullptr) return false;

  decoder_.reset(avcodec_alloc_context3(decoder));
  if (decoder_ == nullptr || avcodec_parameters_to_context(decoder_.get(), in.codecpar) < 0)
    return false;
  // The decoder times each cue from the packet's duration in this base.
  decoder_->pkt_timebase = in.time_base;
  if (avcodec_open2(decoder_.get(), decoder, nullptr) < 0) return false;

  encoder_.reset(avcodec_alloc_context3(encoder));
  if (encoder_ == nullptr || !copy_header(*decoder_, *encoder_)) return false;
  encoder_->time_base = in.time_base;
  // mov_text sizes its default font from the picture's height, as players do.
  encoder_->width = in.codecpar->width;
  encoder_->height = in.codecpar->height;
  if (avcodec_open2(encoder_.get(), encoder, nullptr) < 0) return false;

  time_base_ = in.time_base;
  buffer_.resize(kFirstBuffer);
  return true;
}

int subtitle_converter::output_parameters(AVCodecParameters& par) const {
  return avcodec_parameters_from_context(&par, encoder_.get());
}

subtitle_converter::result subtitle_converter::convert(AVPacket& packet) {
  decoded_cue cue;
  int got = 0;
  const int used = avcodec_decode_subtitle2(decoder_.get(), &cue.sub, &got, &packet);
  std::int64_t pts = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
  std::int64_t duration = packet.duration;
  const int stream_index = packet.stream_index;
  av_packet_unref(&packet);
  // A cue the decoder cannot read has no text to keep; the rest go on.
  if (used < 0 || got == 0 || cue.sub.num_rects == 0) return result::no_cue;

  // The encoders take cues that start at their pts.
  const AVRational millis{1, 1000};
  if (cue.sub.start_display_time > 0 && pts != AV_NOPTS_VALUE) {
    pts += av_rescale_q(cue.sub.start_display_time, millis, time_base_);
  }
  if (duration <= 0 && cue.sub.end_display_time > cue.sub.start_display_time &&
      cue.sub.end_display_time != UINT32_MAX) {
    duration =
        av_rescale_q(cue.sub.end_display_time - cue.sub.start_display_time, millis, time_base_);
  }
  cue.sub.end_display_time -= cue.sub.start_display_time;
  cue.sub.start_display_time = 0;

  int size = 0;
  for (;;) {
    size = avcodec_encode_subtitle(encoder_.get(), buffer_.data(), static_cast<int>(buffer_.size()),
                                   &cue.sub);
    if (size >= 0 || buffer_.size() >= kLargestBuffer) break;
    buffer_.resize(buffer_.size() * 2);  // a cue longer than any seen so far
  }
  if (size < 0) return result::failed;
  if (size == 0) return result::no_cue;

  if (av_new_packet(&packet, size) < 0) return result::failed;
  std::memcpy(packet.data, buffer_.data(), static_cast<std::size_t>(size));
  packet.pts = pts;
  packet.dts = pts;
  packet.duration = duration;
  packet.stream_index = stream_index;
  packet.flags |= AV_PKT_FLAG_KEY;
  return result::cue;
}

}  // namespace tacetra
