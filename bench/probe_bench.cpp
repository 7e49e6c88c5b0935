// tacetra_probe beside the bare FFmpeg work it wraps: avformat_open_input,
// avformat_find_stream_info and avformat_close_input on the same file. The
// two alternate in rounds (A B B A), so drift on a busy machine hits both.
//   tacetra_bench_probe ROUNDS CALLS FILE...
// Prints one line per file and round: the file, then nanoseconds per call of
// the library's probe and of the bare open and read, in wall time and then
// in CPU time, which a busy machine disturbs less.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern "C" {
#include <libavformat/avformat.h>
}

#include "tacetra.h"

namespace {

using clock_type = std::chrono::steady_clock;

struct cost {
  double wall_ns = 0;
  double cpu_ns = 0;

  cost& operator+=(const cost& other) {
    wall_ns += other.wall_ns;
    cpu_ns += other.cpu_ns;
    return *this;
  }
};

bool library_probe(const char* path) {
  return std::strncmp(tacetra_probe(path), "{\"ok\":true", 10) == 0;
}

bool bare_probe(const char* path) {
  AVFormatContext* input = nullptr;
  if (avformat_open_input(&input, path, nullptr, nullptr) < 0) return false;
  const bool read = avformat_find_stream_info(input, nullptr) >= 0;
  avformat_close_input(&input);
  return read;
}

cost per_call(bool (*probe)(const char*), const char* path, int calls) {
  const auto start = clock_type::now();
  const std::clock_t start_cpu = std::clock();
  for (int i = 0; i < calls; ++i) {
    if (!probe(path)) {
      std::fprintf(stderr, "cannot probe %s\n", path);
      std::exit(1);
    }
  }
  const std::chrono::duration<double, std::nano> wall = clock_type::now() - start;
  const double cpu_ns = 1e9 * static_cast<double>(std::clock() - start_cpu) / CLOCKS_PER_SEC;
  return {wall.count() / calls, cpu_ns / calls};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: tacetra_bench_probe ROUNDS CALLS FILE...\n");
    return 2;
  }
  const int rounds = std::atoi(argv[1]);
  const int calls = std::atoi(argv[2]);
  for (int f = 3; f < argc; ++f) {
    const char* path = argv[f];
    // The first calls of a process cost more (FFmpeg's tables, the page
    // cache, the allocator growing its heap): warm up before measuring.
    const int half = calls / 2 > 0 ? calls / 2 : 1;
    per_call(library_probe, path, half);
    per_call(bare_probe, path, half);
    for (int round = 0; round < rounds; ++round) {
      cost library = per_call(library_probe, path, half);
      cost bare = per_call(bare_probe, path, half);
      bare += per_call(bare_probe, path, half);
      library += per_call(library_probe, path, half);
      std::printf("%s\t%.0f\t%.0f\t%.0f\t%.0f\n", path, library.wall_ns / 2, bare.wall_ns / 2,
                  library.cpu_ns / 2, bare.cpu_ns / 2);
    }
  }
  return 0;
}
