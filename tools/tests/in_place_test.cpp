// tacetra mute --in-place FILE...: each file replaced by its muted copy,
// keeping its permissions and owner; and left byte for byte as it was when
// the copy fails, cannot be made or is interrupted, with nothing of the
// program's left beside it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "harness/child_process.h"
#include "support/files.h"
#include "support/fixtures.h"
#include "support/lines.h"
#include "support/tmpfs_mount.h"
#include "units.h"

using namespace tool_tests;
namespace fs = std::filesystem;

namespace {

const fixtures::MediaLayout video_audio_subtitle{
    {{fixtures::Kind::video}, {fixtures::Kind::audio}, {fixtures::Kind::subtitle}}};

struct stat stat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st;
}

using fixtures::names_in;

TEST(InPlace, ReplacesEachFileByItsCopyKeepingItsPermissionsAndOwner) {
  fixtures::TempDir dir;
  struct original {
    std::string name;
    mode_t mode;
    uid_t owner;
    gid_t group;
  };
  std::vector<original> originals = {
      {"a.mkv", 0640, ::geteuid(), ::getegid()},
      {"b.mp4", 04751, 1234, 2345},
      {"c.mkv", 0604, ::geteuid(), ::getegid()},
  };
  std::vector<fixtures::MediaSummary> written;
  for (original& o : originals) {
    written.push_back(fixtures::write_media(dir.file(o.name), video_audio_subtitle));
    // Root (as in CI) can give a file away; anyone else keeps it.
    if (::chown(dir.file(o.name).c_str(), o.owner, o.group) != 0) {
      o.owner = ::geteuid();
      o.group = ::getegid();
    }
    ASSERT_EQ(::chmod(dir.file(o.name).c_str(), o.mode), 0);
  }
  // A link is followed: the file it names is replaced, the link stays.
  fs::create_symlink("c.mkv", dir.file("link.mkv"));
  const std::string before_c = fixtures::read_bytes(dir.file("c.mkv"));
  std::uintmax_t before_bytes = 0;
  for (const original& o : originals) before_bytes += fs::file_size(dir.file(o.name));

  const finished_run run =
      run_tool({"mute", "--in-place", dir.file("a.mkv"), dir.file("b.mp4"), dir.file("link.mkv")});
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  const auto lines = fixtures::lines_of(run.out);
  ASSERT_EQ(lines.size(), 3u) << run.out;
  for (const std::string name : {"a.mkv", "b.mp4", "link.mkv"}) {
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& l) { return l.starts_with(dir.file(name) + ": done, "); }),
              1)
        << run.out;
  }
  const std::string total = tacetra_cli::format_size(static_cast<std::int64_t>(before_bytes));
  EXPECT_EQ(fixtures::last_line(run.err), "[####################] 100.0%  3 done, 0 failed, 0 left  " +
                                              total + " / " + total + "  ETA 0:00")
      << run.err;

  for (std::size_t i = 0; i < originals.size(); ++i) {
    const std::string path = dir.file(originals[i].name);
    const fixtures::MediaSummary muted = fixtures::read_media(path);
    ASSERT_EQ(muted.streams.size(), 2u) << path;
    EXPECT_TRUE(fixtures::same_payload(muted.streams[0], written[i].streams[0])) << path;
    EXPECT_TRUE(fixtures::same_payload(muted.streams[1], written[i].streams[2])) << path;
    const struct stat st = stat_of(path);
    EXPECT_EQ(st.st_mode & 07777, originals[i].mode) << path;
    EXPECT_EQ(st.st_uid, originals[i].owner) << path;
    EXPECT_EQ(st.st_gid, originals[i].group) << path;
  }
  EXPECT_NE(fixtures::read_bytes(dir.file("c.mkv")), before_c);
  EXPECT_TRUE(fs::is_symlink(dir.file("link.mkv")));
  EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"a.mkv", "b.mp4", "c.mkv", "link.mkv"}));
}

struct unchanged_case {
  const char* name;
  // Makes the file to mute and returns the arguments after "mute".
  std::function<std::vector<std::string>(const std::string& file)> arrange;
  int exit_code;
  // What follows "FILE: " on stdout starts and ends so.
  std::string starts;
  std::string ends = ", left as it was";
};

// Runs each case on a file of `dir`, which must come out as it went in.
void expect_left_as_it_was(const std::string& dir, const std::string& file,
                           const std::vector<unchanged_case>& cases, const std::function<void()>& make) {
  for (const unchanged_case& c : cases) {
    make();
    const std::vector<std::string> args = c.arrange(file);
    const std::string bytes = fixtures::read_bytes(file);
    const std::set<std::string> names = names_in(dir);

    const finished_run run = run_tool(args);
    EXPECT_EQ(run.exit_code, c.exit_code) << c.name << ": " << run.out << run.err;
    EXPECT_TRUE(run.out.starts_with(file + ": " + c.starts)) << c.name << ": " << run.out;
    EXPECT_TRUE(run.out.ends_with(c.ends + "\n")) << c.name << ": " << run.out;
    EXPECT_EQ(fixtures::lines_of(run.out).size(), 1u) << c.name << ": " << run.out;
    EXPECT_TRUE(fixtures::read_bytes(file) == bytes) << c.name << ": the file changed";
    EXPECT_EQ(names_in(dir), names) << c.name;
    EXPECT_NE(fixtures::last_line(run.err).find("0 done, 1 failed, 0 left  "), std::string::npos)
        << c.name << ": " << run.err;
    fs::remove(file);
  }
}

