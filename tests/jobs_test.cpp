// The job engine: start checks, slots, cancel and free, and the worker's copy.
// Worker cases run mute_thread synchronously on a record filled as
// tacetra_start fills it, so that every outcome is deterministic; the
// exported functions are then checked on the same scenarios.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include "common/av_handles.h"
#include "jobs/session.h"
#include "support/files.h"
#include "support/fixtures.h"
#include "support/jobs.h"
#include "support/properties.h"
#include "tacetra.h"

namespace {

namespace fs = std::filesystem;
using fixtures::exists;
using fixtures::FreeAllSlots;
using fixtures::Kind;
using fixtures::layout_of;
using fixtures::MediaLayout;
using fixtures::MediaSummary;
using fixtures::names_in;
using fixtures::read_bytes;
using fixtures::run_worker;
using fixtures::StreamSummary;
using fixtures::TempDir;
using fixtures::wait_final;
using fixtures::write_bytes;
using fixtures::write_good_input;
using tacetra::g_sessions;
using tacetra::mute_session;

// What the worker must keep of an input: every stream but audio and those
// whose codec FFmpeg does not know, in input order.
std::vector<StreamSummary> kept_streams(const MediaSummary& in) {
  std::vector<StreamSummary> kept;
  for (const StreamSummary& s : in.streams) {
    if (s.codec_type != AVMEDIA_TYPE_AUDIO && s.codec_id != AV_CODEC_ID_NONE) kept.push_back(s);
  }
  return kept;
}

std::int64_t packets_of(const std::vector<StreamSummary>& streams) {
  std::int64_t sum = 0;
  for (const StreamSummary& s : streams) sum += s.packets;
  return sum;
}

// The output holds the kept streams of the input, in order, packet for packet.
void expect_stripped_copy(const MediaSummary& in, const std::string& out_path) {
  const std::vector<StreamSummary> kept = kept_streams(in);
  const MediaSummary out = fixtures::read_media(out_path);
  ASSERT_EQ(out.streams.size(), kept.size()) << out_path;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    EXPECT_TRUE(fixtures::same_payload(out.streams[i], kept[i]))
        << "output stream " << i << ": " << out.streams[i] << "\nexpected: " << kept[i];
  }
}

std::int64_t duration_ms(const MediaSummary& m) {
  return m.duration_us == fixtures::kNoTime ? 0 : m.duration_us / 1000;
}

// A path of exactly `length` bytes to `name` in `dir`, padded with "./".
std::string path_of_length(const TempDir& dir, const std::string& name, std::size_t length) {
  std::string path = dir.path() + "/";
  const std::size_t fixed = path.size() + name.size();
  if (length < fixed) throw std::logic_error("path too short to pad");
  std::size_t pad = length - fixed;
  if (pad % 2 == 1) {
    path += "/";
    --pad;
  }
  for (; pad > 0; pad -= 2) path += "./";
  return path + name;
}

// ---------------------------------------------------------------------------
// tacetra_start: its codes and the order of its tests.

TEST(StartArguments, NullEmptyAndOverlongPathsAreRefusedFirst) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string good = write_good_input(dir, "in.mkv");
  const std::string out = dir.file("out.mkv");
  // 1,198 bytes pass the argument test (then the missing input gives -3);
  // 1,199 bytes do not, although the 1,200-byte field would hold them.
  const std::string missing_1198 = path_of_length(dir, "missing.mkv", 1198);
  const std::string missing_1199 = path_of_length(dir, "missing.mkv", 1199);
  const std::string out_1199 = path_of_length(dir, "out.mkv", 1199);
  struct Case {
    const char* what;
    const char* in;
    const char* out;
    int expected;
  };
  const Case cases[] = {
      {"null input", nullptr, out.c_str(), TACETRA_ERR_ARGS},
      {"empty input", "", out.c_str(), TACETRA_ERR_ARGS},
      {"null output", good.c_str(), nullptr, TACETRA_ERR_ARGS},
      {"empty output", good.c_str(), "", TACETRA_ERR_ARGS},
      {"both null", nullptr, nullptr, TACETRA_ERR_ARGS},
      {"1,199-byte input", missing_1199.c_str(), out.c_str(), TACETRA_ERR_ARGS},
      {"1,199-byte output", good.c_str(), out_1199.c_str(), TACETRA_ERR_ARGS},
      {"1,198-byte input", missing_1198.c_str(), out.c_str(), TACETRA_ERR_OPEN},
      {"null output, missing input", "/nonexistent/in.mkv", nullptr, TACETRA_ERR_ARGS},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tacetra_start(c.in, c.out), c.expected) << c.what;
    EXPECT_EQ(tacetra_status(0), -1) << c.what << " took a slot";
  }
  EXPECT_FALSE(exists(out));
}

TEST(StartArguments, A1198ByteOutputPathIsStoredWhole) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = write_good_input(dir, "in.mkv");
  // One path component longer than any file system allows: the job starts
  // and then fails to create its output, which is all this needs.
  std::string out = dir.path() + "/" + std::string(1198 - dir.path().size() - 1 - 4, 'o') + ".mkv";
  ASSERT_EQ(out.size(), 1198u);
  const int id = tacetra_start(in.c_str(), out.c_str());
  ASSERT_EQ(id, 0);
  EXPECT_EQ(std::string(g_sessions[0].out_path), out);
  EXPECT_EQ(wait_final(id), TACETRA_FAILED);
  EXPECT_STREQ(g_sessions[0].error, "cannot open output file");
}

