#include <deque>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "commands.h"
#include "exit_status.h"
#include "interrupts.h"
#include "job.h"
#include "report_fields.h"
#include "start_refusal.h"
#include "tacetra.h"
#include "units.h"

namespace fs = std::filesystem;

namespace tacetra_cli {
namespace {

struct planned_file {
  std::string in_path;
  std::string out_path;
};

struct running_file {
  running_file(planned_file f, int id) : file(std::move(f)), work(id) {}
  planned_file file;
  job work;
};

std::string done_summary(const std::string& result) {
  const auto in_size = number_field(result, "in_size_bytes").value_or(0);
  const auto out_size = number_field(result, "out_size_bytes").value_or(0);
  const auto saved = number_field(result, "bytes_saved").value_or(0);
  const auto media_ms = number_field(result, "duration_ms").value_or(0);
  const auto elapsed_ms = number_field(result, "elapsed_ms").value_or(0);
  return "done, " + format_size(in_size) + " -> " + format_size(out_size) + " (" +
         format_size(saved) + " saved), " + format_clock(media_ms) + " of media in " +
         format_clock(elapsed_ms);
}

// A later job would overwrite what an earlier one wrote, or the input of a
// job not yet started, and the library can only see the jobs that run.
std::string clash(const planned_file& file, const std::map<std::string, std::string>& outputs,
                  const std::vector<std::string>& inputs) {
  if (const auto earlier = outputs.find(file.out_path); earlier != outputs.end()) {
    return "skipped, " + file.out_path + " is the output of " + earlier->second;
  }
  for (const std::string& input : inputs) {
    std::error_code unused;
    if (fs::equivalent(file.out_path, input, unused)) {
      return input == file.in_path ? "output would overwrite the input"
                                   : "output would overwrite the input " + input;
    }
  }
  return {};
}

}  // namespace

int run_batch(const std::string& dir, const std::vector<std::string>& files) {
  std::error_code error;
  fs::create_directories(dir, error);
  if (error) {
    std::cerr << "tacetra: " << dir << ": cannot create the directory: " << error.message() << '\n';
    return exit_failed;
  }

  int status = exit_done;
  auto report = [&](const std::string& what, const std::string& outcome) {
    std::cout << what << ": " << outcome << std::endl;
  };

  std::deque<planned_file> waiting;
  std::map<std::string, std::string> outputs;
  for (const std::string& in_path : files) {
    planned_file file{in_path, (fs::path(dir) / fs::path(in_path).filename()).string()};
    if (const std::string reason = clash(file, outputs, files); !reason.empty()) {
      report(in_path, reason);
      status = exit_failed;
      continue;
    }
    outputs.emplace(file.out_path, in_path);
    waiting.push_back(std::move(file));
  }

  std::vector<std::unique_ptr<running_file>> running;
  bool cancelling = false;
  while (!waiting.empty() || !running.empty()) {
    if (interrupted() && !cancelling) {
      cancelling = true;
      std::cerr << "tacetra: interrupted, cancelling the running jobs\n";
      for (auto& r : running) r->work.cancel();
      for (const planned_file& file : waiting) report(file.in_path, "skipped, interrupted");
      waiting.clear();
    }

    while (static_cast<int>(running.size()) < job_slots && !waiting.empty() && !interrupted()) {
      planned_file file = std::move(waiting.front());
      waiting.pop_front();
      const int id = tacetra_start(file.in_path.c_str(), file.out_path.c_str());
      if (id < 0) {
        report(file.in_path, explain_refusal(id, file.in_path, file.out_path).reason);
        status = exit_failed;
        continue;
      }
      running.push_back(std::make_unique<running_file>(std::move(file), id));
    }

    // Leaving the vector frees the slot for the next file.
    std::erase_if(running, [&](const std::unique_ptr<running_file>& r) {
      if (!r->work.finished()) return false;
      const std::string result = r->work.result();
      const std::string what = r->file.in_path + " -> " + r->file.out_path;
      switch (r->work.progress().state) {
        case TACETRA_DONE: report(what, done_summary(result)); break;
        case TACETRA_CANCELLED: report(what, "cancelled, no output left"); break;
        default:
          report(what, "failed: " + string_field(result, "error").value_or("unknown error"));
          status = exit_failed;
      }
      return true;
    });
    if (!running.empty()) std::this_thread::sleep_for(poll_interval);
  }
  return cancelling ? exit_cancelled : status;
}

}  // namespace tacetra_cli
