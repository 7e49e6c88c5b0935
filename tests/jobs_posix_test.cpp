// The job engine where only POSIX can set the scene: links, named pipes that
// hold a worker at a chosen point, forked children with lowered limits, pipes
// and a loopback server for the local-files-only rule.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>

extern "C" {
#include <libavformat/avformat.h>
}

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
using fixtures::eventually;
using fixtures::exists;
using fixtures::FreeAllSlots;
using fixtures::HeldJob;
using fixtures::in_child;
using fixtures::Kind;
using fixtures::layout_of;
using fixtures::MediaSummary;
using fixtures::names_in;
using fixtures::new_record;
using fixtures::read_bytes;
using fixtures::run_worker;
using fixtures::TempDir;
using fixtures::wait_final;
using fixtures::write_bytes;
using fixtures::write_good_input;
using tacetra::g_sessions;
using tacetra::mute_session;

std::int64_t load(const std::int64_t& word) { return tacetra::load(word); }
std::int32_t load(const std::int32_t& word) { return tacetra::load(word); }

// ---------------------------------------------------------------------------
// A worker held in the middle of its copy, waiting in a read of its input.
// The directory is declared first, so that the slots are freed before it goes.

class RunningJob : public testing::Test {
 protected:
  TempDir dir;
  FreeAllSlots guard;
};

TEST_F(RunningJob, CancelReturnsAtOnceAndActsAfterTheNextRead) {
  const std::string in = write_good_input(dir, "in.mkv");
  HeldJob held(dir, in);
  const int id = held.start(dir.file("out.mkv"));
  ASSERT_EQ(id, 0);
  ASSERT_EQ(tacetra_status(id), TACETRA_RUNNING);

  tacetra_cancel(id);  // the worker waits in a read: this must not wait for it
  EXPECT_EQ(load(g_sessions[id].cancel), 1);
  EXPECT_EQ(tacetra_status(id), TACETRA_RUNNING);
  EXPECT_EQ(load(g_sessions[id].packets), held.packets());

  held.release();
  EXPECT_EQ(wait_final(id), TACETRA_CANCELLED);
  EXPECT_EQ(g_sessions[id].packets, held.packets());
  EXPECT_EQ(g_sessions[id].processed_ms, held.processed_ms());
  tacetra_free(id);
  EXPECT_EQ(tacetra_status(id), -1);
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.mkv", "held-in.mkv"}));
}

TEST_F(RunningJob, FreeWaitsForTheWorkerToEnd) {
  const std::string in = write_good_input(dir, "in.mkv");
  HeldJob held(dir, in);
  const int id = held.start(dir.file("out.mkv"));
  ASSERT_EQ(id, 0);

  // Release the worker only once free has raised the flag, so the job can
  // only end as cancelled, and only while free waits for it.
  std::thread releaser([&] {
    eventually([&] { return load(g_sessions[0].cancel) == 1; });
    held.release();
  });
  tacetra_free(id);
  releaser.join();
  EXPECT_EQ(tacetra_status(id), -1);
  EXPECT_EQ(g_sessions[0].state, tacetra::MUTE_CANCELLED);
  EXPECT_EQ(g_sessions[0].thread, nullptr);
  EXPECT_EQ(g_sessions[0].packets, held.packets());
}

TEST_F(RunningJob, ACancelBeforeTheReadThatEndsTheInputIsNeverSeen) {
  // Long enough that reading the stream information stops short of the end.
  const std::string in = write_good_input(dir, "in.nut", 40);
  const MediaSummary input = fixtures::read_media(in);
  HeldJob held(dir, in, HeldJob::hold::before_the_end);
  const int id = held.start(dir.file("out.nut"));
  ASSERT_EQ(id, 0);
  EXPECT_EQ(held.packets(), 40);
  tacetra_cancel(id);
  held.release();
  EXPECT_EQ(wait_final(id), TACETRA_DONE);
  EXPECT_EQ(g_sessions[id].packets, 40);
  tacetra_free(id);
  EXPECT_TRUE(fixtures::same_payload(fixtures::read_media(dir.file("out.nut")).streams.at(0),
                                     input.streams[0]));
}

