// What the muted copy keeps of its input besides the packets: the tracks'
// names, languages and flags, the file's tags (its date and place among
// them), its chapters and its cover. Each case writes an input, runs the
// worker on it and reads both files back with libavformat: the copy must
// read as the input does.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "jobs/session.h"
#include "support/fixtures.h"
#include "support/jobs.h"
#include "support/properties.h"
#include "support/route.h"

namespace {

using fixtures::ChapterLayout;
using fixtures::ChapterProperties;
using fixtures::Kind;
using fixtures::layout_of;
using fixtures::MediaLayout;
using fixtures::MediaProperties;
using fixtures::read_properties;
using fixtures::run_worker;
using fixtures::Route;
using fixtures::route_name;
using fixtures::StreamLayout;
using fixtures::StreamProperties;
using fixtures::TempDir;

MediaProperties mute(const TempDir& dir, const std::string& in, const std::string& out) {
  const auto s = run_worker(dir.file(in), dir.file(out));
  EXPECT_EQ(s->state, tacetra::MUTE_DONE) << in << " -> " << out << ": " << s->error;
  if (s->state != tacetra::MUTE_DONE) return {};
  return read_properties(dir.file(out));
}

std::vector<StreamProperties> without_audio(const MediaProperties& m) {
  std::vector<StreamProperties> kept;
  for (const StreamProperties& s : m.streams) {
    if (s.codec_type != AVMEDIA_TYPE_AUDIO) kept.push_back(s);
  }
  return kept;
}

// A stream's tags but the one Matroska's muxer writes from the packets.
std::map<std::string, std::string> own_tags(const StreamProperties& s) {
  std::map<std::string, std::string> tags = s.tags;
  tags.erase("duration");
  return tags;
}

std::string tag(const std::map<std::string, std::string>& tags, const std::string& key) {
  const auto it = tags.find(key);
  return it != tags.end() ? it->second : "";
}

// ---------------------------------------------------------------------------
// Tracks: names, languages, flags.

StreamLayout track(Kind kind, const char* language, const char* title, int disposition) {
  return StreamLayout{kind, {{"language", language}, {"title", title}}, disposition};
}

class TrackTags : public ::testing::TestWithParam<Route> {};

// A film with a dubbed sound track, full subtitles, forced subtitles for the
// foreign lines and subtitles for the hard of hearing, each named.
TEST_P(TrackTags, EveryKeptTrackKeepsItsNameLanguageAndFlags) {
  const Route& r = GetParam();
  TempDir dir;
  MediaLayout layout;
  layout.streams = {track(Kind::video, "fre", "Le film", AV_DISPOSITION_DEFAULT),
                    track(Kind::audio, "eng", "English dub", AV_DISPOSITION_DEFAULT),
                    track(Kind::subtitle, "eng", "English", AV_DISPOSITION_DEFAULT),
                    track(Kind::subtitle, "eng", "Foreign parts", AV_DISPOSITION_FORCED),
                    track(Kind::subtitle, "ger", "SDH", AV_DISPOSITION_HEARING_IMPAIRED)};
  fixtures::write_media(dir.file(r.in), layout);
  const std::vector<StreamProperties> in = without_audio(read_properties(dir.file(r.in)));
  ASSERT_GE(in.size(), 4u);
  // What the input's container stores of them, which the copy must keep.
  ASSERT_EQ(tag(in[2].tags, "language"), "eng");
  ASSERT_EQ(tag(in[3].tags, "language"), "ger");
  if (std::string(r.in) == "in.mkv") {
    ASSERT_EQ(tag(in[2].tags, "title"), "Foreign parts");
    ASSERT_TRUE(in[2].disposition & AV_DISPOSITION_FORCED);
    ASSERT_TRUE(in[3].disposition & AV_DISPOSITION_HEARING_IMPAIRED);
    ASSERT_TRUE(in[1].disposition & AV_DISPOSITION_DEFAULT);
    ASSERT_FALSE(in[2].disposition & AV_DISPOSITION_DEFAULT);
  }

  const std::vector<StreamProperties> out = without_audio(mute(dir, r.in, r.out));
  ASSERT_EQ(out.size(), in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "output stream " << i);
    EXPECT_EQ(own_tags(out[i]), own_tags(in[i]));
    EXPECT_EQ(out[i].disposition, in[i].disposition);
  }
}