TEST(InPlace, LeavesTheFileAsItWasWhenNoContainerGoesByItsName) {
  fixtures::TempDir dir;
  // FFmpeg reads the file by its contents, but writes by the name.
  const std::string file = dir.file("clip.nosuchformat");
  expect_left_as_it_was(dir.path(), file,
                        {{"unknown container",
                          [](const std::string& f) {
                            return std::vector<std::string>{"mute", "--in-place", f};
                          },
                          1, "failed: cannot create output"}},
                        [&] {
                          fixtures::write_media(dir.file("clip.mkv"), video_audio_subtitle);
                          fs::rename(dir.file("clip.mkv"), file);
                        });
}

TEST(InPlace, LeavesTheFileAsItWasWhenItsFilesystemCannotTakeTheCopy) {
  fixtures::TempDir dir;
  std::string why;
  // Room for the 3 MB file, not for its copy beside it.
  const auto disk = fixtures::TmpfsMount::mount(dir.file("disk"), 4 << 20, why);
  if (!disk) GTEST_SKIP() << why;
  const std::string file = disk->file("clip.mkv");
  expect_left_as_it_was(
      disk->path(), file,
      {
          {"the space check refuses",
           [](const std::string& f) {
             return std::vector<std::string>{"mute", "--in-place", f};
           },
           19, "not enough free space in " + disk->path() + ": the copy needs about ", " free"},
          {"the disk fills up",
           [](const std::string& f) {
             return std::vector<std::string>{"mute", "--in-place", "--no-space-check", f};
           },
           1, "failed: "},
      },
      [&] { fixtures::write_long(file, 5); });
}

TEST(InPlace, LeavesTheFileAsItWasOnAReadOnlyFilesystem) {
  fixtures::TempDir dir;
  std::string why;
  const auto disk = fixtures::TmpfsMount::mount(dir.file("disk"), 4 << 20, why);
  if (!disk) GTEST_SKIP() << why;
  const std::string file = disk->file("clip.mkv");
  fixtures::write_media(file, video_audio_subtitle);
  disk->make_read_only();
  const std::string bytes = fixtures::read_bytes(file);

  const finished_run run = run_tool({"mute", "--in-place", file});
  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_EQ(run.out,
            file + ": failed: cannot create its copy beside it: Read-only file system, left as it was\n");
  EXPECT_TRUE(fixtures::read_bytes(file) == bytes);
  EXPECT_EQ(names_in(disk->path()), std::set<std::string>{"clip.mkv"});
}

// Ctrl-C, SIGTERM, and a terminal that goes away (SIGHUP) alike.
class InPlaceInterrupt : public testing::TestWithParam<int> {};

TEST_P(InPlaceInterrupt, LeavesTheFileAsItWas) {
  fixtures::TempDir dir;
  const std::string file = dir.file("clip.mkv");
  fixtures::write_long(file, 20);
  const std::string bytes = fixtures::read_bytes(file);

  tool_process tool({"mute", "--in-place", file});
  // The copy's hidden directory appears beside the file just before its
  // job starts.
  while (names_in(dir.path()).size() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  tool.send_signal(GetParam());
  const finished_run run = tool.wait();

  EXPECT_EQ(run.exit_code, 3) << run.out << run.err;
  EXPECT_EQ(run.out, file + ": cancelled, left as it was\n");
  EXPECT_NE(run.err.find("tacetra: interrupted, cancelling the running jobs\n"), std::string::npos)
      << run.err;
  EXPECT_NE(fixtures::last_line(run.err).find("0 done, 0 failed, 1 cancelled, 0 left  "), std::string::npos)
      << run.err;
  EXPECT_TRUE(fixtures::read_bytes(file) == bytes);
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"clip.mkv"});
}

INSTANTIATE_TEST_SUITE_P(Signals, InPlaceInterrupt, testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// What is written to a file while its copy is made the copy does not hold:
// the file is not replaced then.
TEST(InPlace, LeavesAFileThatChangedWhileItWasCopied) {
  fixtures::TempDir dir;
  const std::string file = dir.file("clip.mkv");
  fixtures::write_long(file, 20);
  const std::string bytes = fixtures::read_bytes(file);

  tool_process tool({"mute", "--in-place", file});
  // The copy's hidden directory appears as its job starts, a tenth of a
  // second or so before the copy is done.
  while (names_in(dir.path()).size() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  const finished_run run = tool.wait();

  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_EQ(run.out, file + ": failed: it changed while it was being copied, left as it was\n");
  EXPECT_TRUE(fixtures::read_bytes(file) == bytes);
  EXPECT_EQ(stat_of(file).st_mtim.tv_sec, 1000000000);
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"clip.mkv"});
}

}  // namespace
