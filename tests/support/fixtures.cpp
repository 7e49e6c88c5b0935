#include "fixtures.h"

#include "side_data.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/display.h>
#include <libavutil/error.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libavutil/stereo3d.h>
}

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <ostream>
#include <stdexcept>
#include <system_error>

namespace fixtures {
namespace {

static_assert(kNoTime == AV_NOPTS_VALUE);

[[noreturn]] void fail(const std::string& what, int err = 0) {
  std::string msg = "fixtures: " + what;
  if (err != 0) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, text, sizeof text);
    msg += ": ";
    msg += text;
  }
  throw std::runtime_error(msg);
}

int check(int ret, const std::string& what) {
  if (ret < 0) fail(what, ret);
  return ret;
}

template <typename T>
T* check_alloc(T* p, const char* what) {
  if (p == nullptr) fail(std::string("out of memory: ") + what);
  return p;
}

// ---------------------------------------------------------------------------
// Owners for FFmpeg objects.

struct CodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ParametersFree {
  void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
};
struct BufferUnref {
  void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};
struct DictionaryFree {
  void operator()(AVDictionary* d) const { av_dict_free(&d); }
};
struct InputClose {
  void operator()(AVFormatContext* ic) const { avformat_close_input(&ic); }
};
struct OutputFree {
  void operator()(AVFormatContext* oc) const {
    if (oc->pb != nullptr && (oc->oformat->flags & AVFMT_NOFILE) == 0) avio_closep(&oc->pb);
    avformat_free_context(oc);
  }
};

using CodecContext = std::unique_ptr<AVCodecContext, CodecContextFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;
using Parameters = std::unique_ptr<AVCodecParameters, ParametersFree>;
using Buffer = std::unique_ptr<AVBufferRef, BufferUnref>;
using Dictionary = std::unique_ptr<AVDictionary, DictionaryFree>;
using Input = std::unique_ptr<AVFormatContext, InputClose>;
using Output = std::unique_ptr<AVFormatContext, OutputFree>;

Packet new_packet() { return Packet(check_alloc(av_packet_alloc(), "packet")); }

void dict_set(Dictionary& d, const char* key, const char* value) {
  AVDictionary* raw = d.release();
  const int ret = av_dict_set(&raw, key, value, 0);
  d.reset(raw);
  check(ret, "setting an option");
}

// ---------------------------------------------------------------------------
// Payloads: the bytes of one packet, with the zeroed padding FFmpeg expects
// behind packet data. A track cycles through its payloads, so a long file can
// repeat a few encoded frames instead of encoding every one.

struct Payload {
  Buffer buf;
  int size = 0;
  bool key = true;
  int64_t pts_delay = 0;  // pts - dts in the track's time base (B-frame reordering)
};

Payload make_payload(const uint8_t* data, int size) {
  Payload p;
  p.buf.reset(check_alloc(av_buffer_allocz(static_cast<size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE), "payload"));
  if (size > 0) std::memcpy(p.buf->data, data, static_cast<size_t>(size));
  p.size = size;
  return p;
}

Payload make_payload(const std::string& bytes) {
  return make_payload(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size()));
}

constexpr uint64_t kFnvOffset = 14695981039346656037ULL;

void hash_bytes(uint64_t& h, const uint8_t* data, int size) {
  for (int i = 0; i < size; ++i) {
    h ^= data[i];
    h *= 1099511628211ULL;
  }
}

constexpr AVRational kVideoRate = {25, 1};
constexpr AVRational kMillis = {1, 1000};
constexpr int kSampleRate = 48000;

// ---------------------------------------------------------------------------
// Encoding.

CodecContext open_encoder(AVCodecID id, const std::function<void(AVCodecContext*)>& setup) {
  const AVCodec* codec = avcodec_find_encoder(id);
  if (codec == nullptr) fail(std::string("no encoder for ") + avcodec_get_name(id));
  CodecContext c(check_alloc(avcodec_alloc_context3(codec), "codec context"));
  c->thread_count = 1;  // the same bytes on every run
  setup(c.get());
  check(avcodec_open2(c.get(), codec, nullptr), std::string("opening the encoder ") + codec->name);
  return c;
}

