#include "child.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace fixtures {

std::string in_child(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    ::close(fds[0]);
    const std::string report = body();
    const ssize_t written = ::write(fds[1], report.data(), report.size());
    ::_exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
  }
  ::close(fds[1]);
  std::string report;
  char buffer[512];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
    report.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  return report;
}

}  // namespace fixtures
