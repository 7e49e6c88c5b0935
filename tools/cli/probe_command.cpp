#include <iostream>

#include "commands.h"
#include "exit_status.h"
#include "pretty_json.h"
#include "report_fields.h"
#include "tacetra.h"

namespace tacetra_cli {

int run_probe(const std::vector<std::string>& files, bool pretty) {
  int status = exit_done;
  for (const std::string& file : files) {
    const std::string report = tacetra_probe(file.c_str());
    std::cout << (pretty ? pretty_json(report) : report) << '\n';
    if (bool_field(report, "ok") != true) {
      std::cerr << "tacetra: " << file << ": " << string_field(report, "error").value_or("cannot probe")
                << '\n';
      status = exit_failed;
    }
  }
  return status;
}

}  // namespace tacetra_cli
