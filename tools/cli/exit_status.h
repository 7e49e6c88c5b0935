#pragma once

// The tool's exit statuses. A refused start maps tacetra_start's code c to
// 10 - c, so scripts can tell every reason apart; from 18 on they are the
// tool's own refusals.
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
  exit_no_space = 19,   // the copy would not fit on its filesystem
};

// A batch's status from those of its files: 1 when any failed or was
// refused, except that a batch whose only misses lacked room gets 19.
class batch_status {
 public:
  void add(int file_status) {
    if (file_status == exit_no_space) {
      out_of_space_ = true;
    } else if (file_status != exit_done) {
      failed_ = true;
    }
  }
  int status() const { return failed_ ? exit_failed : out_of_space_ ? exit_no_space : exit_done; }

 private:
  bool failed_ = false;
  bool out_of_space_ = false;
};

}  // namespace tacetra_cli