// Inputs that tacetra_start refuses, and the code for each, whether slots are
// free or all four are busy: the input is judged before the table is searched.
class StartOrder : public ::testing::TestWithParam<bool> {};

TEST_P(StartOrder, InputsAreJudgedBeforeTheSlotSearch) {
  const bool all_busy = GetParam();
  TempDir dir;
  FreeAllSlots guard;
  const std::string good = write_good_input(dir, "good.mkv");
  if (all_busy) {
    for (int id = 0; id < 4; ++id) {
      const std::string out = dir.file("busy" + std::to_string(id) + ".mkv");
      ASSERT_EQ(tacetra_start(good.c_str(), out.c_str()), id);
    }
    // Finished jobs keep their slots however long ago they ended.
    for (int id = 0; id < 4; ++id) ASSERT_EQ(wait_final(id), TACETRA_DONE);
  }

  write_bytes(dir.file("text.mkv"), "this is not a media file at all\n");
  fixtures::write_no_streams(dir.file("no_streams.ffmeta"));
  fixtures::write_media(dir.file("audio.mkv"), layout_of({Kind::audio}));
  fixtures::write_media(dir.file("subtitles.mkv"), layout_of({Kind::subtitle}));
  fixtures::write_media(dir.file("data_audio.nut"), layout_of({Kind::data, Kind::audio}));
  fixtures::write_media(dir.file("video.mkv"), layout_of({Kind::video}));
  fixtures::write_media(dir.file("video_subtitles.mkv"), layout_of({Kind::video, Kind::subtitle}));
  struct Case {
    std::string in;
    std::string out;
    int expected;
  };
  const Case cases[] = {
      {good, good, TACETRA_ERR_ARGS},  // the output names the input
      {dir.file("missing.mkv"), dir.file("o1.mkv"), TACETRA_ERR_OPEN},
      {dir.file("text.mkv"), dir.file("o2.mkv"), TACETRA_ERR_OPEN},
      {dir.file("no_streams.ffmeta"), dir.file("o3.mkv"), TACETRA_ERR_NO_VIDEO},
      {dir.file("audio.mkv"), dir.file("o4.mkv"), TACETRA_ERR_NO_VIDEO},
      {dir.file("subtitles.mkv"), dir.file("o5.mkv"), TACETRA_ERR_NO_VIDEO},
      {dir.file("data_audio.nut"), dir.file("o6.mkv"), TACETRA_ERR_NO_VIDEO},
      {dir.file("video.mkv"), dir.file("o7.mkv"), TACETRA_ERR_NO_AUDIO},
      {dir.file("video_subtitles.mkv"), dir.file("o8.mkv"), TACETRA_ERR_NO_AUDIO},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tacetra_start(c.in.c_str(), c.out.c_str()), c.expected) << c.in;
    if (c.out != c.in) {
      EXPECT_FALSE(exists(c.out)) << c.in;
    }
  }
  for (int id = 0; id < 4; ++id) EXPECT_EQ(tacetra_status(id), all_busy ? TACETRA_DONE : -1);
  EXPECT_EQ(tacetra_start(good.c_str(), dir.file("last.mkv").c_str()), all_busy ? TACETRA_ERR_BUSY : 0);
}

INSTANTIATE_TEST_SUITE_P(SlotsFreeOrBusy, StartOrder, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "AllBusy" : "Free"; });

// ---------------------------------------------------------------------------
// Slots.

TEST(Slots, AreHandedOutLowestFirstAndKeptUntilFreed) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = write_good_input(dir, "in.mkv");
  auto out = [&](int n) { return dir.file("out" + std::to_string(n) + ".mkv"); };
  for (int n = 0; n < 4; ++n) ASSERT_EQ(tacetra_start(in.c_str(), out(n).c_str()), n);
  for (int id = 0; id < 4; ++id) ASSERT_EQ(wait_final(id), TACETRA_DONE);
  EXPECT_EQ(tacetra_start(in.c_str(), out(4).c_str()), TACETRA_ERR_BUSY);

  tacetra_free(1);
  EXPECT_EQ(tacetra_status(1), -1);
  EXPECT_EQ(tacetra_start(in.c_str(), out(5).c_str()), 1);
  tacetra_free(2);
  tacetra_free(0);
  EXPECT_EQ(tacetra_start(in.c_str(), out(6).c_str()), 0);
  EXPECT_EQ(tacetra_start(in.c_str(), out(7).c_str()), 2);
  EXPECT_EQ(tacetra_start(in.c_str(), out(8).c_str()), TACETRA_ERR_BUSY);
  for (int id = 0; id < 4; ++id) EXPECT_EQ(wait_final(id), TACETRA_DONE);
}

