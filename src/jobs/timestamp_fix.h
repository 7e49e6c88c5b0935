#pragma once

// Timestamps as muxers take them: where the copy's timeline starts, and
// decoding timestamps that keep their order when the input's do not.

#include <cstdint>

extern "C" {
#include <libavformat/avformat.h>
}

namespace tacetra {

// The input time, in microseconds, that becomes the copy's 0: the input's
// start time. A format whose timestamps may jump (MPEG-TS, MPEG-PS) starts
// instead at the first kept stream, when that comes later: a TS whose audio
// starts before its picture gives a copy whose picture starts at 0. Streams
// the copy drops must already be marked AVDISCARD_ALL. 0 when the input
// states no start.
std::int64_t copy_start_us(const AVFormatContext& input);

// Makes the timestamps of `packet`, bound for `out` in an output of
// `format` and already in `out`'s time base, ones the muxer accepts, as
// FFmpeg's own stream copy does: a decoding timestamp after its
// presentation both become the middle one of the two and one tick after
// the stream's last; a decoding timestamp not above the stream's last
// (below it, where the format allows equal ones) moves to one tick after
// it, and the presentation timestamp with it where that would fall behind.
// `last_dts` is the stream's last written decoding timestamp,
// AV_NOPTS_VALUE before the first, and is updated.
void keep_dts_order(AVPacket& packet, std::int64_t& last_dts, const AVStream& out,
                    const AVOutputFormat& format);

}  // namespace tacetra
