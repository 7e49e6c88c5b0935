#pragma once

#include <string>

namespace tacetra_cli {

// A file name as the program prints it: unchanged, unless it holds control
// characters (a newline would forge a line of output, an escape sequence
// would reach the terminal); then quoted as ls and the shell do, $'a\nb'.
std::string display_name(const std::string& name);

}  // namespace tacetra_cli