// Sends `count` frames filled by `fill(frame, index)` through an opened
// encoder and returns every packet it produces, in order.
std::vector<Payload> encode(AVCodecContext* c, int count, const std::function<void(AVFrame*, int)>& fill) {
  Frame frame(check_alloc(av_frame_alloc(), "frame"));
  Packet pkt = new_packet();
  std::vector<Payload> out;
  auto drain = [&]() {
    for (;;) {
      const int ret = avcodec_receive_packet(c, pkt.get());
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
      check(ret, "receiving an encoded packet");
      if (pkt->size == 0) {  // FLAC ends with a packet that only updates the extradata
        av_packet_unref(pkt.get());
        continue;
      }
      Payload p = make_payload(pkt->data, pkt->size);
      p.key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
      p.pts_delay = pkt->pts - pkt->dts;
      out.push_back(std::move(p));
      av_packet_unref(pkt.get());
    }
  };
  for (int i = 0; i < count; ++i) {
    av_frame_unref(frame.get());
    if (c->codec_type == AVMEDIA_TYPE_VIDEO) {
      frame->format = c->pix_fmt;
      frame->width = c->width;
      frame->height = c->height;
    } else {
      frame->format = c->sample_fmt;
      frame->nb_samples = c->frame_size;
      frame->sample_rate = c->sample_rate;
      check(av_channel_layout_copy(&frame->ch_layout, &c->ch_layout), "copying a channel layout");
    }
    check(av_frame_get_buffer(frame.get(), 0), "allocating a frame");
    fill(frame.get(), i);
    frame->quality = c->global_quality;  // the quantiser, with AV_CODEC_FLAG_QSCALE
    frame->pts = c->codec_type == AVMEDIA_TYPE_VIDEO ? i : static_cast<int64_t>(i) * c->frame_size;
    check(avcodec_send_frame(c, frame.get()), "sending a frame to the encoder");
    drain();
  }
  check(avcodec_send_frame(c, nullptr), "flushing the encoder");
  drain();
  if (static_cast<int>(out.size()) != count) fail("the encoder returned an unexpected number of packets");
  return out;
}

// Which muxer is being written, reduced to what matters here.
enum class Container { matroska, mp4, mov, nut, mpegts, avi, other };

Container container_of(const AVOutputFormat* f) {
  const std::string name = f->name;
  if (name == "matroska") return Container::matroska;
  if (name == "mp4") return Container::mp4;
  if (name == "mov") return Container::mov;
  if (name == "nut") return Container::nut;
  if (name == "mpegts") return Container::mpegts;
  if (name == "avi") return Container::avi;
  return Container::other;
}

// One stream to write: its codec parameters, the payloads of its packets and
// their spacing. Packet i has dts = i * step (plus the file's start time).
struct Track {
  Parameters par{check_alloc(avcodec_parameters_alloc(), "codec parameters")};
  AVRational time_base = kMillis;  // of `step`
  int64_t step = 0;                // distance between packets, also their duration
  std::vector<Payload> payloads;   // cycled through
  int64_t count = 0;               // packets to write
  bool empty_lead = false;         // an empty mov_text sample at 0 goes first
  Dictionary metadata;             // handed to the stream
  int disposition = 0;             // handed to the stream
  int64_t repeat_at = -1;          // the packet that gets its predecessor's timestamps
  int64_t delay_ms = 0;            // added to every timestamp
  AVRational stream_aspect{0, 1};  // the stream's own sample aspect ratio
  std::vector<std::pair<AVPacketSideDataType, std::string>> side_data;  // the stream's
  AVStream* st = nullptr;
  int64_t next = 0;
  StreamSummary written;
};

void take_parameters(Track& t, const AVCodecContext* c) {
  check(avcodec_parameters_from_context(t.par.get(), c), "copying codec parameters");
}

// A frame of 8-bit YUV 4:2:0: a gradient that moves from frame to frame,
// or noise.
void fill_picture(AVFrame* f, int i, bool noise) {
  uint32_t seed = 2463534242u + static_cast<uint32_t>(i) * 7919u;
  for (int plane = 0; plane < 3; ++plane) {
    const int w = plane == 0 ? f->width : f->width / 2;
    const int h = plane == 0 ? f->height : f->height / 2;
    for (int y = 0; y < h; ++y) {
      uint8_t* row = f->data[plane] + static_cast<ptrdiff_t>(y) * f->linesize[plane];
      for (int x = 0; x < w; ++x) {
        if (noise) {
          seed ^= seed << 13;
          seed ^= seed >> 17;
          seed ^= seed << 5;
          row[x] = static_cast<uint8_t>(seed);
        } else if (plane == 0) {
          row[x] = static_cast<uint8_t>(x * 4 + y * 2 + i * 16);
        } else {
          row[x] = static_cast<uint8_t>(plane == 1 ? 128 + i * 4 : 128 - i * 4);
        }
      }
    }
  }
}

