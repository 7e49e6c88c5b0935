// tacetra: the command-line host of the library, using only its public
// interface.
#include <CLI/CLI.hpp>
#include <iostream>

#include "commands.h"
#include "exit_status.h"
#include "interrupts.h"
#include "tacetra.h"

using namespace tacetra_cli;

int main(int argc, char** argv) {
  CLI::App app{"Strips the audio out of video files without re-encoding, and describes media files.",
               "tacetra"};
  app.require_subcommand(1);

  std::vector<std::string> probe_files;
  bool probe_pretty = false;
  CLI::App* probe = app.add_subcommand("probe", "Print each file's report, one line of JSON per file");
  probe->add_option("FILE", probe_files, "Media files")->required();
  probe->add_flag("--pretty", probe_pretty, "Indent the JSON");

  std::vector<std::string> mute_files;
  std::string to_dir;
  bool mute_pretty = false;
  CLI::App* mute = app.add_subcommand(
      "mute", "Copy INPUT to OUTPUT without its audio, or with --to every FILE into DIR");
  mute->add_option("FILE", mute_files, "INPUT OUTPUT, or with --to the files to mute")->required();
  CLI::Option* to = mute->add_option("--to", to_dir, "Write each FILE's copy into DIR under its own name, four at a time");
  to->type_name("DIR");
  mute->add_flag("--pretty", mute_pretty, "Indent the result JSON (one file only)");

  CLI::App* version = app.add_subcommand("version", "Print the library's version");

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

  catch_interrupts();
  if (to->count() > 0) return run_batch(to_dir, mute_files);
  if (mute_files.size() != 2) {
    std::cerr << "tacetra mute: give INPUT and OUTPUT, or --to DIR and the files to mute\n";
    return exit_usage;
  }
  return run_mute(mute_files[0], mute_files[1], mute_pretty);
}
