// Nanoseconds per tacetra_status, tacetra_progress and tacetra_result call
// on a job that is copying while it is polled.
//   tacetra_bench_poll IN OUT [Google Benchmark flags]
// IN should take a second or more to copy. The "running" counter is 1 when
// the job was still copying at the end of a measurement.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "tacetra.h"

namespace {

const char* g_in_path = nullptr;
const char* g_out_path = nullptr;
int g_job = -1;

double percent_done(int id) {
  const char* progress = std::strstr(tacetra_progress(id), "\"percent\":");
  return progress != nullptr ? std::atof(progress + std::strlen("\"percent\":")) : 100.0;
}

// A job in the middle of its copy: the current one while it has more than
// half its input to go, otherwise a fresh one.
int copying_job() {
  if (g_job >= 0 && tacetra_status(g_job) == TACETRA_RUNNING && percent_done(g_job) < 50.0) {
    return g_job;
  }
  if (g_job >= 0) tacetra_free(g_job);
  g_job = tacetra_start(g_in_path, g_out_path);
  if (g_job < 0) {
    std::fprintf(stderr, "tacetra_start failed: %d\n", g_job);
    std::exit(1);
  }
  while (tacetra_status(g_job) == TACETRA_PENDING || percent_done(g_job) <= 0.0) {
    if (tacetra_status(g_job) != TACETRA_PENDING && tacetra_status(g_job) != TACETRA_RUNNING) {
      std::fprintf(stderr, "the polled job ended before copying: %s\n", tacetra_result(g_job));
      std::exit(1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return g_job;
}

template <class Call>
void poll(benchmark::State& state, Call call) {
  const int id = copying_job();
  for (auto _ : state) benchmark::DoNotOptimize(call(id));
  state.counters["running"] = tacetra_status(id) == TACETRA_RUNNING ? 1.0 : 0.0;
}

void status(benchmark::State& state) { poll(state, tacetra_status); }
void progress(benchmark::State& state) { poll(state, tacetra_progress); }
void result(benchmark::State& state) { poll(state, tacetra_result); }

BENCHMARK(status);
BENCHMARK(progress);
BENCHMARK(result);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: tacetra_bench_poll IN OUT [benchmark flags]\n");
    return 2;
  }
  g_in_path = argv[1];
  g_out_path = argv[2];
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_job >= 0) tacetra_free(g_job);
  return 0;
}
