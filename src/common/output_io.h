#pragma once

extern "C" {
#include <libavformat/avio.h>
}

namespace tacetra {

class partial_file;

// An FFmpeg I/O context for writing and seeking through `file`'s own handle;
// the output context's deleter frees it (see av_handles.h). Null when
// memory runs out.
AVIOContext* new_output_io(partial_file& file);

}  // namespace tacetra
