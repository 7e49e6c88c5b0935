#pragma once

// How the worker turns one input stream into a stream of its output: which
// streams it keeps, and what it carries over so that the copy shows and
// times its picture as the input does.

extern "C" {
#include <libavformat/avformat.h>
}

namespace tacetra {

// Audio is what a job removes, and so is a stream the demuxer itself
// discards (it holds what the container keeps elsewhere). A stream whose codec FFmpeg does not know
// (camera timecode, timed metadata) no muxer accepts, so it goes too; an
// attached file that is named and typed is kept whatever its codec, since
// muxers store it by those two alone.
bool keeps_stream(const AVStream& in);

// Sets up `out`, a stream just added to an output of `format`, as the copy
// of `in`: codec parameters, time base, side data, aspect ratio, frame
// rates, codec tag, tags and flags. With `cover_as_file` a cover picture
// becomes an attached file, which takes no packets. Returns false when any
// of it cannot be copied (out of memory).
bool set_up_output_stream(const AVStream& in, AVStream& out, const AVOutputFormat& format,
                          bool cover_as_file);

// Whether the copy of `input` into `format` keeps cover pictures as
// attached files: Matroska does, where the copy has tracks besides them (a
// Matroska file of attachments alone is one that players cannot read).
bool covers_as_files(const AVFormatContext& input, const AVOutputFormat& format);

// Where no stream of a type that has several in the output is marked
// default, marks the first of them that is not a cover picture, so that
// players still pick one, as FFmpeg's own copy does.
void mark_default_streams(AVFormatContext& output);

}  // namespace tacetra
