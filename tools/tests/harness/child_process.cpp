#include "harness/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace tool_tests {
namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

// A pseudo-terminal in raw mode, so what the child writes arrives unchanged.
void open_terminal(int& master, int& slave) {
  master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) fail("posix_openpt");
  slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) fail("opening the terminal");
  termios mode{};
  tcgetattr(slave, &mode);
  cfmakeraw(&mode);
  tcsetattr(slave, TCSANOW, &mode);
}

}  // namespace

tool_process::tool_process(const std::vector<std::string>& args, stderr_kind kind) {
  std::vector<std::string> argv_text{TACETRA_TOOL};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  start(std::move(argv_text), kind);
}

tool_process::tool_process(const shell_script& script) {
  setenv("TACETRA", TACETRA_TOOL, 1);
  start({"/bin/sh", "-c", script.text}, stderr_kind::pipe);
}

void tool_process::start(std::vector<std::string> argv_text, stderr_kind kind) {
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) fail("pipe");
  if (kind == stderr_kind::terminal) {
    open_terminal(err_pipe[0], err_pipe[1]);
  } else if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    fail("pipe");
  }

  pid_ = fork();
  if (pid_ < 0) fail("fork");
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and exec.
    signal(SIGPIPE, SIG_DFL);
    const int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
}

tool_process::~tool_process() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

bool tool_process::read_some() {
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (out_fd_ < 0 && err_fd_ < 0) return false;
  if (poll(fds, 2, -1) < 0) {
    if (errno == EINTR) return true;
    fail("poll");
  }
  std::string* sinks[2] = {&out_, &err_};
  int* owners[2] = {&out_fd_, &err_fd_};
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || fds[i].revents == 0) continue;
    char buffer[4096];
    const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) {
      sinks[i]->append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      // The end; a terminal whose other side has closed reports EIO.
      close(fds[i].fd);
      *owners[i] = -1;
    }
  }
  return true;
}

bool tool_process::wait_for_stderr(const std::string& text) {
  while (err_.find(text) == std::string::npos) {
    if (err_fd_ < 0 || !read_some()) return false;
  }
  return true;
}

void tool_process::send_signal(int signo) {
  if (kill(pid_, signo) != 0) fail("kill");
}

finished_run tool_process::wait() {
  while (read_some()) {
  }
  int status = 0;
  if (waitpid(pid_, &status, 0) != pid_) fail("waitpid");
  pid_ = -1;
  finished_run run;
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = std::move(out_);
  run.err = std::move(err_);
  return run;
}

finished_run run_tool(const std::vector<std::string>& args) { return tool_process(args).wait(); }

finished_run run_shell(const std::string& script) {
  return tool_process(tool_process::shell_script{script}).wait();
}

}  // namespace tool_tests