INSTANTIATE_TEST_SUITE_P(Containers, TrackTags,
                         ::testing::Values(Route{"in.mkv", "out.mkv"}, Route{"in.mp4", "out.mp4"},
                                           Route{"in.mov", "out.mov"}),
                         [](const auto& info) { return route_name(info.param); });

// Across containers the language travels with the picture (MP4 and MOV
// keep no track names).
TEST(TrackTags, TheVideosLanguageCrossesContainers) {
  TempDir dir;
  for (const Route r : {Route{"in.mkv", "out.mp4"}, Route{"in.mp4", "out.mkv"}, Route{"in.mov", "out.mkv"}}) {
    SCOPED_TRACE(testing::Message() << r);
    MediaLayout layout;
    layout.streams = {track(Kind::video, "jpn", "Main feature", AV_DISPOSITION_DEFAULT), {Kind::audio}};
    fixtures::write_media(dir.file(r.in), layout);
    ASSERT_EQ(tag(without_audio(read_properties(dir.file(r.in))).at(0).tags, "language"), "jpn");
    const StreamProperties out = without_audio(mute(dir, r.in, r.out)).at(0);
    EXPECT_EQ(tag(out.tags, "language"), "jpn");
  }
}

// Where the input marks none of several tracks of a type as the default,
// the copy marks the first, so that players show one; a lone track, or a
// type that has its default, stays as it is.
TEST(DefaultTrack, TheFirstOfSeveralIsMarkedWhereNoneIs) {
  struct Case {
    const char* name;
    std::vector<int> subtitle_flags;  // in the input
    std::vector<int> expected;        // in the copy
  };
  const int kDefault = AV_DISPOSITION_DEFAULT;
  const int kForced = AV_DISPOSITION_FORCED;
  const Case cases[] = {
      {"none of two", {0, 0}, {kDefault, 0}},
      {"none of three, the first forced", {kForced, 0, 0}, {kForced | kDefault, 0, 0}},
      {"the second", {0, kDefault}, {0, kDefault}},
      {"a lone one", {0}, {0}},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MediaLayout layout;
    layout.streams = {{Kind::video, {}, kDefault}, {Kind::audio, {}, kDefault}};
    for (const int flags : c.subtitle_flags) layout.streams.push_back({Kind::subtitle, {}, flags});
    fixtures::write_media(dir.file("in.mkv"), layout);
    const std::vector<StreamProperties> in = without_audio(read_properties(dir.file("in.mkv")));
    for (size_t i = 0; i < c.subtitle_flags.size(); ++i) ASSERT_EQ(in.at(i + 1).disposition, c.subtitle_flags[i]);

    const std::vector<StreamProperties> out = without_audio(mute(dir, "in.mkv", "out.mkv"));
    ASSERT_EQ(out.size(), c.expected.size() + 1);
    EXPECT_EQ(out[0].disposition, kDefault);
    for (size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_EQ(out[i + 1].disposition, c.expected[i]) << "subtitle " << i;
    }
  }
}

// ---------------------------------------------------------------------------
// The file's tags.

class FileTags : public ::testing::TestWithParam<Route> {};

