// tacetra probe and tacetra version hand the library's texts to the user.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/fixtures.h"
#include "harness/child_process.h"
#include "tacetra.h"

using namespace tool_tests;

namespace {

std::string library_probe(const std::string& path) { return tacetra_probe(path.c_str()); }

TEST(ProbeCommand, PrintsEachReportUnchangedAndFailsWhenOneFails) {
  fixtures::TempDir dir;
  const std::string video = dir.file("clip.mkv");
  const std::string subtitles = dir.file("clip.nut");
  fixtures::write_media(video, {{{fixtures::Kind::video}, {fixtures::Kind::audio}, {fixtures::Kind::subtitle}}});
  fixtures::write_media(subtitles, {{{fixtures::Kind::subtitle}}});
  const std::string missing = dir.file("missing.mkv");

  const finished_run good = run_tool({"probe", video, subtitles});
  EXPECT_EQ(good.exit_code, 0);
  EXPECT_EQ(good.out, library_probe(video) + "\n" + library_probe(subtitles) + "\n");
  EXPECT_EQ(good.err, "");

  const finished_run bad = run_tool({"probe", missing, video});
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_EQ(bad.out, library_probe(missing) + "\n" + library_probe(video) + "\n");
  EXPECT_EQ(bad.err, "tacetra: " + missing + ": open: No such file or directory\n");
}

TEST(ProbeCommand, PrettyIndentsTheSameReportKeepingItsKeyOrder) {
  fixtures::TempDir dir;
  const std::string video = dir.file("clip.mkv");
  fixtures::write_media(video, {{{fixtures::Kind::video}, {fixtures::Kind::audio}}});

  const finished_run run = run_tool({"probe", "--pretty", video});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out.rfind("{\n  \"ok\": true,\n  \"duration_ms\": ", 0), 0u) << run.out;
  EXPECT_EQ(nlohmann::ordered_json::parse(run.out), nlohmann::ordered_json::parse(library_probe(video)));
}

TEST(VersionCommand, PrintsTheLibrarysVersionText) {
  for (const std::string form : {"version", "--version"}) {
    const finished_run run = run_tool({form});
    EXPECT_EQ(run.exit_code, 0) << form;
    EXPECT_EQ(run.out, std::string(tacetra_version()) + "\n") << form;
  }
}

TEST(CommandLine, AnUnknownCommandIsNamedAsUnknown) {
  const finished_run run = run_tool({"transcode", "a.mkv"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_TRUE(run.err.starts_with("tacetra: unknown command 'transcode'")) << run.err;
}

// Lines that never reached the user are no success, whatever the command.
TEST(CommandLine, OutputThatCannotBeWrittenFails) {
  fixtures::TempDir dir;
  const std::string file = dir.file("clip.mkv");
  fixtures::write_media(file, {{{fixtures::Kind::video}, {fixtures::Kind::audio}}});
  for (const std::string args : std::vector<std::string>{"probe '" + file + "'", "version",
                                                         "mute --in-place '" + file + "'"}) {
    const finished_run run = run_shell("exec \"$TACETRA\" " + args + " >/dev/full");
    EXPECT_EQ(run.exit_code, 1) << args << ": " << run.err;
    EXPECT_NE(run.err.find("tacetra: cannot write to standard output\n"), std::string::npos)
        << args << ": " << run.err;
  }
}

TEST(CommandLine, MisuseExitsWithStatusTwo) {
  const std::vector<std::vector<std::string>> misuses = {
      {},                              // no command
      {"transcode", "a.mkv"},          // unknown command
      {"probe"},                       // no file
      {"mute", "only-input.mkv"},      // no output
      {"mute", "a.mkv", "b.mkv", "c.mkv"},
      {"probe", "--loud", "a.mkv"},    // unknown option
  };
  for (const auto& args : misuses) {
    const finished_run run = run_tool(args);
    EXPECT_EQ(run.exit_code, 2) << testing::PrintToString(args) << "\n" << run.err;
    EXPECT_NE(run.err, "") << testing::PrintToString(args);
    EXPECT_EQ(run.out, "") << testing::PrintToString(args);
  }
}

}  // namespace
