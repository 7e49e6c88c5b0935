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

// How Matroska names and types a cover: "cover.jpg" and its kin are the
// names players look for.
struct picture_file {
  AVCodecID codec;
  const char* name;
  const char* mimetype;
};
constexpr picture_file picture_files[] = {
    {AV_CODEC_ID_MJPEG, "cover.jpg", "image/jpeg"},
    {AV_CODEC_ID_PNG, "cover.png", "image/png"},
    {AV_CODEC_ID_BMP, "cover.bmp", "image/bmp"},
    {AV_CODEC_ID_GIF, "cover.gif", "image/gif"},
    {AV_CODEC_ID_WEBP, "cover.webp", "image/webp"},
};

// Matroska keeps a cover as an attached file, not as a track: `out`
// becomes an attachment whose bytes are the input's picture, named and
// typed as the input names it or else by its codec. A picture of a codec
// without a known type stays a one-frame video track, as FFmpeg's own copy
// writes it.
bool as_attached_file(const AVStream& in, AVStream& out) {
  const AVPacket& picture = in.attached_pic;
  if (picture.data == nullptr || picture.size <= 0) return true;
  const picture_file* known = nullptr;
  for (const picture_file& f : picture_files) {
    if (f.codec == in.codecpar->codec_id) known = &f;
  }
  if (known == nullptr && !(has_tag(in, "filename") && has_tag(in, "mimetype"))) return true;

  auto* bytes = static_cast<std::uint8_t*>(av_mallocz(picture.size + AV_INPUT_BUFFER_PADDING_SIZE));
  if (bytes == nullptr) return false;
  std::memcpy(bytes, picture.data, picture.size);
  av_freep(&out.codecpar->extradata);
  out.codecpar->extradata = bytes;
  out.codecpar->extradata_size = picture.size;
  out.codecpar->codec_type = AVMEDIA_TYPE_ATTACHMENT;
  out.disposition &= ~AV_DISPOSITION_ATTACHED_PIC;
  const int flags = AV_DICT_DONT_OVERWRITE;
  return known == nullptr || (av_dict_set(&out.metadata, "filename", known->name, flags) >= 0 &&
                              av_dict_set(&out.metadata, "mimetype", known->mimetype, flags) >= 0);
}

}  // namespace

bool keeps_stream(const AVStream& in) {
  if (in.codecpar->codec_type == AVMEDIA_TYPE_AUDIO) return false;
  // A stream the demuxer sets aside itself, such as the text track in which
  // MP4 and MOV keep chapters, delivers no packets; the muxer writes its own
  // from the chapters.
  if (in.discard == AVDISCARD_ALL) return false;
  return in.codecpar->codec_id != AV_CODEC_ID_NONE || is_named_attachment(in);
}

bool set_up_output_stream(const AVStream& in, AVStream& out, const AVOutputFormat& format,
                          bool cover_as_file) {
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

  // What players show and choose tracks by: language, title, handler name,
  // and the flags (default, forced, hearing impaired, attached picture, ...).
  if (av_dict_copy(&out.metadata, in.metadata, 0) < 0) return false;
  out.disposition = in.disposition;

  if ((in.disposition & AV_DISPOSITION_ATTACHED_PIC) && cover_as_file) return as_attached_file(in, out);
  return true;
}

bool covers_as_files(const AVFormatContext& input, const AVOutputFormat& format) {
  if (std::strcmp(format.name, "matroska") != 0) return false;
  for (unsigned i = 0; i < input.nb_streams; ++i) {
    const AVStream& st = *input.streams[i];
    if (keeps_stream(st) && st.codecpar->codec_type != AVMEDIA_TYPE_ATTACHMENT &&
        !(st.disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      return true;
    }
  }
  return false;
}

void mark_default_streams(AVFormatContext& output) {
  int streams_of[AVMEDIA_TYPE_NB] = {};
  bool has_default[AVMEDIA_TYPE_NB] = {};
  auto type_of = [](const AVStream& st) {
    const int type = st.codecpar->codec_type;
    return type >= 0 && type < AVMEDIA_TYPE_NB ? type : -1;
  };
  for (unsigned i = 0; i < output.nb_streams; ++i) {
    const AVStream& st = *output.streams[i];
    const int type = type_of(st);
    if (type < 0) continue;
    ++streams_of[type];
    if (st.disposition & AV_DISPOSITION_DEFAULT) has_default[type] = true;
  }
  for (unsigned i = 0; i < output.nb_streams; ++i) {
    AVStream& st = *output.streams[i];
    const int type = type_of(st);
    if (type < 0 || streams_of[type] < 2 || has_default[type] ||
        (st.disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      continue;
    }
    st.disposition |= AV_DISPOSITION_DEFAULT;
    has_default[type] = true;
  }
}

}  // namespace tacetra