// Video: mpeg4, one packet a frame at `rate` (25 fps unless asked), at a fixed quantiser. Without
// B-frames every frame is a keyframe, so a copy may start at any packet.
// Frames bigger than 64x64 are noise at the coarsest quantiser: about 0.4
// bytes a pixel, whatever the encoder's rate control would make of them.
void make_video(Track& t, bool global_header, int frames, int width, int height, bool b_frames,
                AVRational rate = kVideoRate) {
  const bool noise = width * height > 64 * 64;
  CodecContext c = open_encoder(AV_CODEC_ID_MPEG4, [&](AVCodecContext* cc) {
    cc->width = width;
    cc->height = height;
    cc->pix_fmt = AV_PIX_FMT_YUV420P;
    cc->time_base = av_inv_q(rate);
    cc->framerate = rate;
    cc->gop_size = b_frames ? 12 : 0;  // 0: intra only
    cc->max_b_frames = b_frames ? 2 : 0;
    cc->flags |= AV_CODEC_FLAG_QSCALE;
    cc->global_quality = FF_QP2LAMBDA * (noise ? 31 : 4);
    if (global_header) cc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  });
  t.payloads = encode(c.get(), frames, [&](AVFrame* f, int i) { fill_picture(f, i, noise); });
  take_parameters(t, c.get());
  t.par->bit_rate = 0;  // as in most containers, which do not store it
  t.time_base = av_inv_q(rate);
  t.step = 1;
}

constexpr const char* kHevcEncoder = "libx265";

// Video: HEVC from libx265, 64x64, every frame a keyframe, one packet a
// frame at `rate`.
void make_hevc(Track& t, bool global_header, int frames, AVRational rate) {
  const AVCodec* codec = avcodec_find_encoder_by_name(kHevcEncoder);
  if (codec == nullptr) fail("no HEVC encoder (libx265) in this FFmpeg");
  CodecContext c(check_alloc(avcodec_alloc_context3(codec), "codec context"));
  c->width = 64;
  c->height = 64;
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->time_base = av_inv_q(rate);
  c->framerate = rate;
  c->gop_size = 1;
  c->max_b_frames = 0;
  if (global_header) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  // Quiet and single-threaded, so that every run makes the same bytes and
  // prints nothing.
  check(av_opt_set(c->priv_data, "preset", "ultrafast", 0), "setting the x265 preset");
  check(av_opt_set(c->priv_data, "x265-params", "log-level=none:pools=none:frame-threads=1:keyint=1", 0),
        "setting x265 parameters");
  check(avcodec_open2(c.get(), codec, nullptr), "opening libx265");
  t.payloads = encode(c.get(), frames, [](AVFrame* f, int i) { fill_picture(f, i, false); });
  take_parameters(t, c.get());
  t.par->bit_rate = 0;
  t.time_base = av_inv_q(rate);
  t.step = 1;
}

// The picture properties a layout asks of its video streams.
void describe_picture(Track& t, const MediaLayout& layout) {
  if (!layout.video_tag.empty()) {
    if (layout.video_tag.size() != 4) fail("a codec tag has four characters");
    const std::string& f = layout.video_tag;
    t.par->codec_tag = MKTAG(f[0], f[1], f[2], f[3]);
  }
  t.stream_aspect = {layout.stream_aspect.num, layout.stream_aspect.den};
  auto add = [&](AVPacketSideDataType type, const void* data, size_t size) {
    t.side_data.emplace_back(type, std::string(static_cast<const char*>(data), size));
  };
  if (layout.rotation != 0) {
    int32_t matrix[9];
    av_display_rotation_set(matrix, layout.rotation);
    add(AV_PKT_DATA_DISPLAYMATRIX, matrix, sizeof matrix);
  }
  if (layout.hdr) {
    AVMasteringDisplayMetadata mastering{};
    const int primaries[3][2] = {{35400, 14600}, {8500, 39850}, {6550, 2300}};  // BT.2020, in 1/50000
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 2; ++j) mastering.display_primaries[i][j] = {primaries[i][j], 50000};
    }
    mastering.white_point[0] = {15635, 50000};  // D65
    mastering.white_point[1] = {16450, 50000};
    mastering.min_luminance = {50, 10000};
    mastering.max_luminance = {10000000, 10000};
    mastering.has_primaries = 1;
    mastering.has_luminance = 1;
    add(AV_PKT_DATA_MASTERING_DISPLAY_METADATA, &mastering, sizeof mastering);
    AVContentLightMetadata light{};
    light.MaxCLL = 1000;
    light.MaxFALL = 400;
    add(AV_PKT_DATA_CONTENT_LIGHT_LEVEL, &light, sizeof light);
  }
  if (layout.stereo) {
    AVStereo3D stereo{};
    stereo.type = AV_STEREO3D_TOPBOTTOM;
    add(AV_PKT_DATA_STEREO3D, &stereo, sizeof stereo);
  }
}

// A sawtooth whose pitch changes from packet to packet, in the encoder's
// sample format (mono, so packed and planar are laid out alike).
void fill_audio(AVFrame* f, int index) {
  const int period = 40 + 8 * (index % 16);
  for (int n = 0; n < f->nb_samples; ++n) {
    const int v = ((n % period) * 1000 / period - 500) * 16;
    switch (f->format) {
      case AV_SAMPLE_FMT_S16:
      case AV_SAMPLE_FMT_S16P:
        reinterpret_cast<int16_t*>(f->data[0])[n] = static_cast<int16_t>(v);
        break;
      case AV_SAMPLE_FMT_S32:
      case AV_SAMPLE_FMT_S32P:
        reinterpret_cast<int32_t*>(f->data[0])[n] = v * 65536;
        break;
      case AV_SAMPLE_FMT_FLT:
      case AV_SAMPLE_FMT_FLTP:
        reinterpret_cast<float*>(f->data[0])[n] = static_cast<float>(v) / 32768.0f;
        break;
      default:
        fail("unexpected sample format");
    }
  }
}

