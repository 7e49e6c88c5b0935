// tacetra mute --in-place against other users and unlucky timing: only the
// named file and the program's own hidden files are ever touched, a file
// that changed is left as it was, who may read it stays the same, and any
// name the file system accepts can be muted.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

extern "C" {
#include <libavutil/avutil.h>
}

#include "harness/child_process.h"
#include "support/files.h"
#include "support/fixtures.h"
#include "support/lines.h"

using namespace tool_tests;
namespace fs = std::filesystem;

namespace {

const fixtures::MediaLayout video_audio{{{fixtures::Kind::video}, {fixtures::Kind::audio}}};

struct stat lstat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

bool muted(const std::string& path) {
  const fixtures::MediaSummary m = fixtures::read_media(path);
  return m.streams.size() == 1 && m.streams[0].codec_type == AVMEDIA_TYPE_VIDEO;
}

// Waits until the program's hidden directory stands beside `file`, which it
// makes just before the job starts, and stops the program there.
void stop_once_its_job_starts(tool_process& tool, const std::string& dir) {
  while (fixtures::names_in(dir).size() < 2)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  tool.send_signal(SIGSTOP);
}

// Every regular file under `dir`, not following links.
std::set<std::string> regular_files_under(const std::string& dir) {
  std::set<std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file() && !e.is_symlink()) files.insert(e.path().string());
  }
  return files;
}

// A process as the user nobody in `shared`, a directory it may write, that
// until killed moves every hidden name it sees aside and puts a link to
// `target` in its place, and tries to read every file it can reach but
// `own`. It writes the path of each file it could read to a pipe.
class attacker {
 public:
  attacker(const std::string& shared, const std::string& target, const std::set<std::string>& own) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(1);
      for (;;) attack(shared, target, own, fds[1]);
    }
    ::close(fds[1]);
    report_fd_ = fds[0];
  }
  ~attacker() {
    if (pid_ > 0) stop();
    ::close(report_fd_);
  }

  // Stops it; returns what it could read.
  std::string stop() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    std::string read;
    char buffer[4096];
    for (ssize_t n; (n = ::read(report_fd_, buffer, sizeof buffer)) > 0;) read.append(buffer, n);
    return read;
  }

 private:
  static void attack(const std::string& dir, const std::string& target,
                     const std::set<std::string>& own, int report_fd) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      const std::string path = dir + "/" + name;
      if (own.count(path) == 0) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
        char byte;
        if (fd >= 0 && ::read(fd, &byte, 1) == 1) {
          const std::string line = path + "\n";
          (void)!::write(report_fd, line.data(), line.size());
        }
        if (fd >= 0) ::close(fd);
      }
      struct stat st;
      if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        attack(path, target, own, report_fd);
      if (name[0] == '.' && name.find(".moved") == std::string::npos &&
          ::lstat(path.c_str(), &st) == 0 && st.st_uid != ::getuid()) {
        if (::rename(path.c_str(), (path + ".moved").c_str()) == 0)
          (void)!::symlink(target.c_str(), path.c_str());
      }
    }
    ::closedir(d);
  }

  pid_t pid_ = -1;
  int report_fd_ = -1;
};

