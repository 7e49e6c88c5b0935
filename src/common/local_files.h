#pragma once

#include "common/av_handles.h"

namespace tacetra {

// Opens a media file for reading, letting FFmpeg detect its format. Only the
// local "file" protocol is allowed, for the file itself and for anything it
// refers to (playlists), so a path can never make the library reach out to
// the network, a pipe or another protocol. Returns FFmpeg's result code.
int open_local_input(const char* path, input_context& input);

// The name of the file FFmpeg opens for `path`: FFmpeg reads "file:NAME" as
// NAME, where the runtime's file functions take the whole text as the name.
const char* ffmpeg_file_name(const char* path);

}  // namespace tacetra
