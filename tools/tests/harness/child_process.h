// Runs the built tacetra program in a child process and collects what it
// writes, as a user's shell would see it. POSIX only.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tool_tests {

struct finished_run {
  int exit_code = -1;  // 128 + the signal's number when a signal ended it
  std::string out;
  std::string err;
};

class tool_process {
 public:
  enum class stderr_kind { pipe, terminal };

  explicit tool_process(const std::vector<std::string>& args, stderr_kind kind = stderr_kind::pipe);
  // Runs `/bin/sh -c script` instead, with "$TACETRA" naming the program:
  // for pipelines, limits and redirections.
  struct shell_script {
    std::string text;
  };
  explicit tool_process(const shell_script& script);
  ~tool_process();  // kills a child still running
  tool_process(const tool_process&) = delete;
  tool_process& operator=(const tool_process&) = delete;

  // Reads stderr until it holds `text`; false when stderr ends first.
  bool wait_for_stderr(const std::string& text);
  void send_signal(int signo);
  // Reads stdout and stderr to their end, then reaps the child.
  finished_run wait();

  pid_t pid() const { return pid_; }

 private:
  void start(std::vector<std::string> argv_text, stderr_kind kind);
  // Reads what is ready on either stream; false once both have ended.
  bool read_some();

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
};

// Runs tacetra with `args` to its end.
finished_run run_tool(const std::vector<std::string>& args);

// Runs a shell script that uses "$TACETRA" to its end.
finished_run run_shell(const std::string& script);

}  // namespace tool_tests
