#include "pretty_json.h"

#include <nlohmann/json.hpp>

namespace tacetra_cli {

std::string pretty_json(const std::string& report) {
  const auto parsed = nlohmann::ordered_json::parse(report, nullptr, false);
  if (parsed.is_discarded()) return report;
  return parsed.dump(2);
}

}  // namespace tacetra_cli
