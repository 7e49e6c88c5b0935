#ifdef _WIN32

#include <atomic>
#include <csignal>

#include "interrupts.h"

namespace tacetra_cli {
namespace {

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// The C runtime puts back the default action before it calls the handler,
// so a second Ctrl-C ends the program.
extern "C" void on_interrupt(int) { g_interrupted.store(true); }

}  // namespace

void catch_interrupts() {
  std::signal(SIGINT, on_interrupt);
  std::signal(SIGTERM, on_interrupt);
}

bool interrupted() { return g_interrupted.load(); }

}  // namespace tacetra_cli

#endif
