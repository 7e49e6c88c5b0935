#include "lines.h"

#include <sstream>

namespace fixtures {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string last_line(const std::string& text) {
  const std::vector<std::string> lines = lines_of(text);
  if (lines.empty()) return {};
  const std::string& line = lines.back();
  const auto drawn = line.rfind('\r');
  return drawn == std::string::npos ? line : line.substr(drawn + 1);
}

}  // namespace fixtures
