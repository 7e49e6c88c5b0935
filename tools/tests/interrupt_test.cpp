// Ctrl-C (SIGINT) or SIGTERM cancels the running jobs, waits for them and
// leaves no partial output. The inputs never end, so the jobs are surely
// still running when the signal comes.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>

#include <filesystem>
#include <memory>

#include "support/files.h"
#include "support/fixtures.h"
#include "harness/child_process.h"
#include "harness/endless_input.h"

using namespace tool_tests;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  return names;
}

class Interrupt : public testing::TestWithParam<int> {};

TEST_P(Interrupt, CancelsTheJobAndLeavesNoOutput) {
  fixtures::TempDir scratch;
  fixtures::TempDir dir;
  endless_input input(dir.file("live.ts"), scratch.path());

  tool_process tool({"mute", input.path(), dir.file("out.mkv")});
  // The first plain progress line comes once the job has run a second.
  ASSERT_TRUE(tool.wait_for_stderr(" packets  "));
  tool.send_signal(GetParam());
  const finished_run run = tool.wait();

  EXPECT_EQ(run.exit_code, 3) << run.err;
  EXPECT_EQ(run.out.rfind(R"({"state":4,"ok":false,"out_path":")", 0), 0u) << run.out;
  EXPECT_NE(run.err.find("tacetra: interrupted, cancelling the job\n"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(": cancelled, no output left\n"), std::string::npos) << run.err;
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"live.ts"});
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupt, testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) { return info.param == SIGINT ? "SIGINT" : "SIGTERM"; });

// What the kernel says the program's main thread waits in.
std::string waits_in(pid_t pid) {
  return fixtures::read_bytes("/proc/" + std::to_string(pid) + "/wchan");
}

// No signal is waiting to be handled: the handler has run.
bool nothing_pending(pid_t pid) {
  const std::string status = fixtures::read_bytes("/proc/" + std::to_string(pid) + "/status");
  return status.find("SigPnd:\t0000000000000000") != std::string::npos &&
         status.find("ShdPnd:\t0000000000000000") != std::string::npos;
}

// A FIFO with no writer holds the job inside tacetra_start, where a cancel
// cannot reach it: the first SIGINT asks in vain, the second ends the
// program at once, as the signal does by default.
TEST(Interrupt, ASecondSigintEndsAProgramStuckOnItsInput) {
  fixtures::TempDir dir;
  const std::string fifo = dir.file("stalled.ts");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  tool_process tool({"mute", fifo, dir.file("out.mkv")});
  while (waits_in(tool.pid()) != "wait_for_partner")
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  tool.send_signal(SIGINT);
  // Handled, and back to waiting for a writer.
  while (!nothing_pending(tool.pid()) || waits_in(tool.pid()) != "wait_for_partner") {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  tool.send_signal(SIGINT);
  const finished_run run = tool.wait();

  EXPECT_EQ(run.exit_code, 128 + SIGINT) << run.out << run.err;
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"stalled.ts"});
}

TEST(InterruptBatch, CancelsEveryRunningJobAndStartsNoMore) {
  fixtures::TempDir scratch;
  fixtures::TempDir dir;
  const std::string out = dir.file("out");
  std::vector<std::unique_ptr<endless_input>> inputs;
  std::vector<std::string> args{"mute", "--to", out};
  for (int i = 0; i < 5; ++i) {
    inputs.push_back(std::make_unique<endless_input>(dir.file("live" + std::to_string(i) + ".ts"), scratch.path()));
    args.push_back(inputs.back()->path());
  }

  tool_process tool(args);
  // The first plain batch line comes once the batch has run a second; the
  // four jobs it has room for have begun by then. (Their copies have no
  // names to wait for where the file system allows it.)
  ASSERT_TRUE(tool.wait_for_stderr(" left"));
  tool.send_signal(SIGINT);
  const finished_run run = tool.wait();

  EXPECT_EQ(run.exit_code, 3) << run.out << run.err;
  for (int i = 0; i < 4; ++i) {
    const std::string in = inputs[i]->path();
    EXPECT_NE(run.out.find(in + " -> " + out + "/live" + std::to_string(i) + ".ts: cancelled, no output left\n"),
              std::string::npos)
        << run.out;
  }
  EXPECT_NE(run.out.find(inputs[4]->path() + ": skipped, interrupted\n"), std::string::npos) << run.out;
  EXPECT_EQ(std::ranges::count(run.out, '\n'), 5) << run.out;
  EXPECT_EQ(entries(out), std::vector<std::string>{});
}

}  // namespace
