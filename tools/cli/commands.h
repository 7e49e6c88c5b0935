#pragma once

#include <string>
#include <vector>

namespace tacetra_cli {

// Each returns the tool's exit status.

// Prints each file's report on a line of its own, indented with `pretty`.
int run_probe(const std::vector<std::string>& files, bool pretty);

// One job: progress on stderr, the result text on stdout.
int run_mute(const std::string& in_path, const std::string& out_path, bool pretty);

// Mutes every file into `dir` under its own name, up to four at a time,
// with one summary line per file on stdout.
int run_batch(const std::string& dir, const std::vector<std::string>& files);

}  // namespace tacetra_cli
