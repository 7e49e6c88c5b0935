// Runs test code in a forked child, for process-wide limits (file sizes,
// thread stacks) that the rest of the test process must not feel. POSIX only.
#pragma once

#include <functional>
#include <string>

namespace fixtures {

// Returns what `body` returned in the child. A child that does not exit
// normally, or fails to hand back its whole text, fails the test.
std::string in_child(const std::function<std::string()>& body);

}  // namespace fixtures