TEST(Slots, AReusedSlotStartsFromZeroFiguresAndEmptyTexts) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = write_good_input(dir, "in.mkv");
  ASSERT_EQ(tacetra_start(in.c_str(), dir.file("first.mkv").c_str()), 0);
  ASSERT_EQ(wait_final(0), TACETRA_DONE);
  const mute_session& s = g_sessions[0];
  ASSERT_GT(s.packets, 0);
  ASSERT_GT(s.processed_ms, 0);
  ASSERT_GT(s.out_size_bytes, 0);
  const char* progress = tacetra_progress(0);
  const char* result = tacetra_result(0);
  ASSERT_STRNE(progress, "");
  ASSERT_STRNE(result, "");
  tacetra_cancel(0);
  tacetra_free(0);
  ASSERT_EQ(s.cancel, 1);

  // The second job fails before it copies anything, so every figure it shows
  // is one that tacetra_start cleared.
  const std::string small = dir.file("small.mkv");
  fixtures::write_media(small, layout_of({Kind::video, Kind::audio}, 3));
  ASSERT_EQ(tacetra_start(small.c_str(), dir.file("no_container.unknownext").c_str()), 0);
  EXPECT_EQ(s.cancel, 0);
  EXPECT_EQ(s.in_size_bytes, static_cast<std::int64_t>(fs::file_size(small)));
  EXPECT_STREQ(progress, "") << "old progress text pointer";
  EXPECT_STREQ(result, "") << "old result text pointer";
  ASSERT_EQ(wait_final(0), TACETRA_FAILED);
  EXPECT_STREQ(s.error, "cannot create output");
  EXPECT_EQ(s.packets, 0);
  EXPECT_EQ(s.processed_ms, 0);
  EXPECT_EQ(s.out_size_bytes, 0);
  EXPECT_EQ(s.elapsed_ms, 0);
  EXPECT_EQ(s.total_ms, 120);  // three 40 ms frames
}

TEST(Slots, InvalidIdsAndFreeSlotsAreLeftAlone) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = write_good_input(dir, "in.mkv");
  // Slot 3 stays free; the others hold finished jobs.
  for (int id = 0; id < 3; ++id) {
    ASSERT_EQ(tacetra_start(in.c_str(), dir.file("out" + std::to_string(id) + ".mkv").c_str()), id);
    ASSERT_EQ(wait_final(id), TACETRA_DONE);
  }
  // Ids that a careless mask or modulo would map onto a real slot.
  for (int bad : {-1, 4, -4, 5, 7, INT_MIN, INT_MAX}) {
    EXPECT_EQ(tacetra_status(bad), -1) << bad;
    tacetra_cancel(bad);
    tacetra_free(bad);
  }
  g_sessions[3].cancel = 0;  // whatever an earlier job in this process left there
  tacetra_cancel(3);
  tacetra_free(3);
  EXPECT_EQ(tacetra_status(3), -1);
  EXPECT_EQ(g_sessions[3].cancel, 0) << "cancel wrote into a free slot";
  for (int id = 0; id < 3; ++id) {
    EXPECT_EQ(tacetra_status(id), TACETRA_DONE) << id;
    EXPECT_EQ(g_sessions[id].cancel, 0) << id;
    EXPECT_TRUE(exists(dir.file("out" + std::to_string(id) + ".mkv"))) << id;
  }
}

// ---------------------------------------------------------------------------
// Cancel and free in each phase of a job.

TEST(JobControl, CancelAndFreeOfAFinishedJobKeepItsOutput) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = write_good_input(dir, "in.mkv");
  const std::string out = dir.file("out.mkv");
  ASSERT_EQ(tacetra_start(in.c_str(), out.c_str()), 0);
  ASSERT_EQ(wait_final(0), TACETRA_DONE);
  const std::string bytes = read_bytes(out);
  ASSERT_FALSE(bytes.empty());

  tacetra_cancel(0);
  EXPECT_EQ(g_sessions[0].cancel, 1);
  EXPECT_EQ(tacetra_status(0), TACETRA_DONE);
  tacetra_free(0);
  EXPECT_EQ(tacetra_status(0), -1);
  EXPECT_EQ(g_sessions[0].thread, nullptr);
  EXPECT_TRUE(read_bytes(out) == bytes);
  tacetra_free(0);  // a second free does nothing
  EXPECT_TRUE(read_bytes(out) == bytes);
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.mkv", "out.mkv"}));
}

TEST(JobControl, ACancelBeforeTheFirstPacketStopsTheWorkerThere) {
  TempDir dir;
  const std::string in = write_good_input(dir, "in.mkv");
  const std::string out = dir.file("out.mkv");
  const auto s = run_worker(in, out, /*cancel_first=*/true);
  EXPECT_EQ(s->state, tacetra::MUTE_CANCELLED);
  EXPECT_STREQ(s->error, "");
  EXPECT_EQ(s->total_ms, 400);  // set before the copy began
  EXPECT_EQ(s->packets, 0);
  EXPECT_EQ(s->processed_ms, 0);
  EXPECT_EQ(s->out_size_bytes, 0);
  EXPECT_EQ(s->elapsed_ms, 0);
  EXPECT_EQ(names_in(dir), std::set<std::string>{"in.mkv"});
}