TEST(InPlaceSafety, AnotherUserWhoMayWriteTheDirectoryGainsNothing) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "the attacker runs as nobody, which only root can switch to";
  fixtures::TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string shared = dir.file("shared");
  ASSERT_EQ(::mkdir(shared.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
  // Root's own file elsewhere, which a link swapped in would lead to.
  const std::string secret = dir.file("secret");
  fixtures::write_bytes(secret, "root's alone");
  ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
  // The private video, and names planted before the run where a copy might
  // go: the library's partial name and the program's old placeholder.
  const std::string file = shared + "/clip.mkv";
  fixtures::write_long(file, 20);
  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  std::set<std::string> planted;
  for (const std::string name :
       {"clip.mkv.part", ".clip.tacetra-1-0.mkv", ".tacetra-000000000000"}) {
    planted.insert(shared + "/" + name);
    fixtures::write_bytes(shared + "/" + name, "planted");
    ASSERT_EQ(::chown((shared + "/" + name).c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod((shared + "/" + name).c_str(), 0666), 0);
  }
  std::set<std::string> own = planted;
  own.insert(file);

  attacker watcher(shared, secret, own);
  const finished_run run = run_tool({"mute", "--in-place", file});
  const std::string read = watcher.stop();

  EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_TRUE(run.out.starts_with(file + ": done, ")) << run.out;
  EXPECT_EQ(read, "") << "the attacker could read these";
  EXPECT_EQ(fixtures::read_bytes(secret), "root's alone");
  const struct stat secret_st = lstat_of(secret);
  EXPECT_EQ(secret_st.st_mode, S_IFREG | 0600);
  EXPECT_EQ(secret_st.st_uid, 0u);
  const struct stat file_st = lstat_of(file);
  EXPECT_EQ(file_st.st_mode, S_IFREG | 0600);
  EXPECT_EQ(file_st.st_uid, 0u);
  EXPECT_TRUE(muted(file));
  for (const std::string& p : planted) EXPECT_EQ(fixtures::read_bytes(p), "planted") << p;
  // No copy anywhere: whatever the attacker moved aside holds nothing.
  std::set<std::string> expected = planted;
  expected.insert(file);
  EXPECT_EQ(regular_files_under(shared), expected);
}

// A change made while the copy is made, which the copy does not hold, keeps
// the file from being replaced: the user's edit stays.
TEST(InPlaceSafety, AFileThatChangedDuringTheJobIsLeftAsItWas) {
  struct change {
    const char* name;
    std::function<void(const std::string& file)> act;  // with the program stopped mid-job
    std::string reason;
  };
  // 16 bytes rewritten in place, the modification time put back as tag
  // editors' "keep file date" does.
  const auto edit_keeping_dates = [](const std::string& file) {
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    const int fd = ::open(file.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "sixteen bytes!!!", 16, 4096), 16);
    ::close(fd);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  };
  // Another file of the same size and dates renamed over it.
  const auto replace_same_size = [](const std::string& file) {
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    std::string bytes = fixtures::read_bytes(file);
    bytes.replace(4096, 16, "sixteen bytes!!!");
    fixtures::write_bytes(file + ".new", bytes);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, (file + ".new").c_str(), times, 0), 0);
    ASSERT_EQ(::rename((file + ".new").c_str(), file.c_str()), 0);
  };
  const std::vector<change> changes = {
      {"edited, its date put back", edit_keeping_dates, "it changed while it was being copied"},
      {"replaced by a file of the same size and date", replace_same_size,
       "it was replaced by another file while it was being copied"},
  };
  fixtures::TempDir dir;
  const std::string file = dir.file("clip.mkv");
  for (const change& c : changes) {
    fixtures::write_long(file, 20);
    tool_process tool({"mute", "--in-place", file});
    stop_once_its_job_starts(tool, dir.path());
    c.act(file);
    const std::string changed = fixtures::read_bytes(file);
    tool.send_signal(SIGCONT);
    const finished_run run = tool.wait();

    EXPECT_EQ(run.exit_code, 1) << c.name << ": " << run.out << run.err;
    EXPECT_EQ(run.out, file + ": failed: " + c.reason + ", left as it was\n") << c.name;
    EXPECT_TRUE(fixtures::read_bytes(file) == changed) << c.name << ": the change was lost";
    EXPECT_EQ(fixtures::names_in(dir), std::set<std::string>{"clip.mkv"}) << c.name;
  }
}

// Bytes written through a descriptor opened before the copy was made would
// land in a file no longer named: while any program holds the file open for
// writing, it is left as it was.
TEST(InPlaceSafety, AFileOpenForWritingElsewhereIsLeftAsItWas) {
  fixtures::TempDir dir;
  const std::string file = dir.file("clip.mkv");
  fixtures::write_media(file, video_audio);
  const std::string bytes = fixtures::read_bytes(file);
  const int writer = ::open(file.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);

  const finished_run run = run_tool({"mute", "--in-place", file});
  ::close(writer);

  EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
  EXPECT_EQ(run.out,
            file + ": failed: it is open for writing in another program, left as it was\n");
  EXPECT_TRUE(fixtures::read_bytes(file) == bytes);
  EXPECT_EQ(fixtures::names_in(dir), std::set<std::string>{"clip.mkv"});
}

std::string command_output(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buffer[1024];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
    ::pclose(p);
  }
  return out;
}

