// What no job may do to a user's files, where only POSIX can set the scene:
// a disk that fills up in the trailer, a partial file's name swapped while
// the job runs, a host killed mid-copy, the host changing its current
// directory, private files replaced, and a named pipe whose writer has
// finished.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/partial_file.h"
#include "jobs/session.h"
#include "support/child.h"
#include "support/files.h"
#include "support/fixtures.h"
#include "support/held_job.h"
#include "support/jobs.h"
#include "support/unnamed_files.h"
#include "tacetra.h"

namespace {

namespace fs = std::filesystem;
using fixtures::FreeAllSlots;
using fixtures::HeldJob;
using fixtures::in_child;
using fixtures::names_in;
using fixtures::read_bytes;
using fixtures::TempDir;
using fixtures::wait_final;
using fixtures::write_bytes;
using fixtures::write_good_input;

std::map<std::string, std::string> contents_of(const TempDir& dir) {
  std::map<std::string, std::string> files;
  for (const std::string& name : names_in(dir)) {
    if (fs::is_regular_file(fs::symlink_status(dir.file(name)))) files[name] = read_bytes(dir.file(name));
  }
  return files;
}

unsigned mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// ---------------------------------------------------------------------------
// Done means complete: a limit on the file size, in a child process, that
// the copy reaches only in its trailer.

class TrailerLimit : public testing::TestWithParam<const char*> {};

TEST_P(TrailerLimit, AWriteThatFailsInTheTrailerFailsTheJobAndKeepsTheUsersFile) {
  TempDir dir;
  FreeAllSlots guard;
  // Small enough that every byte of the copy is still buffered when the
  // trailer is written.
  const std::string in = write_good_input(dir, "in.mkv");
  const std::string out = dir.file(std::string("out.") + GetParam());
  const auto whole = fixtures::run_worker(in, out);
  ASSERT_EQ(whole->state, tacetra::MUTE_DONE) << whole->error;
  const auto full_size = static_cast<rlim_t>(whole->out_size_bytes);
  ASSERT_LT(full_size, 32768u);
  write_bytes(out, "the user's own file\n");
  const auto before = contents_of(dir);

  auto run_with_limit = [&](rlim_t limit) {
    return in_child([&] {
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit r{limit, limit};
      ::setrlimit(RLIMIT_FSIZE, &r);
      const int id = tacetra_start(in.c_str(), out.c_str());
      if (id < 0) return "start " + std::to_string(id);
      wait_final(id);
      const std::string text = tacetra_result(id);
      tacetra_free(id);
      return text;
    });
  };
  EXPECT_EQ(run_with_limit(full_size - 1), R"({"state":5,"ok":false,"error":"write trailer failed"})");
  EXPECT_EQ(contents_of(dir), before);

  // One byte more, and the same job is done.
  EXPECT_NE(run_with_limit(full_size).find(R"("state":3,"ok":true)"), std::string::npos);
  EXPECT_EQ(fixtures::read_media(out).streams.size(), 1u);
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.mkv", fs::path(out).filename().string()}));
}

INSTANTIATE_TEST_SUITE_P(Containers, TrailerLimit, testing::Values("mkv", "mp4"));

// ---------------------------------------------------------------------------
// The partial file, both ways it is kept: without a name where the file
// system allows it, else named. The copy of a private file is private from
// its first byte; it takes the output's name only at the commit, even when
// the output's name is as long as names get, and no other name is left.

TEST(PartialFile, EitherWayTheCopyIsPrivateAndOnlyTheOutputIsLeft) {
  using naming = tacetra::partial_file::naming;
  TempDir probe;
  const bool unnamed_here = fixtures::has_unnamed_files(probe.path());
  for (const naming how : {naming::unnamed_where_possible, naming::named}) {
    for (const std::size_t length : {std::size_t{7}, std::size_t{255}}) {
      SCOPED_TRACE(std::to_string(length) + (how == naming::named ? " named" : " unnamed"));
      TempDir dir;
      const std::string name = std::string(length - 4, 'n') + ".mkv";
      const std::string out = dir.file(name);
      write_bytes(out, "the user's own file\n");
      ASSERT_EQ(::chmod(out.c_str(), 0640), 0);
      // The name a named partial file would take first: a user's, never opened.
      if (length < 200) write_bytes(out + ".part", "a user's file\n");
      const auto before = contents_of(dir);

      tacetra::partial_file file;
      ASSERT_EQ(file.create(out.c_str(), how), tacetra::partial_file::created::ok);
      std::set<std::string> added;
      for (const std::string& n : names_in(dir)) {
        if (before.count(n) == 0) added.insert(n);
      }
      const auto hidden = fixtures::unnamed_files_open_in(dir.path());
      if (how == naming::unnamed_where_possible && unnamed_here) {
        EXPECT_TRUE(added.empty());
        ASSERT_EQ(hidden.size(), 1u);
        EXPECT_EQ(hidden[0].st_mode & 07777, 0640u);
      } else {
        EXPECT_EQ(added, (std::set<std::string>{length < 200 ? name + ".part1" : "tacetra.part"}));
        EXPECT_TRUE(hidden.empty());
        if (!added.empty()) EXPECT_EQ(mode_of(dir.file(*added.begin())), 0640u);
      }

      const std::string copy = "the copy";
      ASSERT_EQ(file.write(reinterpret_cast<const std::uint8_t*>(copy.data()), 8), 8);
      ASSERT_TRUE(file.finish());
      EXPECT_EQ(read_bytes(out), before.at(name));
      ASSERT_TRUE(file.commit());
      auto after = before;
      after[name] = copy;
      EXPECT_EQ(contents_of(dir), after);
      EXPECT_EQ(mode_of(out), 0640u);
      EXPECT_EQ(file.size(), 8);
    }
  }
}

// Written through its own handle: what is swapped in at a named partial
// file's name while it is written is never written, renamed or removed.

struct swap_case {
  const char* name;
  std::function<void(const TempDir& dir, const std::string& at)> put;
};

TEST(PartialFile, ANameSwappedInWhileItIsWrittenIsNeverWrittenRenamedOrRemoved) {
  const swap_case cases[] = {
      {"a symlink to a file the job must not write",
       [](const TempDir& dir, const std::string& at) { fs::create_symlink(dir.file("victim.txt"), at); }},
      {"a user's file", [](const TempDir&, const std::string& at) { write_bytes(at, "a user's file\n"); }},
      {"a directory", [](const TempDir&, const std::string& at) { fs::create_directory(at); }},
  };
  for (const swap_case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string out = dir.file("out.mkv");
    write_bytes(out, "the user's own file\n");
    write_bytes(dir.file("victim.txt"), "the victim\n");
    tacetra::partial_file file;
    ASSERT_EQ(file.create(out.c_str(), tacetra::partial_file::naming::named),
              tacetra::partial_file::created::ok);
    const std::string partial = out + ".part";
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(partial)));
    // The job's own file, moved aside; the job goes on writing it.
    fs::rename(partial, dir.file("moved.part"));
    c.put(dir, partial);
    auto others = [&] {
      auto files = contents_of(dir);
      files.erase("moved.part");
      return files;
    };
    const auto before = others();
    const auto type_before = fs::symlink_status(partial).type();