// Through the exported functions a cancel or free can come at any point of a
// long copy; whichever end the job reached, what it left must match it.
TEST(JobControl, CancelOrFreeDuringTheCopyLeavesOnlyADoneOutput) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = dir.file("long.mkv");
  const MediaSummary written = fixtures::write_long(in, 20);
  const std::int64_t video_packets = written.streams[0].packets;
  const std::string out_cancel = dir.file("cancelled.mkv");
  const std::string out_free = dir.file("freed.mkv");
  const std::string out_pending = dir.file("pending.mkv");

  ASSERT_EQ(tacetra_start(in.c_str(), out_cancel.c_str()), 0);
  tacetra_cancel(0);
  ASSERT_EQ(tacetra_start(in.c_str(), out_free.c_str()), 1);
  while (tacetra_status(1) != TACETRA_RUNNING && !tacetra::is_final(tacetra_status(1))) {
    std::this_thread::yield();
  }
  tacetra_free(1);  // returns once the worker has ended
  EXPECT_EQ(g_sessions[1].thread, nullptr);
  const int freed = g_sessions[1].state;
  ASSERT_EQ(tacetra_start(in.c_str(), out_pending.c_str()), 1);
  tacetra_free(1);  // right after the start
  const int pending = g_sessions[1].state;

  const int cancelled = wait_final(0);
  tacetra_free(0);
  const struct {
    int state;
    std::string out;
  } ends[] = {{cancelled, out_cancel}, {freed, out_free}, {pending, out_pending}};
  for (const auto& end : ends) {
    ASSERT_TRUE(end.state == TACETRA_CANCELLED || end.state == TACETRA_DONE) << end.out;
    if (end.state == TACETRA_DONE) {
      EXPECT_EQ(fixtures::read_media(end.out).streams.at(0).packets, video_packets);
    } else {
      EXPECT_FALSE(exists(end.out)) << end.out;
    }
  }
  for (const auto& name : names_in(dir)) {
    EXPECT_EQ(name.find(".part"), std::string::npos) << name << " left behind";
  }
}

// ---------------------------------------------------------------------------
// The worker's copy.

struct CopyCase {
  const char* name;
  const char* in;
  std::vector<Kind> kinds;
  const char* out;
};

void PrintTo(const CopyCase& c, std::ostream* os) { *os << c.name; }

class WorkerCopy : public ::testing::TestWithParam<CopyCase> {};

