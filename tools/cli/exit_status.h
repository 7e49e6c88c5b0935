#pragma once

// The tool's exit statuses. A refused start maps tacetra_start's code c to
// 10 - c, so scripts can tell every reason apart.
namespace tacetra_cli {

enum exit_status : int {
  exit_done = 0,
  exit_failed = 1,      // the job failed; for probe and batch: some file did
  exit_usage = 2,
  exit_cancelled = 3,   // stopped by SIGINT or SIGTERM
  exit_bad_path = 11,   // -1: a path is empty or too long
  exit_busy = 12,       // -2
  exit_cannot_open = 13,  // -3
  exit_no_thread = 14,  // -4
  exit_no_video = 15,   // -5
  exit_no_audio = 17,   // -7
  exit_overwrite = 18,  // -1: the output names the input or a running job's file
};

}  // namespace tacetra_cli
