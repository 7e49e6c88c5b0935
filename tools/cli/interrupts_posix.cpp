#ifndef _WIN32

#include <signal.h>

#include <atomic>

#include "hidden_places.h"
#include "interrupts.h"

namespace tacetra_cli {
namespace {

// The handler may run on any thread, a library worker's included.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void handle(int signo, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signo, &action, nullptr);
}

extern "C" void on_interrupt(int signo) {
  if (!g_interrupted.exchange(true)) return;
  // Asked twice: the user will not wait for the jobs. The program's own
  // places go; the signal then ends it as it would have without a handler.
  remove_hidden_places();
  handle(signo, SIG_DFL);
  raise(signo);
}

// Whoever read stdout has gone: every line written after it raises SIGPIPE
// again, which must not count as a second interrupt.
extern "C" void on_broken_pipe(int) { g_interrupted.store(true); }

}  // namespace

void catch_interrupts() {
  for (const int signo : {SIGINT, SIGTERM, SIGHUP}) handle(signo, on_interrupt);
  handle(SIGPIPE, on_broken_pipe);
  // A write past the size limit fails, and so does its job.
  handle(SIGXFSZ, SIG_IGN);
  // Taking a lease (in_place_copy) asks for SIGIO when someone opens the
  // file for writing; the program looks at the lease instead.
  handle(SIGIO, SIG_IGN);
}

bool interrupted() { return g_interrupted.load(); }

}  // namespace tacetra_cli

#endif
