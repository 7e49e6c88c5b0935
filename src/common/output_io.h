#pragma once

extern "C" {
#include <libavformat/avio.h>
}

namespace tacetra {

class write_back;

// An FFmpeg I/O context for writing and seeking through `file` (a job's
// partial file and its write-back); the output context's deleter frees it
// (see av_handles.h). Null when memory runs out.
AVIOContext* new_output_io(write_back& file);

}  // namespace tacetra
