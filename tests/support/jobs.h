// Jobs seen from inside the library: slots freed whatever a test does, waits
// that check every state on the way, and records for running the worker
// directly. Test programs linked with the library's internals only.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "fixtures.h"
#include "jobs/session.h"

namespace fixtures {

// Frees every slot when a test ends, passed or not, so that no worker outlives
// it. Declared after the test's directory, so that workers end before it goes.
struct FreeAllSlots {
  ~FreeAllSlots();
};

// Polls a job until it ends. Every state seen on the way must be a real one
// (never 1), and states only move forward: pending, running, final. The last
// reading has acquire ordering, so the worker's figures and text are then
// safe to read.
int wait_final(int id);

// Waits for `done` to hold; a hang fails the test instead of the whole run.
// It yields rather than sleeps, so that a test can catch a job in a phase
// that lasts only moments (its header, say).
template <class Condition>
bool eventually(Condition done) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::yield();
  }
  return true;
}

// A record filled as tacetra_start fills it, for running the worker directly.
std::unique_ptr<tacetra::mute_session> new_record(const std::string& in, const std::string& out);

// Runs the worker on this thread, on a fresh record, with its cancel flag
// already raised if asked.
std::unique_ptr<tacetra::mute_session> run_worker(const std::string& in, const std::string& out,
                                                  bool cancel_first = false);

// Video and audio, `packets` packets each, at `name` in `dir`.
std::string write_good_input(const TempDir& dir, const std::string& name, int packets = 10);

}  // namespace fixtures
