// Copies into containers that cannot hold every stream of the input as it
// is: text subtitles re-encoded cue for cue, other streams left out, a
// refused video still failing; and inputs whose video packets come without
// presentation times. Each case writes an input, runs the worker on it and
// reads the copy back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
}

#include "common/av_handles.h"
#include "jobs/session.h"
#include "jobs/stream_fate.h"
#include "support/cues.h"
#include "support/fixtures.h"
#include "support/jobs.h"

namespace {

namespace fs = std::filesystem;
using fixtures::Cue;
using fixtures::Kind;
using fixtures::layout_of;
using fixtures::MediaLayout;
using fixtures::MediaSummary;
using fixtures::read_cues;
using fixtures::run_worker;
using fixtures::TempDir;
using Fate = tacetra::stream_fate::kind;

tacetra::input_context open_input(const std::string& path, int flags = 0) {
  AVFormatContext* raw = avformat_alloc_context();
  if (raw == nullptr) throw std::runtime_error("oom");
  raw->flags |= flags;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
    throw std::runtime_error("open " + path);
  tacetra::input_context input(raw);
  if (avformat_find_stream_info(raw, nullptr) < 0) throw std::runtime_error("stream info " + path);
  return input;
}

std::set<std::string> names_in(const TempDir& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path()))
    names.insert(entry.path().filename().string());
  return names;
}

// ---------------------------------------------------------------------------
// The plan: what becomes of each stream, by the container's own answer.

struct PlanCase {
  const char* name;
  const char* in;
  std::vector<Kind> kinds;
  const char* out;
  std::vector<Fate> fates;
  std::vector<AVCodecID> to;  // per stream, for converted ones
};

void PrintTo(const PlanCase& c, std::ostream* os) { *os << c.name; }

class StreamPlan : public ::testing::TestWithParam<PlanCase> {};

TEST_P(StreamPlan, AsksTheMuxer) {
  const PlanCase& c = GetParam();
  TempDir dir;
  fixtures::write_media(dir.file(c.in), layout_of(c.kinds));
  const auto input = open_input(dir.file(c.in));
  const AVOutputFormat* format = av_guess_format(nullptr, c.out, nullptr);
  ASSERT_NE(format, nullptr) << c.out;
  const std::vector<tacetra::stream_fate> plan = tacetra::plan_streams(*input, *format);
  ASSERT_EQ(plan.size(), c.fates.size());
  for (std::size_t i = 0; i < plan.size(); ++i) {
    EXPECT_EQ(plan[i].what, c.fates[i]) << "stream " << i;
    const AVCodecID to = c.fates[i] == Fate::converted ? c.to[i] : AV_CODEC_ID_NONE;
    EXPECT_EQ(plan[i].to, to) << "stream " << i << ": " << avcodec_get_name(plan[i].to);
  }
}

constexpr AVCodecID kNone = AV_CODEC_ID_NONE;