TEST_F(RunningJob, ItsPathsCannotBeAnotherJobsOutputUntilItEnds) {
  const std::string in = write_good_input(dir, "in.mkv");
  const std::string other = write_good_input(dir, "other.mkv");
  HeldJob held(dir, in);
  ASSERT_EQ(held.start(dir.file("out.mkv")), 0);
  const std::string dir_link = dir.file("link");
  ASSERT_EQ(::symlink(dir.path().c_str(), dir_link.c_str()), 0);
  const std::string in_link = dir.file("in_link.mkv");
  ASSERT_EQ(::symlink(held.in_path().c_str(), in_link.c_str()), 0);

  // Its input, by other names, and its output, spelled differently.
  for (const std::string& out : {in_link, dir_link + "/held-in.mkv", dir_link + "/out.mkv",
                                 dir.path() + "/./out.mkv"}) {
    EXPECT_EQ(tacetra_start(other.c_str(), out.c_str()), TACETRA_ERR_ARGS) << out;
  }
  EXPECT_EQ(tacetra_status(1), -1);

  held.release();
  EXPECT_EQ(wait_final(0), TACETRA_DONE);
  ASSERT_EQ(tacetra_start(other.c_str(), (dir_link + "/out.mkv").c_str()), 1);
  EXPECT_EQ(wait_final(1), TACETRA_DONE);
}

// A job started with paths relative to one directory, and the host gone to
// another: the job's files are still its own, by the names of the start
// spelled from there, and by a hard link; the same relative names now lead
// to other files, which are free to write.
TEST_F(RunningJob, ItsRelativePathsStayItsOwnWhateverTheHostsDirectory) {
  TempDir elsewhere;
  struct CurrentDirectory {
    fs::path saved = fs::current_path();
    ~CurrentDirectory() { fs::current_path(saved); }
  } cwd;
  const std::string in = write_good_input(dir, "a.mkv");
  const std::string in_bytes = read_bytes(in);
  const std::string other = write_good_input(dir, "c.mkv");
  HeldJob held(dir, in);
  const std::string hard_link = elsewhere.file("hard.mkv");
  ASSERT_EQ(::link(held.in_path().c_str(), hard_link.c_str()), 0);
  fs::current_path(dir.path());
  ASSERT_EQ(held.start("b.mkv", "held-a.mkv"), 0);
  fs::current_path(elsewhere.path());

  for (const std::string& out : {held.in_path(), dir.file("b.mkv"), std::string("hard.mkv")}) {
    EXPECT_EQ(tacetra_start(other.c_str(), out.c_str()), TACETRA_ERR_ARGS) << out;
  }
  EXPECT_EQ(tacetra_status(1), -1);
  ASSERT_EQ(tacetra_start(other.c_str(), "b.mkv"), 1);
  EXPECT_EQ(wait_final(1), TACETRA_DONE);

  held.release();
  EXPECT_EQ(wait_final(0), TACETRA_DONE);
  EXPECT_TRUE(fs::is_fifo(held.in_path()));
  EXPECT_TRUE(read_bytes(in) == in_bytes);
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"a.mkv", "b.mkv", "c.mkv", "held-a.mkv"}));
  EXPECT_EQ(names_in(elsewhere), (std::set<std::string>{"b.mkv", "hard.mkv"}));
  for (const TempDir* where : {&dir, &elsewhere}) {
    EXPECT_EQ(fixtures::read_media(where->file("b.mkv")).streams.size(), 1u);
  }
}

// ---------------------------------------------------------------------------
// A copy seen while it runs: the worker on a thread of the test's, reading a
// named pipe that the test fills.

