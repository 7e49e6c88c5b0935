// tacetra_probe beside the bare FFmpeg work it wraps: avformat_open_input,
// avformat_find_stream_info and avformat_close_input on the same file. The
// two alternate in rounds (A B B A), so drift on a busy machine hits both.
//   tacetra_bench_probe ROUNDS CALLS FILE...
// Prints one line per file and round: the file, then nanoseconds per call of
// the library's probe and of the bare open and read.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

#include "tacetra.h"

namespace {

using clock_type = std::chrono::steady_clock;

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

double nanoseconds_per_call(bool (*probe)(const char*), const char* path, int calls) {
  const auto start = clock_type::now();
  for (int i = 0; i < calls; ++i) {
    if (!probe(path)) {
      std::fprintf(stderr, "cannot probe %s\n", path);
      std::exit(1);
    }
  }
  const std::chrono::duration<double, std::nano> spent = clock_type::now() - start;
  return spent.count() / calls;
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
    nanoseconds_per_call(library_probe, path, 1);  // warm the page cache and FFmpeg
    nanoseconds_per_call(bare_probe, path, 1);
    for (int round = 0; round < rounds; ++round) {
      const int half = calls / 2 > 0 ? calls / 2 : 1;
      double library = nanoseconds_per_call(library_probe, path, half);
      double bare = nanoseconds_per_call(bare_probe, path, half);
      bare += nanoseconds_per_call(bare_probe, path, half);
      library += nanoseconds_per_call(library_probe, path, half);
      std::printf("%s\t%.0f\t%.0f\n", path, library / 2, bare / 2);
    }
  }
  return 0;
}
