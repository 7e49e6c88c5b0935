#pragma once

#include <optional>
#include <string>

namespace tacetra_cli {

struct refusal {
  int status;          // an exit_status
  std::string reason;  // short, lower case, for "tacetra: FILE: reason"
  // Nothing to do rather than something wrong: in a batch the file is
  // reported as skipped, and does not fail the batch.
  bool skipped = false;
};

// Why tacetra_start refused a job, given its negative code and the paths it
// was given.
refusal explain_refusal(int code, const std::string& in_path, const std::string& out_path);

// The paths tacetra_start refuses whatever the files: empty or too long.
std::optional<refusal> path_refusal(const std::string& in_path, const std::string& out_path);

}  // namespace tacetra_cli
