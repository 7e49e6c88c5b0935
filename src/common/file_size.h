#pragma once

#include <cstdint>

namespace tacetra {

// Size in bytes of the file at `path`, named as FFmpeg names it ("file:NAME"
// is NAME): 0 when it cannot be opened, -1 when its end position cannot be
// read. Something that is not a regular file (a FIFO, a device, a socket, a
// directory) is -1 without being opened, so the call never waits. Right for
// files over 4 GiB.
std::int64_t file_size(const char* path);

}  // namespace tacetra
