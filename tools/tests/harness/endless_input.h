// A FIFO that serves a video + audio MPEG-TS stream without end to whoever
// opens it: a job reading it can only end by being cancelled, so a test can
// interrupt it at leisure. POSIX only.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

namespace tool_tests {

class endless_input {
 public:
  // Makes the FIFO at `path`; `scratch_dir` receives the clip it repeats.
  endless_input(const std::string& path, const std::string& scratch_dir);
  ~endless_input();
  endless_input(const endless_input&) = delete;
  endless_input& operator=(const endless_input&) = delete;

  const std::string& path() const { return path_; }

 private:
  struct clip_stream {
    AVCodecParameters* parameters = nullptr;
    AVRational time_base{};
  };

  void load_clip(const std::string& file);
  void feed();
  // Writes bytes to the current reader, waiting for one when there is none.
  // A reader that goes away loses the rest of the chunk; the next one picks
  // the stream up mid-way, which MPEG-TS allows. False once stopping.
  bool deliver(const std::uint8_t* data, int size);
  bool connect();
  bool stopping(int wait_ms);

  std::string path_;
  std::vector<clip_stream> streams_;
  std::vector<AVPacket*> packets_;
  std::int64_t clip_us_ = 0;
  int reader_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::thread feeder_;
};

}  // namespace tool_tests