// Audio: AC-3 at `bit_rate`, 48 kHz mono, 1536 samples (32 ms) a packet; or,
// with `flac`, FLAC, 4608 samples (96 ms) a packet, whose bit rate
// libavformat can neither read from the file nor work out.
void make_audio(Track& t, bool global_header, int frames, int64_t bit_rate, bool flac) {
  const AVCodecID id = flac ? AV_CODEC_ID_FLAC : AV_CODEC_ID_AC3;
  CodecContext c = open_encoder(id, [&](AVCodecContext* cc) {
    // The first format each encoder lists, named here: FFmpeg 7.1 deprecates
    // asking the encoder for its list.
    cc->sample_fmt = flac ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_FLTP;
    cc->sample_rate = kSampleRate;
    av_channel_layout_default(&cc->ch_layout, 1);
    if (!flac) cc->bit_rate = bit_rate;
    if (global_header) cc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  });
  if (!flac && c->bit_rate != bit_rate) fail("AC-3 has no bit rate " + std::to_string(bit_rate));
  t.payloads = encode(c.get(), frames, fill_audio);
  take_parameters(t, c.get());
  // The packets get back-to-back timestamps from 0 (or the start time); the
  // encoder's delay would make muxers shift or trim them.
  t.par->initial_padding = 0;
  t.time_base = {1, kSampleRate};
  t.step = c->frame_size;
}

constexpr int64_t kSparseStepMs = 200;

// A minimal ASS header: one style.
constexpr char kAssHeader[] =
      "[Script Info]\r\n"
      "ScriptType: v4.00+\r\n"
      "PlayResX: 384\r\n"
      "PlayResY: 288\r\n"
      "\r\n"
      "[V4+ Styles]\r\n"
      "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, "
      "Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, "
      "MarginL, MarginR, MarginV, Encoding\r\n"
      "Style: Default,Serif,16,&Hffffff,&Hffffff,&H0,&H0,0,0,0,0,100,100,0,0,1,1,0,2,10,10,10,0\r\n"
      "\r\n"
      "[Events]\r\n"
      "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\r\n";

// mov_text tracks need a sample description; FFmpeg's own mov_text encoder
// makes one from an ASS header.
void set_mov_text_parameters(AVCodecParameters* par) {
  CodecContext c = open_encoder(AV_CODEC_ID_MOV_TEXT, [&](AVCodecContext* cc) {
    cc->time_base = kMillis;
    cc->subtitle_header = static_cast<uint8_t*>(check_alloc(av_malloc(sizeof kAssHeader), "subtitle header"));
    std::memcpy(cc->subtitle_header, kAssHeader, sizeof kAssHeader);
    cc->subtitle_header_size = static_cast<int>(sizeof kAssHeader) - 1;
  });
  check(avcodec_parameters_from_context(par, c.get()), "copying mov_text parameters");
}

// Subtitles: one line of text every 200 ms, each shown until the next.
void make_subtitle(Track& t, Container container, int packets, int64_t start_ms, bool styled) {
  AVCodecParameters* par = t.par.get();
  if (styled && container != Container::matroska) fail("styled subtitles need .mkv");
  switch (container) {
    case Container::matroska:
      par->codec_id = styled ? AV_CODEC_ID_ASS : AV_CODEC_ID_SUBRIP;
      if (styled) {
        par->extradata = static_cast<uint8_t*>(
            check_alloc(av_mallocz(sizeof kAssHeader + AV_INPUT_BUFFER_PADDING_SIZE), "ASS header"));
        std::memcpy(par->extradata, kAssHeader, sizeof kAssHeader - 1);
        par->extradata_size = static_cast<int>(sizeof kAssHeader) - 1;
      }
      break;
    case Container::nut:
      par->codec_id = AV_CODEC_ID_TEXT;
      break;
    case Container::mp4:
    case Container::mov:
      set_mov_text_parameters(par);
      // The muxer wants every track to have a sample at 0 and would add an
      // empty one itself; writing it here keeps the summary exact.
      t.empty_lead = start_ms > 0;
      break;
    default:
      fail("this container takes no text subtitles");
  }
  par->codec_type = AVMEDIA_TYPE_SUBTITLE;
  for (int i = 0; i < packets; ++i) {
    std::string text = "Line " + std::to_string(i + 1);
    if (styled) {
      // A Matroska ASS event: read order, layer, style, name, margins,
      // effect, then the text.
      text = std::to_string(i) + ",0,Default,,0,0,0,,{\\i1}" + text + "{\\i0}";
    }
    if (par->codec_id == AV_CODEC_ID_MOV_TEXT) {
      // A mov_text sample: the text's length as 16 bits, big endian, then the text.
      const std::string len{static_cast<char>(text.size() >> 8), static_cast<char>(text.size() & 0xff)};
      text = len + text;
    }
    t.payloads.push_back(make_payload(text));
  }
  t.time_base = kMillis;
  t.step = kSparseStepMs;
}

