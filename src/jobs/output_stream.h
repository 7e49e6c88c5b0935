#pragma once

// How the worker turns one input stream into a stream of its output: which
// streams it keeps, and what it carries over so that the copy shows and
// times its picture as the input does.

extern "C" {
#include <libavformat/avformat.h>
}

namespace tacetra {

// Audio is what a job removes. A stream whose codec FFmpeg does not know
// (camera timecode, timed metadata) no muxer accepts, so it goes too; an
// attached file that is named and typed is kept whatever its codec, since
// muxers store it by those two alone.
bool keeps_stream(const AVStream& in);

// Sets up `out`, a stream just added to an output of `format`, as the copy
// of `in`: codec parameters, time base, side data, aspect ratio, frame
// rates, codec tag, and an attachment's name and type. Returns false when
// any of it cannot be copied (out of memory).
bool set_up_output_stream(const AVStream& in, AVStream& out, const AVOutputFormat& format);

}  // namespace tacetra
