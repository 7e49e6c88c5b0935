#include <iostream>
#include <thread>

#include "commands.h"
#include "exit_status.h"
#include "interrupts.h"
#include "job.h"
#include "pretty_json.h"
#include "progress_display.h"
#include "report_fields.h"
#include "start_refusal.h"
#include "tacetra.h"
#include "terminal.h"

namespace tacetra_cli {

int run_mute(const std::string& in_path, const std::string& out_path, bool pretty) {
  if (interrupted()) return exit_cancelled;
  const int id = tacetra_start(in_path.c_str(), out_path.c_str());
  if (id < 0) {
    const refusal why = explain_refusal(id, in_path, out_path);
    std::cerr << "tacetra: " << in_path << ": " << why.reason << '\n';
    return why.status;
  }

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
    if (!cancelling) display.update(muting.progress(), muting.wall_ms());
    std::this_thread::sleep_for(poll_interval);
  }

  const progress_report last = muting.progress();
  if (last.state == TACETRA_DONE) display.finish(last, muting.wall_ms());
  display.end_line();
  const std::string result = muting.result();
  std::cout << (pretty ? pretty_json(result) : result) << std::endl;

  switch (last.state) {
    case TACETRA_DONE: return exit_done;
    case TACETRA_CANCELLED:
      std::cerr << "tacetra: " << in_path << ": cancelled, no output left\n";
      return exit_cancelled;
    default:
      std::cerr << "tacetra: " << in_path << ": failed: "
                << string_field(result, "error").value_or("unknown error") << '\n';
      return exit_failed;
  }
}

}  // namespace tacetra_cli