// Data: one packet every 200 ms.
void make_data(Track& t, Container container, int packets) {
  AVCodecParameters* par = t.par.get();
  switch (container) {
    case Container::mpegts:
      par->codec_id = AV_CODEC_ID_SMPTE_KLV;
      break;
    case Container::nut:
      par->codec_id = AV_CODEC_ID_TEXT;  // the one data codec nut has a tag for
      break;
    default:
      fail("this container takes no data streams");
  }
  par->codec_type = AVMEDIA_TYPE_DATA;
  // A key-length-value item: a 16-byte key, a one-byte length, the value.
  static const uint8_t kKey[16] = {0x06, 0x0e, 0x2b, 0x34, 0x02, 0x0b, 0x01, 0x01,
                                   0x0e, 0x01, 0x03, 0x01, 0x01, 0x00, 0x00, 0x00};
  for (int i = 0; i < packets; ++i) {
    const std::string value = "data " + std::to_string(i + 1);
    if (par->codec_id == AV_CODEC_ID_SMPTE_KLV) {
      std::string item(reinterpret_cast<const char*>(kKey), sizeof kKey);
      item += static_cast<char>(value.size());
      item += value;
      t.payloads.push_back(make_payload(item));
    } else {
      t.payloads.push_back(make_payload(value));
    }
  }
  t.time_base = kMillis;
  t.step = kSparseStepMs;
}

// An attached font: a stream with no packets whose bytes are its extradata.
void make_attachment(Track& t, Container container, const std::string& mimetype) {
  if (container != Container::matroska) fail("only .mkv takes attachments");
  AVCodecParameters* par = t.par.get();
  par->codec_type = AVMEDIA_TYPE_ATTACHMENT;
  par->codec_id = AV_CODEC_ID_TTF;
  static const char kBytes[] = "not really a font, just attachment bytes";
  void* bytes = check_alloc(av_mallocz(sizeof kBytes + AV_INPUT_BUFFER_PADDING_SIZE), "attachment");
  par->extradata = static_cast<uint8_t*>(bytes);
  std::memcpy(par->extradata, kBytes, sizeof kBytes);
  par->extradata_size = static_cast<int>(sizeof kBytes);
  dict_set(t.metadata, "filename", "font.ttf");
  dict_set(t.metadata, "mimetype", mimetype.c_str());
}

