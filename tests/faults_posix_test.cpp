// Jobs under faults: writes that fail part-way, outputs whose directory is
// gone, inputs cut short or swapped under a job, frees at every phase, and
// outputs that name something the user already has. Whatever happens, the
// input is left byte for byte as it was and nothing of the user's is lost.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <ostream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "jobs/session.h"
#include "support/child.h"
#include "support/files.h"
#include "support/fixtures.h"
#include "support/held_job.h"
#include "support/jobs.h"
#include "tacetra.h"

namespace {

namespace fs = std::filesystem;
using fixtures::eventually;
using fixtures::FreeAllSlots;
using fixtures::HeldJob;
using fixtures::in_child;
using fixtures::Kind;
using fixtures::MediaLayout;
using fixtures::names_in;
using fixtures::read_bytes;
using fixtures::TempDir;
using fixtures::wait_final;
using fixtures::write_bytes;
using nlohmann::json;

const MediaLayout kVideoAndAudio{{{Kind::video}, {Kind::audio}}, 10};

json result_of(int id) {
  const char* text = tacetra_result(id);
  json j;
  EXPECT_NO_THROW(j = json::parse(text)) << text;
  EXPECT_NO_THROW(json::parse(tacetra_progress(id))) << tacetra_progress(id);
  return j;
}

// ---------------------------------------------------------------------------
// Writes that fail part-way: a file-size limit in a child process.

struct write_limit_case {
  const char* out_name;
  rlim_t limit;
  bool user_file_there;  // a file of the user's already stands at the output
};

// Named field by field: the padding between them holds no value to print.
void PrintTo(const write_limit_case& c, std::ostream* os) {
  *os << c.out_name << " limit " << c.limit << (c.user_file_there ? " over a user's file" : "");
}

class WriteLimit : public testing::TestWithParam<write_limit_case> {};

TEST_P(WriteLimit, FailsWithAWriteErrorAndLeavesOnlyWhatWasThere) {
  const write_limit_case& c = GetParam();
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = dir.file("in.mkv");
  fixtures::write_long(in, 1);
  const std::string in_bytes = read_bytes(in);
  const std::string out = dir.file(c.out_name);
  const std::string user_bytes = "the user's own file\n";
  if (c.user_file_there) write_bytes(out, user_bytes);
  const std::set<std::string> before = names_in(dir);

  const std::string report = in_child([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{c.limit, c.limit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const int id = tacetra_start(in.c_str(), out.c_str());
    if (id < 0) return "start " + std::to_string(id);
    const int state = wait_final(id);
    const std::string text = tacetra_result(id);
    tacetra_free(id);
    return std::to_string(state) + " " + text;
  });
  const std::string header_failed = R"(5 {"state":5,"ok":false,"error":"write header failed"})";
  const std::string frame_failed = R"(5 {"state":5,"ok":false,"error":"write frame failed"})";
  const std::string trailer_failed = R"(5 {"state":5,"ok":false,"error":"write trailer failed"})";
  EXPECT_TRUE(report == header_failed || report == frame_failed || report == trailer_failed) << report;
  EXPECT_EQ(names_in(dir), before);
  EXPECT_TRUE(read_bytes(in) == in_bytes);
  if (c.user_file_there) EXPECT_EQ(read_bytes(out), user_bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Containers, WriteLimit,
    testing::Values(write_limit_case{"out.mkv", 2048, false}, write_limit_case{"out.mkv", 96 * 1024, true},
                    write_limit_case{"out.nut", 2048, true}, write_limit_case{"out.nut", 96 * 1024, false},
                    write_limit_case{"out.mp4", 2048, false}, write_limit_case{"out.mp4", 96 * 1024, true},
                    write_limit_case{"out.ts", 2048, true}, write_limit_case{"out.ts", 96 * 1024, false},
                    write_limit_case{"out.avi", 1024, false}, write_limit_case{"out.avi", 96 * 1024, true}),
    [](const auto& info) {
      std::string name = info.param.out_name;
      name = name.substr(name.find('.') + 1) + "_" + std::to_string(info.param.limit) +
             (info.param.user_file_there ? "_over_a_user_file" : "");
      return name;
    });

// ---------------------------------------------------------------------------
// Outputs that cannot be opened.

TEST(OutputDirectory, GoneOrNotADirectoryFailsToOpenAndTouchesNothing) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = dir.file("in.mkv");
  fixtures::write_media(in, kVideoAndAudio);
  const std::string in_bytes = read_bytes(in);
  write_bytes(dir.file("plain.txt"), "a regular file\n");
  fs::create_directory(dir.file("gone"));
  fs::remove(dir.file("gone"));
  fs::create_directory_symlink(dir.file("nowhere"), dir.file("dangling"));
  const bool root = ::geteuid() == 0;
  if (!root) {
    fs::create_directory(dir.file("read_only"));
    fs::permissions(dir.file("read_only"), fs::perms::owner_read | fs::perms::owner_exec);
  }
  const std::set<std::string> before = names_in(dir);

  std::vector<std::string> outputs = {dir.file("gone/out.mkv"), dir.file("plain.txt/out.mkv"),
                                      dir.file("dangling/out.mkv"), dir.file("gone/deeper/out.mp4")};
  // Root writes into read-only directories, so only another user can see
  // that case; the paths above fail for root too.
  if (!root) outputs.push_back(dir.file("read_only/out.mkv"));
  for (const std::string& out : outputs) {
    SCOPED_TRACE(out);
    const int id = tacetra_start(in.c_str(), out.c_str());
    ASSERT_EQ(id, 0);
    EXPECT_EQ(wait_final(id), TACETRA_FAILED);
    EXPECT_EQ(result_of(id).value("error", ""), "cannot open output file");
    tacetra_free(id);
  }
  EXPECT_EQ(names_in(dir), before);
  EXPECT_EQ(read_bytes(dir.file("plain.txt")), "a regular file\n");
  EXPECT_TRUE(read_bytes(in) == in_bytes);
  if (!root) EXPECT_TRUE(fs::is_empty(dir.file("read_only")));
}

// ---------------------------------------------------------------------------
// Inputs cut short or changed under a job.

const std::set<std::string> kWorkerErrors = {"cannot open input", "no stream info", "cannot create output",
                                             "oom", "new stream failed", "param copy failed",
                                             "cannot open output file", "write header failed",
                                             "write frame failed", "write trailer failed"};

TEST(DamagedInput, TruncatedAnywhereEndsInADefinedOutcome) {
  TempDir dir;
  FreeAllSlots guard;
  int cases = 0;
  for (const char* name : {"in.mkv", "in.mp4", "in.nut", "in.ts", "in.avi", "in.mov"}) {
    const std::string whole = dir.file(std::string("whole-") + name);
    fixtures::write_media(whole, kVideoAndAudio);
    const std::string bytes = read_bytes(whole);
    const std::size_t size = bytes.size();
    for (const std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{64}, size / 8, size / 4,
                                  size / 2, size * 3 / 4, size - 64, size - 1}) {
      SCOPED_TRACE(std::string(name) + " cut at " + std::to_string(cut) + " of " + std::to_string(size));
      ++cases;
      const std::string in = dir.file(name);
      const std::string in_bytes = bytes.substr(0, cut);
      write_bytes(in, in_bytes);
      const std::string out = dir.file("out.mkv");
      const int id = tacetra_start(in.c_str(), out.c_str());
      if (id < 0) {
        EXPECT_TRUE(id == TACETRA_ERR_OPEN || id == TACETRA_ERR_NO_VIDEO || id == TACETRA_ERR_NO_AUDIO) << id;
      } else {
        const int state = wait_final(id);
        const json result = result_of(id);
        if (state == TACETRA_FAILED) {
          EXPECT_EQ(kWorkerErrors.count(result.value("error", "")), 1u) << result;
        } else {
          EXPECT_EQ(state, TACETRA_DONE) << result;
        }
        tacetra_free(id);
        EXPECT_EQ(fs::exists(out), state == TACETRA_DONE);
        fs::remove(out);
      }
      EXPECT_TRUE(read_bytes(in) == in_bytes);
      for (const std::string& left : names_in(dir)) EXPECT_NE(left.rfind("out", 0), 0u) << left;
    }
  }
  std::printf("truncated inputs: %d cases\n", cases);
}


// The worker opens the input again after tacetra_start has judged it; an
// input replaced in between by one without video is the worker's to handle:
// the outcome is that of writing a header with no streams.
TEST(DamagedInput, SwappedForAudioOnlyAfterStartEndsInADefinedOutcome) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string good = dir.file("good.mkv");
  const std::string audio_only = dir.file("audio.mkv");
  fixtures::write_media(good, kVideoAndAudio);
  fixtures::write_media(audio_only, {{{Kind::audio}}, 10});
  const std::string good_bytes = read_bytes(good);
  const std::string audio_bytes = read_bytes(audio_only);
  const std::string in = dir.file("in.mkv");
  int swapped_in_time = 0;
  for (const char* out_name : {"out.mkv", "out.mp4", "out.nut", "out.ts", "out.avi"}) {
    for (int round = 0; round < 4; ++round) {
      SCOPED_TRACE(std::string(out_name) + " round " + std::to_string(round));
      write_bytes(in, good_bytes);
      write_bytes(dir.file("swap.tmp"), audio_bytes);
      const std::string out = dir.file(out_name);
      const int id = tacetra_start(in.c_str(), out.c_str());
      ASSERT_EQ(id, 0);
      // Replaced as a whole (a rename), sometimes before the worker opens it.
      fs::rename(dir.file("swap.tmp"), in);
      const int state = wait_final(id);
      const json result = result_of(id);
      if (state == TACETRA_FAILED) {
        EXPECT_EQ(result.value("error", ""), "write header failed") << result;
      } else {
        EXPECT_EQ(state, TACETRA_DONE) << result;
      }
      if (result.value("packets_written", -1) == 0) ++swapped_in_time;
      tacetra_free(id);
      EXPECT_EQ(fs::exists(out), state == TACETRA_DONE);
      fs::remove(out);
      EXPECT_TRUE(read_bytes(in) == audio_bytes);
      EXPECT_EQ(names_in(dir), (std::set<std::string>{"good.mkv", "audio.mkv", "in.mkv"}));
    }
  }
  std::printf("audio-only swap: the worker saw the new file in %d of 20 jobs\n", swapped_in_time);