// A phone's or camera's clip: its date (what photo libraries sort by), its
// place as ISO 6709 and its words stay; the writing program's name and the
// MP4 brands are the new file's own.
TEST_P(FileTags, TheRecordingsDatePlaceAndWordsStay) {
  const Route& r = GetParam();
  TempDir dir;
  MediaLayout layout = layout_of({Kind::video, Kind::audio});
  layout.tags = {{"title", "Harbour at dusk"},
                 {"artist", "A. Person"},
                 {"comment", "shot handheld"},
                 {"creation_time", "2021-06-01T12:34:56.000000Z"},
                 {"location", "+48.8577+002.2950/"}};
  fixtures::write_media(dir.file(r.in), layout);
  const MediaProperties in = read_properties(dir.file(r.in));
  ASSERT_EQ(tag(in.tags, "creation_time"), "2021-06-01T12:34:56.000000Z");
  ASSERT_EQ(tag(in.tags, "title"), "Harbour at dusk");

  const MediaProperties out = mute(dir, r.in, r.out);
  for (const auto& [key, value] : in.tags) {
    if (key == "encoder" || key == "major_brand" || key == "minor_version" || key == "compatible_brands") continue;
    EXPECT_EQ(tag(out.tags, key), value) << key;
  }
  EXPECT_EQ(tag(out.tags, "creation_time"), "2021-06-01T12:34:56.000000Z");
  if (in.tags.contains("location")) EXPECT_EQ(tag(out.tags, "location"), "+48.8577+002.2950/");
  // Brands and the writer's name are those of the muxer that wrote the copy.
  if (std::string(r.out) == "out.mkv") EXPECT_FALSE(out.tags.contains("major_brand"));
  EXPECT_EQ(tag(out.tags, "encoder").rfind("Lavf", 0), 0u) << tag(out.tags, "encoder");
}

INSTANTIATE_TEST_SUITE_P(Containers, FileTags,
                         ::testing::Values(Route{"in.mp4", "out.mp4"}, Route{"in.mov", "out.mov"},
                                           Route{"in.mov", "out.mp4"}, Route{"in.mp4", "out.mkv"},
                                           Route{"in.mkv", "out.mkv"}, Route{"in.mkv", "out.mov"}),
                         [](const auto& info) { return route_name(info.param); });

TEST(FileTags, AWriterOfItsOwnTagsIsNotCarriedOver) {
  TempDir dir;
  MediaLayout layout = layout_of({Kind::video, Kind::audio});
  layout.tags = {{"title", "kept"}, {"encoder", "SomeOtherMuxer 1.0"}};
  fixtures::write_media(dir.file("in.mkv"), layout);
  const MediaProperties out = mute(dir, "in.mkv", "out.mkv");
  EXPECT_EQ(tag(out.tags, "title"), "kept");
  EXPECT_NE(tag(out.tags, "encoder"), "SomeOtherMuxer 1.0");
}

// ---------------------------------------------------------------------------
// Chapters.

class Chapters : public ::testing::TestWithParam<Route> {};

// The input's streams start at 0.5 s; the copy's start at 0, and its
// chapters move with them: one that ends before the start is gone, one that
// spans it starts at 0. (In MP4 and MOV the chapters' own text track starts
// at 0, so that the file's timeline does too, and nothing moves.)
TEST_P(Chapters, TheyKeepTheirTitlesAndMoveWithTheTimeline) {
  const Route& r = GetParam();
  TempDir dir;
  MediaLayout layout = layout_of({Kind::video, Kind::audio}, 50);  // 2 s from 0.5 s
  layout.start_ms = 500;
  layout.chapters = {{0, 300, "Before"}, {300, 1000, "Opening"}, {1000, 1800, "Middle"}, {1800, 2500, "End"}};
  fixtures::write_media(dir.file(r.in), layout);
  const MediaProperties in = read_properties(dir.file(r.in));
  ASSERT_EQ(in.chapters.size(), 4u);
  const bool moved = std::string(r.in) == "in.mkv";
  ASSERT_NEAR(static_cast<double>(in.start_us), moved ? 500000.0 : 0.0, 1000.0);

  const MediaProperties out = mute(dir, r.in, r.out);
  if (moved) ASSERT_NEAR(static_cast<double>(out.start_us), 0.0, 1000.0);
  const std::vector<ChapterProperties> expected =
      moved ? std::vector<ChapterProperties>{{0, 500, "Opening"}, {500, 1300, "Middle"}, {1300, 2000, "End"}}
            : in.chapters;
  EXPECT_EQ(out.chapters, expected);
}

