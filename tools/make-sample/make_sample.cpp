// Writes the demo's sample clip: eight seconds of scrolling colour bars
// (mpeg4, 320x180, 25 fps), two audio tracks with tones of their own (AC-3,
// 48 kHz stereo) and a subtitle track, in the container the output's name
// implies (.mkv gives Matroska, which carries all four).
//
//   tacetra-make-sample OUTPUT
#include <cmath>
#include <cstring>
#include <functional>
#include <iostream>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
}

#include "common/av_handles.h"

namespace {

constexpr int clip_seconds = 8;
constexpr int width = 320;
constexpr int height = 180;
constexpr int frames_per_second = 25;
constexpr int sample_rate = 48000;

struct codec_freer {
  void operator()(AVCodecContext* c) const noexcept { avcodec_free_context(&c); }
};
using codec_context = std::unique_ptr<AVCodecContext, codec_freer>;

struct frame_freer {
  void operator()(AVFrame* f) const noexcept { av_frame_free(&f); }
};
using frame_ptr = std::unique_ptr<AVFrame, frame_freer>;

int check(int rc, const std::string& what) {
  if (rc < 0) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(rc, text, sizeof text);
    throw std::runtime_error(what + ": " + text);
  }
  return rc;
}

template <class T>
T* check_alloc(T* p, const std::string& what) {
  if (p == nullptr) throw std::runtime_error("out of memory: " + what);
  return p;
}

// An encoder and the output stream it feeds.
class encoded_track {
 public:
  encoded_track(AVFormatContext& output, AVCodecID id, const std::function<void(AVCodecContext&)>& setup)
      : output_(output) {
    const AVCodec* codec = avcodec_find_encoder(id);
    if (codec == nullptr) throw std::runtime_error(std::string("no encoder for ") + avcodec_get_name(id));
    codec_.reset(check_alloc(avcodec_alloc_context3(codec), "codec context"));
    setup(*codec_);
    if (output.oformat->flags & AVFMT_GLOBALHEADER) codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(avcodec_open2(codec_.get(), codec, nullptr), std::string("opening the ") + codec->name + " encoder");
    stream_ = check_alloc(avformat_new_stream(&output, nullptr), "stream");
    check(avcodec_parameters_from_context(stream_->codecpar, codec_.get()), "stream parameters");
    stream_->time_base = codec_->time_base;
    stream_->avg_frame_rate = codec_->framerate;  // lets the container state the frame rate
    frame_.reset(check_alloc(av_frame_alloc(), "frame"));
    packet_.reset(check_alloc(av_packet_alloc(), "packet"));
  }

  AVCodecContext& codec() { return *codec_; }
  double next_seconds() const { return static_cast<double>(next_pts_) * av_q2d(codec_->time_base); }

  // A fresh frame for the next `length` units of the codec's time base.
  AVFrame& next_frame(int length) {
    av_frame_unref(frame_.get());
    AVFrame& f = *frame_;
    if (codec_->codec_type == AVMEDIA_TYPE_VIDEO) {
      f.format = codec_->pix_fmt;
      f.width = codec_->width;
      f.height = codec_->height;
    } else {
      f.format = codec_->sample_fmt;
      f.nb_samples = codec_->frame_size;
      f.sample_rate = codec_->sample_rate;
      check(av_channel_layout_copy(&f.ch_layout, &codec_->ch_layout), "channel layout");
    }
    check(av_frame_get_buffer(&f, 0), "frame buffer");
    f.pts = next_pts_;
    next_pts_ += length;
    return f;
  }

  void send(const AVFrame* frame) {
    check(avcodec_send_frame(codec_.get(), frame), "encoding");
    for (;;) {
      const int rc = avcodec_receive_packet(codec_.get(), packet_.get());
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
      check(rc, "encoding");
      av_packet_rescale_ts(packet_.get(), codec_->time_base, stream_->time_base);
      packet_->stream_index = stream_->index;
      check(av_interleaved_write_frame(&output_, packet_.get()), "writing a packet");
    }
  }

  void flush() { send(nullptr); }

 private:
  AVFormatContext& output_;
  codec_context codec_;
  AVStream* stream_ = nullptr;
  frame_ptr frame_;
  tacetra::packet_ptr packet_;
  std::int64_t next_pts_ = 0;
};

// Eight vertical colour bars (BT.601 studio range) scrolling to the left.
void draw_bars(AVFrame& f, int frame_index) {
  static constexpr std::uint8_t bars[8][3] = {
      {235, 128, 128}, {210, 16, 146}, {170, 166, 16}, {145, 54, 34},
      {106, 202, 222}, {81, 90, 240},  {41, 240, 110}, {16, 128, 128}};
  const int shift = frame_index * 4;
  for (int plane = 0; plane < 3; ++plane) {
    const int scale = plane == 0 ? 1 : 2;  // 4:2:0 chroma is half size both ways
    for (int y = 0; y < f.height / scale; ++y) {
      std::uint8_t* row = f.data[plane] + static_cast<std::ptrdiff_t>(y) * f.linesize[plane];
      for (int x = 0; x < f.width / scale; ++x) {
        const int bar = ((x * scale + shift) * 8 / f.width) % 8;
        row[x] = bars[bar][plane];
      }
    }
  }
}

