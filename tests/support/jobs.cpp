#include "jobs.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "common/absolute_path.h"
#include "tacetra.h"

namespace fixtures {

FreeAllSlots::~FreeAllSlots() {
  for (int id = 0; id < tacetra::MAX_SESSIONS; ++id) tacetra_free(id);
}

int wait_final(int id) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int last = TACETRA_PENDING;
  for (;;) {
    const int state = tacetra_status(id);
    EXPECT_TRUE(state == TACETRA_PENDING || state == TACETRA_RUNNING || tacetra::is_final(state))
        << "slot " << id << " reported state " << state;
    EXPECT_GE(state, last) << "slot " << id << " went back from state " << last;
    last = state;
    if (state < 0) return state;
    if (tacetra::is_final(state)) {
      return tacetra::load(tacetra::g_sessions[id].state, std::memory_order_acquire);
    }
    if (std::chrono::steady_clock::now() > give_up) {
      ADD_FAILURE() << "job in slot " << id << " never ended";
      return state;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::unique_ptr<tacetra::mute_session> new_record(const std::string& in, const std::string& out) {
  auto s = std::make_unique<tacetra::mute_session>();
  s->in_use = 1;
  std::snprintf(s->in_path, sizeof s->in_path, "%s", in.c_str());
  std::snprintf(s->out_path, sizeof s->out_path, "%s", out.c_str());
  EXPECT_TRUE(tacetra::absolute_path(s->in_path, s->in_path_resolved, sizeof s->in_path_resolved));
  EXPECT_TRUE(tacetra::absolute_path(s->out_path, s->out_path_resolved, sizeof s->out_path_resolved));
  return s;
}

std::unique_ptr<tacetra::mute_session> run_worker(const std::string& in, const std::string& out,
                                                  bool cancel_first) {
  auto s = new_record(in, out);
  s->cancel = cancel_first ? 1 : 0;
  tacetra::mute_thread(s.get());
  return s;
}

std::string write_good_input(const TempDir& dir, const std::string& name, int packets) {
  const std::string path = dir.file(name);
  write_media(path, layout_of({Kind::video, Kind::audio}, packets));
  return path;
}

}  // namespace fixtures