TEST(RunningCopy, WritesBesideTheOutputAndReplacesItOnlyWhenDone) {
  TempDir dir;
  const std::string source = dir.file("source.mkv");
  const MediaSummary written = fixtures::write_media(source, layout_of({Kind::video, Kind::audio}, 100));
  const std::string bytes = read_bytes(source);
  const std::string in = dir.file("in.mkv");
  ASSERT_EQ(::mkfifo(in.c_str(), 0600), 0);
  const std::string out = dir.file("out.mkv");
  const std::string users = "the user's file\n";
  write_bytes(out, users);

  // Open for reading and writing, so that neither side waits for the other.
  const int fd = ::open(in.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  auto s = new_record(in, out);
  std::thread worker([&] { tacetra::mute_thread(s.get()); });
  const std::size_t first_part = bytes.size() * 6 / 10;
  ASSERT_EQ(::write(fd, bytes.data(), first_part), static_cast<ssize_t>(first_part));
  const bool copying = eventually([&] { return load(s->packets) > 0; });
  EXPECT_TRUE(copying);
  if (copying) {
    EXPECT_EQ(load(s->state), tacetra::MUTE_RUNNING);
    EXPECT_EQ(read_bytes(out), users);
    // The copy is written beside the output: without a name where the file
    // system allows it, else at a name of its own.
    const bool unnamed = fixtures::unnamed_files_open_in(dir.path()).size() == 1;
    EXPECT_EQ(unnamed, fixtures::has_unnamed_files(dir.path()));
    EXPECT_EQ(exists(out + ".part"), !unnamed);
  }
  const std::size_t rest = bytes.size() - first_part;
  EXPECT_EQ(::write(fd, bytes.data() + first_part, rest), static_cast<ssize_t>(rest));
  ::close(fd);
  worker.join();

  ASSERT_EQ(s->state, tacetra::MUTE_DONE) << s->error;
  EXPECT_EQ(s->packets, written.streams[0].packets);
  const MediaSummary output = fixtures::read_media(out);
  ASSERT_EQ(output.streams.size(), 1u);
  EXPECT_TRUE(fixtures::same_payload(output.streams[0], written.streams[0]));
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"source.mkv", "in.mkv", "out.mkv"}));
}

// ---------------------------------------------------------------------------
// Paths: links and the length limit.

TEST(OutputCollision, LinksToTheInputAreTheInput) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = write_good_input(dir, "in.mkv");
  const std::string symlink_to_in = dir.file("sym.mkv");
  const std::string hard_link_to_in = dir.file("hard.mkv");
  const std::string dir_link = dir.file("dirlink");
  ASSERT_EQ(::symlink(in.c_str(), symlink_to_in.c_str()), 0);
  ASSERT_EQ(::link(in.c_str(), hard_link_to_in.c_str()), 0);
  ASSERT_EQ(::symlink(dir.path().c_str(), dir_link.c_str()), 0);
  const std::string bytes = read_bytes(in);

  for (const std::string& out : {symlink_to_in, hard_link_to_in, dir_link + "/in.mkv"}) {
    EXPECT_EQ(tacetra_start(in.c_str(), out.c_str()), TACETRA_ERR_ARGS) << out;
    EXPECT_EQ(tacetra_start(out.c_str(), in.c_str()), TACETRA_ERR_ARGS) << out;
  }
  EXPECT_EQ(tacetra_status(0), -1);
  EXPECT_TRUE(read_bytes(in) == bytes);
  EXPECT_EQ(fs::symlink_status(symlink_to_in).type(), fs::file_type::symlink);
}

TEST(StartArguments, A1198ByteInputPathIsStoredWholeAndRead) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = write_good_input(dir, "in.mkv");
  // The same file, named with "./" steps up to 1,198 bytes.
  std::string long_in = dir.path() + "/";
  if ((1198 - long_in.size() - 6) % 2 == 1) long_in += "/";
  while (long_in.size() < 1198 - 6) long_in += "./";
  long_in += "in.mkv";
  ASSERT_EQ(long_in.size(), 1198u);
  const std::string out = dir.file("out.mkv");
  ASSERT_EQ(tacetra_start(long_in.c_str(), out.c_str()), 0);
  EXPECT_EQ(std::string(g_sessions[0].in_path), long_in);
  ASSERT_EQ(wait_final(0), TACETRA_DONE);
  const MediaSummary output = fixtures::read_media(out);
  EXPECT_EQ(output.streams.size(), 1u);
  EXPECT_EQ(tacetra_start((long_in + "x").c_str(), out.c_str()), TACETRA_ERR_ARGS);
}

// ---------------------------------------------------------------------------
// A symlink at the output path is the user's: only a finished output
// replaces it, and its target is never written.

