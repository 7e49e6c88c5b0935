#include "held_job.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace fixtures {

HeldJob::HeldJob(const TempDir& dir) : dir_(dir) {
  // A worker let go by a test that failed early may write to a pipe
  // nobody reads any more: that must fail its write, not end the process.
  ::signal(SIGPIPE, SIG_IGN);
  if (::mkfifo(dir.file("frame2.jpg").c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
}

HeldJob::~HeldJob() {
  release();
  if (releaser_.joinable()) releaser_.join();
}

void HeldJob::release_soon() {
  releaser_ = std::thread([this] { release(); });
}

void HeldJob::release() {
  if (released_.exchange(true)) return;
  const int fd = ::open(dir_.file("frame2.jpg").c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  char buffer[4096];
  while (std::chrono::steady_clock::now() < give_up) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) second_frame_.append(buffer, static_cast<std::size_t>(n));
    if (n == 0 || (n < 0 && errno != EAGAIN)) break;  // the worker closed it
  }
  ::close(fd);
}

}  // namespace fixtures
