// tacetra mute INPUT OUTPUT: the result text, the progress on stderr, and an
// exit status of its own for every way a job can end or be refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "support/fixtures.h"
#include "harness/child_process.h"

using namespace tool_tests;
namespace fs = std::filesystem;

namespace {

int count(const std::string& text, char c) { return static_cast<int>(std::ranges::count(text, c)); }

fixtures::MediaLayout video_audio_subtitle() {
  return {{{fixtures::Kind::video}, {fixtures::Kind::audio}, {fixtures::Kind::subtitle}}};
}

TEST(MuteCommand, CopiesAllButTheAudioAndPrintsTheResultText) {
  fixtures::TempDir dir;
  const std::string in = dir.file("in.mkv");
  const std::string out = dir.file("out.mkv");
  const fixtures::MediaSummary written = fixtures::write_media(in, video_audio_subtitle());

  const finished_run run = run_tool({"mute", in, out});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out.rfind(R"({"state":3,"ok":true,"out_path":")" + out + R"(","out_size_bytes":)", 0), 0u)
      << run.out;
  EXPECT_EQ(count(run.out, '\n'), 1);
  EXPECT_EQ(run.out.back(), '\n');

  const fixtures::MediaSummary muted = fixtures::read_media(out);
  ASSERT_EQ(muted.streams.size(), 2u);
  EXPECT_TRUE(fixtures::same_payload(muted.streams[0], written.streams[0])) << muted.streams[0];
  EXPECT_TRUE(fixtures::same_payload(muted.streams[1], written.streams[2])) << muted.streams[1];

  // Not a terminal: plain lines, the last one showing the job complete.
  EXPECT_EQ(count(run.err, '\r'), 0) << run.err;
  EXPECT_NE(run.err.find("] 100.0%  "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(" packets  "), std::string::npos) << run.err;
  EXPECT_EQ(run.err.back(), '\n');
}

TEST(MuteCommand, DrawsOneSelfUpdatingLineOnATerminal) {
  fixtures::TempDir dir;
  const std::string in = dir.file("in.mkv");
  fixtures::write_media(in, video_audio_subtitle());

  tool_process tool({"mute", in, dir.file("out.mkv")}, tool_process::stderr_kind::terminal);
  const finished_run run = tool.wait();
  ASSERT_EQ(run.exit_code, 0) << run.err;
  // Every drawing starts at the line's beginning; one newline ends the line.
  EXPECT_EQ(run.err.front(), '\r') << run.err;
  EXPECT_EQ(count(run.err, '\n'), 1) << run.err;
  EXPECT_EQ(run.err.back(), '\n');
  EXPECT_NE(run.err.find("\r[####################] 100.0%  "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("ETA 0:00"), std::string::npos) << run.err;
}

struct refused_case {
  const char* name;
  // Makes the files in `dir` and returns the arguments after "mute".
  std::function<std::vector<std::string>(const fixtures::TempDir& dir)> arrange;
  int exit_code;
  std::string reason;  // on stderr, after the input's name
};

std::string long_path(const fixtures::TempDir& dir, std::size_t length) {
  std::string path = dir.file("");
  path.append(length - path.size() - 4, 'x');
  return path + ".mkv";
}

TEST(MuteCommand, ExitStatusAndMessageNameTheReason) {
  const fixtures::MediaLayout video_only{{{fixtures::Kind::video}}};
  const fixtures::MediaLayout audio_only{{{fixtures::Kind::audio}}};
  const std::vector<refused_case> cases = {
      {"no audio", [&](const auto& d) {
         fixtures::write_media(d.file("in.mkv"), video_only);
         return std::vector<std::string>{d.file("in.mkv"), d.file("out.mkv")};
       }, 17, "no audio stream, nothing to remove"},
      {"no video", [&](const auto& d) {
         fixtures::write_media(d.file("in.mkv"), audio_only);
         return std::vector<std::string>{d.file("in.mkv"), d.file("out.mkv")};
       }, 15, "no video stream"},
      {"missing input", [](const auto& d) {
         return std::vector<std::string>{d.file("missing.mkv"), d.file("out.mkv")};
       }, 13, "cannot open the input as a local media file"},
      {"not a plain local file", [](const auto& d) {
         // FFmpeg would read this good file through its concat protocol.
         fixtures::write_media(d.file("in.mkv"), video_audio_subtitle());
         return std::vector<std::string>{"concat:" + d.file("in.mkv"), d.file("out.mkv")};
       }, 13, "cannot open the input as a local media file"},
      {"output is the input", [](const auto& d) {
         fixtures::write_media(d.file("in.mkv"), video_audio_subtitle());
         return std::vector<std::string>{d.file("in.mkv"), d.file("in.mkv")};
       }, 18, "output would overwrite the input"},
      {"output is a link to the input", [](const auto& d) {
         fixtures::write_media(d.file("in.mkv"), video_audio_subtitle());
         fs::create_symlink(d.file("in.mkv"), d.file("link.mkv"));
         return std::vector<std::string>{d.file("in.mkv"), d.file("link.mkv")};
       }, 18, "output would overwrite the input"},
      {"empty input path", [](const auto& d) {
         return std::vector<std::string>{"", d.file("out.mkv")};
       }, 11, "the input path is empty"},
      {"output path too long", [](const auto& d) {
         fixtures::write_media(d.file("in.mkv"), video_audio_subtitle());
         return std::vector<std::string>{d.file("in.mkv"), long_path(d, 1199)};
       }, 11, "a path is longer than 1198 bytes"},
  };
  for (const refused_case& c : cases) {
    fixtures::TempDir dir;
    const std::vector<std::string> paths = c.arrange(dir);
    const finished_run run = run_tool({"mute", paths[0], paths[1]});
    EXPECT_EQ(run.exit_code, c.exit_code) << c.name << ": " << run.err;
    // FFmpeg's own log may come first; the tool's word is the last line.
    EXPECT_TRUE(run.err.ends_with("\ntacetra: " + paths[0] + ": " + c.reason + "\n") ||
                run.err == "tacetra: " + paths[0] + ": " + c.reason + "\n")
        << c.name << ": " << run.err;
    EXPECT_EQ(run.out, "") << c.name;
  }
}

TEST(MuteCommand, AFailedJobPrintsItsResultAndExitsWithStatusOne) {
  fixtures::TempDir dir;
  const std::string in = dir.file("in.mkv");
  fixtures::write_media(in, video_audio_subtitle());
  // No container goes by this name.
  const finished_run run = run_tool({"mute", in, dir.file("out.nosuchformat")});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, R"({"state":5,"ok":false,"error":"cannot create output"})" "\n");
  EXPECT_NE(run.err.find("tacetra: " + in + ": failed: cannot create output\n"), std::string::npos)
      << run.err;
}

}  // namespace