  // What a worker that does see the new file does, every time: the worker
  // run by hand on a record as tacetra_start leaves it.
  for (const char* out_name : {"out.mkv", "out.mp4", "out.nut", "out.ts", "out.avi"}) {
    SCOPED_TRACE(out_name);
    const std::string out = dir.file(out_name);
    const auto record = fixtures::run_worker(audio_only, out);
    if (record->state == TACETRA_FAILED) {
      EXPECT_STREQ(record->error, "write header failed");
    } else {
      EXPECT_EQ(record->state, TACETRA_DONE);
      EXPECT_EQ(record->packets, 0);
    }
    EXPECT_EQ(fs::exists(out), record->state == TACETRA_DONE);
    std::printf("audio-only input into %s: %s\n", out_name,
                record->state == TACETRA_DONE ? "done, no streams" : record->error);
    fs::remove(out);
  }
  EXPECT_TRUE(read_bytes(audio_only) == audio_bytes);
}

// ---------------------------------------------------------------------------
// tacetra_free at every phase of a job, with four jobs in flight.

std::int64_t figure(const std::int64_t& word) { return tacetra::load(word); }

TEST(FreeAtEveryPhase, ReturnsOnceTheWorkerEndedAndKeepsOnlyDoneOutputs) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string long_in = dir.file("long.mkv");
  fixtures::write_long(long_in, 2);
  const std::string short_in = dir.file("short.mkv");
  fixtures::write_media(short_in, kVideoAndAudio);
  const std::string long_bytes = read_bytes(long_in);
  const std::string short_bytes = read_bytes(short_in);
  const auto& sessions = tacetra::g_sessions;

  // Slot 0: finished. Slot 1: held in its copy. Slot 2: copying freely.
  const std::string done_out = dir.file("done.mkv");
  ASSERT_EQ(tacetra_start(short_in.c_str(), done_out.c_str()), 0);
  ASSERT_EQ(wait_final(0), TACETRA_DONE);
  HeldJob held(dir, long_in);
  ASSERT_EQ(held.start(dir.file("held.mkv")), 1);
  ASSERT_EQ(tacetra_start(long_in.c_str(), dir.file("copying.nut").c_str()), 2);
  ASSERT_TRUE(eventually([&] { return figure(sessions[2].packets) > 0; }));

  // Slot 3, in turn: freed right after start (pending or opening), then
  // once the input's duration is known but no packet is written (header).
  for (const char* phase : {"pending", "header"}) {
    SCOPED_TRACE(phase);
    const std::string out = dir.file(std::string(phase) + ".mkv");
    ASSERT_EQ(tacetra_start(long_in.c_str(), out.c_str()), 3);
    if (std::string(phase) == "header") {
      ASSERT_TRUE(eventually([&] { return figure(sessions[3].total_ms) > 0; }));
    }
    tacetra_free(3);
    EXPECT_EQ(tacetra_status(3), -1);
    EXPECT_FALSE(fs::exists(out + ".part"));
    // Usually cancelled; a worker that got to the end first leaves a whole copy.
    if (fs::exists(out)) EXPECT_EQ(fixtures::read_media(out).streams.at(0).packets, 50);
    // The other three are untouched.
    EXPECT_EQ(tacetra_status(0), TACETRA_DONE);
    EXPECT_EQ(tacetra_status(1), TACETRA_RUNNING);
    EXPECT_NE(tacetra_status(2), -1);
  }

  tacetra_free(2);  // copying
  EXPECT_EQ(tacetra_status(2), -1);
  EXPECT_FALSE(fs::exists(dir.file("copying.nut.part")));
  if (fs::exists(dir.file("copying.nut"))) {
    EXPECT_EQ(fixtures::read_media(dir.file("copying.nut")).streams.at(0).packets, 50);
  }

  held.release_soon();
  tacetra_free(1);  // held in the copy: returns once the pipe is read
  EXPECT_EQ(tacetra_status(1), -1);

  tacetra_free(0);  // finished
  EXPECT_EQ(tacetra_status(0), -1);
  EXPECT_EQ(fixtures::read_media(done_out).streams.size(), 1u);

  EXPECT_TRUE(read_bytes(long_in) == long_bytes);
  EXPECT_TRUE(read_bytes(short_in) == short_bytes);
  for (const std::string& left : names_in(dir)) {
    EXPECT_EQ(left.find(".part"), std::string::npos) << left;
  }
}

