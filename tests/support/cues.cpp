#include "cues.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
}

#include <memory>
#include <ostream>
#include <stdexcept>

namespace fixtures {
namespace {

struct InputClose {
  void operator()(AVFormatContext* ic) const { avformat_close_input(&ic); }
};
struct CodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

void check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("cues: " + what);
}

// The text field of an ASS event as decoders hand it out ("ReadOrder,
// Layer, Style, Name, MarginL, MarginR, MarginV, Effect, Text").
Cue cue_of(const char* ass) {
  std::string event = ass;
  std::size_t at = 0;
  for (int field = 0; field < 8 && at != std::string::npos; ++field) {
    at = event.find(',', at);
    if (at != std::string::npos) ++at;
  }
  check(at != std::string::npos, "an event without text: " + event);
  Cue cue;
  bool in_override = false;
  std::string override_block;
  for (char ch : event.substr(at)) {
    if (ch == '{') {
      in_override = true;
      override_block.clear();
    } else if (ch == '}' && in_override) {
      in_override = false;
      if (override_block.find("\\i1") != std::string::npos) cue.italic = true;
    } else if (in_override) {
      override_block += ch;
    } else {
      cue.text += ch;
    }
  }
  return cue;
}

}  // namespace

std::vector<Cue> read_cues(const std::string& path, int stream) {
  AVFormatContext* raw = nullptr;
  check(avformat_open_input(&raw, path.c_str(), nullptr, nullptr) >= 0, "opening " + path);
  std::unique_ptr<AVFormatContext, InputClose> input(raw);
  check(avformat_find_stream_info(raw, nullptr) >= 0, "reading the stream information of " + path);
  check(stream >= 0 && static_cast<unsigned>(stream) < raw->nb_streams,
        "no such stream in " + path);
  const AVStream* st = raw->streams[stream];
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  check(codec != nullptr,
        std::string("no decoder for ") + avcodec_get_name(st->codecpar->codec_id));
  std::unique_ptr<AVCodecContext, CodecContextFree> decoder(avcodec_alloc_context3(codec));
  check(decoder != nullptr && avcodec_parameters_to_context(decoder.get(), st->codecpar) >= 0,
        "decoder set-up");
  decoder->pkt_timebase = st->time_base;
  check(avcodec_open2(decoder.get(), codec, nullptr) >= 0, "opening the decoder");

  std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  std::vector<Cue> cues;
  std::int64_t first_ms = AV_NOPTS_VALUE;
  const AVRational millis{1, 1000};
  while (av_read_frame(raw, packet.get()) >= 0) {
    if (packet->stream_index == stream) {
      const std::int64_t pts_ms = av_rescale_q(packet->pts, st->time_base, millis);
      if (first_ms == AV_NOPTS_VALUE) first_ms = pts_ms;
      AVSubtitle sub{};
      int got = 0;
      const int used = avcodec_decode_subtitle2(decoder.get(), &sub, &got, packet.get());
      if (used >= 0 && got != 0) {
        for (unsigned i = 0; i < sub.num_rects; ++i) {
          if (sub.rects[i]->ass == nullptr) continue;
          Cue cue = cue_of(sub.rects[i]->ass);
          cue.start_ms = pts_ms - first_ms + sub.start_display_time;
          cue.duration_ms = packet->duration > 0
                                ? av_rescale_q(packet->duration, st->time_base, millis)
                                : sub.end_display_time - sub.start_display_time;
          cues.push_back(cue);
        }
        avsubtitle_free(&sub);
      }
      check(used >= 0, "a packet the decoder refuses in " + path);
    }
    av_packet_unref(packet.get());
  }
  return cues;
}

std::ostream& operator<<(std::ostream& os, const Cue& c) {
  return os << c.start_ms << "+" << c.duration_ms << " \"" << c.text << "\""
            << (c.italic ? " italic" : "");
}

}  // namespace fixtures