TEST(OutputFile, ASymlinkAtTheOutputSurvivesFailureAndCancel) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = dir.file("in.mkv");
  fixtures::write_media(in, layout_of({Kind::video, Kind::audio, Kind::subtitle}));
  const std::string target = dir.file("target.txt");
  write_bytes(target, "the target\n");
  const std::string webm = dir.file("out.webm");  // cannot hold the video
  const std::string mkv = dir.file("out.mkv");
  const std::string dangling = dir.file("dangling.mkv");
  ASSERT_EQ(::symlink(target.c_str(), webm.c_str()), 0);
  ASSERT_EQ(::symlink(target.c_str(), mkv.c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("nowhere").c_str(), dangling.c_str()), 0);

  EXPECT_STREQ(run_worker(in, webm)->error, "write header failed");
  EXPECT_EQ(run_worker(in, mkv, /*cancel_first=*/true)->state, tacetra::MUTE_CANCELLED);
  EXPECT_EQ(run_worker(in, dangling, /*cancel_first=*/true)->state, tacetra::MUTE_CANCELLED);
  ASSERT_EQ(tacetra_start(in.c_str(), webm.c_str()), 0);
  EXPECT_EQ(wait_final(0), TACETRA_FAILED);
  tacetra_free(0);

  for (const std::string& link : {webm, mkv, dangling}) {
    EXPECT_EQ(fs::symlink_status(link).type(), fs::file_type::symlink) << link;
  }
  EXPECT_EQ(read_bytes(target), "the target\n");
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.mkv", "target.txt", "out.webm", "out.mkv",
                                                  "dangling.mkv"}));
}

TEST(OutputFile, ADoneJobReplacesASymlinkNotItsTarget) {
  TempDir dir;
  const std::string in = write_good_input(dir, "in.mkv");
  const std::string target = dir.file("target.mkv");
  write_bytes(target, "the target\n");
  const std::string out = dir.file("out.mkv");
  ASSERT_EQ(::symlink(target.c_str(), out.c_str()), 0);
  const auto s = run_worker(in, out);
  ASSERT_EQ(s->state, tacetra::MUTE_DONE) << s->error;
  EXPECT_EQ(fs::symlink_status(out).type(), fs::file_type::regular);
  EXPECT_EQ(fixtures::read_media(out).streams.size(), 1u);
  EXPECT_EQ(read_bytes(target), "the target\n");
}

// ---------------------------------------------------------------------------
// Forked children: limits that the rest of the test process must not feel.

TEST(StartThread, AThreadThatCannotBeCreatedGivesMinus4AndFreesTheSlot) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = write_good_input(dir, "in.mkv");
  const std::string out = dir.file("out.mkv");
  const std::string report = in_child([&] {
    // A default thread stack larger than the machine can map: no thread starts.
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    std::size_t usual = 0;
    pthread_attr_getstacksize(&attr, &usual);
    pthread_attr_setstacksize(&attr, std::size_t{1} << 45);
    pthread_setattr_default_np(&attr);
    const int refused = tacetra_start(in.c_str(), out.c_str());
    const int status = tacetra_status(0);
    const void* thread = g_sessions[0].thread;
    pthread_attr_setstacksize(&attr, usual);
    pthread_setattr_default_np(&attr);
    const int next = tacetra_start(in.c_str(), out.c_str());
    const int state = next >= 0 ? wait_final(next) : next;
    tacetra_free(next);
    std::ostringstream os;
    os << refused << ' ' << status << ' ' << (thread == nullptr) << ' ' << next << ' ' << state << ' '
       << exists(out);
    return os.str();
  });
  // -4; the slot is free again and holds no thread; the next start takes
  // the same slot and runs.
  EXPECT_EQ(report, "-4 -1 1 0 3 1");
}

TEST(Worker, AWriteFailurePartWayLeavesNoOutputAndCountsTheFailedPacket) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = dir.file("long.mkv");
  fixtures::write_long(in, 2);
  const std::string out = dir.file("out.nut");  // writes each packet straight out
  const std::string report = in_child([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{256 * 1024, 256 * 1024};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const int id = tacetra_start(in.c_str(), out.c_str());
    const int state = id >= 0 ? wait_final(id) : id;
    const mute_session& s = g_sessions[0];
    std::ostringstream os;
    os << state << '|' << s.error << '|' << s.packets << '|' << s.processed_ms;
    tacetra_free(id);
    return os.str();
  });
  int state = 0;
  char error[64] = {};
  long long packets = 0, processed_ms = 0;
  ASSERT_EQ(std::sscanf(report.c_str(), "%d|%63[^|]|%lld|%lld", &state, error, &packets, &processed_ms), 4)
      << report;
  EXPECT_EQ(state, TACETRA_FAILED);
  EXPECT_STREQ(error, "write frame failed");
  EXPECT_GT(packets, 1);
  EXPECT_LT(packets, 50);  // two seconds of 25 fps video
  // Frames are 40 ms apart from 0: the failed packet is counted, and its time too.
  EXPECT_EQ(processed_ms, (packets - 1) * 40);
  EXPECT_EQ(names_in(dir), std::set<std::string>{"long.mkv"});
}

