// tacetra mute --to DIR FILE...: more files than slots, each reported once,
// and a progress line for the whole batch.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/fixtures.h"
#include "support/lines.h"
#include "harness/child_process.h"
#include "units.h"

using namespace tool_tests;
using fixtures::lines_of;

namespace {

// The one line that starts with `prefix`.
std::string line_for(const std::vector<std::string>& lines, const std::string& prefix) {
  std::string found;
  for (const std::string& line : lines) {
    if (line.rfind(prefix, 0) != 0) continue;
    EXPECT_EQ(found, "") << "two lines for " << prefix;
    found = line;
  }
  return found;
}

const fixtures::MediaLayout video_audio{{{fixtures::Kind::video}, {fixtures::Kind::audio}}};

TEST(BatchMute, MutesMoreFilesThanThereAreSlots) {
  fixtures::TempDir dir;
  std::vector<std::string> args{"mute", "--to", dir.file("out")};
  for (int i = 0; i < 9; ++i) {
    const std::string in = dir.file("clip" + std::to_string(i) + ".mkv");
    fixtures::write_media(in, {video_audio.streams, 10 + i});
    args.push_back(in);
  }

  const finished_run run = run_tool(args);
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  const auto lines = lines_of(run.out);
  EXPECT_EQ(lines.size(), 9u) << run.out;
  for (int i = 0; i < 9; ++i) {
    const std::string name = "clip" + std::to_string(i) + ".mkv";
    const std::string out = dir.file("out/" + name);
    EXPECT_NE(line_for(lines, dir.file(name) + " -> " + out + ": done, ").find(" saved), "),
              std::string::npos)
        << run.out;
    const fixtures::MediaSummary muted = fixtures::read_media(out);
    ASSERT_EQ(muted.streams.size(), 1u) << name;
    EXPECT_EQ(muted.streams[0].packets, 10 + i) << name;
  }
}

TEST(BatchMute, ReportsEveryFileThatCannotBeMutedAndGoesOn) {
  fixtures::TempDir dir;
  fixtures::write_media(dir.file("a.mkv"), video_audio);
  fixtures::write_media(dir.file("silent.mkv"), {{{fixtures::Kind::video}}});
  std::filesystem::create_directory(dir.file("other"));
  fixtures::write_media(dir.file("other/a.mkv"), video_audio);  // same name as a.mkv
  fixtures::write_media(dir.file("b.mkv"), video_audio);
  const std::string out = dir.file("out");

  const finished_run run = run_tool({"mute", "--to", out, dir.file("a.mkv"), dir.file("silent.mkv"),
                                     dir.file("missing.mkv"), dir.file("other/a.mkv"), dir.file("b.mkv")});
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  const auto lines = lines_of(run.out);
  EXPECT_EQ(lines.size(), 5u) << run.out;
  EXPECT_NE(line_for(lines, dir.file("a.mkv") + " -> " + out + "/a.mkv: done, "), "");
  EXPECT_EQ(line_for(lines, dir.file("silent.mkv") + ": "),
            dir.file("silent.mkv") + ": skipped, no audio stream, nothing to remove");
  EXPECT_EQ(line_for(lines, dir.file("missing.mkv") + ": "),
            dir.file("missing.mkv") + ": cannot open the input as a local media file");
  EXPECT_EQ(line_for(lines, dir.file("other/a.mkv") + ": "),
            dir.file("other/a.mkv") + ": skipped, " + out + "/a.mkv is the output of " + dir.file("a.mkv"));
  EXPECT_NE(line_for(lines, dir.file("b.mkv") + " -> " + out + "/b.mkv: done, "), "");
}

TEST(BatchMute, RefusesAnOutputThatIsOneOfTheInputs) {
  fixtures::TempDir dir;
  fixtures::write_media(dir.file("a.mkv"), video_audio);
  std::filesystem::create_directory(dir.file("sub"));
  fixtures::write_media(dir.file("sub/a.mkv"), video_audio);

  // Muting sub/a.mkv into the top directory would overwrite a.mkv before
  // its own turn comes; muting a.mkv there would overwrite itself.
  const finished_run run = run_tool({"mute", "--to", dir.path(), dir.file("sub/a.mkv"), dir.file("a.mkv")});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, dir.file("sub/a.mkv") + ": output would overwrite the input " + dir.file("a.mkv") + "\n" +
                         dir.file("a.mkv") + ": output would overwrite the input\n");
}

// The batch's line, plain on a pipe and drawn in place on a terminal, ends
// with every file accounted for: refused up front, skipped at the start,
// and done.
TEST(BatchMute, TheBatchLineEndsWithEveryFileAccountedFor) {
  for (const auto kind : {tool_process::stderr_kind::pipe, tool_process::stderr_kind::terminal}) {
    fixtures::TempDir dir;
    const std::string out = dir.file("out");
    std::vector<std::string> args{"mute", "--to", out};
    std::uintmax_t bytes = 0;
    for (int i = 0; i < 5; ++i) {
      const std::string in = dir.file("clip" + std::to_string(i) + ".mkv");
      fixtures::write_media(in, video_audio);
      bytes += std::filesystem::file_size(in);
      args.push_back(in);
    }
    fixtures::write_media(dir.file("silent.mkv"), {{{fixtures::Kind::video}}});
    std::filesystem::create_directory(dir.file("other"));
    fixtures::write_media(dir.file("other/clip0.mkv"), video_audio);
    args.push_back(dir.file("silent.mkv"));
    args.push_back(dir.file("other/clip0.mkv"));

    const finished_run run = tool_process(args, kind).wait();
    EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
    EXPECT_EQ(lines_of(run.out).size(), 7u) << run.out;
    const std::string total = tacetra_cli::format_size(static_cast<std::int64_t>(bytes));
    const std::string last =
        "[####################] 100.0%  5 done, 1 skipped, 1 failed, 0 left  " + total + " / " +
        total + "  ETA 0:00\n";
    EXPECT_TRUE(run.err.ends_with(last)) << run.err;
    if (kind == tool_process::stderr_kind::terminal) {
      // Drawn over and over on one line, which only the end closes.
      EXPECT_EQ(std::ranges::count(run.err, '\n'), 1) << run.err;
      EXPECT_TRUE(run.err.ends_with("\r" + last)) << run.err;
    } else {
      EXPECT_EQ(std::ranges::count(run.err, '\r'), 0) << run.err;
      EXPECT_EQ(fixtures::last_line(run.err) + "\n", last);
    }
  }
}

}  // namespace
