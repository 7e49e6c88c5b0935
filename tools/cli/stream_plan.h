#pragma once

#include <string>
#include <vector>

namespace tacetra_cli {

// What a job would do with one stream of its input.
struct stream_plan {
  // "kept", "converted from subrip to mov_text", "left out (the mp4 container
  // cannot hold it)", "dropped (audio)" or "dropped (unknown codec)".
  std::string fate;
  bool kept = false;     // the copy has it, converted or not
  bool changed = false;  // converted or left out: what a user would not expect
};

// Each stream's fate, in index order, for a copy of `in_path` at `out_path`:
// the library's own rule, compiled in from its source and asked of the same
// FFmpeg muxers. Empty when FFmpeg cannot read the input or knows no
// container by the output's name.
std::vector<stream_plan> plan_stream_fates(const std::string& in_path, const std::string& out_path);

// "stream 2 converted from subrip to mov_text, stream 3 left out (...)":
// the streams a copy converts or leaves out; empty when there are none.
std::string changed_streams(const std::vector<stream_plan>& plan);

}  // namespace tacetra_cli