// ---------------------------------------------------------------------------
// Outputs that name something the user has.

struct user_output_case {
  const char* name;
  // Sets the scene in `dir` and returns the output path to use.
  std::function<std::string(const TempDir& dir, const std::string& in)> output;
  int expected_start;   // 0: a job runs
  int expected_state;   // of the job, when one runs
};

TEST(UserFiles, NothingTheUserHadIsDeletedOrTruncated) {
  const std::vector<user_output_case> cases = {
      {"an existing directory",
       [](const TempDir& dir, const std::string&) {
         fs::create_directory(dir.file("folder.mkv"));
         write_bytes(dir.file("folder.mkv/inside.txt"), "kept\n");
         return dir.file("folder.mkv");
       },
       0, TACETRA_FAILED},
      {"a user's file, replaced only by the finished copy",
       [](const TempDir& dir, const std::string&) {
         write_bytes(dir.file("mine.mkv"), "mine\n");
         return dir.file("mine.mkv");
       },
       0, TACETRA_DONE},
      {"a user's file at the partial name",
       [](const TempDir& dir, const std::string&) {
         write_bytes(dir.file("out.mkv.part"), "mine\n");
         return dir.file("out.mkv");
       },
       0, TACETRA_DONE},
      {"a symlink to a user's file",
       [](const TempDir& dir, const std::string&) {
         write_bytes(dir.file("target.mkv"), "mine\n");
         fs::create_symlink(dir.file("target.mkv"), dir.file("link.mkv"));
         return dir.file("link.mkv");
       },
       0, TACETRA_DONE},
      {"the input through a hard link",
       [](const TempDir& dir, const std::string& in) {
         fs::create_hard_link(in, dir.file("hard.mkv"));
         return dir.file("hard.mkv");
       },
       TACETRA_ERR_ARGS, 0},
      {"the input through a symlink",
       [](const TempDir& dir, const std::string& in) {
         fs::create_symlink(in, dir.file("soft.mkv"));
         return dir.file("soft.mkv");
       },
       TACETRA_ERR_ARGS, 0},
  };
  for (const user_output_case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    FreeAllSlots guard;
    const std::string in = dir.file("in.mkv");
    fixtures::write_media(in, kVideoAndAudio);
    const std::string out = c.output(dir, in);
    // Everything the user has, byte for byte, except what a finished copy
    // may replace: the output path itself.
    auto snapshot = [&] {
      std::vector<std::pair<std::string, std::string>> files;
      for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
        if (e.is_regular_file()) files.emplace_back(e.path().string(), read_bytes(e.path().string()));
      }
      return files;
    };
    const auto before = snapshot();
    const int id = tacetra_start(in.c_str(), out.c_str());
    ASSERT_EQ(id < 0 ? id : 0, c.expected_start);
    if (id >= 0) {
      EXPECT_EQ(wait_final(id), c.expected_state) << tacetra_result(id);
      tacetra_free(id);
    }
    auto after = snapshot();
    if (c.expected_state == TACETRA_DONE) {
      // Only the file the output path resolves to changed, and now holds the copy.
      const std::string replaced = fs::exists(out) ? fs::canonical(out).string() : out;
      EXPECT_EQ(fixtures::read_media(out).streams.size(), 1u);
      std::erase_if(after, [&](const auto& f) { return f.first == replaced; });
      auto expected = before;
      std::erase_if(expected, [&](const auto& f) { return f.first == replaced; });
      // A symlink is replaced by the copy, its target kept.
      EXPECT_EQ(after, expected);
    } else {
      EXPECT_EQ(after, before);
    }
  }
}