INSTANTIATE_TEST_SUITE_P(Containers, Chapters,
                         ::testing::Values(Route{"in.mkv", "out.mkv"}, Route{"in.mkv", "out.mp4"},
                                           Route{"in.mp4", "out.mp4"}, Route{"in.mp4", "out.mkv"},
                                           Route{"in.mov", "out.mov"}),
                         [](const auto& info) { return route_name(info.param); });

// ---------------------------------------------------------------------------
// Cover pictures.

const StreamProperties* cover_of(const MediaProperties& m) {
  for (const StreamProperties& s : m.streams) {
    if (s.disposition & AV_DISPOSITION_ATTACHED_PIC) return &s;
  }
  return nullptr;
}

// Where FFmpeg cannot decode PNG it cannot tell a cover's size, and muxers
// refuse a picture without one; the tests' own minimal FFmpeg builds lack it.
bool reads_covers() { return avcodec_find_decoder(AV_CODEC_ID_PNG) != nullptr; }

int tracks_of_type(const MediaProperties& m, int type) {
  int n = 0;
  for (const StreamProperties& s : m.streams) {
    if (s.codec_type == type && !(s.disposition & AV_DISPOSITION_ATTACHED_PIC)) ++n;
  }
  return n;
}

// A cover stays a cover, the same picture, and does not turn into a video
// track of one frame.
TEST(Cover, AVideosCoverStaysACover) {
  if (!reads_covers()) GTEST_SKIP() << "this FFmpeg has no PNG decoder";
  TempDir dir;
  // MOV has no place for a cover: FFmpeg's muxer leaves it out.
  for (const Route r : {Route{"in.mp4", "out.mp4"}, Route{"in.mp4", "out.mkv"}, Route{"in.mkv", "out.mkv"},
                        Route{"in.mkv", "out.mp4"}}) {
    SCOPED_TRACE(testing::Message() << r);
    fixtures::write_media(dir.file(r.in), layout_of({Kind::video, Kind::audio, Kind::cover}));
    const MediaProperties in = read_properties(dir.file(r.in));
    const StreamProperties* in_cover = cover_of(in);
    ASSERT_NE(in_cover, nullptr);
    ASSERT_FALSE(in_cover->attached_pic.empty());

    const MediaProperties out = mute(dir, r.in, r.out);
    const StreamProperties* cover = cover_of(out);
    ASSERT_NE(cover, nullptr) << "the cover was lost or became a track";
    EXPECT_EQ(cover->codec_id, AV_CODEC_ID_PNG);
    EXPECT_EQ(cover->attached_pic, in_cover->attached_pic);
    EXPECT_EQ(tracks_of_type(out, AVMEDIA_TYPE_VIDEO), 1);
  }
}

// A song with its album art, muted into an M4A (where this FFmpeg has the
// muxer) and an MP4: what is left is the cover.
TEST(Cover, ASongsCoverIsWhatItsMutedCopyHolds) {
  if (!reads_covers()) GTEST_SKIP() << "this FFmpeg has no PNG decoder";
  TempDir dir;
  fixtures::write_media(dir.file("in.mp4"), layout_of({Kind::audio, Kind::cover}));
  const MediaProperties in = read_properties(dir.file("in.mp4"));
  const StreamProperties* in_cover = cover_of(in);
  ASSERT_NE(in_cover, nullptr);
  for (const char* out_name : {"out.m4a", "out.mp4"}) {
    if (av_guess_format(nullptr, out_name, nullptr) == nullptr) continue;
    SCOPED_TRACE(out_name);
    const MediaProperties out = mute(dir, "in.mp4", out_name);
    ASSERT_EQ(out.streams.size(), 1u);
    EXPECT_TRUE(out.streams[0].disposition & AV_DISPOSITION_ATTACHED_PIC);
    EXPECT_EQ(out.streams[0].attached_pic, in_cover->attached_pic);
  }
}

}  // namespace
