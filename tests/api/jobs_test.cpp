// The job engine as a host sees it: the public header and the shared library.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
}

#include "support/fixtures.h"
#include "support/host_jobs.h"
#include "tacetra.h"

namespace {

using fixtures::Kind;
using fixtures::wait_for_end;

struct FreeAllSlots {
  ~FreeAllSlots() {
    for (int id = 0; id < TACETRA_MAX_JOBS; ++id) tacetra_free(id);
  }
};

void expect_input_without_audio(const std::string& in, const std::string& out) {
  const fixtures::MediaSummary input = fixtures::read_media(in);
  const fixtures::MediaSummary output = fixtures::read_media(out);
  std::vector<fixtures::StreamSummary> kept;
  for (const auto& s : input.streams) {
    if (s.codec_type != AVMEDIA_TYPE_AUDIO) kept.push_back(s);
  }
  ASSERT_EQ(output.streams.size(), kept.size()) << out;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    EXPECT_TRUE(fixtures::same_payload(output.streams[i], kept[i]))
        << out << " stream " << i << ": " << output.streams[i] << "\nexpected: " << kept[i];
  }
}

// A job in every slot at once, each on an input of its own: every output is its own
// input without audio, whatever the others do; freed slots serve again.
TEST(HostJobs, FourConcurrentJobsEachCopyTheirOwnInput) {
  fixtures::TempDir dir;
  FreeAllSlots guard;
  struct Job {
    std::string in;
    std::vector<Kind> kinds;
    int packets;
  };
  std::vector<Job> jobs = {
      {dir.file("a.mkv"), {Kind::video, Kind::audio}, 30},
      {dir.file("b.mkv"), {Kind::audio, Kind::video, Kind::subtitle}, 12},
      {dir.file("c.mp4"), {Kind::video, Kind::audio, Kind::subtitle}, 20},
      {dir.file("d.nut"), {Kind::audio, Kind::video, Kind::data}, 7},
  };
  for (const Job& job : jobs) {
    fixtures::MediaLayout layout;
    for (Kind k : job.kinds) layout.streams.push_back({k});
    layout.packets_per_stream = job.packets;
    fixtures::write_media(job.in, layout);
  }
  ASSERT_EQ(jobs.size(), std::size_t{TACETRA_MAX_JOBS});
  for (int round = 0; round < 2; ++round) {
    std::vector<std::string> outs;
    for (int id = 0; id < TACETRA_MAX_JOBS; ++id) {
      const std::string& in = jobs[static_cast<std::size_t>(id)].in;
      outs.push_back(in + ".round" + std::to_string(round) + in.substr(in.size() - 4));
      ASSERT_EQ(tacetra_start(in.c_str(), outs.back().c_str()), id);
    }
    for (int id = 0; id < TACETRA_MAX_JOBS; ++id) {
      ASSERT_EQ(wait_for_end(id), TACETRA_DONE) << tacetra_result(id);
      expect_input_without_audio(jobs[static_cast<std::size_t>(id)].in, outs[static_cast<std::size_t>(id)]);
    }
    for (int id = 0; id < TACETRA_MAX_JOBS; ++id) tacetra_free(id);
  }
}

// The host's strings need to live only for the call.
TEST(HostJobs, PathsAreCopiedWhenTheJobStarts) {
  fixtures::TempDir dir;
  FreeAllSlots guard;
  const std::string in = dir.file("in.mkv");
  fixtures::write_media(in, {{{Kind::video}, {Kind::audio}}});
  const std::string out = dir.file("out.mkv");
  std::vector<char> in_buffer(in.begin(), in.end());
  std::vector<char> out_buffer(out.begin(), out.end());
  in_buffer.push_back('\0');
  out_buffer.push_back('\0');

  ASSERT_EQ(tacetra_start(in_buffer.data(), out_buffer.data()), 0);
  std::memset(in_buffer.data(), 'x', in_buffer.size() - 1);
  std::memset(out_buffer.data(), 'y', out_buffer.size() - 1);
  ASSERT_EQ(wait_for_end(0), TACETRA_DONE) << tacetra_result(0);
  tacetra_free(0);
  expect_input_without_audio(in, out);
}

// The header's limits are the library's: TACETRA_PATH_MAX bytes pass the
// path check (the missing file is then refused as such), one more does not;
// TACETRA_MAX_JOBS jobs run at once and the next finds every slot busy.
TEST(HostJobs, TheHeadersLimitsAreTheLibrarys) {
  fixtures::TempDir dir;
  FreeAllSlots guard;
  const std::string in = dir.file("in.mkv");
  fixtures::write_long(in, 2);
  const std::string longest = dir.file("") + std::string(TACETRA_PATH_MAX - dir.file("").size(), 'p');
  ASSERT_EQ(longest.size(), std::size_t{TACETRA_PATH_MAX});
  EXPECT_EQ(tacetra_start(longest.c_str(), dir.file("out.mkv").c_str()), TACETRA_ERR_OPEN);
  EXPECT_EQ(tacetra_start((longest + "p").c_str(), dir.file("out.mkv").c_str()), TACETRA_ERR_ARGS);

  for (int id = 0; id < TACETRA_MAX_JOBS; ++id) {
    ASSERT_EQ(tacetra_start(in.c_str(), dir.file("out" + std::to_string(id) + ".mkv").c_str()), id);
  }
  EXPECT_EQ(tacetra_status(TACETRA_MAX_JOBS), -1);
  EXPECT_EQ(tacetra_start(in.c_str(), dir.file("one-too-many.mkv").c_str()), TACETRA_ERR_BUSY);
}

}  // namespace
