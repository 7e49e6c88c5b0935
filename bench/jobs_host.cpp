// Runs stream-copy jobs through the public interface as a host does: start,
// poll status and progress every 50 ms (or every N ms with --poll-ms N)
// until the job ends, read the result, free the slot. Prints each job's
// result text, one line per job.
//   tacetra_bench_jobs [--poll-ms N] [--together] IN OUT [IN OUT ...]
// Without --together the jobs run one after another; with it they all start
// at once (at most four).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "tacetra.h"

namespace {

struct job_paths {
  const char* in;
  const char* out;
};

bool is_final(int state) {
  return state == TACETRA_DONE || state == TACETRA_CANCELLED || state == TACETRA_FAILED;
}

int start(const job_paths& job) {
  const int id = tacetra_start(job.in, job.out);
  if (id < 0) std::fprintf(stderr, "tacetra_start(%s) failed: %d\n", job.in, id);
  return id;
}

// Polls until every job has ended; returns true when all of them are done.
bool wait_and_free(const std::vector<int>& ids, std::chrono::milliseconds interval) {
  std::vector<bool> ended(ids.size(), false);
  std::size_t running = ids.size();
  bool all_done = true;
  while (running > 0) {
    std::this_thread::sleep_for(interval);
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (ended[i]) continue;
      const int state = tacetra_status(ids[i]);
      tacetra_progress(ids[i]);
      if (!is_final(state)) continue;
      std::puts(tacetra_result(ids[i]));
      all_done &= state == TACETRA_DONE;
      tacetra_free(ids[i]);
      ended[i] = true;
      --running;
    }
  }
  return all_done;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  std::chrono::milliseconds interval(50);
  if (argc > 2 && std::strcmp(argv[1], "--poll-ms") == 0) {
    interval = std::chrono::milliseconds(std::atoi(argv[2]));
    first += 2;
  }
  const bool together = argc > first && std::strcmp(argv[first], "--together") == 0;
  if (together) ++first;
  std::vector<job_paths> jobs;
  for (int i = first; i + 1 < argc; i += 2) jobs.push_back({argv[i], argv[i + 1]});
  if (jobs.empty() || (argc - first) % 2 != 0 || (together && jobs.size() > TACETRA_MAX_JOBS)) {
    std::fprintf(stderr, "usage: tacetra_bench_jobs [--poll-ms N] [--together] IN OUT [IN OUT ...]\n");
    return 2;
  }

  bool ok = true;
  if (together) {
    std::vector<int> ids;
    for (const job_paths& job : jobs) {
      const int id = start(job);
      if (id < 0) return 1;
      ids.push_back(id);
    }
    ok = wait_and_free(ids, interval);
  } else {
    for (const job_paths& job : jobs) {
      const int id = start(job);
      if (id < 0) return 1;
      ok &= wait_and_free({id}, interval);
    }
  }
  return ok ? 0 : 1;
}
