// Checks that every fixture layout reads back, through libavformat, exactly
// as it was written.
#include "fixtures.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

namespace {

using fixtures::Kind;
using fixtures::MediaLayout;
using fixtures::MediaSummary;
using fixtures::StreamLayout;

int media_type(Kind k) {
  switch (k) {
    case Kind::video:
      return AVMEDIA_TYPE_VIDEO;
    case Kind::audio:
      return AVMEDIA_TYPE_AUDIO;
    case Kind::subtitle:
      return AVMEDIA_TYPE_SUBTITLE;
    case Kind::data:
      return AVMEDIA_TYPE_DATA;
    case Kind::attachment:
      return AVMEDIA_TYPE_ATTACHMENT;
  }
  return AVMEDIA_TYPE_UNKNOWN;
}

struct Layout {
  std::string name;  // also the file name
  MediaLayout layout;
};

std::ostream& operator<<(std::ostream& os, const Layout& l) { return os << l.name; }

MediaLayout layout_of(std::vector<Kind> kinds) {
  MediaLayout s;
  for (Kind k : kinds) s.streams.push_back(StreamLayout{k});
  return s;
}

MediaLayout with(MediaLayout s, void (*change)(MediaLayout&)) {
  change(s);
  return s;
}

std::vector<Layout> layouts() {
  const auto va = layout_of({Kind::video, Kind::audio});
  return {
      {"va.mkv", va},
      {"va.mp4", va},
      {"va.mov", va},
      {"va.nut", va},
      {"va.ts", va},
      {"va.avi", va},
      {"avs.mkv", layout_of({Kind::audio, Kind::video, Kind::subtitle})},
      {"avs.mp4", layout_of({Kind::audio, Kind::video, Kind::subtitle})},
      {"avs.nut", layout_of({Kind::audio, Kind::video, Kind::subtitle})},
      {"v.mkv", layout_of({Kind::video})},
      {"v.mp4", layout_of({Kind::video})},
      {"a.mkv", layout_of({Kind::audio})},
      {"a.mp4", layout_of({Kind::audio})},
      {"s.mkv", layout_of({Kind::subtitle})},
      {"s.mp4", layout_of({Kind::subtitle})},
      {"vad.ts", layout_of({Kind::video, Kind::audio, Kind::data})},
      {"vd.nut", layout_of({Kind::video, Kind::data})},
      {"vt.mkv", layout_of({Kind::video, Kind::attachment})},
      {"start.mkv", with(layout_of({Kind::video, Kind::audio, Kind::subtitle}), [](MediaLayout& s) { s.start_ms = 500; })},
      {"start.mp4", with(layout_of({Kind::video, Kind::audio, Kind::subtitle}), [](MediaLayout& s) { s.start_ms = 500; })},
      {"start.ts", with(layout_of({Kind::video, Kind::audio, Kind::data}), [](MediaLayout& s) { s.start_ms = 500; })},
      {"nopts.avi", with(va, [](MediaLayout& s) { s.omit_pts = true; })},
      {"nodur.mkv",
       with(layout_of({Kind::video, Kind::audio, Kind::subtitle}), [](MediaLayout& s) { s.no_duration = true; })},
      {"nodur_a.mkv", with(layout_of({Kind::audio}), [](MediaLayout& s) { s.no_duration = true; })},
      {"br0.mkv", with(va, [](MediaLayout& s) { s.audio_bit_rate = 0; })},
      {"br0.nut", with(va, [](MediaLayout& s) { s.audio_bit_rate = 0; })},
      {"br128.mp4", with(va, [](MediaLayout& s) { s.audio_bit_rate = 128000; })},
      {"three.mkv", with(va, [](MediaLayout& s) { s.packets_per_stream = 3; })},
      {"ntsc.mp4", with(va, [](MediaLayout& s) { s.frame_rate = {30000, 1001}; })},
      {"rotated.mp4", with(va, [](MediaLayout& s) { s.rotation = 90; })},
      {"hdr.mkv", with(va, [](MediaLayout& s) { s.hdr = true; s.stereo = true; })},
      {"aspect.mkv", with(va, [](MediaLayout& s) { s.stream_aspect = {3, 2}; })},
      {"xvid.avi", with(va, [](MediaLayout& s) { s.video_tag = "XVID"; })},
      {"hevc.mp4", with(va, [](MediaLayout& s) { s.video_codec = fixtures::VideoCodec::hevc; s.video_tag = "hvc1"; })},
  };
}

class Roundtrip : public ::testing::TestWithParam<Layout> {};

TEST_P(Roundtrip, ReadsBackAsWritten) {
  const Layout& l = GetParam();
  if (l.layout.video_codec == fixtures::VideoCodec::hevc && !fixtures::hevc_encoder_available())
    GTEST_SKIP() << "this FFmpeg has no libx265 to write HEVC with";
  fixtures::TempDir dir;
  const std::string path = dir.file(l.name);
  const MediaSummary written = fixtures::write_media(path, l.layout);
  const MediaSummary read = fixtures::read_media(path);

  ASSERT_EQ(read.streams.size(), l.layout.streams.size());
  ASSERT_EQ(written.streams.size(), l.layout.streams.size());
  for (size_t i = 0; i < read.streams.size(); ++i) {
    SCOPED_TRACE("stream " + std::to_string(i));
    const Kind kind = l.layout.streams[i].kind;
    const auto& w = written.streams[i];
    const auto& r = read.streams[i];
    EXPECT_EQ(r.codec_type, media_type(kind));
    // The MP4 muxer stores HEVC with lengths in place of the encoder's start
    // codes: only the packets' count reads back unchanged.
    if (kind == Kind::video && l.layout.video_codec == fixtures::VideoCodec::hevc)
      EXPECT_EQ(r.codec_id, w.codec_id);
    else
      EXPECT_TRUE(fixtures::same_payload(w, r)) << "written: " << w << "\nread:    " << r;

    const bool mp4_lead = kind == Kind::subtitle && l.layout.start_ms > 0 &&
                          (read.format_name.find("mp4") != std::string::npos);
    const int64_t expected = kind == Kind::attachment ? 0 : l.layout.packets_per_stream + (mp4_lead ? 1 : 0);
    EXPECT_EQ(r.packets, expected);
    if (kind == Kind::attachment) continue;

    if (kind == Kind::audio) {
      EXPECT_EQ(r.bit_rate, l.layout.no_duration ? 0 : l.layout.audio_bit_rate);
    }
    if (l.layout.omit_pts && kind == Kind::video) {
      EXPECT_GT(r.packets_without_pts, 0);
      EXPECT_LT(r.packets_without_pts, r.packets);
    } else {
      EXPECT_EQ(r.packets_without_pts, 0);
      EXPECT_EQ(r.first_pts_ms, mp4_lead ? 0 : l.layout.start_ms);
      EXPECT_EQ(r.first_pts_ms, w.first_pts_ms);
    }
  }
  if (l.layout.no_duration)
    EXPECT_EQ(read.duration_us, fixtures::kNoTime);
  else
    EXPECT_GT(read.duration_us, 0);
}

INSTANTIATE_TEST_SUITE_P(Layouts, Roundtrip, ::testing::ValuesIn(layouts()),
                         [](const ::testing::TestParamInfo<Layout>& info) {
                           std::string name = info.param.name;
                           for (char& c : name)
                             if (c == '.') c = '_';
                           return name;
                         });

TEST(Fixtures, WritingIsDeterministicAndSummariesTellFilesApart) {
  fixtures::TempDir dir;
  MediaLayout layout = layout_of({Kind::video, Kind::audio, Kind::subtitle});
  const MediaSummary a = fixtures::read_media((fixtures::write_media(dir.file("a.mkv"), layout), dir.file("a.mkv")));
  const MediaSummary b = fixtures::read_media((fixtures::write_media(dir.file("b.mkv"), layout), dir.file("b.mkv")));
  layout.packets_per_stream = 9;
  const MediaSummary c = fixtures::read_media((fixtures::write_media(dir.file("c.mkv"), layout), dir.file("c.mkv")));
  ASSERT_EQ(a.streams.size(), 3u);
  ASSERT_EQ(c.streams.size(), 3u);
  for (size_t i = 0; i < a.streams.size(); ++i) {
    EXPECT_TRUE(fixtures::same_payload(a.streams[i], b.streams[i])) << a.streams[i] << "\n" << b.streams[i];
    EXPECT_FALSE(fixtures::same_payload(a.streams[i], c.streams[i])) << a.streams[i];
    EXPECT_NE(a.streams[i].payload_hash, c.streams[i].payload_hash);
  }
  EXPECT_NE(a.streams[0].payload_hash, a.streams[1].payload_hash);
}

TEST(Fixtures, NoStreamsOpensWithZeroStreams) {
  fixtures::TempDir dir;
  const std::string path = dir.file("empty.txt");
  fixtures::write_no_streams(path);
  const MediaSummary read = fixtures::read_media(path);
  EXPECT_TRUE(read.streams.empty());
  EXPECT_EQ(read.format_name, "ffmetadata");
}

TEST(Fixtures, LongFileReadsBackAsWritten) {
  fixtures::TempDir dir;
  const int seconds = 3;
  for (const char* name : {"long.mkv", "long.mp4"}) {
    SCOPED_TRACE(name);
    const std::string path = dir.file(name);
    const MediaSummary written = fixtures::write_long(path, seconds);
    const MediaSummary read = fixtures::read_media(path);
    ASSERT_EQ(read.streams.size(), 2u);
    EXPECT_EQ(read.streams[0].codec_type, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(read.streams[1].codec_type, AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(read.streams[0].packets, seconds * 25);
    for (size_t i = 0; i < 2; ++i)
      EXPECT_TRUE(fixtures::same_payload(written.streams[i], read.streams[i])) << written.streams[i] << "\n"
                                                                              << read.streams[i];
    EXPECT_NEAR(static_cast<double>(read.duration_us), seconds * 1e6, 0.05e6);
    // About 0.6 MB a second, so that copying it takes a while.
    const auto size = std::filesystem::file_size(path);
    EXPECT_GT(size, seconds * 500'000u);
    EXPECT_LT(size, seconds * 800'000u);
  }
}

TEST(Fixtures, RejectsWhatTheContainerCannotCarry) {
  fixtures::TempDir dir;
  const auto va = layout_of({Kind::video, Kind::audio});
  const std::vector<Layout> bad = {
      {"sub.ts", layout_of({Kind::video, Kind::subtitle})},
      {"sub.avi", layout_of({Kind::video, Kind::subtitle})},
      {"data.mkv", layout_of({Kind::video, Kind::data})},
      {"data.mp4", layout_of({Kind::video, Kind::data})},
      {"font.mp4", layout_of({Kind::video, Kind::attachment})},
      {"nopts.mkv", with(va, [](MediaLayout& s) { s.omit_pts = true; })},
      {"nopts_audio.avi", with(layout_of({Kind::audio}), [](MediaLayout& s) { s.omit_pts = true; })},
      {"nodur.mp4", with(va, [](MediaLayout& s) { s.no_duration = true; })},
      {"br0.mp4", with(va, [](MediaLayout& s) { s.audio_bit_rate = 0; })},
      {"br_odd.mkv", with(va, [](MediaLayout& s) { s.audio_bit_rate = 12345; })},
      {"start.avi", with(va, [](MediaLayout& s) { s.start_ms = 500; })},
      {"none.mkv", with(va, [](MediaLayout& s) { s.packets_per_stream = 0; })},
      {"no_rate.mkv", with(va, [](MediaLayout& s) { s.frame_rate = {0, 1}; })},
      {"long_tag.mkv", with(va, [](MediaLayout& s) { s.video_tag = "XVID1"; })},
      {"file.unknown-extension", va},
  };
  for (const Layout& l : bad) {
    EXPECT_THROW(fixtures::write_media(dir.file(l.name), l.layout), std::runtime_error) << l.name;
  }
  EXPECT_THROW(fixtures::read_media(dir.file("missing.mkv")), std::runtime_error);
}

TEST(Fixtures, TempDirIsRemovedWithItsContents) {
  std::string path;
  {
    fixtures::TempDir dir;
    path = dir.path();
    ASSERT_TRUE(std::filesystem::is_directory(path));
    std::filesystem::create_directory(dir.file("sub"));
    std::ofstream(dir.file("sub/f.txt")) << "x";
    fixtures::TempDir other;
    EXPECT_NE(other.path(), path);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
