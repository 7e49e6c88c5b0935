#include "jobs/output_stream.h"

#include <cstdint>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
}

namespace tacetra {
namespace {

bool has_tag(const AVStream& st, const char* key) {
  return av_dict_get(st.metadata, key, nullptr, 0) != nullptr;
}

bool is_named_attachment(const AVStream& in) {
  return in.codecpar->codec_type == AVMEDIA_TYPE_ATTACHMENT && has_tag(in, "filename") &&
         has_tag(in, "mimetype");
}

// Side data that belongs to the whole stream: display matrix, HDR mastering
// and light levels, spherical and stereo mappings. Before libavformat 60.15
// (FFmpeg 6.1) it hangs on the stream; from then on it lies in the codec
// parameters, which avcodec_parameters_copy has already copied.
bool copy_stream_side_data([[maybe_unused]] const AVStream& in, [[maybe_unused]] AVStream& out) {
#if LIBAVFORMAT_VERSION_INT >= AV_VERSION_INT(60, 15, 100) && \
    LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 30, 100)
  return true;
#else
  for (int i = 0; i < in.nb_side_data; ++i) {
    const AVPacketSideData& entry = in.side_data[i];
    std::uint8_t* data = av_stream_new_side_data(&out, entry.type, entry.size);
    if (data == nullptr) return false;
    if (entry.size > 0) std::memcpy(data, entry.data, entry.size);
  }
  return true;
#endif
}

// The input's tag when the output format takes it for this codec: the
// format has no tag tables, or they name this codec by it, or they know
// neither the codec nor the tag. Otherwise 0, and the muxer picks its own.
// This keeps what players look for, such as the "hvc1" that Apple's
// players want of HEVC in MP4.
unsigned int output_codec_tag(const AVCodecParameters& in, const AVOutputFormat& format) {
  const unsigned int tag = in.codec_tag;
  if (tag == 0 || format.codec_tag == nullptr) return tag;
  const AVCodecID named = av_codec_get_id(format.codec_tag, tag);
  if (named == in.codec_id) return tag;
  unsigned int own = 0;
  if (named == AV_CODEC_ID_NONE && av_codec_get_tag2(format.codec_tag, in.codec_id, &own) == 0) {
    return tag;
  }
  return 0;
}

}  // namespace

bool keeps_stream(const AVStream& in) {
  if (in.codecpar->codec_type == AVMEDIA_TYPE_AUDIO) return false;
  return in.codecpar->codec_id != AV_CODEC_ID_NONE || is_named_attachment(in);
}

bool set_up_output_stream(const AVStream& in, AVStream& out, const AVOutputFormat& format) {
  if (avcodec_parameters_copy(out.codecpar, in.codecpar) < 0) return false;
  out.codecpar->codec_tag = output_codec_tag(*in.codecpar, format);
  out.time_base = in.time_base;
  if (!copy_stream_side_data(in, out)) return false;

  // Matroska writes a track's default frame duration from these, and
  // players take a track without one for variable rate.
  out.avg_frame_rate = in.avg_frame_rate;
  out.r_frame_rate = in.r_frame_rate;

  if (in.codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
    // The container's pixel shape (a MOV's pasp box, a Matroska display
    // size) wins over the bitstream's. Muxers read one or the other, and
    // refuse the two when they disagree, so both get it.
    const AVRational stated = in.sample_aspect_ratio;
    const AVRational sar = stated.num > 0 && stated.den > 0 ? stated : in.codecpar->sample_aspect_ratio;
    out.sample_aspect_ratio = sar;
    out.codecpar->sample_aspect_ratio = sar;
  }

  // An attached file (a subtitle font) is described by its stream's
  // metadata, its file name and type, without which muxers refuse it.
  if (in.codecpar->codec_type == AVMEDIA_TYPE_ATTACHMENT &&
      av_dict_copy(&out.metadata, in.metadata, 0) < 0) {
    return false;
  }
  return true;
}

}  // namespace tacetra