INSTANTIATE_TEST_SUITE_P(Containers, StreamPlan,
                         ::testing::Values(
                             // Everything the container holds stays as it is, fonts included.
                             PlanCase{"MkvIntoMkv",
                                      "in.mkv",
                                      {Kind::audio, Kind::video, Kind::subtitle, Kind::attachment},
                                      "out.mkv",
                                      {Fate::dropped, Fate::kept, Fate::kept, Fate::kept},
                                      {}},
                             PlanCase{"MkvIntoMp4",
                                      "in.mkv",
                                      {Kind::audio, Kind::video, Kind::subtitle, Kind::attachment},
                                      "out.mp4",
                                      {Fate::dropped, Fate::kept, Fate::converted, Fate::left_out},
                                      {kNone, kNone, AV_CODEC_ID_MOV_TEXT, kNone}},
                             PlanCase{"MkvIntoMov",
                                      "in.mkv",
                                      {Kind::video, Kind::subtitle},
                                      "out.mov",
                                      {Fate::kept, Fate::converted},
                                      {kNone, AV_CODEC_ID_MOV_TEXT}},
                             PlanCase{"Mp4IntoMkv",
                                      "in.mp4",
                                      {Kind::video, Kind::audio, Kind::subtitle},
                                      "out.mkv",
                                      {Fate::kept, Fate::dropped, Fate::converted},
                                      {kNone, kNone, AV_CODEC_ID_SUBRIP}},
                             // A muxer that cannot say what it holds is taken at its word.
                             PlanCase{"TsIntoTs",
                                      "in.ts",
                                      {Kind::video, Kind::audio, Kind::data},
                                      "out.ts",
                                      {Fate::kept, Fate::dropped, Fate::kept},
                                      {}},
                             PlanCase{"TsIntoMp4",
                                      "in.ts",
                                      {Kind::video, Kind::audio, Kind::data},
                                      "out.mp4",
                                      {Fate::kept, Fate::dropped, Fate::left_out},
                                      {}},
                             PlanCase{"TsIntoMkv",
                                      "in.ts",
                                      {Kind::video, Kind::data},
                                      "out.mkv",
                                      {Fate::kept, Fate::left_out},
                                      {}},
                             // The container refuses the video: the rest is not looked at, and
                             // the job fails at its header.
                             PlanCase{"MkvIntoWebm",
                                      "in.mkv",
                                      {Kind::video, Kind::subtitle},
                                      "out.webm",
                                      {Fate::kept, Fate::kept},
                                      {}}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Converted subtitles: every cue's text, styling and timing read back.

struct ConversionCase {
  const char* name;
  const char* in;
  bool styled;
  const char* out;
  AVCodecID to;
};

void PrintTo(const ConversionCase& c, std::ostream* os) { *os << c.name; }

class SubtitleConversion : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(SubtitleConversion, KeepsEveryCueAndTheRestOfTheFile) {
  const ConversionCase& c = GetParam();
  TempDir dir;
  const std::string in = dir.file(c.in);
  const std::string out = dir.file(c.out);
  MediaLayout layout = layout_of({Kind::video, Kind::audio, Kind::subtitle}, 12);
  layout.styled_subtitles = c.styled;
  const MediaSummary written = fixtures::write_media(in, layout);
  const std::vector<Cue> cues = read_cues(in, 2);
  ASSERT_EQ(cues.size(), 12u);
  ASSERT_EQ(cues[3].text, "Line 4");
  ASSERT_EQ(cues[3].italic, c.styled);

  const auto s = run_worker(in, out);
  ASSERT_EQ(s->state, tacetra::MUTE_DONE) << s->error;
  const MediaSummary copy = fixtures::read_media(out);
  ASSERT_EQ(copy.streams.size(), 2u);
  EXPECT_TRUE(fixtures::same_payload(copy.streams[0], written.streams[0])) << copy.streams[0];
  EXPECT_EQ(copy.streams[1].codec_type, AVMEDIA_TYPE_SUBTITLE);
  EXPECT_EQ(copy.streams[1].codec_id, c.to)
      << avcodec_get_name(static_cast<AVCodecID>(copy.streams[1].codec_id));
  EXPECT_EQ(read_cues(out, 1), cues);
  // Each cue is one packet; the video's and the cues' packets are counted.
  EXPECT_EQ(s->packets, 24);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, SubtitleConversion,
    ::testing::Values(
        ConversionCase{"SrtIntoMp4", "in.mkv", false, "out.mp4", AV_CODEC_ID_MOV_TEXT},
        ConversionCase{"AssIntoMp4", "in.mkv", true, "out.mp4", AV_CODEC_ID_MOV_TEXT},
        ConversionCase{"MovTextIntoMkv", "in.mp4", false, "out.mkv", AV_CODEC_ID_SUBRIP},
        // Held as it is: copied, not converted.
        ConversionCase{"AssIntoMkv", "in.mkv", true, "copy.mkv", AV_CODEC_ID_ASS}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Left out: a data stream and a font MP4 cannot hold; the rest as before.

TEST(LeftOut, DataAndFontsMp4CannotHoldAreLeftOutAndTheRestIsCopied) {
  struct Case {
    const char* in;
    std::vector<Kind> kinds;
    std::size_t kept;  // streams in the copy
  };
  for (const Case& c : {Case{"in.ts", {Kind::video, Kind::audio, Kind::data}, 1},
                        Case{"in.mkv", {Kind::video, Kind::audio, Kind::attachment}, 1},
                        Case{"in.mkv", {Kind::video, Kind::attachment, Kind::subtitle}, 2}}) {
    TempDir dir;
    const std::string in = dir.file(c.in);
    const MediaSummary written = fixtures::write_media(in, layout_of(c.kinds));
    const auto s = run_worker(in, dir.file("out.mp4"));
    ASSERT_EQ(s->state, tacetra::MUTE_DONE) << c.in << ": " << s->error;
    const MediaSummary copy = fixtures::read_media(dir.file("out.mp4"));
    ASSERT_EQ(copy.streams.size(), c.kept) << c.in;
    EXPECT_TRUE(fixtures::same_payload(copy.streams[0], written.streams[0])) << copy.streams[0];
    EXPECT_EQ(s->packets, c.kept == 1 ? 10 : 20) << c.in;
  }
}

// A container that refuses the video still fails the job, and leaves
// nothing behind.
TEST(LeftOut, AVideoTheContainerRefusesStillFails) {
  TempDir dir;
  const std::string in = dir.file("in.mkv");
  fixtures::write_media(in,
                        layout_of({Kind::video, Kind::audio, Kind::subtitle, Kind::attachment}));
  const auto s = run_worker(in, dir.file("out.webm"));
  EXPECT_EQ(s->state, tacetra::MUTE_FAILED);
  EXPECT_STREQ(s->error, "write header failed");
  EXPECT_EQ(names_in(dir), std::set<std::string>{"in.mkv"});
}

// ---------------------------------------------------------------------------
// Video packets without presentation times get them as FFmpeg generates
// them; inputs that have them are read as they are.

struct Times {
  std::int64_t pts_ms;
  std::int64_t dts_ms;
  friend bool operator==(const Times&, const Times&) = default;
};

std::ostream& operator<<(std::ostream& os, const Times& t) {
  return os << t.pts_ms << "/" << t.dts_ms;
}

// The pts of every packet of `stream` in read order, and its dts where the
// container keeps one (not Matroska), in ms.
std::vector<Times> times_of(const std::string& path, int stream, int flags, bool with_dts) {
  const auto input = open_input(path, flags);
  const AVRational tb = input->streams[stream]->time_base;
  tacetra::packet_ptr packet(av_packet_alloc());
  std::vector<Times> times;
  while (av_read_frame(input.get(), packet.get()) >= 0) {
    if (packet->stream_index == stream) {
      if (packet->pts == AV_NOPTS_VALUE)
        throw std::runtime_error("a packet without pts in " + path);
      const std::int64_t pts = av_rescale_q(packet->pts, tb, {1, 1000});
      const std::int64_t dts = with_dts ? av_rescale_q(packet->dts, tb, {1, 1000}) : 0;
      times.push_back({pts, dts});
    }
    av_packet_unref(packet.get());
  }
  return times;
}

std::int64_t latest_pts(const std::vector<Times>& times) {
  std::int64_t latest = INT64_MIN;
  for (const Times& t : times) latest = std::max(latest, t.pts_ms);
  return latest;
}

// The same times from the earliest pts on, so that timelines that start
// elsewhere compare alike.
std::vector<Times> relative(std::vector<Times> times, bool with_dts) {
  std::int64_t earliest = INT64_MAX;
  for (const Times& t : times) earliest = std::min(earliest, t.pts_ms);
  for (Times& t : times) {
    t.pts_ms -= earliest;
    t.dts_ms = with_dts ? t.dts_ms - earliest : 0;
  }
  return times;
}

TEST(GeneratedPts, PacketsWithoutPtsGetTheTimesFFmpegGenerates) {
  TempDir dir;
  const std::string in = dir.file("in.avi");
  MediaLayout layout = layout_of({Kind::video, Kind::audio}, 14);
  layout.omit_pts = true;
  const MediaSummary written = fixtures::write_media(in, layout);
  ASSERT_GT(fixtures::read_media(in).streams[0].packets_without_pts, 0);
  const std::vector<Times> generated = times_of(in, 0, AVFMT_FLAG_GENPTS, true);

  for (const char* out : {"out.mkv", "out.ts"}) {
    const auto s = run_worker(in, dir.file(out));
    ASSERT_EQ(s->state, tacetra::MUTE_DONE) << out << ": " << s->error;
    const bool with_dts = std::string(out) == "out.ts";
    EXPECT_EQ(relative(times_of(dir.file(out), 0, 0, with_dts), with_dts),
              relative(generated, with_dts))
        << out;
    const MediaSummary copy = fixtures::read_media(dir.file(out));
    ASSERT_EQ(copy.streams.size(), 1u) << out;
    EXPECT_TRUE(fixtures::same_payload(copy.streams[0], written.streams[0])) << out;
    // Progress follows the generated times.
    EXPECT_EQ(s->processed_ms, latest_pts(generated)) << out;
  }
}

}  // namespace
