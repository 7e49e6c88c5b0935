#include "held_job.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

#include "files.h"
#include "jobs.h"
#include "tacetra.h"

namespace fixtures {
namespace {

// Hands FFmpeg one byte per read, so that the count of bytes handed out is
// exactly what FFmpeg needed so far. No seek: a pipe cannot.
struct trickle {
  const std::string& bytes;
  std::size_t position = 0;
};

int trickle_read(void* opaque, std::uint8_t* out, int size) {
  auto* t = static_cast<trickle*>(opaque);
  if (t->position >= t->bytes.size() || size <= 0) return AVERROR_EOF;
  *out = static_cast<std::uint8_t>(t->bytes[t->position++]);
  return 1;
}

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("HeldJob: ") + what);
}

}  // namespace

HeldJob::HeldJob(const TempDir& dir, const std::string& source, hold where) {
  // A worker let go by a test that failed early may find nobody at the
  // other end: that must end its read, not the process.
  ::signal(SIGPIPE, SIG_IGN);
  bytes_ = read_bytes(source);
  const std::size_t slash = source.find_last_of('/');
  pipe_ = dir.file("held-" + source.substr(slash == std::string::npos ? 0 : slash + 1));
  plan(where);
  check(::mkfifo(pipe_.c_str(), 0600) == 0, "mkfifo");
  feeder_ = std::thread([this] { feed(); });
}

HeldJob::~HeldJob() {
  release();
  if (releaser_.joinable()) releaser_.join();
  stopping_ = true;
  feeder_.join();
}

// Reads the file as the worker will, through FFmpeg, from bytes that come
// one at a time, and notes how far into the file each packet was returned.
// With the first `cut_` bytes the worker then copies exactly the packets
// returned by that point, and waits for the next byte.
void HeldJob::plan(hold where) {
  trickle source{bytes_};
  auto* buffer = static_cast<std::uint8_t*>(av_malloc(4096));
  AVIOContext* io = avio_alloc_context(buffer, 4096, 0, &source, trickle_read, nullptr, nullptr);
  check(io != nullptr, "avio_alloc_context");
  AVFormatContext* input = avformat_alloc_context();
  check(input != nullptr, "avformat_alloc_context");
  input->pb = io;
  const bool opened = avformat_open_input(&input, pipe_.c_str(), nullptr, nullptr) >= 0 &&
                      avformat_find_stream_info(input, nullptr) >= 0;
  // Where tacetra_start's look at the input ends: it opens and reads the
  // stream information as the worker does, and closes.
  look_ = source.position;
  std::vector<std::pair<std::size_t, std::int64_t>> copied;  // bytes needed, progress then
  std::size_t end_needed = 0;
  if (opened) {
    // The worker has its demuxer skip the streams it drops; so does this read.
    for (unsigned i = 0; i < input->nb_streams; ++i) {
      const AVCodecParameters* par = input->streams[i]->codecpar;
      if (par->codec_type == AVMEDIA_TYPE_AUDIO || par->codec_id == AV_CODEC_ID_NONE) {
        input->streams[i]->discard = AVDISCARD_ALL;
      }
    }
    AVPacket* packet = av_packet_alloc();
    std::int64_t progress = 0;
    while (av_read_frame(input, packet) >= 0) {
      const AVStream* st = input->streams[packet->stream_index];
      if (st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO && st->codecpar->codec_id != AV_CODEC_ID_NONE) {
        if (packet->pts != AV_NOPTS_VALUE) {
          progress = std::max(progress, av_rescale_q(packet->pts, st->time_base, AVRational{1, 1000}));
        }
        copied.emplace_back(source.position, progress);
      }
      end_needed = source.position;
      av_packet_unref(packet);
    }
    av_packet_free(&packet);
  }
  avformat_close_input(&input);
  av_freep(&io->buffer);
  avio_context_free(&io);
  check(opened, "the source cannot be read");

  if (where == hold::before_the_end) {
    // Every packet, read without FFmpeg needing to see the end of the file.
    check(!copied.empty() && end_needed < bytes_.size(), "the source's last packet needs its end");
    cut_ = bytes_.size();
  } else {
    check(copied.size() > 2, "the source has too few packets to copy");
    cut_ = copied[1].first;
  }
  for (const auto& [needed, progress] : copied) {
    if (needed > cut_) break;
    ++packets_;
    processed_ms_ = progress;
  }
}

int HeldJob::start(const std::string& out_path, const std::string& in_name) {
  const int id = tacetra_start((in_name.empty() ? pipe_ : in_name).c_str(), out_path.c_str());
  // The look at the input has ended with the call: the next reader is the worker.
  armed_ = true;
  if (id >= 0) {
    const bool held = eventually([&] { return tacetra::load(tacetra::g_sessions[id].packets) == packets_; });
    EXPECT_TRUE(held) << "the worker copied " << tacetra::load(tacetra::g_sessions[id].packets)
                      << " packets, not " << packets_;
  }
  return id;
}

void HeldJob::release() { released_ = true; }

void HeldJob::release_soon() {
  releaser_ = std::thread([this] { release(); });
}

bool HeldJob::wait_for(const std::atomic<bool>& flag) {
  while (!flag) {
    if (stopping_) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Writes without blocking, waiting for room in the pipe until the test ends:
// this end also reads, so no write fails for want of a reader.
bool HeldJob::deliver(int fd, std::size_t from, std::size_t to) {
  while (from < to) {
    const ssize_t n = ::write(fd, bytes_.data() + from, to - from);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      if (stopping_) return false;
      pollfd room{fd, POLLOUT, 0};
      ::poll(&room, 1, 10);
      continue;
    }
    if (n <= 0) return false;
    from += static_cast<std::size_t>(n);
  }
  return true;
}

// One pipe serves both readers, and this end, which reads and writes, keeps
// it open in between. The first reader, tacetra_start's look at the input,
// gets exactly the bytes it reads, so that it leaves nothing in the pipe
// for the worker, which then gets the file again from its start. (A pipe
// of its own for each reader would not do: the worker's open could join
// the first one while this end was still closing it.)
void HeldJob::feed() {
  const int fd = ::open(pipe_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  if (deliver(fd, 0, look_) && wait_for(armed_) && deliver(fd, 0, cut_) && wait_for(released_)) {
    deliver(fd, cut_, bytes_.size());
  }
  ::close(fd);  // the worker's end of the input
}

}  // namespace fixtures
