#pragma once

namespace tacetra_cli {

// From now on SIGINT and SIGTERM only raise a flag, so that running jobs can
// be cancelled and their partial outputs removed before the tool exits.
void catch_interrupts();

bool interrupted();

}  // namespace tacetra_cli
