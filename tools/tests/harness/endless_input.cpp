#include "harness/endless_input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cerrno>
#include <memory>
#include <stdexcept>

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

#include "support/fixtures.h"

namespace tool_tests {
namespace {

void check(int rc, const char* what) {
  if (rc < 0) throw std::runtime_error(std::string("endless_input: ") + what);
}

#if LIBAVFORMAT_VERSION_MAJOR < 61
using write_buffer = std::uint8_t*;
#else
using write_buffer = const std::uint8_t*;
#endif

}  // namespace

endless_input::endless_input(const std::string& path, const std::string& scratch_dir) : path_(path) {
  // A reader that goes away must not kill the test with SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  const std::string clip = scratch_dir + "/endless-clip.ts";
  fixtures::write_media(clip, {{{fixtures::Kind::video}, {fixtures::Kind::audio}}, 25});
  load_clip(clip);
  if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("endless_input: mkfifo " + path);
  if (pipe2(stop_pipe_, O_CLOEXEC) != 0) throw std::runtime_error("endless_input: pipe");
  feeder_ = std::thread([this] { feed(); });
}

endless_input::~endless_input() {
  const char stop = 1;
  (void)!write(stop_pipe_[1], &stop, 1);
  feeder_.join();
  if (reader_fd_ >= 0) close(reader_fd_);
  close(stop_pipe_[0]);
  close(stop_pipe_[1]);
  unlink(path_.c_str());
  for (AVPacket*& p : packets_) av_packet_free(&p);
  for (clip_stream& s : streams_) avcodec_parameters_free(&s.parameters);
}

void endless_input::load_clip(const std::string& file) {
  AVFormatContext* input = nullptr;
  check(avformat_open_input(&input, file.c_str(), nullptr, nullptr), "opening the clip");
  std::unique_ptr<AVFormatContext*, void (*)(AVFormatContext**)> closer(&input, avformat_close_input);
  check(avformat_find_stream_info(input, nullptr), "reading the clip");
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    clip_stream s{avcodec_parameters_alloc(), input->streams[i]->time_base};
    check(avcodec_parameters_copy(s.parameters, input->streams[i]->codecpar), "copying parameters");
    streams_.push_back(s);
  }
  AVPacket* packet = av_packet_alloc();
  while (av_read_frame(input, packet) >= 0) {
    const AVRational tb = streams_[packet->stream_index].time_base;
    clip_us_ = std::max(clip_us_, av_rescale_q(packet->pts + packet->duration, tb, AV_TIME_BASE_Q));
    packets_.push_back(av_packet_clone(packet));
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
}

void endless_input::feed() {
  AVFormatContext* output = nullptr;
  if (avformat_alloc_output_context2(&output, nullptr, "mpegts", nullptr) < 0) return;
  constexpr int buffer_size = 4096;
  auto* buffer = static_cast<std::uint8_t*>(av_malloc(buffer_size));
  output->pb = avio_alloc_context(
      buffer, buffer_size, 1, this, nullptr,
      [](void* self, write_buffer data, int size) {
        return static_cast<endless_input*>(self)->deliver(data, size) ? size : AVERROR_EXIT;
      },
      nullptr);
  output->flags |= AVFMT_FLAG_CUSTOM_IO;
  for (const clip_stream& s : streams_) {
    AVStream* out = avformat_new_stream(output, nullptr);
    avcodec_parameters_copy(out->codecpar, s.parameters);
    out->codecpar->codec_tag = 0;
    out->time_base = s.time_base;
  }
  AVPacket* packet = av_packet_alloc();
  if (avformat_write_header(output, nullptr) >= 0) {
    // The clip over and over, each round later by the clip's length.
    for (std::int64_t round = 0; !stopping(0); ++round) {
      bool written = true;
      for (const AVPacket* source : packets_) {
        av_packet_ref(packet, source);
        const AVRational tb = streams_[packet->stream_index].time_base;
        const std::int64_t shift = av_rescale_q(round * clip_us_, AV_TIME_BASE_Q, tb);
        if (packet->pts != AV_NOPTS_VALUE) packet->pts += shift;
        if (packet->dts != AV_NOPTS_VALUE) packet->dts += shift;
        av_packet_rescale_ts(packet, tb, output->streams[packet->stream_index]->time_base);
        written = av_write_frame(output, packet) >= 0;
        av_packet_unref(packet);
        if (!written) break;
      }
      if (!written) break;
    }
  }
  av_packet_free(&packet);
  av_freep(&output->pb->buffer);
  avio_context_free(&output->pb);
  avformat_free_context(output);
}

bool endless_input::stopping(int wait_ms) {
  pollfd stop{stop_pipe_[0], POLLIN, 0};
  return poll(&stop, 1, wait_ms) > 0;
}

bool endless_input::connect() {
  // Opening a FIFO for writing without blocking fails until a reader is there.
  while ((reader_fd_ = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
    if (errno != ENXIO || stopping(5)) return false;
  }
  return true;
}

bool endless_input::deliver(const std::uint8_t* data, int size) {
  while (size > 0) {
    if (reader_fd_ < 0 && !connect()) return false;
    pollfd fds[2] = {{reader_fd_, POLLOUT, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return false;
    const ssize_t n = write(reader_fd_, data, static_cast<std::size_t>(size));
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      close(reader_fd_);  // the reader has gone
      reader_fd_ = -1;
      return true;
    }
    data += n;
    size -= static_cast<int>(n);
  }
  return true;
}

}  // namespace tool_tests
