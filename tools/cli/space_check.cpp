#include "space_check.h"

#include <algorithm>
#include <filesystem>

#include "display_name.h"
#include "file_facts.h"
#include "units.h"

namespace fs = std::filesystem;

namespace tacetra_cli {

std::int64_t room_for_copy(const probe_facts& input) {
  const std::int64_t copy = std::max<std::int64_t>(0, input.size_bytes - input.audio_bytes_estimate);
  return copy + copy / 16 + 64 * 1024;
}

space_verdict judge_space(const probe_facts& input, const std::string& out_path) {
  space_verdict verdict;
  // tacetra_start refuses such an input for a reason of its own.
  if (!input.has_video() || input.audio_tracks == 0) return verdict;
  std::error_code error;
  fs::path dir = fs::absolute(out_path, error).parent_path();
  if (error) return verdict;
  while (!fs::is_directory(dir, error) && dir.has_relative_path()) dir = dir.parent_path();
  const fs::space_info space = fs::space(dir, error);
  if (error) return verdict;
  const auto facts = facts_of(dir.string(), error);
  if (!facts) return verdict;
  verdict.known = true;
  verdict.needed = room_for_copy(input);
  verdict.available = static_cast<std::int64_t>(std::min<std::uintmax_t>(space.available, INT64_MAX));
  verdict.device = facts->device;
  verdict.directory = dir.string();
  return verdict;
}

std::string not_enough_space(const space_verdict& verdict) {
  return "not enough free space in " + display_name(verdict.directory) + ": the copy needs about " +
         format_size(verdict.needed) + ", " +
         format_size(std::max<std::int64_t>(0, verdict.available)) + " free";
}

}  // namespace tacetra_cli
