#pragma once

#include <string>
#include <vector>

#include "mute_plan.h"

namespace tacetra_cli {

struct mute_options {
  bool pretty = false;      // one file: indent the result text
  bool keep_dates = false;  // the copy takes the input's modification and access times
  bool space_check = true;  // refuse a copy that would not fit
};

// Each returns the tool's exit status.

// Prints each file's report on a line of its own, indented with `pretty`.
int run_probe(const std::vector<std::string>& files, bool pretty);

// One job: progress on stderr, the result text on stdout.
int run_mute(const planned_file& file, const mute_options& options);

// Mutes every file of the plan, up to four at a time, with one summary line
// per file on stdout and a progress line for the whole batch on stderr.
// `out_dir`, unless empty, is created first.
int run_batch(const std::vector<planned_file>& plan, const mute_options& options, const std::string& out_dir);

// Writes nothing: prints what muting the plan's files would do.
int run_dry_run(const std::vector<planned_file>& plan, const mute_options& options, bool one_file);

}  // namespace tacetra_cli
