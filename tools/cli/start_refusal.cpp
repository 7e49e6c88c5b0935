#include "start_refusal.h"

#include "exit_status.h"
#include "tacetra.h"

namespace tacetra_cli {

refusal explain_refusal(int code, const std::string& in_path, const std::string& out_path) {
  switch (code) {
    case TACETRA_ERR_ARGS:
      // The library gives one code for bad paths and for an output that
      // would destroy an input; the bad paths are the ones we can see.
      return path_refusal(in_path, out_path)
          .value_or(refusal{exit_overwrite, "output would overwrite the input"});
    case TACETRA_ERR_BUSY:
      return {exit_busy, "all four job slots are busy"};
    case TACETRA_ERR_OPEN:
      return {exit_cannot_open, "cannot open the input as a local media file"};
    case TACETRA_ERR_THREAD:
      return {exit_no_thread, "cannot start a worker thread"};
    case TACETRA_ERR_NO_VIDEO:
      return {exit_no_video, "no video stream"};
    case TACETRA_ERR_NO_AUDIO: return {exit_no_audio, "no audio stream, nothing to remove", true};
    default:
      return {exit_failed, "refused with unknown code " + std::to_string(code)};
  }
}

std::optional<refusal> path_refusal(const std::string& in_path, const std::string& out_path) {
  if (in_path.empty()) return refusal{exit_bad_path, "the input path is empty"};
  if (out_path.empty()) return refusal{exit_bad_path, "the output path is empty"};
  if (in_path.size() > TACETRA_PATH_MAX || out_path.size() > TACETRA_PATH_MAX) {
    return refusal{exit_bad_path, "a path is longer than " + std::to_string(TACETRA_PATH_MAX) + " bytes"};
  }
  return std::nullopt;
}

}  // namespace tacetra_cli
