// A job held in the middle of its copy. POSIX only: it needs a named pipe.
//
// The job reads its input from a named pipe that serves a media file: to
// the first reader (tacetra_start's look at the input) the bytes it reads,
// and to the second (the worker) the file again, but only the bytes it needs
// for its first copied packets, until the test releases it. The worker then
// waits in a read, and nothing but the release moves it on. How many bytes
// the look reads, and how many packets the worker copies before it waits,
// is worked out beforehand by letting FFmpeg read the same bytes one at a
// time.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "fixtures.h"

namespace fixtures {

class HeldJob {
 public:
  // Where the worker waits: after its first copied packets, or once it has
  // copied everything, in the read that would report the end of the input.
  enum class hold { after_two_packets, before_the_end };

  // Serves `source` through a named pipe in `dir` that has the same name
  // with "held-" in front.
  HeldJob(const TempDir& dir, const std::string& source, hold where = hold::after_two_packets);
  ~HeldJob();
  HeldJob(const HeldJob&) = delete;
  HeldJob& operator=(const HeldJob&) = delete;

  // The input path to start the job with.
  const std::string& in_path() const { return pipe_; }

  // Starts the job with tacetra_start and waits until its worker is held.
  // Returns the slot id, or the start code. `in_name` is the input as the
  // host names it, another name of in_path() (relative, or a link); empty
  // for in_path() itself.
  int start(const std::string& out_path, const std::string& in_name = {});

  // What the held worker has copied: its packets and its progress figure.
  std::int64_t packets() const { return packets_; }
  std::int64_t processed_ms() const { return processed_ms_; }

  // Lets the worker read the rest of the input and go on.
  void release();

  // Releases the worker on a thread of its own, for a test that must block
  // in a call that waits for the worker.
  void release_soon();

 private:
  void plan(hold where);
  void feed();
  bool deliver(int fd, std::size_t from, std::size_t to);
  bool wait_for(const std::atomic<bool>& flag);

  std::string pipe_;
  std::string bytes_;
  std::size_t look_ = 0;  // the bytes tacetra_start's look at the input reads
  std::size_t cut_ = 0;   // the bytes the worker gets before the release
  std::int64_t packets_ = 0;
  std::int64_t processed_ms_ = 0;
  std::atomic<bool> armed_{false};
  std::atomic<bool> released_{false};
  std::atomic<bool> stopping_{false};
  std::thread feeder_;
  std::thread releaser_;
};

}  // namespace fixtures
