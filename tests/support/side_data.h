// Stream side data (display matrix, HDR mastering, stereo 3D, ...) where the
// FFmpeg in use keeps it: on the stream itself before libavformat 60.15
// (FFmpeg 6.1), in the stream's codec parameters from then on.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace fixtures {

// Adds one entry to a stream that is being set up for writing; throws when
// out of memory.
void add_side_data(AVStream* st, AVPacketSideDataType type, const void* data, std::size_t size);

// Every entry of a stream, in order: its type and its bytes.
std::vector<std::pair<int, std::string>> side_data_of(const AVStream* st);

}  // namespace fixtures
