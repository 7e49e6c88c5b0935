#pragma once

// What the copy says of the whole file: its tags and its chapters.

#include <cstdint>

extern "C" {
#include <libavformat/avformat.h>
}

namespace tacetra {

// Gives `out` the input's file tags (title, artist, date, comment, the
// recording's creation time and place, ...), all but those that describe
// the writing program or container version rather than the recording.
// Returns false when out of memory.
bool copy_file_tags(const AVFormatContext& in, AVFormatContext& out);

// Gives `out` the input's chapters with their tags, moved back by `shift_us`
// (the amount the copy moves every stream back by, in microseconds): a
// chapter that ends before the new start is left out, one that spans it
// starts at 0. Returns false when out of memory.
bool copy_chapters(const AVFormatContext& in, AVFormatContext& out, std::int64_t shift_us);

}  // namespace tacetra
