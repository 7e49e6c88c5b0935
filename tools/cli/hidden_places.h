#pragma once

// The program's private directories beside the files it mutes in place,
// recorded so that a second interrupt can remove them, and what they hold,
// from its signal handler before the program ends. POSIX only.
namespace tacetra_cli {

// Records the directory `dir_name` of the directory open on `parent_fd`,
// open itself on `dir_fd`, which holds the copy `copy_name` (and the job's
// partial files beside it). Returns the record's id, or -1 when every record
// is taken (the place is then removed only by the program's normal ways).
// Every descriptor must stay open until the record is forgotten.
int remember_hidden_place(int parent_fd, const char* dir_name, int dir_fd, const char* copy_name);

// The copy is about to replace the file: from now on an interrupt leaves the
// place alone. False when an interrupt is already removing it.
bool hold_hidden_place(int id);

// The place is gone or no longer the handler's to remove.
void forget_hidden_place(int id);

// Removes every recorded place that is not held. Async-signal-safe.
void remove_hidden_places();

}  // namespace tacetra_cli
