#pragma once

#include <cstddef>

namespace tacetra {

// Writes into `out` the path that `path` names now, made absolute against
// the current directory, so that it names the same file after the process
// changes its current directory. A "file:" prefix is kept in front of the
// resolved name; a path that FFmpeg would read through another protocol is
// copied unchanged (it is refused wherever it is opened). False when the
// current directory cannot be read or the result does not fit.
bool absolute_path(const char* path, char* out, std::size_t capacity);

}  // namespace tacetra
