// Thousands of jobs started, polled, cancelled and freed at random moments
// over all four slots, with the slot invariants checked at every step and,
// at the end, no thread, descriptor or file left behind. Meant to run under
// ThreadSanitizer (and LeakSanitizer in the AddressSanitizer build).
//
// TACETRA_SOAK_SEED and TACETRA_SOAK_CYCLES override the fixed start of the
// random sequence and the number of jobs; a failure names the start it used,
// so that the same run can be repeated.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "support/fixtures.h"
#include "tacetra.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr char kBadId[] = R"({"error":"bad id"})";
const char* const kExtensions[] = {".mkv", ".nut", ".mp4", ".ts"};

std::uint64_t from_env(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

std::set<std::string> entries(const char* dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

bool is_state(int value) {
  return value == TACETRA_PENDING || value == TACETRA_RUNNING || value == TACETRA_DONE ||
         value == TACETRA_CANCELLED || value == TACETRA_FAILED;
}

bool is_final(int state) {
  return state == TACETRA_DONE || state == TACETRA_CANCELLED || state == TACETRA_FAILED;
}

// What the host side knows of one slot's job.
struct watched_job {
  bool busy = false;
  std::string out;
  int final_state = -1;
  std::int64_t packets = 0;
  std::int64_t processed_ms = 0;
  // Texts returned for the slot's last job: empty once the slot is reused.
  const char* progress = nullptr;
  const char* result = nullptr;
};

class Soak : public testing::Test {
 protected:
  void SetUp() override {
    // Short inputs end on their own while others are still copying, so the
    // random operations hit every phase of a job.
    fixtures::write_media(short_input, {{{fixtures::Kind::video}, {fixtures::Kind::audio}}, 3});
    fixtures::write_media(long_input, {{{fixtures::Kind::video}, {fixtures::Kind::audio}}, 150});
    // What a whole copy of each input weighs in each container.
    for (const std::string* input : {&short_input, &long_input}) {
      for (const char* extension : kExtensions) {
        const std::string out = dir.file(std::string("reference") + extension);
        const int id = tacetra_start(input->c_str(), out.c_str());
        ASSERT_EQ(id, 0);
        while (!is_final(tacetra_status(id))) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(tacetra_status(id), TACETRA_DONE) << tacetra_result(id);
        tacetra_free(id);
        whole_sizes.insert(fs::file_size(out));
        fs::remove(out);
      }
    }
  }
  void TearDown() override {
    for (int id = 0; id < 4; ++id) tacetra_free(id);
  }

  bool leaves_partial_file(const std::string& out) const {
    const std::string name = fs::path(out).filename().string() + ".part";
    for (const auto& entry : entries(dir.path().c_str())) {
      if (entry.rfind(name, 0) == 0) return true;
    }
    return false;
  }

  // The checks every look at a busy slot makes.
  void poll(int id, watched_job& job) {
    const int state = tacetra_status(id);
    ASSERT_TRUE(is_state(state)) << "slot " << id << " state " << state;
    if (job.final_state >= 0) ASSERT_EQ(state, job.final_state) << "a final state changed";

    const char* progress_text = tacetra_progress(id);
    json progress;
    ASSERT_NO_THROW(progress = json::parse(progress_text)) << progress_text;
    const int progress_state = progress.at("state").get<int>();
    ASSERT_TRUE(is_state(progress_state)) << progress_text;
    const std::int64_t packets = progress.at("packets").get<std::int64_t>();
    const std::int64_t processed_ms = progress.at("processed_ms").get<std::int64_t>();
    // Counters start from zero for every job and never go back.
    ASSERT_GE(packets, job.packets) << progress_text;
    ASSERT_GE(processed_ms, job.processed_ms) << progress_text;
    if (progress_state == TACETRA_PENDING) {
      ASSERT_EQ(packets, 0) << progress_text;
      ASSERT_EQ(progress.at("total_ms").get<std::int64_t>(), 0) << progress_text;
    }
    job.packets = packets;
    job.processed_ms = processed_ms;
    job.progress = progress_text;

    const char* result_text = tacetra_result(id);
    json result;
    ASSERT_NO_THROW(result = json::parse(result_text)) << result_text;
    const int result_state = result.at("state").get<int>();
    ASSERT_TRUE(is_state(result_state)) << result_text;
    job.result = result_text;

    if (!is_final(state)) return;
    job.final_state = state;
    ASSERT_EQ(progress_state, state) << progress_text;
    ASSERT_EQ(result_state, state) << result_text;
    ASSERT_NE(state, TACETRA_FAILED) << result_text;
    ASSERT_EQ(fs::exists(job.out), state == TACETRA_DONE) << result_text;
    ASSERT_FALSE(leaves_partial_file(job.out)) << result_text;
    if (state == TACETRA_DONE) ASSERT_EQ(result.at("ok").get<bool>(), true) << result_text;
  }

  void free_slot(int id, watched_job& job) {
    tacetra_free(id);
    ASSERT_EQ(tacetra_status(id), -1);
    ASSERT_STREQ(tacetra_progress(id), kBadId);
    ASSERT_STREQ(tacetra_result(id), kBadId);
    ASSERT_FALSE(leaves_partial_file(job.out));
    if (job.final_state >= 0) {
      ASSERT_EQ(fs::exists(job.out), job.final_state == TACETRA_DONE);
    } else if (fs::exists(job.out)) {
      // Freed while running, yet it reached its end first: then the output
      // is whole, never a part of one.
      ASSERT_GE(whole_sizes.count(fs::file_size(job.out)), 1u) << job.out;
    }
    std::error_code ignored;
    fs::remove(job.out, ignored);
    job.busy = false;
  }

  fixtures::TempDir dir;
  const std::string short_input = dir.file("short.mkv");
  const std::string long_input = dir.file("long.nut");
  std::multiset<std::uintmax_t> whole_sizes;
};

TEST_F(Soak, RandomStartPollCancelFreeCyclesKeepEveryInvariant) {
  const std::uint64_t seed = from_env("TACETRA_SOAK_SEED", 20240611);
  const std::uint64_t cycles = from_env("TACETRA_SOAK_CYCLES", 1200);
  SCOPED_TRACE("soak seed " + std::to_string(seed) + " (set TACETRA_SOAK_SEED to repeat)");
  std::mt19937_64 random(seed);
  auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };

  const std::size_t threads_before = entries("/proc/self/task").size();
  const std::set<std::string> fds_before = entries("/proc/self/fd");

  std::array<watched_job, 4> jobs;
  std::uint64_t started = 0;
  std::uint64_t busy_refusals = 0;
  while (started < cycles || std::any_of(jobs.begin(), jobs.end(), [](auto& j) { return j.busy; })) {
    const int id = static_cast<int>(random() % 4);
    watched_job& job = jobs[id];
    const int action = static_cast<int>(random() % 100);
    if (action < 30 && started < cycles) {
      int lowest_free = -1;
      for (int i = 3; i >= 0; --i) {
        if (!jobs[i].busy) lowest_free = i;
      }
      // With every slot taken, only a few starts are tried: each one costs
      // opening the input.
      if (lowest_free < 0 && !chance(10)) continue;
      const std::string& input = chance(50) ? short_input : long_input;
      const std::string out = dir.file("out-" + std::to_string(started) +
                                       kExtensions[random() % std::size(kExtensions)]);
      const int got = tacetra_start(input.c_str(), out.c_str());
      if (lowest_free < 0) {
        ASSERT_EQ(got, TACETRA_ERR_BUSY) << "a fifth concurrent start";
        ++busy_refusals;
        continue;
      }
      ASSERT_EQ(got, lowest_free) << "slots are handed out lowest first";
      watched_job& taken = jobs[got];
      // The slot's old texts were cleared when it was taken again.
      if (taken.progress != nullptr) ASSERT_STREQ(taken.progress, "");
      if (taken.result != nullptr) ASSERT_STREQ(taken.result, "");
      taken = watched_job{true, out};
      ++started;
      ASSERT_NO_FATAL_FAILURE(poll(got, taken));
    } else if (!job.busy) {
      ASSERT_EQ(tacetra_status(id), -1);
      ASSERT_STREQ(tacetra_progress(id), kBadId);
    } else if (action < 65) {
      ASSERT_NO_FATAL_FAILURE(poll(id, job));
    } else if (action < 75) {
      tacetra_cancel(id);
      ASSERT_NO_FATAL_FAILURE(poll(id, job));
    } else if (action < 95) {
      if (chance(50)) ASSERT_NO_FATAL_FAILURE(poll(id, job));
      ASSERT_NO_FATAL_FAILURE(free_slot(id, job));
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 1000));
    }
  }

  std::printf("soak: %llu jobs started, %llu fifth starts refused\n",
              static_cast<unsigned long long>(started), static_cast<unsigned long long>(busy_refusals));
  EXPECT_GT(busy_refusals, 0u);
  EXPECT_EQ(entries("/proc/self/task").size(), threads_before) << "threads left running";
  EXPECT_EQ(entries("/proc/self/fd"), fds_before) << "file descriptors leaked";
  const std::set<std::string> left = entries(dir.path().c_str());
  EXPECT_EQ(left, (std::set<std::string>{"short.mkv", "long.nut"}));
}

}  // namespace
