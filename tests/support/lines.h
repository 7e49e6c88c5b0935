// Lines of what a program wrote, for tests that read its output.
#pragma once

#include <string>
#include <vector>

namespace fixtures {

// Split at each '\n'; a last line without one counts too.
std::vector<std::string> lines_of(const std::string& text);

// The last line, its '\n' left off; what follows a '\r' on it, for a line
// that a terminal shows drawn over and over.
std::string last_line(const std::string& text);

}  // namespace fixtures
