#include "host_jobs.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tacetra.h"

namespace fixtures {

bool is_final(int state) {
  return state == TACETRA_DONE || state == TACETRA_CANCELLED || state == TACETRA_FAILED;
}

int wait_for_end(int id) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    const int state = tacetra_status(id);
    if (state < 0 || is_final(state)) return state;
    if (std::chrono::steady_clock::now() > give_up) {
      ADD_FAILURE() << "job in slot " << id << " never ended";
      return state;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace fixtures
