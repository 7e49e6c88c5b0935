// tacetra mute --to DIR FILE...: more files than slots, each reported once.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "support/fixtures.h"
#include "harness/child_process.h"

using namespace tool_tests;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

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
            dir.file("silent.mkv") + ": no audio stream, nothing to remove");
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

}  // namespace