// FFmpeg reads "file:PATH" as PATH; the runtime's file functions take the
// whole text as a name. Neither reading may lead to the input or a user's
// file being written.
TEST(UserFiles, TheFileProtocolPrefixHidesNothing) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = dir.file("in.mkv");
  fixtures::write_media(in, kVideoAndAudio);
  const std::string in_bytes = read_bytes(in);
  EXPECT_EQ(tacetra_start(("file:" + in).c_str(), in.c_str()), TACETRA_ERR_ARGS);
  EXPECT_EQ(tacetra_start(("file://" + in).c_str(), in.c_str()), TACETRA_ERR_ARGS);
  EXPECT_TRUE(read_bytes(in) == in_bytes);

  // An output spelt with the prefix names two files, one for FFmpeg and one
  // for the runtime: it fails to open, and neither is touched.
  const fs::path cwd = fs::current_path();
  fs::current_path(dir.path());
  write_bytes(dir.file("out.mkv.part"), "mine\n");
  const int id = tacetra_start(in.c_str(), "file:out.mkv");
  ASSERT_EQ(id, 0);
  const int state = wait_final(id);
  EXPECT_EQ(result_of(id).value("error", ""), "cannot open output file");
  tacetra_free(id);
  fs::current_path(cwd);
  EXPECT_EQ(state, TACETRA_FAILED);
  EXPECT_EQ(read_bytes(dir.file("out.mkv.part")), "mine\n");
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.mkv", "out.mkv.part"}));
  EXPECT_TRUE(read_bytes(in) == in_bytes);
}

}  // namespace