    const std::string copy = "the copy";
    EXPECT_EQ(file.write(reinterpret_cast<const std::uint8_t*>(copy.data()), 8), 8);
    EXPECT_TRUE(file.finish());
    EXPECT_FALSE(file.commit());
    file.discard();
    EXPECT_EQ(others(), before);
    EXPECT_EQ(fs::symlink_status(partial).type(), type_before);
    EXPECT_EQ(read_bytes(dir.file("moved.part")), copy);
  }
}

// ---------------------------------------------------------------------------
// A host killed mid-copy leaves no partial copy, and the user's file at the
// output as it was.

TEST(PartialFile, AHostKilledMidCopyLeavesNothingBehind) {
  TempDir dir;
  if (!fixtures::has_unnamed_files(dir.path())) GTEST_SKIP() << "no unnamed files on this file system";
  const std::string in = write_good_input(dir, "in.mkv");
  const std::string out = dir.file("out.mkv");
  const std::string users = "the user's own file\n";
  write_bytes(out, users);

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t host = ::fork();
  ASSERT_GE(host, 0);
  if (host == 0) {
    ::close(ready[0]);
    HeldJob held(dir, in);
    const char held_mid_copy = held.start(out) == 0 ? 'y' : 'n';
    (void)::write(ready[1], &held_mid_copy, 1);
    ::pause();
    ::_exit(1);
  }
  ::close(ready[1]);
  char held_mid_copy = 'n';
  EXPECT_EQ(::read(ready[0], &held_mid_copy, 1), 1);
  ::close(ready[0]);
  EXPECT_EQ(held_mid_copy, 'y');
  ::kill(host, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(host, &status, 0), host);
  EXPECT_TRUE(WIFSIGNALED(status));

  // Besides the test's named pipe, the directory as it was.
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.mkv", "held-in.mkv", "out.mkv"}));
  EXPECT_TRUE(read_bytes(out) == users);
}

// ---------------------------------------------------------------------------
// Paths fixed at the start: the host changes its current directory while
// the job copies.

