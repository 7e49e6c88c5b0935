#include <iostream>
#include <map>

#include "commands.h"
#include "exit_status.h"
#include "probe_facts.h"
#include "space_check.h"
#include "start_refusal.h"
#include "stream_plan.h"
#include "units.h"

namespace tacetra_cli {
namespace {

std::string saving(const probe_facts& probe) {
  const std::string of = " of " + format_size(probe.size_bytes);
  if (probe.audio_bytes_estimate > 0) return "saving about " + format_size(probe.audio_bytes_estimate) + of;
  return "saving an unknown share" + of + " (its audio states no bit rate)";
}

// What every copy takes over besides its streams' packets.
constexpr const char* kept_besides =
    "  also kept: the file's tags (its date and place included) and chapters, each kept stream's tags and flags";

std::string fate(const probe_facts::stream& s) {
  if (s.type == "audio") return "dropped (audio)";
  if (!probe_facts::kept(s)) return "dropped (unknown codec)";
  return "kept";
}

// What tacetra_start would refuse the input for, as it would say it.
std::optional<refusal> input_refusal(const std::optional<probe_facts>& probe) {
  if (!probe) return refusal{exit_cannot_open, "cannot open the input as a local media file"};
  if (!probe->has_video()) return refusal{exit_no_video, "no video stream"};
  if (probe->audio_tracks == 0)
    return refusal{exit_no_audio, "no audio stream, nothing to remove", true};
  return std::nullopt;
}

}  // namespace

int run_dry_run(const std::vector<planned_file>& plan, const mute_options& options, bool one_file) {
  batch_status status;
  int first_status = exit_done;
  // The copies of the batch's earlier files, which take their room for good
  // when they go beside their inputs; a file muted in place gives back its
  // own room once replaced.
  std::map<std::uint64_t, std::int64_t> taken;
  for (const planned_file& file : plan) {
    std::optional<refusal> refused = file.refused ? file.refused : path_refusal(file.in_path, file.out_path);
    std::string unused;
    const auto probe = refused ? std::nullopt : probe_file(file.in_path, unused);
    if (!refused) refused = input_refusal(probe);
    space_verdict room;
    if (!refused && options.space_check) {
      room = judge_space(*probe, file.out_path);
      if (!room.fits(taken[room.device])) refused = refusal{exit_no_space, not_enough_space(room)};
    }
    if (refused) {
      std::cout << file.shown_name() << ": " << (refused->skipped ? "skipped, " : "")
                << refused->reason << '\n';
      status.add(refused->skipped ? exit_done : refused->status);
      if (first_status == exit_done) first_status = refused->status;
      continue;
    }
    if (room.known && !file.in_place) taken[room.device] += room.needed;

    // The container's own answer where FFmpeg gives one; else the probe's.
    std::vector<stream_plan> plan = plan_stream_fates(file.in_path, file.out_path);
    if (plan.size() != probe->streams.size()) {
      plan.clear();
      for (const auto& s : probe->streams) plan.push_back({fate(s), probe_facts::kept(s), false});
    }
    int kept = 0;
    for (const auto& s : plan) kept += s.kept ? 1 : 0;
    std::cout << file.what() << ": would keep " << kept << " of " << probe->streams.size() << " streams"
              << (file.in_place ? " in place, " : ", ") << saving(*probe) << '\n';
    for (std::size_t i = 0; i < plan.size(); ++i) {
      const auto& s = probe->streams[i];
      std::cout << "  stream " << s.index << ": " << s.type << ' ' << s.codec << ", " << plan[i].fate << '\n';
    }
    std::cout << kept_besides << '\n';
  }
  std::cout.flush();
  return one_file ? first_status : status.status();
}

}  // namespace tacetra_cli
