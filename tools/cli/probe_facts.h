#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tacetra_cli {

// What the library's probe report says about a file, as far as a job goes.
struct probe_facts {
  struct stream {
    int index = 0;
    std::string type;   // video, audio, subtitle or other
    std::string codec;  // FFmpeg's name; "none" when FFmpeg does not know it
  };

  std::int64_t size_bytes = 0;
  std::int64_t audio_bytes_estimate = 0;
  int audio_tracks = 0;
  std::vector<stream> streams;

  // A job copies every stream that is neither audio nor of a codec FFmpeg
  // does not know.
  static bool kept(const stream& s) { return s.type != "audio" && s.codec != "none"; }
  bool has_video() const;
};

// The report of tacetra_probe on `path`, or nothing with its error in `error`.
std::optional<probe_facts> probe_file(const std::string& path, std::string& error);

}  // namespace tacetra_cli
