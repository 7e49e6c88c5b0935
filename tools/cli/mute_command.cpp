#include <iostream>
#include <optional>
#include <thread>

#include "commands.h"
#include "exit_status.h"
#include "file_facts.h"
#include "interrupts.h"
#include "job.h"
#include "pretty_json.h"
#include "probe_facts.h"
#include "progress_display.h"
#include "progress_line.h"
#include "report_fields.h"
#include "space_check.h"
#include "start_refusal.h"
#include "stream_plan.h"
#include "tacetra.h"
#include "terminal.h"

namespace tacetra_cli {

int run_mute(const planned_file& file, const mute_options& options) {
  if (interrupted()) return exit_cancelled;
  auto refuse = [&](const refusal& why) {
    std::cerr << "tacetra: " << file.shown_name() << ": " << why.reason << '\n';
    return why.status;
  };
  if (file.refused) return refuse(*file.refused);

  // Taken before anything reads the input, which may move its access time.
  std::error_code error;
  const std::optional<file_facts> before = facts_of(file.in_path, error);
  if (options.space_check && before && before->regular) {
    std::string unused;
    if (const auto probe = probe_file(file.in_path, unused)) {
      const space_verdict room = judge_space(*probe, file.out_path);
      if (!room.fits(0)) return refuse({exit_no_space, not_enough_space(room)});
    }
  }

  // Known before the job starts: the streams it will convert or leave out.
  const std::string changes =
      before && before->regular ? changed_streams(plan_stream_fates(file.in_path, file.out_path)) : "";

  const int id = tacetra_start(file.in_path.c_str(), file.out_path.c_str());
  if (id < 0) return refuse(explain_refusal(id, file.in_path, file.out_path));

  job muting(id);
  progress_display display(stderr_is_terminal());
  bool cancelling = false;
  while (!muting.finished()) {
    if (interrupted() && !cancelling) {
      muting.cancel();
      cancelling = true;
      display.end_line();
      std::cerr << "tacetra: interrupted, cancelling the job\n";
    }
    if (!cancelling) display.update(progress_line(muting.progress(), muting.wall_ms()), muting.wall_ms());
    std::this_thread::sleep_for(poll_interval);
  }

  const progress_report last = muting.progress();
  if (last.state == TACETRA_DONE) display.finish(progress_line(last, muting.wall_ms()));
  display.end_line();
  const std::string result = muting.result();
  std::cout << (options.pretty ? pretty_json(result) : result) << std::endl;

  switch (last.state) {
    case TACETRA_DONE:
      if (!changes.empty()) std::cerr << "tacetra: " << file.shown_name() << ": " << changes << '\n';
      if (options.keep_dates && (!before || !give_dates(file.out_path, *before, error))) {
        std::cerr << "tacetra: " << file.shown_name()
                  << ": done, but the copy's dates could not be set: " << error.message() << '\n';
        return exit_failed;
      }
      return exit_done;
    case TACETRA_CANCELLED:
      std::cerr << "tacetra: " << file.shown_name() << ": cancelled, no output left\n";
      return exit_cancelled;
    default:
      std::cerr << "tacetra: " << file.shown_name()
                << ": failed: " << string_field(result, "error").value_or("unknown error") << '\n';
      return exit_failed;
  }
}

}  // namespace tacetra_cli
