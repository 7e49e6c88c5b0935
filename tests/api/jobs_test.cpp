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
    for (int id = 0; id < 4; ++id) tacetra_free(id);
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

// Four jobs at once, each on an input of its own: every output is its own
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
  for (int round = 0; round < 2; ++round) {
    std::vector<std::string> outs;
    for (int id = 0; id < 4; ++id) {
      const std::string& in = jobs[static_cast<std::size_t>(id)].in;
      outs.push_back(in + ".round" + std::to_string(round) + in.substr(in.size() - 4));
      ASSERT_EQ(tacetra_start(in.c_str(), outs.back().c_str()), id);
    }
    for (int id = 0; id < 4; ++id) {
      ASSERT_EQ(wait_for_end(id), TACETRA_DONE) << tacetra_result(id);
      expect_input_without_audio(jobs[static_cast<std::size_t>(id)].in, outs[static_cast<std::size_t>(id)]);
    }
    for (int id = 0; id < 4; ++id) tacetra_free(id);
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

}  // namespace
