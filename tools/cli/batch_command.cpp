#include <algorithm>
#include <deque>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "batch_line.h"
#include "commands.h"
#include "exit_status.h"
#include "file_facts.h"
#include "in_place_copy.h"
#include "interrupts.h"
#include "job.h"
#include "probe_facts.h"
#include "progress_display.h"
#include "report_fields.h"
#include "space_check.h"
#include "start_refusal.h"
#include "stream_plan.h"
#include "tacetra.h"
#include "terminal.h"
#include "units.h"

namespace fs = std::filesystem;

namespace tacetra_cli {
namespace {

// How much of its input a job has copied, going by media time; 0 when the
// input states no duration.
double copied_share(const progress_report& p) {
  if (p.total_ms <= 0) return 0.0;
  return std::clamp(static_cast<double>(p.processed_ms) / static_cast<double>(p.total_ms), 0.0, 1.0);
}

struct waiting_file {
  planned_file file;
  // Taken when the file's turn first comes, before anything reads it (which
  // may move its access time), and kept while it waits for room.
  bool looked_at = false;
  std::optional<file_facts> before;
  std::optional<probe_facts> probe;
  std::unique_ptr<in_place_copy> copy;  // in place only: holds the file from its first look
  std::string changes;                  // the streams its copy converts or leaves out
};

struct running_file {
  running_file(waiting_file w, space_verdict room, int id)
      : file(std::move(w.file)),
        before(std::move(w.before)),
        changes(std::move(w.changes)),
        copy(std::move(w.copy)),
        room(std::move(room)),
        work(id) {}

  // Of the copy's room, what the job has yet to write.
  std::int64_t room_left(const progress_report& p) const {
    if (!room.known) return 0;
    return static_cast<std::int64_t>(static_cast<double>(room.needed) * (1.0 - copied_share(p)));
  }

  planned_file file;
  std::optional<file_facts> before;
  std::string changes;
  std::unique_ptr<in_place_copy> copy;  // in place only; outlives the job, which may write to it
  space_verdict room;
  job work;  // declared last: freeing its slot comes first
};

std::string done_summary(const std::string& result) {
  const auto in_size = number_field(result, "in_size_bytes").value_or(0);
  const auto out_size = number_field(result, "out_size_bytes").value_or(0);
  const auto saved = number_field(result, "bytes_saved").value_or(0);
  const auto media_ms = number_field(result, "duration_ms").value_or(0);
  const auto elapsed_ms = number_field(result, "elapsed_ms").value_or(0);
  return "done, " + format_size(in_size) + " -> " + format_size(out_size) + " (" + format_size(saved) +
         " saved), " + format_clock(media_ms) + " of media in " + format_clock(elapsed_ms);
}

// One batch: the files waiting and running, what has become of the others,
// and the lines that tell it.
class batch {
 public:
  explicit batch(const mute_options& options) : options_(options), display_(stderr_is_terminal()) {}

  int run(const std::vector<planned_file>& plan) {
    for (const planned_file& file : plan) {
      if (file.refused) {
        refuse(file, *file.refused);
      } else {
        waiting_.push_back(waiting_file{file, false, std::nullopt, std::nullopt, nullptr, {}});
      }
    }
    for (;;) {
      if (interrupted() && !cancelling_) cancel_all();
      start_what_fits();
      collect_finished();
      if (waiting_.empty() && running_.empty()) break;
      display_.update(batch_line(tally(), wall_ms()), wall_ms());
      std::this_thread::sleep_for(poll_interval);
    }
    display_.finish(batch_line(tally(), wall_ms()));
    return cancelling_ ? exit_cancelled : status_.status();
  }

 private:
  // A file that got no job is named alone; one whose job ran, with where
  // its copy went.
  void report(const std::string& who, const std::string& text) {
    display_.clear();
    std::cout << who << ": " << text << std::endl;
  }

  void refuse(const planned_file& file, const std::string& text, int status) {
    report(file.shown_name(), text);
    status_.add(status);
    ++failed_;
  }

  void refuse(const planned_file& file, const refusal& why) {
    if (!why.skipped) return refuse(file, why.reason, why.status);
    report(file.shown_name(), "skipped, " + why.reason);
    ++skipped_;
  }

  void fail(const planned_file& file, const std::string& text) {
    report(file.what(), text);
    status_.add(exit_failed);
    ++failed_;
  }

  void cancel_all() {
    cancelling_ = true;
    display_.clear();
    std::cerr << "tacetra: interrupted, cancelling the running jobs\n";
    for (auto& r : running_) r->work.cancel();
    for (const waiting_file& w : waiting_) {
      report(w.file.shown_name(), "skipped, interrupted");
      ++cancelled_;
    }
    waiting_.clear();
  }

  void start_what_fits() {
    while (static_cast<int>(running_.size()) < job_slots && !waiting_.empty() && !interrupted()) {
      if (!start(waiting_.front())) return;  // waits for room
      waiting_.pop_front();
    }
  }

