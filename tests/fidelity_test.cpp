// What the muted copy tells a player about its picture: orientation, HDR
// data, pixel shape, frame rate, codec tag, attached fonts, and a timeline
// that starts at 0. Each case writes an input, runs the worker on it and
// reads the copy back with libavformat.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "jobs/session.h"
#include "support/fixtures.h"
#include "support/jobs.h"
#include "support/properties.h"
#include "support/route.h"
#include "tacetra.h"

namespace {

using fixtures::Kind;
using fixtures::layout_of;
using fixtures::MediaLayout;
using fixtures::MediaProperties;
using fixtures::Rate;
using fixtures::read_properties;
using fixtures::run_worker;
using fixtures::Route;
using fixtures::route_name;
using fixtures::StreamProperties;
using fixtures::TempDir;

// Runs the worker from `in` to `out`, both in `dir`, and reads the copy back.
MediaProperties mute(const TempDir& dir, const std::string& in, const std::string& out) {
  const auto s = run_worker(dir.file(in), dir.file(out));
  EXPECT_EQ(s->state, tacetra::MUTE_DONE) << in << " -> " << out << ": " << s->error;
  if (s->state != tacetra::MUTE_DONE) return {};
  return read_properties(dir.file(out));
}

const StreamProperties* first_of_type(const MediaProperties& m, int type) {
  for (const StreamProperties& s : m.streams) {
    if (s.codec_type == type) return &s;
  }
  return nullptr;
}

const StreamProperties& video_of(const MediaProperties& m) {
  static const StreamProperties none;
  const StreamProperties* v = first_of_type(m, AVMEDIA_TYPE_VIDEO);
  EXPECT_NE(v, nullptr) << "no video stream";
  return v != nullptr ? *v : none;
}

// ---------------------------------------------------------------------------
// Stream side data.

class Rotation : public ::testing::TestWithParam<Route> {};

TEST_P(Rotation, APhoneRecordingStaysUpright) {
  TempDir dir;
  const Route& r = GetParam();
  for (const double degrees : {-90.0, 90.0, 180.0}) {
    SCOPED_TRACE(degrees);
    MediaLayout layout = layout_of({Kind::video, Kind::audio});
    layout.rotation = degrees;
    fixtures::write_media(dir.file(r.in), layout);
    const StreamProperties in = video_of(read_properties(dir.file(r.in)));
    // libavformat's MOV reader turns the writer's sign round; what matters
    // is that the copy reads as the input does.
    ASSERT_TRUE(in.rotation.has_value());
    ASSERT_DOUBLE_EQ(std::fabs(*in.rotation), std::fabs(degrees));

    const StreamProperties out = video_of(mute(dir, r.in, r.out));
    ASSERT_TRUE(out.rotation.has_value()) << "the copy lost its display matrix";
    EXPECT_DOUBLE_EQ(*out.rotation, *in.rotation);
  }
}

INSTANTIATE_TEST_SUITE_P(Containers, Rotation,
                         ::testing::Values(Route{"in.mp4", "out.mp4"}, Route{"in.mp4", "out.mov"},
                                           Route{"in.mov", "out.mp4"}, Route{"in.mov", "out.mov"}),
                         [](const auto& info) { return route_name(info.param); });

class Hdr : public ::testing::TestWithParam<Route> {};

TEST_P(Hdr, MasteringDisplayAndLightLevelsSurvive) {
  TempDir dir;
  const Route& r = GetParam();
  MediaLayout layout = layout_of({Kind::video, Kind::audio});
  layout.hdr = true;
  fixtures::write_media(dir.file(r.in), layout);
  const StreamProperties in = video_of(read_properties(dir.file(r.in)));
  ASSERT_TRUE(in.mastering_luminance.has_value());
  ASSERT_TRUE(in.light_level.has_value());

  const StreamProperties out = video_of(mute(dir, r.in, r.out));
  ASSERT_TRUE(out.mastering_luminance.has_value()) << "mastering display lost";
  EXPECT_NEAR(out.mastering_luminance->first, 0.005, 1e-6);
  EXPECT_NEAR(out.mastering_luminance->second, 1000, 1e-6);
  ASSERT_TRUE(out.light_level.has_value()) << "content light level lost";
  EXPECT_EQ(out.light_level->first, 1000u);
  EXPECT_EQ(out.light_level->second, 400u);
}

INSTANTIATE_TEST_SUITE_P(Containers, Hdr,
                         ::testing::Values(Route{"in.mkv", "out.mkv"}, Route{"in.mkv", "out.mp4"},
                                           Route{"in.mp4", "out.mkv"}, Route{"in.mp4", "out.mp4"}),
                         [](const auto& info) { return route_name(info.param); });

// Into its own container, the copy's side data is the input's, entry for
// entry and byte for byte, whatever kinds there are.
TEST(SideData, EveryEntryIsCopiedAsItIs) {
  TempDir dir;
  struct Case {
    const char* in;
    const char* out;
    bool rotation, hdr, stereo;
  };
  for (const Case& c : {Case{"in.mkv", "out.mkv", false, true, true}, Case{"in.mp4", "out.mp4", true, true, false},
                        Case{"in.mov", "out.mov", true, true, false}}) {
    SCOPED_TRACE(c.in);
    MediaLayout layout = layout_of({Kind::video, Kind::audio});
    layout.rotation = c.rotation ? -90 : 0;
    layout.hdr = c.hdr;
    layout.stereo = c.stereo;
    fixtures::write_media(dir.file(c.in), layout);
    const StreamProperties in = video_of(read_properties(dir.file(c.in)));
    ASSERT_EQ(in.side_data.size(), (c.rotation ? 1u : 0u) + (c.hdr ? 2u : 0u) + (c.stereo ? 1u : 0u));

    const StreamProperties out = video_of(mute(dir, c.in, c.out));
    EXPECT_EQ(out.side_data, in.side_data);
  }
}

// ---------------------------------------------------------------------------
// Pixel shape.

TEST(AspectRatio, TheContainersPixelShapeWinsOverTheBitstreams) {
  TempDir dir;
  MediaLayout layout = layout_of({Kind::video, Kind::audio});
  layout.stream_aspect = {3, 2};
  fixtures::write_media(dir.file("in.mkv"), layout);
  const StreamProperties in = video_of(read_properties(dir.file("in.mkv")));
  ASSERT_EQ(in.sample_aspect_ratio, (Rate{3, 2}));
  ASSERT_NE(in.codec_sample_aspect_ratio, (Rate{3, 2}));  // the mpeg4 bitstream says square

  for (const char* out_name : {"out.mkv", "out.mp4", "out.mov"}) {
    SCOPED_TRACE(out_name);
    const StreamProperties out = video_of(mute(dir, "in.mkv", out_name));
    EXPECT_EQ(out.sample_aspect_ratio, (Rate{3, 2}));
  }
}

TEST(AspectRatio, WithoutOneInTheContainerTheBitstreamsStands) {
  TempDir dir;
  fixtures::write_media(dir.file("in.mkv"), layout_of({Kind::video, Kind::audio}));
  const StreamProperties in = video_of(read_properties(dir.file("in.mkv")));
  for (const char* out_name : {"out.mkv", "out.mp4"}) {
    SCOPED_TRACE(out_name);
    const StreamProperties out = video_of(mute(dir, "in.mkv", out_name));
    EXPECT_EQ(out.codec_sample_aspect_ratio, in.codec_sample_aspect_ratio);
  }
}

// ---------------------------------------------------------------------------
// Frame rate.

TEST(FrameRate, MatroskaCopiesStateTheInputsRate) {
  TempDir dir;
  for (const Rate rate : {Rate{30000, 1001}, Rate{24000, 1001}, Rate{15, 1}, Rate{25, 1}, Rate{60, 1}}) {
    SCOPED_TRACE(testing::Message() << rate);
    MediaLayout layout = layout_of({Kind::video, Kind::audio});
    layout.frame_rate = rate;
    fixtures::write_media(dir.file("in.mp4"), layout);
    ASSERT_EQ(video_of(read_properties(dir.file("in.mp4"))).avg_frame_rate, rate);

    for (const char* out_name : {"out.mkv", "out.mp4"}) {
      SCOPED_TRACE(out_name);
      const StreamProperties out = video_of(mute(dir, "in.mp4", out_name));
      EXPECT_EQ(out.avg_frame_rate, rate);
    }
    // What a host sees of the copy.
    char fps[32];
    std::snprintf(fps, sizeof fps, "\"fps\":%.3f", static_cast<double>(rate.num) / rate.den);
    EXPECT_NE(std::string(tacetra_probe(dir.file("out.mkv").c_str())).find(fps), std::string::npos) << fps;
  }
}

// ---------------------------------------------------------------------------
// The timeline.

struct TimelineCase {
  const char* name;
  const char* in;
  std::vector<Kind> kinds;
  int64_t start_ms;
  const char* out;
};

std::ostream& operator<<(std::ostream& os, const TimelineCase& c) { return os << c.name; }

class Timeline : public ::testing::TestWithParam<TimelineCase> {};

TEST_P(Timeline, TheCopyStartsAtZeroAndLastsAsLongAsTheInput) {
  const TimelineCase& c = GetParam();
  TempDir dir;
  MediaLayout layout = layout_of(c.kinds);
  layout.start_ms = c.start_ms;
  fixtures::write_media(dir.file(c.in), layout);
  const MediaProperties in = read_properties(dir.file(c.in));
  const fixtures::MediaSummary in_packets = fixtures::read_media(dir.file(c.in));
  ASSERT_NEAR(static_cast<double>(in.start_us), c.start_ms * 1000.0, 1000.0);
  // The same streams from 0, copied: what the copy of the late input must
  // look like.
  layout.start_ms = 0;
  fixtures::write_media(dir.file("zero-" + std::string(c.in)), layout);
  const auto zero = run_worker(dir.file("zero-" + std::string(c.in)), dir.file("zero-" + std::string(c.out)));
  ASSERT_EQ(zero->state, tacetra::MUTE_DONE) << zero->error;
  const MediaProperties zero_out = read_properties(dir.file("zero-" + std::string(c.out)));

  const auto s = run_worker(dir.file(c.in), dir.file(c.out));
  ASSERT_EQ(s->state, tacetra::MUTE_DONE) << s->error;
  // Progress counts the time as read, the input's start included.
  EXPECT_EQ(s->processed_ms, zero->processed_ms + c.start_ms);
  EXPECT_EQ(s->total_ms, in.duration_us / 1000);

  const MediaProperties out = read_properties(dir.file(c.out));
  EXPECT_EQ(out.start_us, zero_out.start_us);
  EXPECT_NEAR(static_cast<double>(out.start_us), 0.0, 1000.0);
  EXPECT_NEAR(static_cast<double>(out.duration_us), static_cast<double>(zero_out.duration_us), 1000.0);

  // Every stream moved by the same amount.
  const fixtures::MediaSummary out_packets = fixtures::read_media(dir.file(c.out));
  std::vector<int64_t> expected_first;
  for (const auto& st : in_packets.streams) {
    if (st.codec_type != AVMEDIA_TYPE_AUDIO) expected_first.push_back(st.first_pts_ms - in.start_us / 1000);
  }
  ASSERT_EQ(out_packets.streams.size(), expected_first.size());
  for (size_t i = 0; i < expected_first.size(); ++i) {
    EXPECT_NEAR(static_cast<double>(out_packets.streams[i].first_pts_ms), static_cast<double>(expected_first[i]), 1.0)
        << "output stream " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, Timeline,
    ::testing::Values(
        // A broadcast recording or camcorder file whose clock starts at an hour.
        TimelineCase{"TsAtAnHourToMp4", "in.ts", {Kind::video, Kind::audio}, 3'600'000, "out.mp4"},
        TimelineCase{"TsAtAnHourToMkv", "in.ts", {Kind::video, Kind::audio}, 3'600'000, "out.mkv"},
        TimelineCase{"TsAtAnHourToTs", "in.ts", {Kind::video, Kind::audio}, 3'600'000, "out.ts"},
        // Video and subtitles move together.
        TimelineCase{"MkvWithSubtitles", "in.mkv", {Kind::video, Kind::audio, Kind::subtitle}, 500, "out.mkv"},
        TimelineCase{"Mp4ToMkv", "in.mp4", {Kind::video, Kind::audio}, 500, "out.mkv"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Codec tags.

struct TagCase {
  const char* name;
  const char* in;
  const char* tag;  // the input's
  const char* out;
  const char* expected;  // the copy's
};

std::ostream& operator<<(std::ostream& os, const TagCase& c) { return os << c.name; }

class CodecTag : public ::testing::TestWithParam<TagCase> {};

TEST_P(CodecTag, KeptWhereTheOutputTakesItForTheCodec) {
  const TagCase& c = GetParam();
  TempDir dir;
  MediaLayout layout = layout_of({Kind::video, Kind::audio});
  layout.video_tag = c.tag;
  fixtures::write_media(dir.file(c.in), layout);
  ASSERT_EQ(fixtures::fourcc(video_of(read_properties(dir.file(c.in))).codec_tag), c.tag);

  EXPECT_EQ(fixtures::fourcc(video_of(mute(dir, c.in, c.out)).codec_tag), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Mpeg4, CodecTag,
    ::testing::Values(
        // AVI names mpeg4 by many tags: the input's stays.
        TagCase{"XvidStaysInAvi", "in.avi", "XVID", "out.avi", "XVID"},
        // MP4 knows mpeg4 only as mp4v: the muxer's own tag replaces it.
        TagCase{"XvidBecomesMp4vInMp4", "in.avi", "XVID", "out.mp4", "mp4v"},
        TagCase{"XvidStaysInNut", "in.avi", "XVID", "out.nut", "XVID"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CodecTag, HevcTaggedHvc1StaysHvc1ForApplesPlayers) {
  if (!fixtures::hevc_encoder_available()) GTEST_SKIP() << "this FFmpeg has no libx265 to write HEVC with";
  TempDir dir;
  for (const char* tag : {"hvc1", "hev1"}) {
    SCOPED_TRACE(tag);
    MediaLayout layout = layout_of({Kind::video, Kind::audio});
    layout.video_codec = fixtures::VideoCodec::hevc;
    layout.video_tag = tag;
    fixtures::write_media(dir.file("in.mp4"), layout);
    const StreamProperties in = video_of(read_properties(dir.file("in.mp4")));
    ASSERT_EQ(in.codec_id, AV_CODEC_ID_HEVC);
    ASSERT_EQ(fixtures::fourcc(in.codec_tag), tag);
    for (const char* out_name : {"out.mp4", "out.mov"}) {
      SCOPED_TRACE(out_name);
      EXPECT_EQ(fixtures::fourcc(video_of(mute(dir, "in.mp4", out_name)).codec_tag), tag);
    }
  }
  // A tag the input does not state is the muxer's to choose.
  MediaLayout untagged = layout_of({Kind::video, Kind::audio});
  untagged.video_codec = fixtures::VideoCodec::hevc;
  fixtures::write_media(dir.file("in.mkv"), untagged);
  EXPECT_EQ(fixtures::fourcc(video_of(mute(dir, "in.mkv", "out.mp4")).codec_tag), "hev1");
}

// ---------------------------------------------------------------------------
// Attached fonts.

TEST(Attachment, AFontOfATypeFfmpegMayNotNameIsKeptWithItsNameAndType) {
  TempDir dir;
  MediaLayout layout = layout_of({Kind::video, Kind::audio, Kind::subtitle, Kind::attachment});
  layout.attachment_mimetype = "font/ttf";  // what current mkvmerge writes
  fixtures::write_media(dir.file("in.mkv"), layout);
  const MediaProperties in = read_properties(dir.file("in.mkv"));
  const StreamProperties* in_font = first_of_type(in, AVMEDIA_TYPE_ATTACHMENT);
  ASSERT_NE(in_font, nullptr);
  ASSERT_EQ(in_font->mimetype, "font/ttf");

  const MediaProperties out = mute(dir, "in.mkv", "out.mkv");
  ASSERT_EQ(out.streams.size(), 3u);  // video, subtitle, font
  const StreamProperties* font = first_of_type(out, AVMEDIA_TYPE_ATTACHMENT);
  ASSERT_NE(font, nullptr) << "the font was dropped";
  EXPECT_EQ(font->filename, "font.ttf");
  EXPECT_EQ(font->mimetype, "font/ttf");
  EXPECT_EQ(font->codec_id, in_font->codec_id);
  EXPECT_EQ(font->extradata, in_font->extradata);
}

}  // namespace