TEST_P(WorkerCopy, KeepsEveryNonAudioStreamInOrderPacketForPacket) {
  const CopyCase& c = GetParam();
  TempDir dir;
  const std::string in = dir.file(c.in);
  const std::string out = dir.file(c.out);
  fixtures::write_media(in, layout_of(c.kinds));
  const MediaSummary input = fixtures::read_media(in);

  const auto s = run_worker(in, out);
  ASSERT_EQ(s->state, tacetra::MUTE_DONE) << s->error;
  EXPECT_STREQ(s->error, "");
  expect_stripped_copy(input, out);
  EXPECT_EQ(s->packets, packets_of(kept_streams(input)));  // copied packets only
  EXPECT_EQ(s->total_ms, duration_ms(input));
  EXPECT_EQ(s->out_size_bytes, static_cast<std::int64_t>(fs::file_size(out)));
  EXPECT_GE(s->elapsed_ms, 0);
  EXPECT_EQ(names_in(dir), (std::set<std::string>{c.in, c.out}));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, WorkerCopy,
    ::testing::Values(
        // stream map [0, -1]
        CopyCase{"VideoAudio", "in.mkv", {Kind::video, Kind::audio}, "out.mkv"},
        // stream map [-1, 0, 1]: the subtitle becomes output stream 1
        CopyCase{"AudioVideoSubtitle", "in.mkv", {Kind::audio, Kind::video, Kind::subtitle}, "out.mkv"},
        CopyCase{"Mp4WithMovText", "in.mp4", {Kind::video, Kind::audio, Kind::subtitle}, "out.mp4"},
        CopyCase{"NutWithData", "in.nut", {Kind::video, Kind::audio, Kind::data}, "out.nut"},
        CopyCase{"TsWithKlv", "in.ts", {Kind::audio, Kind::video, Kind::audio, Kind::data}, "out.ts"},
        CopyCase{"MovToMkv", "in.mov", {Kind::video, Kind::audio}, "out.mkv"},
        // an attached subtitle font keeps the file name and type muxers need
        CopyCase{"MkvWithFont", "in.mkv", {Kind::video, Kind::audio, Kind::subtitle, Kind::attachment},
                 "out.mkv"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Worker, ProgressIsTheLargestPtsCopiedWithNoStartOffsetTakenOff) {
  TempDir dir;
  const std::string in = dir.file("late.mkv");
  MediaLayout layout = layout_of({Kind::video, Kind::audio}, 1);
  layout.start_ms = 500;
  fixtures::write_media(in, layout);
  const auto one = run_worker(in, dir.file("one.mkv"));
  ASSERT_EQ(one->state, tacetra::MUTE_DONE) << one->error;
  EXPECT_EQ(one->packets, 1);
  EXPECT_EQ(one->processed_ms, 500);

  // Ten frames from 0.5 s: the last one is at 0.5 s + 9 * 40 ms. The audio,
  // which is dropped, is not counted.
  layout.packets_per_stream = 10;
  fixtures::write_media(in, layout);
  const auto ten = run_worker(in, dir.file("ten.mkv"));
  ASSERT_EQ(ten->state, tacetra::MUTE_DONE) << ten->error;
  EXPECT_EQ(ten->packets, 10);
  EXPECT_EQ(ten->processed_ms, 860);
}

// The largest pts (in ms) among a stream's packets that have one, read here
// independently of the worker.
// The largest pts of a stream, read as it is or with FFmpeg's generated pts
// (`flags` AVFMT_FLAG_GENPTS); also how many of its packets have none.
std::int64_t largest_pts_ms(const std::string& path, int stream, int flags, int& without_pts) {
  tacetra::input_context input;
  AVFormatContext* ctx = avformat_alloc_context();
  if (ctx == nullptr) throw std::runtime_error("oom");
  ctx->flags |= flags;
  if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) throw std::runtime_error("open");
  input.reset(ctx);
  if (avformat_find_stream_info(ctx, nullptr) < 0) throw std::runtime_error("stream info");
  tacetra::packet_ptr packet(av_packet_alloc());
  std::int64_t largest = 0;
  without_pts = 0;
  while (av_read_frame(ctx, packet.get()) >= 0) {
    if (packet->stream_index == stream && packet->pts == AV_NOPTS_VALUE) ++without_pts;
    if (packet->stream_index == stream && packet->pts != AV_NOPTS_VALUE) {
      largest = std::max(largest, av_rescale_q(packet->pts, ctx->streams[stream]->time_base, {1, 1000}));
    }
    av_packet_unref(packet.get());
  }
  return largest;
}

// AVI keeps no pts: its reader hands out the I and P frames of a video with
// B-frames without one. With two frames neither has a pts; with eleven the
// last one (at 400 ms) has none. The copy reads them with the pts FFmpeg
// generates, and its progress follows those.
TEST(Worker, PacketsWithoutPtsAreCopiedWithGeneratedPts) {
  for (int frames : {2, 11}) {
    TempDir dir;
    const std::string in = dir.file("in.avi");
    MediaLayout layout = layout_of({Kind::video, Kind::audio}, frames);
    layout.omit_pts = true;
    fixtures::write_media(in, layout);
    const MediaSummary input = fixtures::read_media(in);
    int without_pts = 0;
    ASSERT_LT(largest_pts_ms(in, 0, 0, without_pts), (frames - 1) * 40) << "the last frame has a pts";
    ASSERT_GT(without_pts, 0) << frames;
    const std::int64_t largest = largest_pts_ms(in, 0, AVFMT_FLAG_GENPTS, without_pts);
    ASSERT_EQ(without_pts, 0) << frames;

    const auto s = run_worker(in, dir.file("out.avi"));
    ASSERT_EQ(s->state, tacetra::MUTE_DONE) << frames << ": " << s->error;
    EXPECT_EQ(s->packets, frames);
    EXPECT_EQ(s->processed_ms, largest) << frames;
    expect_stripped_copy(input, dir.file("out.avi"));
  }
}

TEST(Worker, AnInputWithoutDurationHasTotalZeroAndStillCopies) {
  TempDir dir;
  const std::string in = dir.file("live.mkv");
  MediaLayout layout = layout_of({Kind::video, Kind::audio});
  layout.no_duration = true;
  fixtures::write_media(in, layout);
  const MediaSummary input = fixtures::read_media(in);
  ASSERT_EQ(input.duration_us, fixtures::kNoTime);

  const auto s = run_worker(in, dir.file("out.mkv"));
  ASSERT_EQ(s->state, tacetra::MUTE_DONE) << s->error;
  EXPECT_EQ(s->total_ms, 0);
  EXPECT_EQ(s->processed_ms, 360);
  expect_stripped_copy(input, dir.file("out.mkv"));
}

TEST(Worker, ATruncatedInputEndsDoneWithWhatWasCopied) {
  TempDir dir;
  const std::string in = dir.file("cut.mkv");
  fixtures::write_media(in, layout_of({Kind::video, Kind::audio}, 40));
  fs::resize_file(in, fs::file_size(in) * 6 / 10);
  const MediaSummary input = fixtures::read_media(in);
  ASSERT_LT(input.streams[0].packets, 40);

  const auto s = run_worker(in, dir.file("out.mkv"));
  ASSERT_EQ(s->state, tacetra::MUTE_DONE) << s->error;
  EXPECT_EQ(s->packets, input.streams[0].packets);
  EXPECT_GT(s->packets, 0);
  expect_stripped_copy(input, dir.file("out.mkv"));
}

// Failures before the copy: the text, the figures, and nothing left behind.
struct FailureCase {
  const char* name;
  const char* out;
  bool missing_input;
  const char* error;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class WorkerFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(WorkerFailure, EndsFailedWithItsTextAndWritesNothing) {
  const FailureCase& c = GetParam();
  TempDir dir;
  const std::string in = dir.file("in.mkv");
  if (!c.missing_input) {
    // An mpeg4 video, which .webm cannot hold.
    fixtures::write_media(in, layout_of({Kind::video, Kind::audio, Kind::subtitle}));
  }
  const std::set<std::string> before = names_in(dir);

  const auto s = run_worker(in, dir.file(c.out));
  EXPECT_EQ(s->state, tacetra::MUTE_FAILED);
  EXPECT_STREQ(s->error, c.error);
  EXPECT_EQ(s->total_ms, c.missing_input ? 0 : 2000);
  EXPECT_EQ(s->packets, 0);
  EXPECT_EQ(s->processed_ms, 0);
  EXPECT_EQ(s->out_size_bytes, 0);
  EXPECT_EQ(s->elapsed_ms, 0);
  EXPECT_EQ(names_in(dir), before);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, WorkerFailure,
    ::testing::Values(FailureCase{"MissingInput", "out.mkv", true, "cannot open input"},
                      FailureCase{"NameWithoutContainer", "out.nosuchformat", false, "cannot create output"},
                      FailureCase{"NameWithoutExtension", "out", false, "cannot create output"},
                      FailureCase{"HeaderRefused", "out.webm", false, "write header failed"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The output names the input, or a path another live job uses.

TEST(OutputCollision, AnOutputThatIsTheInputIsRefusedWhateverItsSpelling) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = write_good_input(dir, "in.mkv");
  const std::string bytes = read_bytes(in);
  const std::string dotted = dir.path() + "/./in.mkv";
  const std::string via_parent = dir.path() + "/../" + fs::path(dir.path()).filename().string() + "/in.mkv";
  EXPECT_EQ(tacetra_start(in.c_str(), in.c_str()), TACETRA_ERR_ARGS);
  EXPECT_EQ(tacetra_start(in.c_str(), dotted.c_str()), TACETRA_ERR_ARGS);
  EXPECT_EQ(tacetra_start(dotted.c_str(), via_parent.c_str()), TACETRA_ERR_ARGS);
  // Before the input is opened: a missing input named twice is -1, not -3.
  const std::string missing = dir.file("missing.mkv");
  EXPECT_EQ(tacetra_start(missing.c_str(), missing.c_str()), TACETRA_ERR_ARGS);

  // Relative spellings against absolute ones.
  const fs::path cwd = fs::current_path();
  fs::current_path(dir.path());
  EXPECT_EQ(tacetra_start("in.mkv", "./in.mkv"), TACETRA_ERR_ARGS);
  EXPECT_EQ(tacetra_start(in.c_str(), "in.mkv"), TACETRA_ERR_ARGS);
  EXPECT_EQ(tacetra_start("./in.mkv", in.c_str()), TACETRA_ERR_ARGS);
  fs::current_path(cwd);

  EXPECT_EQ(tacetra_status(0), -1);
  EXPECT_TRUE(read_bytes(in) == bytes);
  EXPECT_EQ(names_in(dir), std::set<std::string>{"in.mkv"});
}

// Another slot's paths count only while its job is pending or running. The
// other slot is filled by hand, so that its job holds still in that state.
TEST(OutputCollision, AnotherLiveJobsInputOrOutputIsRefused) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = write_good_input(dir, "in.mkv");
  const std::string other_in = write_good_input(dir, "other_in.mkv");
  const std::string other_in_bytes = read_bytes(other_in);
  const std::string other_out = dir.file("other_out.mkv");  // not there while that job runs
  mute_session& other = g_sessions[2];
  other.in_use = 1;
  std::snprintf(other.in_path, sizeof other.in_path, "%s", other_in.c_str());
  std::snprintf(other.out_path, sizeof other.out_path, "%s", other_out.c_str());
  // Absolute already: as tacetra_start would have resolved them.
  std::snprintf(other.in_path_resolved, sizeof other.in_path_resolved, "%s", other_in.c_str());
  std::snprintf(other.out_path_resolved, sizeof other.out_path_resolved, "%s", other_out.c_str());
  const std::string other_in_dotted = dir.path() + "/./other_in.mkv";
  const std::string other_out_dotted = dir.path() + "/./other_out.mkv";

  for (int live : {tacetra::MUTE_PENDING, tacetra::MUTE_RUNNING}) {
    other.state = live;
    EXPECT_EQ(tacetra_start(in.c_str(), other_in.c_str()), TACETRA_ERR_ARGS) << live;
    EXPECT_EQ(tacetra_start(in.c_str(), other_in_dotted.c_str()), TACETRA_ERR_ARGS) << live;
    EXPECT_EQ(tacetra_start(in.c_str(), other_out_dotted.c_str()), TACETRA_ERR_ARGS) << live;
    EXPECT_EQ(tacetra_status(0), -1);
  }
  // Reading another job's input is fine.
  other.state = tacetra::MUTE_RUNNING;
  ASSERT_EQ(tacetra_start(other_in.c_str(), dir.file("mine.mkv").c_str()), 0);
  EXPECT_EQ(wait_final(0), TACETRA_DONE);
  // Once that job has ended, its paths are free to use.
  for (int ended : {tacetra::MUTE_DONE, tacetra::MUTE_CANCELLED, tacetra::MUTE_FAILED}) {
    other.state = ended;
    const int id = tacetra_start(in.c_str(), other_out.c_str());
    ASSERT_EQ(id, 1) << ended;
    EXPECT_EQ(wait_final(id), TACETRA_DONE);
    tacetra_free(id);
  }
  tacetra_free(2);
  EXPECT_TRUE(read_bytes(other_in) == other_in_bytes);
}

// ---------------------------------------------------------------------------
// Only what the job wrote is ever deleted or replaced.

TEST(OutputFile, AUsersFileAtTheOutputSurvivesFailureCancelAndFree) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = dir.file("in.mkv");
  fixtures::write_media(in, layout_of({Kind::video, Kind::audio, Kind::subtitle}));
  const std::string users = "the user's own bytes\n";
  const std::string out_webm = dir.file("mine.webm");
  const std::string out_mkv = dir.file("mine.mkv");
  write_bytes(out_webm, users);
  write_bytes(out_mkv, users);

  EXPECT_STREQ(run_worker(in, out_webm)->error, "write header failed");
  EXPECT_EQ(run_worker(in, out_mkv, /*cancel_first=*/true)->state, tacetra::MUTE_CANCELLED);
  EXPECT_EQ(read_bytes(out_webm), users);
  EXPECT_EQ(read_bytes(out_mkv), users);

  // The same through the exported functions, and free after it.
  ASSERT_EQ(tacetra_start(in.c_str(), out_webm.c_str()), 0);
  EXPECT_EQ(wait_final(0), TACETRA_FAILED);
  ASSERT_EQ(tacetra_start(in.c_str(), out_mkv.c_str()), 1);
  tacetra_free(1);
  tacetra_free(0);
  EXPECT_EQ(read_bytes(out_webm), users);
  if (g_sessions[1].state != TACETRA_DONE) {
    EXPECT_EQ(read_bytes(out_mkv), users);
  }
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.mkv", "mine.webm", "mine.mkv"}));
}

TEST(OutputFile, ADoneJobReplacesWhatStoodAtTheOutput) {
  TempDir dir;
  const std::string in = write_good_input(dir, "in.mkv");
  const std::string out = dir.file("out.mkv");
  write_bytes(out, std::string(100000, 'x'));  // longer than the output
  const auto s = run_worker(in, out);
  ASSERT_EQ(s->state, tacetra::MUTE_DONE) << s->error;
  expect_stripped_copy(fixtures::read_media(in), out);
  EXPECT_EQ(s->out_size_bytes, static_cast<std::int64_t>(fs::file_size(out)));
  EXPECT_LT(s->out_size_bytes, 100000);
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.mkv", "out.mkv"}));
}

TEST(OutputFile, TakenPartialNamesAreSkippedNotOpened) {
  TempDir dir;
  const std::string in = write_good_input(dir, "in.mkv");
  const std::string out = dir.file("out.mkv");
  write_bytes(out + ".part", "first");
  write_bytes(out + ".part1", "second");
  const auto s = run_worker(in, out);
  ASSERT_EQ(s->state, tacetra::MUTE_DONE) << s->error;
  expect_stripped_copy(fixtures::read_media(in), out);
  EXPECT_EQ(read_bytes(out + ".part"), "first");
  EXPECT_EQ(read_bytes(out + ".part1"), "second");
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.mkv", "out.mkv", "out.mkv.part", "out.mkv.part1"}));

  // A failing job removes its own partial file and neither of these.
  const std::string sub = dir.file("sub.mkv");
  fixtures::write_media(sub, layout_of({Kind::video, Kind::audio, Kind::subtitle}));
  const std::string webm = dir.file("out.webm");  // cannot hold the video
  write_bytes(webm + ".part", "third");
  EXPECT_STREQ(run_worker(sub, webm)->error, "write header failed");
  EXPECT_EQ(read_bytes(webm + ".part"), "third");
  EXPECT_FALSE(exists(webm));
  EXPECT_FALSE(exists(webm + ".part1"));
}

TEST(OutputFile, ADirectoryAtTheOutputFailsAndSurvives) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = write_good_input(dir, "in.mkv");
  const std::string out = dir.file("out.mkv");
  fs::create_directory(out);
  write_bytes(out + "/inside.txt", "kept");

  const auto s = run_worker(in, out);
  EXPECT_EQ(s->state, tacetra::MUTE_FAILED);
  EXPECT_STREQ(s->error, "cannot open output file");

  ASSERT_EQ(tacetra_start(in.c_str(), out.c_str()), 0);
  EXPECT_EQ(wait_final(0), TACETRA_FAILED);
  EXPECT_STREQ(g_sessions[0].error, "cannot open output file");
  tacetra_free(0);
  EXPECT_TRUE(fs::is_directory(out));
  EXPECT_EQ(read_bytes(out + "/inside.txt"), "kept");
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.mkv", "out.mkv"}));
}

// ---------------------------------------------------------------------------
// Local files only.

TEST(LocalFiles, InputsThroughOtherProtocolsAreRefused) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = write_good_input(dir, "in.mkv");
  const std::string out = dir.file("out.mkv");
  // Each of these names a readable video with audio to an FFmpeg that allows
  // every protocol.
  const std::string urls[] = {
      "concat:" + in,
      "concat:" + in + "|" + in,
      "subfile,,start,0,end,0,,:" + in,
      "async:" + in,
      "cache:" + in,
  };
  for (const std::string& url : urls) {
    EXPECT_EQ(tacetra_start(url.c_str(), out.c_str()), TACETRA_ERR_OPEN) << url;
    const auto s = run_worker(url, out);
    EXPECT_STREQ(s->error, "cannot open input") << url;
  }
  // The file protocol named outright is still a local file.
  const std::string file_url = "file:" + in;
  ASSERT_EQ(tacetra_start(file_url.c_str(), out.c_str()), 0);
  EXPECT_EQ(wait_final(0), TACETRA_DONE);
  EXPECT_EQ(g_sessions[0].in_size_bytes, static_cast<std::int64_t>(fs::file_size(in)));
  EXPECT_FALSE(exists(dir.file("out.mkv.part")));
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.mkv", "out.mkv"}));
}

