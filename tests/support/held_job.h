// A job held in the middle of its copy. POSIX only: it needs a named pipe.
//
// The job writes through a muxer that opens one file per packet (image2,
// "frame%d.jpg"), and frame2.jpg is a named pipe: the worker blocks in the
// write of its second packet until the test reads that pipe. Nothing else
// can move the job on while it waits there.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "fixtures.h"

namespace fixtures {

class HeldJob {
 public:
  explicit HeldJob(const TempDir& dir);
  ~HeldJob();
  HeldJob(const HeldJob&) = delete;
  HeldJob& operator=(const HeldJob&) = delete;

  // The output path to start the job with.
  std::string out_path() const { return dir_.file("frame%d.jpg"); }

  // Lets the worker write its second packet and go on, and keeps what it
  // wrote. Opening without blocking lets a test that failed early get here
  // without a worker at the other end.
  void release();

  // Releases the worker on a thread of its own, for a test that must block
  // in a call that waits for the worker.
  void release_soon();

  // What the worker wrote to the pipe; complete once release() returned.
  const std::string& second_frame() const { return second_frame_; }

 private:
  const TempDir& dir_;
  std::atomic<bool> released_{false};
  std::string second_frame_;
  std::thread releaser_;
};

}  // namespace fixtures
