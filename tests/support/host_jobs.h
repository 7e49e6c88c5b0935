// Jobs as a host sees them, through the public header only: for the test
// programs linked with the shared library.
#pragma once

namespace fixtures {

// Done, cancelled or failed.
bool is_final(int state);

// Polls a job until it ends or its slot is free, and returns that state. A
// hang fails the test instead of the whole run.
int wait_for_end(int id);

}  // namespace fixtures