TEST(LocalFiles, OutputsThroughOtherProtocolsFailToOpen) {
  TempDir dir;
  const std::string in = write_good_input(dir, "in.mkv");
  const fs::path cwd = fs::current_path();
  fs::current_path(dir.path());
  for (const char* url : {"md5:out.mkv", "tee:out.mkv", "cache:out.mkv"}) {
    const auto s = run_worker(in, url);
    EXPECT_EQ(s->state, tacetra::MUTE_FAILED) << url;
    EXPECT_STREQ(s->error, "cannot open output file") << url;
  }
  fs::current_path(cwd);
  EXPECT_EQ(names_in(dir), std::set<std::string>{"in.mkv"});
}

// ---------------------------------------------------------------------------
// Streams whose codec FFmpeg does not know.

// A camera-style .mov: video, audio and the QuickTime timecode track that the
// mov muxer adds for a video stream with "timecode" metadata.
void write_mov_with_timecode(const TempDir& dir, const std::string& path) {
  const std::string plain = dir.file("plain.mov");
  fixtures::write_media(plain, layout_of({Kind::video, Kind::audio}));
  AVFormatContext* in_ctx = nullptr;
  ASSERT_GE(avformat_open_input(&in_ctx, plain.c_str(), nullptr, nullptr), 0);
  tacetra::input_context input(in_ctx);
  ASSERT_GE(avformat_find_stream_info(in_ctx, nullptr), 0);
  AVFormatContext* out_ctx = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&out_ctx, nullptr, nullptr, path.c_str()), 0);
  tacetra::output_context output(out_ctx);
  for (unsigned i = 0; i < in_ctx->nb_streams; ++i) {
    AVStream* st = avformat_new_stream(out_ctx, nullptr);
    ASSERT_NE(st, nullptr);
    ASSERT_GE(avcodec_parameters_copy(st->codecpar, in_ctx->streams[i]->codecpar), 0);
    st->codecpar->codec_tag = 0;
    st->time_base = in_ctx->streams[i]->time_base;
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      st->avg_frame_rate = {25, 1};
      av_dict_set(&st->metadata, "timecode", "01:00:00:00", 0);
    }
  }
  ASSERT_GE(avio_open(&out_ctx->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
  ASSERT_GE(avformat_write_header(out_ctx, nullptr), 0);
  tacetra::packet_ptr packet(av_packet_alloc());
  while (av_read_frame(in_ctx, packet.get()) >= 0) {
    const int i = packet->stream_index;
    av_packet_rescale_ts(packet.get(), in_ctx->streams[i]->time_base, out_ctx->streams[i]->time_base);
    ASSERT_GE(av_interleaved_write_frame(out_ctx, packet.get()), 0);
  }
  ASSERT_GE(av_write_trailer(out_ctx), 0);
}

TEST(UnknownCodec, ATimecodeTrackIsDroppedLikeAudio) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = dir.file("camera.mov");
  ASSERT_NO_FATAL_FAILURE(write_mov_with_timecode(dir, in));
  const MediaSummary input = fixtures::read_media(in);
  ASSERT_EQ(input.streams.size(), 3u);
  ASSERT_EQ(input.streams[2].codec_type, AVMEDIA_TYPE_DATA);
  ASSERT_EQ(input.streams[2].codec_id, AV_CODEC_ID_NONE);

  // Stream map [0, -1, -1], into its own container and into others. The
  // timecode itself stays, as a tag of the picture, from which the MOV
  // and MP4 muxers write a timecode track of their own.
  for (const char* name : {"out.mov", "out.mp4", "out.mkv"}) {
    const auto s = run_worker(in, dir.file(name));
    ASSERT_EQ(s->state, tacetra::MUTE_DONE) << name << ": " << s->error;
    EXPECT_EQ(s->packets, input.streams[0].packets) << name;
    const MediaSummary out = fixtures::read_media(dir.file(name));
    ASSERT_EQ(out.streams.size(), std::string(name) == "out.mkv" ? 1u : 2u) << name;
    EXPECT_TRUE(fixtures::same_payload(out.streams[0], input.streams[0])) << name;
    EXPECT_EQ(fixtures::read_properties(dir.file(name)).streams[0].tags["timecode"], "01:00:00:00") << name;
  }

  ASSERT_EQ(tacetra_start(in.c_str(), dir.file("host.mkv").c_str()), 0);
  EXPECT_EQ(wait_final(0), TACETRA_DONE);
  expect_stripped_copy(input, dir.file("host.mkv"));
}

}  // namespace
