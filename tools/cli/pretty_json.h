#pragma once

#include <string>

namespace tacetra_cli {

// The report indented, its keys in their order; the text unchanged when a
// JSON parser cannot take it (a path that is not UTF-8, say).
std::string pretty_json(const std::string& report);

}  // namespace tacetra_cli