// A cover: an 8x8 PNG of one colour, as bytes, since not every FFmpeg build
// the tests run on has a PNG encoder.
constexpr uint8_t kCoverPng[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52,
    0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x08, 0x08, 0x02, 0x00, 0x00, 0x00, 0x4b, 0x6d, 0x29,
    0xdc, 0x00, 0x00, 0x00, 0x09, 0x70, 0x48, 0x59, 0x73, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x4f, 0x25, 0xc4, 0xd6, 0x00, 0x00, 0x00, 0x11, 0x49, 0x44, 0x41, 0x54, 0x78, 0xda,
    0x63, 0x30, 0x88, 0xdf, 0x8f, 0x15, 0x31, 0x0c, 0x2d, 0x09, 0x00, 0x7c, 0xe8, 0x53, 0x81, 0xf0,
    0xfc, 0x97, 0xe9, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

void make_cover(Track& t, Container container) {
  std::vector<Payload> picture;
  picture.push_back(make_payload(kCoverPng, static_cast<int>(sizeof kCoverPng)));
  AVCodecParameters* par = t.par.get();
  par->codec_type = AVMEDIA_TYPE_VIDEO;
  par->codec_id = AV_CODEC_ID_PNG;
  par->width = 8;
  par->height = 8;
  par->format = AV_PIX_FMT_RGB24;
  switch (container) {
    case Container::matroska: {
      // An attached file whose bytes are the picture.
      par->codec_type = AVMEDIA_TYPE_ATTACHMENT;
      const Payload& p = picture.front();
      par->extradata = static_cast<uint8_t*>(
          check_alloc(av_mallocz(static_cast<size_t>(p.size) + AV_INPUT_BUFFER_PADDING_SIZE), "cover"));
      std::memcpy(par->extradata, p.buf->data, static_cast<size_t>(p.size));
      par->extradata_size = p.size;
      dict_set(t.metadata, "filename", "cover.png");
      dict_set(t.metadata, "mimetype", "image/png");
      t.count = 0;
      break;
    }
    case Container::mp4:
    case Container::mov:
      t.payloads = std::move(picture);
      t.time_base = av_inv_q(kVideoRate);
      t.step = 1;
      t.count = 1;
      t.disposition |= AV_DISPOSITION_ATTACHED_PIC;
      break;
    default:
      fail("this container takes no cover");
  }
}

void add_chapters(AVFormatContext* oc, const std::vector<ChapterLayout>& chapters) {
  for (size_t i = 0; i < chapters.size(); ++i) {
    auto* ch = static_cast<AVChapter*>(check_alloc(av_mallocz(sizeof(AVChapter)), "chapter"));
    // Owned by the context from here on.
    check(av_dynarray_add_nofree(&oc->chapters, reinterpret_cast<int*>(&oc->nb_chapters), ch), "adding a chapter");
    ch->id = static_cast<int64_t>(i) + 1;
    ch->time_base = kMillis;
    ch->start = chapters[i].start_ms;
    ch->end = chapters[i].end_ms;
    check(av_dict_set(&ch->metadata, "title", chapters[i].title.c_str(), 0), "naming a chapter");
  }
}

int64_t to_ms(int64_t ts, AVRational tb) { return ts == AV_NOPTS_VALUE ? kNoTime : av_rescale_q(ts, tb, kMillis); }

// The time base asked of the muxer for a track's stream.
AVRational stream_time_base(Container container, const Track& t) {
  switch (container) {
    case Container::avi:
      // One tick a packet: the muxer pads any jump in time with empty packets.
      return t.time_base;
    case Container::mp4:
    case Container::mov:
      // One time scale for every track. The muxer ends a mov_text subtitle
      // whenever a packet of any track has a larger timestamp than the
      // subtitle's end, comparing the raw numbers across time scales; with
      // one time scale that only happens in real gaps.
      return {1, kSampleRate};
    default:
      return t.par->codec_type == AVMEDIA_TYPE_AUDIO ? t.time_base : kMillis;
  }
}

// Creates the streams, writes every track's packets in time order and
// returns what was written.
MediaSummary mux(Output& oc, std::vector<Track>& tracks, int64_t start_ms, Dictionary options) {
  for (Track& t : tracks) {
    t.st = check_alloc(avformat_new_stream(oc.get(), nullptr), "stream");
    check(avcodec_parameters_copy(t.st->codecpar, t.par.get()), "copying codec parameters");
    t.st->time_base = stream_time_base(container_of(oc->oformat), t);
    t.st->metadata = t.metadata.release();
    t.st->disposition = t.disposition;
    t.st->sample_aspect_ratio = t.stream_aspect;
    for (const auto& [type, bytes] : t.side_data) add_side_data(t.st, type, bytes.data(), bytes.size());
    t.written.codec_type = t.par->codec_type;
    t.written.codec_id = t.par->codec_id;
    t.written.bit_rate = t.par->bit_rate;
    t.written.payload_hash = kFnvOffset;
  }

  if ((oc->oformat->flags & AVFMT_NOFILE) == 0)
    check(avio_open(&oc->pb, oc->url, AVIO_FLAG_WRITE), std::string("creating ") + oc->url);
  {
    AVDictionary* raw = options.release();
    const int ret = avformat_write_header(oc.get(), &raw);
    options.reset(raw);
    check(ret, "writing the header");
    if (av_dict_count(options.get()) != 0) fail("the muxer did not take every option");
  }

  Packet pkt = new_packet();
  int64_t first_us = INT64_MAX;
  int64_t end_us = INT64_MIN;
  auto write = [&](Track& t, const Payload& p, int64_t dts, int64_t duration) {
    pkt->buf = check_alloc(av_buffer_ref(p.buf.get()), "packet reference");
    pkt->data = p.buf->data;
    pkt->size = p.size;
    pkt->stream_index = t.st->index;
    pkt->dts = dts;
    pkt->pts = dts + av_rescale_q(p.pts_delay, t.time_base, t.st->time_base);
    pkt->duration = duration;
    pkt->flags = p.key ? AV_PKT_FLAG_KEY : 0;

    StreamSummary& w = t.written;
    hash_bytes(w.payload_hash, p.buf->data, p.size);
    w.payload_bytes += p.size;
    ++w.packets;
    if (w.first_pts_ms == kNoTime) w.first_pts_ms = to_ms(pkt->pts, t.st->time_base);
    first_us = std::min(first_us, av_rescale_q(pkt->pts, t.st->time_base, AV_TIME_BASE_Q));
    end_us = std::max(end_us, av_rescale_q(pkt->pts + duration, t.st->time_base, AV_TIME_BASE_Q));
    check(av_interleaved_write_frame(oc.get(), pkt.get()), "writing a packet");
  };

  for (Track& t : tracks) {
    if (!t.empty_lead) continue;
    const std::string nothing(2, '\0');  // a mov_text sample with no text
    write(t, make_payload(nothing), 0, av_rescale_q(start_ms, kMillis, t.st->time_base));
  }
  for (;;) {
    // The track whose next packet comes first.
    Track* t = nullptr;
    int64_t best = INT64_MAX;
    for (Track& c : tracks) {
      if (c.next >= c.count) continue;
      const int64_t at = av_rescale_q(c.next * c.step, c.time_base, AV_TIME_BASE_Q) + c.delay_ms * 1000;
      if (at < best) {
        best = at;
        t = &c;
      }
    }
    if (t == nullptr) break;
    const AVRational tb = t->st->time_base;
    const int64_t step = t->next == t->repeat_at ? t->next - 1 : t->next;
    const int64_t dts =
        av_rescale_q(start_ms + t->delay_ms, kMillis, tb) + av_rescale_q(step * t->step, t->time_base, tb);
    const auto which = static_cast<size_t>(t->next % static_cast<int64_t>(t->payloads.size()));
    write(*t, t->payloads[which], dts, av_rescale_q(t->step, t->time_base, tb));
    ++t->next;
  }
  check(av_write_trailer(oc.get()), "writing the trailer");
  if ((oc->oformat->flags & AVFMT_NOFILE) == 0) check(avio_closep(&oc->pb), "closing the file");

  MediaSummary out;
  out.format_name = oc->oformat->name;
  out.duration_us = end_us > first_us ? end_us - first_us : kNoTime;
  for (Track& t : tracks) out.streams.push_back(t.written);
  return out;
}

Output open_output(const std::string& path) {
  // Looked up first: avformat_alloc_output_context2 logs when it finds none.
  const AVOutputFormat* format = av_guess_format(nullptr, path.c_str(), nullptr);
  if (format == nullptr) fail("no muxer for " + path);
  AVFormatContext* oc = nullptr;
  check(avformat_alloc_output_context2(&oc, format, nullptr, path.c_str()), "creating a muxer for " + path);
  return Output(oc);
}

}  // namespace

