#ifndef _WIN32

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>

#include "hidden_places.h"

namespace tacetra_cli {
namespace {

enum : int { unused, filling, armed, held, removing };

// The names a job leaves in a place: the copy, and the partial files the
// library writes it through ("NAME.part", or "tacetra.part" when the name
// leaves no room for the suffix).
constexpr int names_per_place = 3;

struct hidden_place {
  std::atomic<int> state{unused};
  int parent_fd = -1;
  int dir_fd = -1;
  char dir_name[NAME_MAX + 1] = {};
  char names[names_per_place][NAME_MAX + 16] = {};
};
static_assert(std::atomic<int>::is_always_lock_free, "read by a signal handler");

// One per job slot, and some to spare.
hidden_place g_places[8];

}  // namespace

int remember_hidden_place(int parent_fd, const char* dir_name, int dir_fd, const char* copy_name) {
  for (int id = 0; id < static_cast<int>(std::size(g_places)); ++id) {
    hidden_place& p = g_places[id];
    int expected = unused;
    if (!p.state.compare_exchange_strong(expected, filling)) continue;
    p.parent_fd = parent_fd;
    p.dir_fd = dir_fd;
    std::snprintf(p.dir_name, sizeof p.dir_name, "%s", dir_name);
    std::snprintf(p.names[0], sizeof p.names[0], "%s", copy_name);
    std::snprintf(p.names[1], sizeof p.names[1], "%s.part", copy_name);
    std::snprintf(p.names[2], sizeof p.names[2], "tacetra.part");
    p.state.store(armed, std::memory_order_release);
    return id;
  }
  return -1;
}

bool hold_hidden_place(int id) {
  if (id < 0) return true;
  int expected = armed;
  return g_places[id].state.compare_exchange_strong(expected, held);
}

void forget_hidden_place(int id) {
  if (id < 0) return;
  // A place the handler is removing stays its own: the program ends.
  int expected = armed;
  if (!g_places[id].state.compare_exchange_strong(expected, unused)) {
    expected = held;
    g_places[id].state.compare_exchange_strong(expected, unused);
  }
}

void remove_hidden_places() {
  for (hidden_place& p : g_places) {
    int expected = armed;
    if (!p.state.compare_exchange_strong(expected, removing, std::memory_order_acquire)) continue;
    // Only names in the program's own directory, reached through its
    // descriptor: nothing anyone else has put anywhere is touched.
    for (const char* name : p.names) ::unlinkat(p.dir_fd, name, 0);
    ::unlinkat(p.parent_fd, p.dir_name, AT_REMOVEDIR);
  }
}

}  // namespace tacetra_cli

#endif
