// tacetra: the command-line host of the library, using only its public
// interface.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "commands.h"
#include "display_name.h"
#include "exit_status.h"
#include "interrupts.h"
#include "mute_plan.h"
#include "tacetra.h"

using namespace tacetra_cli;

namespace {

int run(int argc, char** argv) {
  CLI::App app{"Strips the audio out of video files without re-encoding, and describes media files.",
               "tacetra"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string(tacetra_version()), "Print the library's version");

  std::vector<std::string> probe_files;
  bool probe_pretty = false;
  CLI::App* probe = app.add_subcommand("probe", "Print each file's report, one line of JSON per file");
  probe->add_option("FILE", probe_files, "Media files")->required();
  probe->add_flag("--pretty", probe_pretty, "Indent the JSON");

  std::vector<std::string> mute_files;
  std::string to_dir;
  bool in_place = false;
  bool dry_run = false;
  bool no_space_check = false;
  mute_options options;
  CLI::App* mute = app.add_subcommand(
      "mute",
      "Copy INPUT to OUTPUT without its audio, with --to every FILE into DIR, or with --in-place "
      "replace every FILE by its copy");
  mute->add_option("FILE", mute_files, "INPUT OUTPUT, or with --to or --in-place the files to mute")
      ->required();
  CLI::Option* to =
      mute->add_option("--to", to_dir, "Write each FILE's copy into DIR under its own name, four at a time");
  to->type_name("DIR");
  mute->add_flag("--in-place", in_place,
                 "Replace each FILE by its copy once the copy is complete, four at a time")
      ->excludes(to);
  mute->add_flag("--keep-dates", options.keep_dates,
                 "Give each copy its input's modification and access times");
  mute->add_flag("--no-space-check", no_space_check,
                 "Start a job even when its copy looks too big for the free space");
  mute->add_flag(
      "--dry-run", dry_run,
      "Write nothing; show for each file the streams kept and dropped, the bytes saved and any refusal");
  mute->add_flag("--pretty", options.pretty, "Indent the result JSON (one file only)");

  CLI::App* version = app.add_subcommand("version", "Print the library's version");

  // CLI11 would call it an unexpected argument.
  const auto known = [&](const std::string& name) {
    const auto all = app.get_subcommands([](CLI::App*) { return true; });
    return std::ranges::any_of(all, [&](CLI::App* command) { return command->check_name(name); });
  };
  if (argc > 1 && argv[1][0] != '-' && !known(argv[1])) {
    std::cerr << "tacetra: unknown command '" << display_name(argv[1])
              << "'; the commands are probe, mute and version (see tacetra --help)\n";
    return exit_usage;
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? exit_done : exit_usage;
  }

  if (*version) {
    std::cout << tacetra_version() << '\n';
    return exit_done;
  }
  if (*probe) return run_probe(probe_files, probe_pretty);

  options.space_check = !no_space_check;
  const bool one_file = to->count() == 0 && !in_place;
  if (one_file && mute_files.size() != 2) {
    std::cerr << "tacetra mute: give INPUT and OUTPUT, or --to DIR or --in-place and the files to mute\n";
    return exit_usage;
  }
  const std::vector<planned_file> plan = in_place    ? plan_in_place(mute_files)
                                         : !one_file ? plan_into_directory(to_dir, mute_files)
                                                     : std::vector{plan_one(mute_files[0], mute_files[1])};
  if (dry_run) return run_dry_run(plan, options, one_file);

  catch_interrupts();
  if (one_file) return run_mute(plan.front(), options);
  return run_batch(plan, options, in_place ? std::string() : to_dir);
}

}  // namespace

int main(int argc, char** argv) {
  const int status = run(argc, argv);
  // A line that never reached stdout (a full disk, a closed pipe) is a
  // result the user does not have.
  std::cout.flush();
  if (!std::cout || std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::cerr << "tacetra: cannot write to standard output\n";
    return status == exit_done ? exit_failed : status;
  }
  return status;
}