bool hevc_encoder_available() { return avcodec_find_encoder_by_name(kHevcEncoder) != nullptr; }

MediaLayout layout_of(const std::vector<Kind>& kinds, int packets) {
  MediaLayout layout;
  for (Kind k : kinds) layout.streams.push_back({k});
  layout.packets_per_stream = packets;
  return layout;
}

MediaSummary write_media(const std::string& path, const MediaLayout& layout) {
  if (layout.packets_per_stream < 1) fail("packets_per_stream must be at least 1");
  if (layout.start_ms < 0) fail("start_ms must not be negative");
  Output oc = open_output(path);
  const Container container = container_of(oc->oformat);
  const bool global_header = (oc->oformat->flags & AVFMT_GLOBALHEADER) != 0;
  const int n = layout.packets_per_stream;
  const bool has_video = std::any_of(layout.streams.begin(), layout.streams.end(),
                                     [](const StreamLayout& s) { return s.kind == Kind::video; });

  Dictionary options;
  if (container == Container::avi && layout.start_ms != 0) fail(".avi keeps no start time");
  if (layout.omit_pts && (container != Container::avi || !has_video))
    fail("packets without pts need .avi with a video stream");
  if (layout.no_duration) {
    if (container != Container::matroska) fail("a file without duration needs .mkv");
    // No duration, no cues: what a live recording looks like.
    dict_set(options, "live", "1");
  }
  const bool flac = layout.no_duration || layout.audio_bit_rate == 0;
  if (flac && container != Container::matroska && container != Container::nut &&
      std::any_of(layout.streams.begin(), layout.streams.end(), [](const StreamLayout& s) { return s.kind == Kind::audio; }))
    fail("audio without a bit rate needs .mkv or .nut");

  std::vector<Track> tracks(layout.streams.size());
  for (size_t i = 0; i < layout.streams.size(); ++i) {
    Track& t = tracks[i];
    t.count = n;
    switch (layout.streams[i].kind) {
      case Kind::video: {
        const AVRational rate{layout.frame_rate.num, layout.frame_rate.den};
        if (rate.num <= 0 || rate.den <= 0) fail("the frame rate must be positive");
        if (layout.video_codec == VideoCodec::hevc) {
          if (layout.omit_pts) fail("packets without pts need mpeg4 video");
          make_hevc(t, global_header, n, rate);
        } else {
          make_video(t, global_header, n, 32, 32, layout.omit_pts, rate);
        }
        describe_picture(t, layout);
        break;
      }
      case Kind::audio:
        make_audio(t, global_header, n, layout.audio_bit_rate, flac);
        break;
      case Kind::subtitle:
        make_subtitle(t, container, n, layout.start_ms, layout.styled_subtitles);
        break;
      case Kind::data:
        make_data(t, container, n);
        break;
      case Kind::attachment:
        make_attachment(t, container, layout.attachment_mimetype);
        t.count = 0;
        break;
      case Kind::cover:
        make_cover(t, container);
        break;
    }
    const StreamLayout& sl = layout.streams[i];
    for (const auto& [key, value] : sl.tags) dict_set(t.metadata, key.c_str(), value.c_str());
    t.disposition |= sl.disposition;
    if (sl.kind == Kind::video) {
      t.repeat_at = layout.repeat_video_ts_at;
      t.delay_ms = layout.video_delay_ms;
    }
  }
  for (const auto& [key, value] : layout.tags) check(av_dict_set(&oc->metadata, key.c_str(), value.c_str(), 0), "tag");
  add_chapters(oc.get(), layout.chapters);
  return mux(oc, tracks, layout.start_ms, std::move(options));
}