// ---------------------------------------------------------------------------
// Local files only: pipes and a loopback server.

std::string read_available(int fd) {
  std::string bytes;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) bytes.append(buffer, static_cast<std::size_t>(n));
  return bytes;
}

TEST(LocalFiles, PipesAreNeitherReadNorWritten) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = write_good_input(dir, "in.mkv", 3);
  const std::string bytes = read_bytes(in);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
  ASSERT_LT(bytes.size(), 60000u);  // fits the pipe
  ASSERT_EQ(::write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));

  const std::string read_url = "pipe:" + std::to_string(fds[0]);
  EXPECT_EQ(tacetra_start(read_url.c_str(), dir.file("out.mkv").c_str()), TACETRA_ERR_OPEN);
  EXPECT_STREQ(run_worker(read_url, dir.file("out.mkv"))->error, "cannot open input");
  EXPECT_TRUE(read_available(fds[0]) == bytes) << "the pipe was read";

  const fs::path cwd = fs::current_path();
  fs::current_path(dir.path());
  const std::string write_url = "pipe:" + std::to_string(fds[1]) + ".mkv";
  const auto s = run_worker(in, write_url);
  fs::current_path(cwd);
  EXPECT_EQ(s->state, tacetra::MUTE_FAILED);
  EXPECT_STREQ(s->error, "cannot open output file");
  EXPECT_EQ(read_available(fds[0]), "") << "the pipe was written";
  EXPECT_EQ(names_in(dir), std::set<std::string>{"in.mkv"});
  ::close(fds[0]);
  ::close(fds[1]);
}

// Serves one file over HTTP on 127.0.0.1 and counts the connections.
class LoopbackServer {
 public:
  explicit LoopbackServer(std::string body) : body_(std::move(body)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("loopback server");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~LoopbackServer() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
  }

  std::string url(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
  }
  int connections() const { return connections_; }
  void reset() { connections_ = 0; }

 private:
  void serve() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int client = ::accept(listener_, nullptr, nullptr);
      if (client < 0) continue;
      ++connections_;
      std::string request;
      char buffer[1024];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::read(client, buffer, sizeof buffer);
        if (n <= 0) break;
        request.append(buffer, static_cast<std::size_t>(n));
      }
      const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body_.size()) +
                                "\r\nConnection: close\r\n\r\n" + body_;
      for (std::size_t sent = 0; sent < reply.size();) {
        const ssize_t n = ::send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
      }
      ::close(client);
    }
  }

  std::string body_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

TEST(LocalFiles, NetworkUrlsAndPlaylistsThatPointThereAreRefused) {
  if (avio_find_protocol_name("http://127.0.0.1/") == nullptr) GTEST_SKIP() << "no http in this FFmpeg";
  TempDir dir;
  FreeAllSlots guard;
  const std::string segment = dir.file("segment.ts");
  fixtures::write_media(segment, layout_of({Kind::video, Kind::audio}));
  LoopbackServer server(read_bytes(segment));
  const std::string direct = server.url("in.ts");
  const std::string playlist = dir.file("list.m3u8");
  write_bytes(playlist,
              "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:0\n"
              "#EXTINF:0.4,\n" + server.url("segment.ts") + "\n#EXT-X-ENDLIST\n");

  // An FFmpeg that allows every protocol reads a video with audio there.
  const MediaSummary seen = fixtures::read_media(direct);
  ASSERT_EQ(seen.streams.size(), 2u);
  ASSERT_GT(server.connections(), 0);
  server.reset();

  // FFmpeg's own default already keeps a local playlist to local files; the
  // library must not widen that.
  for (const std::string& url : {direct, playlist}) {
    EXPECT_EQ(tacetra_start(url.c_str(), dir.file("out.mkv").c_str()), TACETRA_ERR_OPEN) << url;
    EXPECT_STREQ(run_worker(url, dir.file("out.mkv"))->error, "cannot open input") << url;
    EXPECT_EQ(server.connections(), 0) << url;
  }
  EXPECT_FALSE(exists(dir.file("out.mkv")));
}

}  // namespace
