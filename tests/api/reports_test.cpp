// The job reports of real jobs, seen as a host sees them: through the public
// header and the shared library only.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "support/fixtures.h"
#include "support/host_jobs.h"
#include "tacetra.h"

namespace {

using fixtures::is_final;
using fixtures::wait_for_end;
using nlohmann::json;

constexpr char kBadId[] = R"({"error":"bad id"})";

json parsed(const char* text) {
  json j;
  EXPECT_NO_THROW(j = json::parse(text)) << text;
  return j;
}

std::int64_t size_of(const std::string& path) {
  return static_cast<std::int64_t>(std::filesystem::file_size(path));
}

std::string progress_text(int state, const std::string& percent, std::int64_t processed_ms,
                          std::int64_t total_ms, std::int64_t packets) {
  return R"({"state":)" + std::to_string(state) + R"(,"percent":)" + percent +
         R"(,"processed_ms":)" + std::to_string(processed_ms) + R"(,"total_ms":)" +
         std::to_string(total_ms) + R"(,"packets":)" + std::to_string(packets) + "}";
}

struct outcome {
  int state;
  const char* ok;
  std::string out_path;
  std::int64_t out_size_bytes;
  std::int64_t in_size_bytes;
  std::int64_t duration_ms;
  std::int64_t packets_written;
  std::int64_t elapsed_ms;
};

// A temporary path as a JSON string body: Windows paths hold backslashes.
std::string escaped(const std::string& path) {
  std::string body;
  for (const char c : path) {
    if (c == '"' || c == '\\') body += '\\';
    body += c;
  }
  return body;
}

std::string result_text(const outcome& o) {
  const std::int64_t saved =
      o.in_size_bytes > o.out_size_bytes ? o.in_size_bytes - o.out_size_bytes : 0;
  return R"({"state":)" + std::to_string(o.state) + R"(,"ok":)" + o.ok + R"(,"out_path":")" +
         escaped(o.out_path) + R"(","out_size_bytes":)" + std::to_string(o.out_size_bytes) +
         R"(,"in_size_bytes":)" + std::to_string(o.in_size_bytes) + R"(,"bytes_saved":)" +
         std::to_string(saved) + R"(,"duration_ms":)" + std::to_string(o.duration_ms) +
         R"(,"packets_written":)" + std::to_string(o.packets_written) + R"(,"elapsed_ms":)" +
         std::to_string(o.elapsed_ms) + "}";
}

const fixtures::MediaLayout kVideoAndAudio{{{fixtures::Kind::video}, {fixtures::Kind::audio}}};

class ApiReports : public testing::Test {
 protected:
  // A failed assertion must not leave a worker running.
  void TearDown() override {
    for (int id = 0; id < TACETRA_MAX_JOBS; ++id) tacetra_free(id);
  }

  fixtures::TempDir dir;
};

TEST_F(ApiReports, ADoneJobReportsItsWholeCopyAndMeasuredSizes) {
  const std::string in = dir.file("in.mkv");
  const std::string out = dir.file("out.mkv");
  fixtures::write_media(in, kVideoAndAudio);
  const fixtures::MediaSummary source = fixtures::read_media(in);
  const fixtures::StreamSummary& video = source.streams[0];

  const int id = tacetra_start(in.c_str(), out.c_str());
  ASSERT_EQ(id, 0);
  ASSERT_EQ(wait_for_end(id), TACETRA_DONE);

  const std::int64_t total_ms = source.duration_us / 1000;
  // Frames are 40 ms apart: the last one copied has the highest time.
  const std::int64_t last_frame_ms = video.first_pts_ms + (video.packets - 1) * 40;
  const char* progress = tacetra_progress(id);
  EXPECT_EQ(progress, progress_text(TACETRA_DONE, "100.0", last_frame_ms, total_ms, video.packets));
  parsed(progress);

  const char* result = tacetra_result(id);
  const json j = parsed(result);
  const std::int64_t elapsed_ms = j.value("elapsed_ms", std::int64_t{-1});
  EXPECT_GE(elapsed_ms, 0);
  EXPECT_EQ(result, result_text({TACETRA_DONE, "true", out, size_of(out), size_of(in), total_ms,
                                 video.packets, elapsed_ms}));
}