TEST(StartPaths, AChangeOfDirectoryMidCopyReplacesOnlyTheOutputNamedAtTheStart) {
  TempDir there;
  TempDir elsewhere;
  FreeAllSlots guard;
  const fs::path saved = fs::current_path();
  const std::string in = write_good_input(there, "in.mkv");
  write_bytes(elsewhere.file("out.mkv"), "the user's own\n");
  write_bytes(elsewhere.file("out.mkv.part"), "the user's partial\n");
  const auto elsewhere_before = contents_of(elsewhere);

  fs::current_path(there.path());
  HeldJob held(there, in);
  const int id = held.start("out.mkv");
  fs::current_path(elsewhere.path());
  held.release();
  const int state = id >= 0 ? wait_final(id) : id;
  tacetra_free(id);
  fs::current_path(saved);

  EXPECT_EQ(state, TACETRA_DONE);
  EXPECT_EQ(fixtures::read_media(there.file("out.mkv")).streams.size(), 1u);
  EXPECT_EQ(contents_of(elsewhere), elsewhere_before);
}

// ---------------------------------------------------------------------------
// Permissions kept: the copy that replaces a file takes its permission
// bits, from its first byte on; a new file gets the default ones.

TEST(Permissions, AReplacedFileKeepsItsBitsAndANewFileGetsTheDefault) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = write_good_input(dir, "in.mkv");
  for (const unsigned mode : {0600u, 0640u, 0604u, 0755u}) {
    SCOPED_TRACE(mode);
    const std::string out = dir.file("replaced.mkv");
    write_bytes(out, "the user's own file\n");
    ASSERT_EQ(::chmod(out.c_str(), mode), 0);
    const auto s = fixtures::run_worker(in, out);
    ASSERT_EQ(s->state, tacetra::MUTE_DONE) << s->error;
    EXPECT_EQ(mode_of(out), mode);
  }

  const mode_t mask = ::umask(022);
  ::umask(mask);
  const auto s = fixtures::run_worker(in, dir.file("new.mkv"));
  ASSERT_EQ(s->state, tacetra::MUTE_DONE) << s->error;
  EXPECT_EQ(mode_of(dir.file("new.mkv")), 0666u & ~mask);

  // While the copy of a private file is written, only its owner can read it.
  const std::string secret = dir.file("secret.mkv");
  write_bytes(secret, "private\n");
  ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
  HeldJob held(dir, in);
  ASSERT_EQ(held.start(secret), 0);
  std::vector<unsigned> partial_modes;
  for (const struct stat& st : fixtures::unnamed_files_open_in(dir.path())) {
    partial_modes.push_back(st.st_mode & 07777);
  }
  if (fs::exists(secret + ".part")) partial_modes.push_back(mode_of(secret + ".part"));
  EXPECT_EQ(partial_modes, std::vector<unsigned>{0600u});
  held.release();
  EXPECT_EQ(wait_final(0), TACETRA_DONE);
  EXPECT_EQ(mode_of(secret), 0600u);
}

// ---------------------------------------------------------------------------
// Never block the caller on a second look: a named pipe as the input, whose
// writer has written the file once, for tacetra_start's look at the input,
// and is gone when the call goes on. Only once the call has returned does a
// writer come back, for the worker. The child dies of an alarm if a call
// hangs.

TEST(NamedPipeInput, AWriterThatHasFinishedNeverHoldsTheCaller) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string source = write_good_input(dir, "source.mkv");
  const std::string bytes = read_bytes(source);
  const std::string in = dir.file("in.mkv");
  ASSERT_EQ(::mkfifo(in.c_str(), 0600), 0);
  const std::string out = dir.file("out.mkv");

  const std::string report = in_child([&] {
    ::alarm(30);
    ::signal(SIGPIPE, SIG_IGN);
    std::atomic<bool> started{false};
    std::thread writer([&] {
      for (int reader = 0; reader < 2; ++reader) {
        while (reader == 1 && !started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const int fd = ::open(in.c_str(), O_WRONLY);
        for (std::size_t at = 0; fd >= 0 && at < bytes.size();) {
          const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
          if (n <= 0) break;
          at += static_cast<std::size_t>(n);
        }
        ::close(fd);
      }
    });
    const int id = tacetra_start(in.c_str(), out.c_str());
    started = true;
    const int state = id >= 0 ? wait_final(id) : id;
    std::ostringstream os;
    os << id << ' ' << state << ' ' << (id >= 0 ? tacetra::g_sessions[id].in_size_bytes : 0);
    tacetra_free(id);
    writer.join();
    return os.str();
  });
  EXPECT_EQ(report, "0 3 -1");
  EXPECT_TRUE(fixtures::same_payload(fixtures::read_media(out).streams.at(0),
                                     fixtures::read_media(source).streams.at(0)));
}

}  // namespace
