#pragma once

namespace tacetra_cli {

// From now on an interrupt only raises a flag, so that running jobs can be
// cancelled and their partial outputs removed before the program exits.
// Interrupts are SIGINT and SIGTERM, and on POSIX systems SIGHUP (the
// terminal went away) and SIGPIPE (whoever read stdout did). There, a
// second SIGINT, SIGTERM or SIGHUP ends the program at once, after removing
// its hidden places (hidden_places.h), and a size limit (SIGXFSZ) fails the
// write that passes it instead of ending the program.
void catch_interrupts();

bool interrupted();

}  // namespace tacetra_cli