TEST_F(ApiReports, ACancelledJobKeepsThePercentageWhereItStoppedAndLeavesNoOutput) {
  const std::string in = dir.file("in.mkv");
  const std::string out = dir.file("out.mkv");
  fixtures::write_long(in, 10);

  const int id = tacetra_start(in.c_str(), out.c_str());
  ASSERT_EQ(id, 0);
  // The worker may copy a few packets before it sees the flag, never all.
  tacetra_cancel(id);
  ASSERT_EQ(wait_for_end(id), TACETRA_CANCELLED);

  const char* progress = tacetra_progress(id);
  const json p = parsed(progress);
  const std::int64_t total_ms = p.value("total_ms", std::int64_t{0});
  const std::int64_t processed_ms = p.value("processed_ms", std::int64_t{-1});
  const std::int64_t packets = p.value("packets", std::int64_t{-1});
  EXPECT_GT(total_ms, 0);
  EXPECT_GE(processed_ms, 0);
  EXPECT_LT(processed_ms, total_ms);
  char percent[32];
  std::snprintf(percent, sizeof percent, "%.1f",
                static_cast<double>(processed_ms) * 100.0 / static_cast<double>(total_ms));
  EXPECT_EQ(progress, progress_text(TACETRA_CANCELLED, percent, processed_ms, total_ms, packets));

  const char* result = tacetra_result(id);
  parsed(result);
  EXPECT_EQ(result, result_text({TACETRA_CANCELLED, "false", out, 0, size_of(in), total_ms,
                                 packets, 0}));
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(ApiReports, AFailedJobReportsItsErrorAndTheDurationItRead) {
  const std::string in = dir.file("in.mkv");
  const std::string out = dir.file("out.no-such-container");
  fixtures::write_media(in, kVideoAndAudio);
  const std::int64_t total_ms = fixtures::read_media(in).duration_us / 1000;

  const int id = tacetra_start(in.c_str(), out.c_str());
  ASSERT_EQ(id, 0);
  ASSERT_EQ(wait_for_end(id), TACETRA_FAILED);

  const char* progress = tacetra_progress(id);
  EXPECT_EQ(progress, progress_text(TACETRA_FAILED, "0.0", 0, total_ms, 0));
  parsed(progress);
  const char* result = tacetra_result(id);
  EXPECT_STREQ(result, R"({"state":5,"ok":false,"error":"cannot create output"})");
  parsed(result);
}

TEST_F(ApiReports, AFreedSlotAnswersTheFixedTextAndItsOldTextsEmptyWhenTakenAgain) {
  const std::string in = dir.file("in.mkv");
  fixtures::write_media(in, kVideoAndAudio);
  const std::string first_out = dir.file("first.mkv");
  ASSERT_EQ(tacetra_start(in.c_str(), first_out.c_str()), 0);
  ASSERT_EQ(wait_for_end(0), TACETRA_DONE);
  const char* progress = tacetra_progress(0);
  const char* result = tacetra_result(0);
  const std::string progress_before = progress;
  const std::string result_before = result;

  tacetra_free(0);
  const char* fixed = tacetra_progress(-1);
  EXPECT_STREQ(fixed, kBadId);
  EXPECT_EQ(tacetra_progress(0), fixed);
  EXPECT_EQ(tacetra_result(0), fixed);
  EXPECT_EQ(progress, progress_before);
  EXPECT_EQ(result, result_before);

  const std::string second_out = dir.file("second.mkv");
  ASSERT_EQ(tacetra_start(in.c_str(), second_out.c_str()), 0);
  EXPECT_STREQ(progress, "");
  EXPECT_STREQ(result, "");
  EXPECT_EQ(tacetra_progress(0), progress);
  EXPECT_EQ(tacetra_result(0), result);
  wait_for_end(0);
}

TEST_F(ApiReports, PollingFourRunningJobsSeesWholeTextsAndFinalFiguresWithFinalStates) {
  const std::string in = dir.file("in.mkv");
  fixtures::write_long(in, 2);
  constexpr int kJobs = TACETRA_MAX_JOBS;
  constexpr int kCancelled = kJobs - 1;  // the others run to their end
  std::array<std::string, kJobs> outs;
  for (int id = 0; id < kJobs; ++id) {
    outs[id] = dir.file("out" + std::to_string(id) + ".mkv");
    ASSERT_EQ(tacetra_start(in.c_str(), outs[id].c_str()), id);
  }

  struct seen {
    std::int64_t processed_ms = 0;
    std::int64_t packets = 0;
    std::string final_progress;  // the first text that showed a final state
    std::string final_result;
  };
  std::array<seen, kJobs> jobs;
  bool cancel_sent = false;
  for (int ended = 0; ended < kJobs;) {
    ended = 0;
    for (int id = 0; id < kJobs; ++id) {
      seen& job = jobs[id];
      const char* progress = tacetra_progress(id);
      const json p = parsed(progress);
      const int state = p.value("state", -1);
      ASSERT_TRUE(state == TACETRA_PENDING || state == TACETRA_RUNNING || is_final(state))
          << progress;
      EXPECT_GE(p.value("percent", -1.0), 0.0) << progress;
      EXPECT_LE(p.value("percent", 101.0), 100.0) << progress;
      const std::int64_t processed_ms = p.value("processed_ms", std::int64_t{-1});
      const std::int64_t packets = p.value("packets", std::int64_t{-1});
      EXPECT_GE(processed_ms, job.processed_ms) << progress;
      EXPECT_GE(packets, job.packets) << progress;
      job.processed_ms = processed_ms;
      job.packets = packets;
      if (is_final(state) && job.final_progress.empty()) job.final_progress = progress;

      const char* result = tacetra_result(id);
      const json r = parsed(result);
      const int result_state = r.value("state", -1);
      EXPECT_GE(result_state, state) << result;
      EXPECT_EQ(r.value("ok", false), result_state == TACETRA_DONE) << result;
      if (is_final(result_state) && job.final_result.empty()) job.final_result = result;

      if (is_final(state)) ++ended;
    }
    if (!cancel_sent && jobs[kCancelled].packets > 0) {
      tacetra_cancel(kCancelled);
      cancel_sent = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  for (int id = 0; id < kJobs; ++id) {
    const int state = tacetra_status(id);
    if (id == kCancelled) {
      // The job may have ended before it looked at the flag again.
      EXPECT_TRUE(state == TACETRA_CANCELLED || state == TACETRA_DONE) << state;
    } else {
      EXPECT_EQ(state, TACETRA_DONE);
    }
    EXPECT_EQ(tacetra_progress(id), jobs[id].final_progress) << "slot " << id;
    EXPECT_EQ(tacetra_result(id), jobs[id].final_result) << "slot " << id;
    if (state == TACETRA_DONE) {
      const json r = parsed(jobs[id].final_result.c_str());
      EXPECT_EQ(r.value("out_size_bytes", std::int64_t{-1}), size_of(outs[id]));
      EXPECT_EQ(r.value("packets_written", std::int64_t{-1}), jobs[id].packets);
    }
  }
}

}  // namespace
