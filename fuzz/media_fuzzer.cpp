// Arbitrary bytes as a media file: the probe must answer with well-formed
// JSON, and a job started on the file must come to an end, leave the input
// as it was, leave nothing behind unless it finished, and free cleanly.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

extern "C" {
#include <libavutil/log.h>
}

#include "support/fixtures.h"
#include "tacetra.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "media_fuzzer: %s\n", what);
    std::abort();
  }
}

nlohmann::json parse(const char* text, const char* what) {
  check(text != nullptr, what);
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception&) {
    std::fprintf(stderr, "media_fuzzer: %s is not JSON: %s\n", what, text);
    std::abort();
  }
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool only_input_left(const std::filesystem::path& dir) {
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    (void)entry;
    ++entries;
  }
  return entries == 1;
}

// The output container follows from the input's size, so that every muxer
// sees every kind of input without a byte of the input spent on choosing.
const char* output_name(std::size_t size) {
  static const char* const names[] = {"out.mkv", "out.mp4", "out.nut", "out.ts", "out.avi", "out.mov"};
  return names[size % std::size(names)];
}

}  // namespace

// FFmpeg's complaints about broken files are noise here. Quieting them is the
// host's choice, and this harness is the host.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  av_log_set_level(AV_LOG_QUIET);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const fixtures::TempDir dir;
  const std::string input = dir.file("input");
  const std::string output = dir.file(output_name(size));
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream(input, std::ios::binary | std::ios::trunc) << bytes;
  }

  const nlohmann::json probe = parse(tacetra_probe(input.c_str()), "probe report");
  check(probe.at("ok").is_boolean(), "probe report without ok");

  const int id = tacetra_start(input.c_str(), output.c_str());
  check(id >= -7 && id <= 3 && id != -6 && id != -4 && id != -2 && id != -1, "start code");
  if (id >= 0) {
    int state = tacetra_status(id);
    while (state == TACETRA_PENDING || state == TACETRA_RUNNING) {
      parse(tacetra_progress(id), "progress report");
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      state = tacetra_status(id);
    }
    check(state == TACETRA_DONE || state == TACETRA_FAILED, "final state");
    const nlohmann::json result = parse(tacetra_result(id), "result report");
    check(result.at("state") == state, "result state");
    tacetra_free(id);
    check(tacetra_status(id) == -1, "slot still taken after free");
    check(std::filesystem::exists(output) == (state == TACETRA_DONE), "output left or lost");
    std::filesystem::remove(output);
  }
  check(read_file(input) == bytes, "input changed");
  check(only_input_left(dir.path()), "stray files beside the output");
  return 0;
}
