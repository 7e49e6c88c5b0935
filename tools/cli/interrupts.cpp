#include "interrupts.h"

#include <atomic>
#include <csignal>

namespace tacetra_cli {
namespace {

// The handler may run on any thread, a library worker's included.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void on_interrupt(int) { g_interrupted.store(true); }

}  // namespace

void catch_interrupts() {
  std::signal(SIGINT, on_interrupt);
  std::signal(SIGTERM, on_interrupt);
}

bool interrupted() { return g_interrupted.load(); }

}  // namespace tacetra_cli