MediaSummary write_long(const std::string& path, int seconds) {
  if (seconds < 1) fail("write_long needs at least one second");
  Output oc = open_output(path);
  const bool global_header = (oc->oformat->flags & AVFMT_GLOBALHEADER) != 0;
  std::vector<Track> tracks(2);
  // Eight distinct noise frames of about 24 KB, repeated.
  make_video(tracks[0], global_header, 8, 320, 180, false);
  tracks[0].count = int64_t{seconds} * kVideoRate.num;
  make_audio(tracks[1], global_header, 8, 64000, false);
  tracks[1].count = (int64_t{seconds} * kSampleRate + tracks[1].step - 1) / tracks[1].step;
  return mux(oc, tracks, 0, Dictionary());
}

void write_no_streams(const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "wb"), &std::fclose);
  if (!f) fail("creating " + path);
  static const char kText[] = ";FFMETADATA1\ntitle=no streams\n";
  if (std::fwrite(kText, 1, sizeof kText - 1, f.get()) != sizeof kText - 1) fail("writing " + path);
  if (std::fclose(f.release()) != 0) fail("closing " + path);
}

MediaSummary read_media(const std::string& path) {
  AVFormatContext* raw = nullptr;
  check(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), "opening " + path);
  Input ic(raw);
  check(avformat_find_stream_info(ic.get(), nullptr), "reading stream info of " + path);

  MediaSummary out;
  out.format_name = ic->iformat->name;
  out.duration_us = ic->duration;
  out.streams.resize(ic->nb_streams);
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    out.streams[i].codec_type = ic->streams[i]->codecpar->codec_type;
    out.streams[i].codec_id = ic->streams[i]->codecpar->codec_id;
    out.streams[i].bit_rate = ic->streams[i]->codecpar->bit_rate;
    out.streams[i].payload_hash = kFnvOffset;
  }
  Packet pkt = new_packet();
  for (;;) {
    const int ret = av_read_frame(ic.get(), pkt.get());
    if (ret == AVERROR_EOF) break;
    check(ret, "reading a packet of " + path);
    if (pkt->stream_index >= 0 && static_cast<size_t>(pkt->stream_index) < out.streams.size()) {
      StreamSummary& s = out.streams[static_cast<size_t>(pkt->stream_index)];
      ++s.packets;
      s.pts.push_back(pkt->pts);
      s.payload_bytes += pkt->size;
      hash_bytes(s.payload_hash, pkt->data, pkt->size);
      if (pkt->pts == AV_NOPTS_VALUE)
        ++s.packets_without_pts;
      else if (s.first_pts_ms == kNoTime)
        s.first_pts_ms = to_ms(pkt->pts, ic->streams[pkt->stream_index]->time_base);
    }
    av_packet_unref(pkt.get());
  }
  return out;
}

bool same_payload(const StreamSummary& a, const StreamSummary& b) {
  return a.codec_type == b.codec_type && a.codec_id == b.codec_id && a.packets == b.packets &&
         a.payload_bytes == b.payload_bytes && a.payload_hash == b.payload_hash;
}

std::ostream& operator<<(std::ostream& os, const StreamSummary& s) {
  const char* type = av_get_media_type_string(static_cast<AVMediaType>(s.codec_type));
  os << (type != nullptr ? type : "unknown") << '/' << avcodec_get_name(static_cast<AVCodecID>(s.codec_id))
     << " packets=" << s.packets << " bytes=" << s.payload_bytes << " hash=" << std::hex << s.payload_hash
     << std::dec << " first_pts_ms=";
  if (s.first_pts_ms == kNoTime)
    os << "none";
  else
    os << s.first_pts_ms;
  return os << " without_pts=" << s.packets_without_pts;
}

TempDir::TempDir() {
  std::random_device entropy;
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    const auto candidate = base / ("fixtures-" + std::to_string(entropy()));
    if (std::filesystem::create_directory(candidate)) path_ = candidate.string();
  }
  if (path_.empty()) fail("creating a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const { return (std::filesystem::path(path_) / name).string(); }

}  // namespace fixtures