// A steady tone on both channels (planar floats), continuing where the last
// frame ended.
void fill_tone(AVFrame& f, double frequency) {
  auto* left = reinterpret_cast<float*>(f.data[0]);
  auto* right = reinterpret_cast<float*>(f.data[1]);
  for (int i = 0; i < f.nb_samples; ++i) {
    const double t = static_cast<double>(f.pts + i) / sample_rate;
    left[i] = right[i] = static_cast<float>(0.25 * std::sin(2.0 * std::numbers::pi * frequency * t));
  }
}

struct cue {
  int start_ms;
  int length_ms;
  const char* text;
};

constexpr cue cues[] = {
    {500, 2000, "quenlark-tacetra sample clip"},
    {3000, 2000, "one video track, two audio tracks, one subtitle track"},
    {5500, 2000, "muting keeps this subtitle and drops both tones"},
};

void write_cue(AVFormatContext& output, AVStream& stream, const cue& c) {
  tacetra::packet_ptr packet(check_alloc(av_packet_alloc(), "packet"));
  const int size = static_cast<int>(std::strlen(c.text));
  check(av_new_packet(packet.get(), size), "subtitle packet");
  std::memcpy(packet->data, c.text, static_cast<std::size_t>(size));
  packet->pts = packet->dts = av_rescale_q(c.start_ms, AVRational{1, 1000}, stream.time_base);
  packet->duration = av_rescale_q(c.length_ms, AVRational{1, 1000}, stream.time_base);
  packet->stream_index = stream.index;
  check(av_interleaved_write_frame(&output, packet.get()), "writing a subtitle");
}

void make_sample(const char* path) {
  AVFormatContext* raw = nullptr;
  check(avformat_alloc_output_context2(&raw, nullptr, nullptr, path), "choosing a container for the name");
  tacetra::output_context output(raw);

  encoded_track video(*output, AV_CODEC_ID_MPEG4, [](AVCodecContext& c) {
    c.width = width;
    c.height = height;
    c.pix_fmt = AV_PIX_FMT_YUV420P;
    c.time_base = AVRational{1, frames_per_second};
    c.framerate = AVRational{frames_per_second, 1};
    c.gop_size = frames_per_second;
    c.bit_rate = 400000;
  });
  auto audio_setup = [](AVCodecContext& c) {
    c.sample_fmt = AV_SAMPLE_FMT_FLTP;
    c.sample_rate = sample_rate;
    c.time_base = AVRational{1, sample_rate};
    c.bit_rate = 128000;
    av_channel_layout_default(&c.ch_layout, 2);
  };
  encoded_track low_tone(*output, AV_CODEC_ID_AC3, audio_setup);
  encoded_track high_tone(*output, AV_CODEC_ID_AC3, audio_setup);
  AVStream* subtitles = check_alloc(avformat_new_stream(output.get(), nullptr), "stream");
  subtitles->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
  subtitles->codecpar->codec_id = AV_CODEC_ID_SUBRIP;
  subtitles->time_base = AVRational{1, 1000};

  if (!(output->oformat->flags & AVFMT_NOFILE)) {
    check(avio_open(&output->pb, path, AVIO_FLAG_WRITE), std::string("opening ") + path);
  }
  check(avformat_write_header(output.get(), nullptr), "writing the header");

  // Everything in time order, so the muxer interleaves without buffering much.
  const cue* next_cue = std::begin(cues);
  for (int i = 0; i < clip_seconds * frames_per_second; ++i) {
    const double frame_end = static_cast<double>(i + 1) / frames_per_second;
    for (encoded_track* tone : {&low_tone, &high_tone}) {
      while (tone->next_seconds() < frame_end) {
        AVFrame& f = tone->next_frame(tone->codec().frame_size);
        fill_tone(f, tone == &low_tone ? 440.0 : 660.0);
        tone->send(&f);
      }
    }
    while (next_cue != std::end(cues) && next_cue->start_ms < frame_end * 1000) {
      write_cue(*output, *subtitles, *next_cue++);
    }
    AVFrame& f = video.next_frame(1);
    draw_bars(f, i);
    video.send(&f);
  }
  video.flush();
  low_tone.flush();
  high_tone.flush();
  check(av_write_trailer(output.get()), "writing the trailer");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: tacetra-make-sample OUTPUT (e.g. sample.mkv)\n";
    return 2;
  }
  try {
    make_sample(argv[1]);
  } catch (const std::exception& e) {
    std::cerr << "tacetra-make-sample: " << argv[1] << ": " << e.what() << '\n';
    return 1;
  }
  return 0;
}
