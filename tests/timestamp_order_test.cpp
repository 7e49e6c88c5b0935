// Timestamps that other programs' muxers write and FFmpeg's muxers refuse:
// decoding timestamps that repeat or go back, and a TS whose sound starts
// before its picture. The copy must succeed, carry every packet, and time
// them as FFmpeg's own stream copy does.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "jobs/session.h"
#include "jobs/timestamp_fix.h"
#include "support/fixtures.h"
#include "support/jobs.h"

namespace {

using fixtures::Kind;
using fixtures::kNoTime;
using fixtures::layout_of;
using fixtures::MediaLayout;
using fixtures::MediaSummary;
using fixtures::run_worker;
using fixtures::TempDir;

const fixtures::StreamSummary& video_of(const MediaSummary& m) {
  for (const auto& s : m.streams) {
    if (s.codec_type == AVMEDIA_TYPE_VIDEO) return s;
  }
  throw std::runtime_error("no video stream");
}

// A Matroska input whose sixth picture has the timestamps of the fifth, as
// VLC's and GStreamer's muxers write them; MP4, MOV and TS take no two equal
// decoding timestamps.
TEST(RepeatedDts, TheRepeatIsMovedOneTickOnAndTheCopySucceeds) {
  TempDir dir;
  MediaLayout layout = layout_of({Kind::video, Kind::audio});
  layout.repeat_video_ts_at = 5;
  fixtures::write_media(dir.file("in.mkv"), layout);
  const MediaSummary in = fixtures::read_media(dir.file("in.mkv"));
  const auto& in_video = video_of(in);
  // Without reordered pictures a packet's decoding and presentation times
  // are one, and every reader gives back the presentation time as written.
  ASSERT_EQ(in_video.pts.size(), 10u);
  ASSERT_EQ(in_video.pts[5], in_video.pts[4]) << "the input must repeat a timestamp";

  for (const char* out_name : {"out.mp4", "out.mov", "out.ts"}) {
    SCOPED_TRACE(out_name);
    const auto s = run_worker(dir.file("in.mkv"), dir.file(out_name));
    ASSERT_EQ(s->state, tacetra::MUTE_DONE) << s->error;
    const MediaSummary out = fixtures::read_media(dir.file(out_name));
    const auto& out_video = video_of(out);
    EXPECT_TRUE(fixtures::same_payload(out_video, in_video)) << out_video;
    ASSERT_EQ(out_video.pts.size(), 10u);
    for (size_t i = 1; i < out_video.pts.size(); ++i) {
      EXPECT_GT(out_video.pts[i], out_video.pts[i - 1]) << "packet " << i;
    }
    EXPECT_EQ(out_video.pts[5], out_video.pts[4] + 1) << "one tick after the one before";
  }
}

// The rule packet by packet, for the muxer flags it depends on.
TEST(RepeatedDts, EachPacketIsMovedAsFfmpegsCopyMovesIt) {
  struct Case {
    const char* name;
    const char* format;  // muxer
    AVMediaType type;
    int64_t last_dts;  // kNoTime: the stream's first packet
    int64_t pts, dts;
    int64_t expected_pts, expected_dts;
  };
  const Case cases[] = {
      {"in order", "mp4", AVMEDIA_TYPE_VIDEO, 10, 12, 11, 12, 11},
      {"repeated, strict muxer", "mp4", AVMEDIA_TYPE_VIDEO, 10, 10, 10, 11, 11},
      {"repeated, reordered picture", "mp4", AVMEDIA_TYPE_VIDEO, 10, 14, 10, 14, 11},
      {"back in time", "mpegts", AVMEDIA_TYPE_VIDEO, 10, 7, 7, 11, 11},
      {"repeated subtitle", "mp4", AVMEDIA_TYPE_SUBTITLE, 10, 10, 10, 11, 11},
      // Matroska takes two equal decoding timestamps, not a step back.
      {"repeated, equal allowed", "matroska", AVMEDIA_TYPE_VIDEO, 10, 10, 10, 10, 10},
      {"back, equal allowed", "matroska", AVMEDIA_TYPE_VIDEO, 10, 8, 8, 10, 10},
      // Data streams are not held to an order.
      {"data stream", "mpegts", AVMEDIA_TYPE_DATA, 10, 9, 9, 9, 9},
      {"first packet", "mp4", AVMEDIA_TYPE_VIDEO, kNoTime, -5, -5, -5, -5},
      {"no dts", "mp4", AVMEDIA_TYPE_VIDEO, 10, 5, kNoTime, 5, kNoTime},
      // A decoding timestamp after the presentation: both become the middle
      // of the two and the last one plus a tick.
      {"dts after pts", "mp4", AVMEDIA_TYPE_VIDEO, 10, 8, 20, 11, 11},
      {"dts after pts, later", "mp4", AVMEDIA_TYPE_VIDEO, 10, 15, 20, 15, 15},
      {"dts after pts, first packet", "mp4", AVMEDIA_TYPE_VIDEO, kNoTime, 3, 9, 3, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const AVOutputFormat* format = av_guess_format(c.format, nullptr, nullptr);
    ASSERT_NE(format, nullptr);
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> ctx(avformat_alloc_context(),
                                                                    avformat_free_context);
    AVStream* st = avformat_new_stream(ctx.get(), nullptr);
    ASSERT_NE(st, nullptr);
    st->codecpar->codec_type = c.type;
    st->codecpar->codec_id = c.type == AVMEDIA_TYPE_VIDEO ? AV_CODEC_ID_MPEG4 : AV_CODEC_ID_NONE;
    AVPacket pkt{};
    pkt.pts = c.pts;
    pkt.dts = c.dts;
    int64_t last = c.last_dts;
    tacetra::keep_dts_order(pkt, last, *st, *format);
    EXPECT_EQ(pkt.pts, c.expected_pts);
    EXPECT_EQ(pkt.dts, c.expected_dts);
    EXPECT_EQ(last, c.expected_dts);
  }
}

// ---------------------------------------------------------------------------
// Where the copy's timeline starts.

struct StartCase {
  const char* in;
  const char* out;
  int64_t expected_video_ms;  // the video's first time in the copy
};

// A recording whose sound starts 80 ms before its picture. From a TS the
// copy starts with its first kept stream, as FFmpeg's does; from other
// containers it keeps the input's start, so the picture still comes 80 ms
// in.
TEST(CopyStart, ATsWhoseSoundStartsFirstGivesAPictureFromZero) {
  TempDir dir;
  for (const StartCase& c : {StartCase{"in.ts", "out.mp4", 0}, StartCase{"in.ts", "out.ts", 0},
                             StartCase{"in.ts", "out.mkv", 0}, StartCase{"in.mkv", "out.mkv", 80},
                             StartCase{"in.mp4", "out.mp4", 80}}) {
    SCOPED_TRACE(testing::Message() << c.in << " -> " << c.out);
    MediaLayout layout = layout_of({Kind::video, Kind::audio});
    layout.start_ms = 1000;
    layout.video_delay_ms = 80;
    fixtures::write_media(dir.file(c.in), layout);
    const MediaSummary in = fixtures::read_media(dir.file(c.in));
    ASSERT_NEAR(static_cast<double>(video_of(in).first_pts_ms), 1080.0, 1.0);

    const auto s = run_worker(dir.file(c.in), dir.file(c.out));
    ASSERT_EQ(s->state, tacetra::MUTE_DONE) << s->error;
    const MediaSummary out = fixtures::read_media(dir.file(c.out));
    EXPECT_NEAR(static_cast<double>(video_of(out).first_pts_ms), static_cast<double>(c.expected_video_ms), 1.0);
  }
}

}  // namespace
