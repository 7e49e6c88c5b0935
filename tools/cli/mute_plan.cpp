#include "mute_plan.h"

#include <filesystem>
#include <map>
#include <system_error>

#include "exit_status.h"
#include "file_facts.h"

namespace fs = std::filesystem;

namespace tacetra_cli {
namespace {

std::int64_t size_of(const std::string& path) {
  std::error_code error;
  const auto size = fs::file_size(path, error);
  return error ? 0 : static_cast<std::int64_t>(size);
}

bool same_file(const std::string& a, const std::string& b) {
  std::error_code unused;
  return fs::equivalent(a, b, unused);
}

// A later job would overwrite what an earlier one wrote, or the input of a
// job not yet started.
std::optional<refusal> clash(const planned_file& file, const std::map<std::string, std::string>& outputs,
                             const std::vector<std::string>& inputs) {
  if (const auto earlier = outputs.find(file.out_path); earlier != outputs.end()) {
    return refusal{exit_failed, "skipped, " + display_name(file.out_path) + " is the output of " +
                                    display_name(earlier->second)};
  }
  for (const std::string& input : inputs) {
    if (same_file(file.out_path, input)) {
      return refusal{exit_overwrite, input == file.in_path ? "output would overwrite the input"
                                                           : "output would overwrite the input " +
                                                                 display_name(input)};
    }
  }
  return std::nullopt;
}

}  // namespace

planned_file plan_one(const std::string& in_path, const std::string& out_path) {
  planned_file file{in_path, in_path, out_path, false, size_of(in_path), std::nullopt};
  if (same_file(in_path, out_path)) {
    file.refused = refusal{exit_overwrite, "output would overwrite the input"};
  }
  return file;
}

std::vector<planned_file> plan_into_directory(const std::string& dir, const std::vector<std::string>& files) {
  std::vector<planned_file> plan;
  std::map<std::string, std::string> outputs;
  for (const std::string& in_path : files) {
    planned_file file{in_path, in_path,          (fs::path(dir) / fs::path(in_path).filename()).string(),
                      false,   size_of(in_path), std::nullopt};
    file.refused = clash(file, outputs, files);
    if (!file.refused) outputs.emplace(file.out_path, in_path);
    plan.push_back(std::move(file));
  }
  return plan;
}

std::vector<planned_file> plan_in_place(const std::vector<std::string>& files) {
  std::vector<planned_file> plan;
  // The file itself, by device and inode, whatever name or link it was
  // given by -> that name.
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::string> planned;
  for (const std::string& name : files) {
    planned_file file{name, name, name, true, 0, std::nullopt};
    std::error_code error;
    const fs::path target = fs::canonical(name, error);
    const auto facts = error ? std::nullopt : facts_of(target.string(), error);
    if (!facts) {
      file.refused = refusal{exit_cannot_open, "cannot open the input as a local media file"};
    } else if (!facts->regular) {
      file.refused = refusal{exit_failed, "not a regular file, cannot be replaced in place"};
    } else if (const auto earlier = planned.find({facts->device, facts->inode});
               earlier != planned.end()) {
      file.refused = refusal{exit_done, "the same file as " + display_name(earlier->second), true};
    } else {
      file.in_path = file.out_path = target.string();
      file.size = facts->size;
      planned.emplace(std::pair{facts->device, facts->inode}, name);
    }
    plan.push_back(std::move(file));
  }
  return plan;
}

}  // namespace tacetra_cli
