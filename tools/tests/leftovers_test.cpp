// However a run in place ends (a reader of its output gone, a file size
// limit, two interrupts, SIGKILL) every file is whole, muted or as it was,
// and of the program's own files at most empty hidden directories remain,
// which never keep a later run from muting the file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

extern "C" {
#include <libavutil/avutil.h>
}

#include "harness/child_process.h"
#include "support/files.h"
#include "support/fixtures.h"

using namespace tool_tests;
namespace fs = std::filesystem;

namespace {

bool muted(const std::string& path) {
  const fixtures::MediaSummary m = fixtures::read_media(path);
  return m.streams.size() == 1 && m.streams[0].codec_type == AVMEDIA_TYPE_VIDEO;
}

std::string quoted(const std::string& path) { return "'" + path + "'"; }

// Six long files, each either muted or byte for byte as it was, and nothing
// else in the directory.
TEST(Leftovers, AReaderOfTheLinesThatGoesAwayEndsTheRunAsCtrlCDoes) {
  fixtures::TempDir dir;
  std::vector<std::string> bytes;
  std::string files;
  std::set<std::string> names;
  for (int i = 0; i < 6; ++i) {
    const std::string name = "clip" + std::to_string(i) + ".mkv";
    fixtures::write_long(dir.file(name), 10);
    bytes.push_back(fixtures::read_bytes(dir.file(name)));
    files += " " + quoted(dir.file(name));
    names.insert(name);
  }

  // head leaves after the first byte of the first line: a later line meets
  // a closed pipe, mid-run or, on a busy machine, at the very end.
  const finished_run run = run_shell("\"$TACETRA\" mute --in-place" + files + " | head -c1");
  EXPECT_EQ(run.out.size(), 1u) << run.out;
  EXPECT_NE(run.err.find("tacetra: "), std::string::npos) << run.err;
  for (int i = 0; i < 6; ++i) {
    const std::string path = dir.file("clip" + std::to_string(i) + ".mkv");
    EXPECT_TRUE(fixtures::read_bytes(path) == bytes[i] || muted(path)) << path;
  }
  EXPECT_EQ(fixtures::names_in(dir), names);
}

// The limit fails the write that passes it, and so the job, rather than
// kill the program mid-copy.
TEST(Leftovers, AFileSizeLimitFailsTheJob) {
  fixtures::TempDir dir;
  const std::string file = dir.file("clip.mkv");
  fixtures::write_long(file, 5);
  const std::string bytes = fixtures::read_bytes(file);

  // 256 blocks: 128 kB for dash, 256 kB for bash; the copy is about 3 MB.
  const finished_run run =
      run_shell("ulimit -f 256; exec \"$TACETRA\" mute --in-place " + quoted(file));
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_TRUE(run.out.starts_with(file + ": failed: write ")) << run.out;
  EXPECT_TRUE(run.out.ends_with(" failed, left as it was\n")) << run.out;
  EXPECT_TRUE(fixtures::read_bytes(file) == bytes);
  EXPECT_EQ(fixtures::names_in(dir), std::set<std::string>{"clip.mkv"});
}

// Two interrupts in a row: whether the second comes while the first is
// still being handled (the program then ends at once, by the signal) or
// after it, nothing is left.
TEST(Leftovers, TwoInterruptsLeaveNothing) {
  fixtures::TempDir dir;
  const std::string file = dir.file("clip.mkv");
  fixtures::write_long(file, 20);
  const std::string bytes = fixtures::read_bytes(file);

  tool_process tool({"mute", "--in-place", file});
  while (fixtures::names_in(dir).size() < 2)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  tool.send_signal(SIGINT);
  tool.send_signal(SIGINT);
  const finished_run run = tool.wait();

  EXPECT_TRUE(run.exit_code == 3 || run.exit_code == 128 + SIGINT) << run.exit_code << run.err;
  EXPECT_TRUE(fixtures::read_bytes(file) == bytes);
  EXPECT_EQ(fixtures::names_in(dir), std::set<std::string>{"clip.mkv"});
}

// Killed mid-copy, the program cannot clean up: what it leaves are hidden
// directories with unpredictable names and no partial copy in them, and a
// later run mutes the file all the same.
TEST(Leftovers, SigkillLeavesNoCopyAndDoesNotBlockALaterRun) {
  fixtures::TempDir dir;
  const std::string file = dir.file("clip.mkv");
  fixtures::write_long(file, 20);
  const std::string bytes = fixtures::read_bytes(file);

  for (int run = 0; run < 2; ++run) {
    tool_process tool({"mute", "--in-place", file});
    while (fixtures::names_in(dir).size() < 2u + run)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // into the copy
    tool.send_signal(SIGKILL);
    EXPECT_EQ(tool.wait().exit_code, 128 + SIGKILL);
  }
  EXPECT_TRUE(fixtures::read_bytes(file) == bytes);
  for (const std::string& name : fixtures::names_in(dir)) {
    if (name == "clip.mkv") continue;
    EXPECT_TRUE(name.starts_with(".tacetra-")) << name;
    EXPECT_TRUE(fs::is_directory(dir.file(name))) << name;
    // The library's copy has no name until complete, so a directory holds
    // nothing, or a whole copy when the kill came after the job's end.
    for (const std::string& left : fixtures::names_in(dir.file(name)))
      EXPECT_TRUE(muted(dir.file(name) + "/" + left)) << name << "/" << left;
  }

  const finished_run later = run_tool({"mute", "--in-place", file});
  EXPECT_EQ(later.exit_code, 0) << later.out << later.err;
  EXPECT_TRUE(muted(file));
}

}  // namespace