  // False when the file is to wait until jobs running beside it have
  // written their copies and it can be judged again.
  bool start(waiting_file& w) {
    const planned_file& file = w.file;
    if (!w.looked_at) {
      w.looked_at = true;
      if (file.in_place) {
        w.copy = std::make_unique<in_place_copy>(file.out_path);
        if (const std::string why = w.copy->take_hold(); !why.empty()) {
          refuse(file, "failed: " + why + ", left as it was", exit_cannot_open);
          return true;
        }
        w.before = w.copy->original_facts();
      } else {
        std::error_code unused;
        w.before = facts_of(file.in_path, unused);
      }
      std::string ignored;
      if (options_.space_check && w.before && w.before->regular) w.probe = probe_file(file.in_path, ignored);
      if (w.before && w.before->regular) {
        const std::string& input = w.copy ? w.copy->input_path() : file.in_path;
        w.changes = changed_streams(plan_stream_fates(input, file.out_path));
      }
    }

    space_verdict room;
    if (w.probe) {
      room = judge_space(*w.probe, file.out_path);
      if (!room.fits(room_taken_on(room.device))) {
        if (runs_beside(room.device)) return false;
        refuse(file, not_enough_space(room), exit_no_space);
        return true;
      }
    }

    if (w.copy) {
      if (const std::string why = w.copy->make_place(); !why.empty()) {
        refuse(file, "failed: " + why + ", left as it was", exit_failed);
        return true;
      }
    }
    const std::string& source = w.copy ? w.copy->input_path() : file.in_path;
    const std::string& target = w.copy ? w.copy->copy_path() : file.out_path;
    const int id = tacetra_start(source.c_str(), target.c_str());
    if (id < 0) {
      refuse(file, explain_refusal(id, source, target));
      return true;
    }
    running_.push_back(std::make_unique<running_file>(std::move(w), std::move(room), id));
    return true;
  }

  // Room that the jobs writing to `device` have yet to take.
  std::int64_t room_taken_on(std::uint64_t device) const {
    std::int64_t taken = 0;
    for (const auto& r : running_) {
      if (r->room.known && r->room.device == device) taken += r->room_left(r->work.progress());
    }
    return taken;
  }

  bool runs_beside(std::uint64_t device) const {
    return std::ranges::any_of(running_,
                               [&](const auto& r) { return r->room.known && r->room.device == device; });
  }

  void collect_finished() {
    // Leaving the vector frees the slot for the next file.
    std::erase_if(running_, [&](const std::unique_ptr<running_file>& r) {
      if (!r->work.finished()) return false;
      end_job(*r);
      return true;
    });
  }

  void end_job(running_file& r) {
    const std::string result = r.work.result();
    const planned_file& file = r.file;
    const std::string left_alone = file.in_place ? ", left as it was" : "";
    switch (r.work.progress().state) {
      case TACETRA_DONE:
        if (file.in_place && cancelling_) {
          // Not yet in the file's place: the interrupt asked to leave it be.
          report(file.what(), "cancelled, left as it was");
          ++cancelled_;
        } else if (file.in_place) {
          if (const std::string why = r.copy->replace_original(options_.keep_dates); !why.empty()) {
            fail(file, "failed: " + why + left_alone);
          } else {
            done(file, result, r.changes);
          }
        } else if (std::error_code error;
                   options_.keep_dates && (!r.before || !give_dates(file.out_path, *r.before, error))) {
          fail(file, done_summary(result) + ", but its dates could not be set: " + error.message());
        } else {
          done(file, result, r.changes);
        }
        break;
      case TACETRA_CANCELLED:
        report(file.what(),
               "cancelled, " + (file.in_place ? std::string("left as it was") : "no output left"));
        ++cancelled_;
        break;
      default:
        fail(file, "failed: " + string_field(result, "error").value_or("unknown error") + left_alone);
    }
  }

  void done(const planned_file& file, const std::string& result, const std::string& changes) {
    report(file.what(), done_summary(result) + (changes.empty() ? "" : ", " + changes));
    ++done_;
    done_bytes_ += file.size;
  }

  batch_tally tally() const {
    batch_tally t;
    t.done = done_;
    t.skipped = skipped_;
    t.failed = failed_;
    t.cancelled = cancelled_;
    t.left = static_cast<int>(waiting_.size() + running_.size());
    t.copied_bytes = t.total_bytes = done_bytes_;
    for (const waiting_file& w : waiting_) t.total_bytes += w.file.size;
    for (const auto& r : running_) {
      t.total_bytes += r->file.size;
      t.copied_bytes +=
          static_cast<std::int64_t>(copied_share(r->work.progress()) * static_cast<double>(r->file.size));
    }
    return t;
  }

  std::int64_t wall_ms() const {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now() - started_).count();
  }

  const mute_options& options_;
  progress_display display_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::deque<waiting_file> waiting_;
  std::vector<std::unique_ptr<running_file>> running_;
  bool cancelling_ = false;
  batch_status status_;
  int done_ = 0;
  int skipped_ = 0;
  int failed_ = 0;
  int cancelled_ = 0;
  std::int64_t done_bytes_ = 0;
};

}  // namespace

int run_batch(const std::vector<planned_file>& plan, const mute_options& options,
              const std::string& out_dir) {
  if (!out_dir.empty()) {
    std::error_code error;
    fs::create_directories(out_dir, error);
    if (error) {
      std::cerr << "tacetra: " << out_dir << ": cannot create the directory: " << error.message() << '\n';
      return exit_failed;
    }
  }
  return batch(options).run(plan);
}

}  // namespace tacetra_cli
