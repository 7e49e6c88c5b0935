#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "tacetra.h"

namespace tacetra_cli {

// How often a running job is looked at.
inline constexpr std::chrono::milliseconds poll_interval{100};

// The library's job slots.
inline constexpr int job_slots = TACETRA_MAX_JOBS;

struct progress_report {
  int state = -1;
  double percent = 0.0;
  std::int64_t processed_ms = 0;
  std::int64_t total_ms = 0;  // 0 when the input states no duration
  std::int64_t packets = 0;
};

progress_report parse_progress(const std::string& text);

// A started job. It owns its slot: the destructor frees it, which also stops
// a job still running and removes its unfinished output.
class job {
 public:
  explicit job(int id);
  ~job();
  job(const job&) = delete;
  job& operator=(const job&) = delete;

  bool finished() const;
  progress_report progress() const;
  std::string result() const;
  void cancel();
  // Wall-clock time since the job was started, as the tool measures it.
  std::int64_t wall_ms() const;

 private:
  int id_;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace tacetra_cli