// A named user's access, and the owning group's explicit denial, come
// through; so does the user's own attribute.
TEST(InPlaceSafety, TheCopyKeepsTheFilesAclAndUserAttributes) {
  fixtures::TempDir dir;
  const std::string file = dir.file("clip.mkv");
  fixtures::write_media(file, video_audio);
  if (std::system(
          ("setfacl -m u::rw,u:nobody:rw,g::-,m::rw,o::- '" + file + "' 2>/dev/null").c_str()) !=
      0) {
    GTEST_SKIP() << "setfacl is missing or the file system refuses ACLs";
  }
  if (::setxattr(file.c_str(), "user.origin", "camera 2", 8, 0) != 0) {
    GTEST_SKIP() << "the file system refuses user attributes";
  }
  const std::string acl = command_output("getfacl -c '" + file + "'");
  ASSERT_NE(acl.find("user:nobody:rw-"), std::string::npos) << acl;
  const mode_t mode = lstat_of(file).st_mode;

  const finished_run run = run_tool({"mute", "--in-place", file});
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;

  EXPECT_TRUE(muted(file));
  EXPECT_EQ(command_output("getfacl -c '" + file + "'"), acl);
  EXPECT_EQ(lstat_of(file).st_mode, mode);
  char value[64] = {};
  EXPECT_EQ(::getxattr(file.c_str(), "user.origin", value, sizeof value), 8);
  EXPECT_STREQ(value, "camera 2");
}

// Names at the file system's limit, and names with control characters,
// which the lines show quoted as ls does rather than forge a line or reach
// the terminal.
TEST(InPlaceSafety, MutesAnyNameAndPrintsItQuoted) {
  fixtures::TempDir dir;
  struct named {
    std::string name;
    std::string shown;  // after the directory's path
  };
  const std::vector<named> names = {
      {std::string(246, 'n') + ".mkv", "/" + std::string(246, 'n') + ".mkv"},
      {std::string(251, 'x') + ".mkv", "/" + std::string(251, 'x') + ".mkv"},
      {"two\nlines.mkv", "/two\\nlines.mkv"},
      {"\033[31mred's.mkv", "/\\E[31mred\\'s.mkv"},
  };
  std::vector<std::string> args{"mute", "--in-place"};
  std::set<std::string> all;
  for (const named& n : names) {
    fixtures::write_media(dir.file(n.name), video_audio);
    args.push_back(dir.file(n.name));
    all.insert(n.name);
  }

  const finished_run run = run_tool(args);
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  const auto lines = fixtures::lines_of(run.out);
  EXPECT_EQ(lines.size(), names.size()) << run.out;
  for (const named& n : names) {
    const bool quoted = n.name.find_first_of("\n\033") != std::string::npos;
    const std::string shown = quoted ? "$'" + dir.path() + n.shown + "'" : dir.path() + n.shown;
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [&](const std::string& l) { return l.starts_with(shown + ": done, "); }),
        1)
        << shown << "\n"
        << run.out;
    EXPECT_TRUE(muted(dir.file(n.name))) << n.shown;
  }
  EXPECT_EQ(run.out.find('\033'), std::string::npos);
  EXPECT_EQ(fixtures::names_in(dir), all);
}

// One file named through two hard links, and twice by the same name, is
// muted once; the other names are skipped, which fails nothing.
TEST(InPlaceSafety, AFileNamedSeveralTimesIsMutedOnce) {
  fixtures::TempDir dir;
  const std::string a = dir.file("a.mkv");
  const std::string b = dir.file("b.mkv");
  fixtures::write_media(a, video_audio);
  ASSERT_EQ(::link(a.c_str(), b.c_str()), 0);
  const std::string bytes = fixtures::read_bytes(a);

  const finished_run run = run_tool({"mute", "--in-place", a, b, a});
  EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
  const auto lines = fixtures::lines_of(run.out);
  ASSERT_EQ(lines.size(), 3u) << run.out;
  EXPECT_EQ(std::count(lines.begin(), lines.end(), b + ": skipped, the same file as " + a), 1)
      << run.out;
  EXPECT_EQ(std::count(lines.begin(), lines.end(), a + ": skipped, the same file as " + a), 1)
      << run.out;
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const auto& l) { return l.starts_with(a + ": done, "); }),
            1)
      << run.out;
  EXPECT_TRUE(muted(a));
  // The other link keeps the file as it was, as any replacement of one name does.
  EXPECT_TRUE(fixtures::read_bytes(b) == bytes);
  EXPECT_NE(fixtures::last_line(run.err).find("1 done, 2 skipped, 0 failed, 0 left"),
            std::string::npos)
      << run.err;
}

}  // namespace
