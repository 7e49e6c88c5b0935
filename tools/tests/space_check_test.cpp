// The space check: a job whose copy would not fit on the output's
// filesystem is refused before it starts, with a status of its own; and a
// batch counts the room its running jobs are still to take.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "harness/child_process.h"
#include "support/files.h"
#include "support/fixtures.h"
#include "support/lines.h"
#include "support/tmpfs_mount.h"

using namespace tool_tests;
namespace fs = std::filesystem;

namespace {

using fixtures::names_in;

TEST(SpaceCheck, RefusesACopyThatWouldNotFitUnlessToldNotToCheck) {
  fixtures::TempDir dir;
  std::string why;
  const auto disk = fixtures::TmpfsMount::mount(dir.file("disk"), 1 << 20, why);
  if (!disk) GTEST_SKIP() << why;
  const std::string in = dir.file("in.mkv");
  fixtures::write_long(in, 5);  // 3 MB
  const std::string out = disk->file("out.mkv");
  const std::string refusal = "not enough free space in " + disk->path() + ": the copy needs about ";

  struct row {
    std::vector<std::string> args;
    int exit_code;
    std::string out_starts;         // stdout
    std::string last_error_starts;  // the last line on stderr
  };
  const std::vector<row> rows = {
      {{"mute", in, out}, 19, "", "tacetra: " + in + ": " + refusal},
      {{"mute", "--dry-run", in, out}, 19, in + ": " + refusal, ""},
      // The copy starts, fills the disk and fails, leaving nothing.
      {{"mute", "--no-space-check", in, out},
       1,
       R"({"state":5,"ok":false,"error":")",
       "tacetra: " + in + ": failed: "},
  };
  for (const row& r : rows) {
    const finished_run run = run_tool(r.args);
    EXPECT_EQ(run.exit_code, r.exit_code) << r.args[1] << ": " << run.out << run.err;
    EXPECT_TRUE(r.out_starts.empty() ? run.out.empty() : run.out.starts_with(r.out_starts))
        << r.args[1] << ": " << run.out;
    EXPECT_TRUE(fixtures::last_line(run.err).starts_with(r.last_error_starts))
        << r.args[1] << ": " << run.err;
    EXPECT_EQ(names_in(disk->path()), std::set<std::string>{}) << r.args[1];
  }
}

TEST(SpaceCheck, ABatchMutesWhatFitsAndRefusesTheRest) {
  fixtures::TempDir dir;
  std::string why;
  const auto disk = fixtures::TmpfsMount::mount(dir.file("disk"), 4 << 20, why);
  if (!disk) GTEST_SKIP() << why;
  // Copies of some 1.8 MB each: two fit, and the third only if the checks
  // forgot what the two running beside it are still to write.
  std::vector<std::string> args{"mute", "--to", disk->file("out")};
  for (const std::string name : {"a.mkv", "b.mkv", "c.mkv"}) {
    fixtures::write_long(dir.file(name), 3);
    args.push_back(dir.file(name));
  }

  const finished_run run = run_tool(args);
  EXPECT_EQ(run.exit_code, 19) << run.out << run.err;
  const auto lines = fixtures::lines_of(run.out);
  ASSERT_EQ(lines.size(), 3u) << run.out;
  int done = 0;
  for (const std::string& line : lines) done += line.find(": done, ") != std::string::npos ? 1 : 0;
  EXPECT_EQ(done, 2) << run.out;
  EXPECT_NE(lines.back().find(": not enough free space in " + disk->path() + "/out: "), std::string::npos)
      << run.out;
  EXPECT_NE(fixtures::last_line(run.err).find("  2 done, 1 failed, 0 left  "), std::string::npos) << run.err;
  EXPECT_EQ(names_in(disk->file("out")).size(), 2u);
}

}  // namespace
