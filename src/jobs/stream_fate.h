#pragma once

// What a job does with each stream of its input, given the output's
// container: audio goes, video is copied whatever the container says (a
// container that refuses it fails the job at its header), and every other
// stream is copied when the container's muxer takes it, converted when it is
// a text subtitle in a format the container lacks, and left out otherwise.

#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

namespace tacetra {

struct stream_fate {
  enum class kind {
    kept,       // copied packet for packet
    converted,  // a text subtitle re-encoded into `to`
    left_out,   // the container cannot hold it, and it is no text subtitle
    dropped,    // audio, or a codec FFmpeg does not know
  };
  kind what = kind::kept;
  AVCodecID to = AV_CODEC_ID_NONE;
};

// One fate per stream of `input`, in index order, for an output of `format`.
// The muxer itself is asked: it writes a header, into nothing, for the kept
// video streams and one candidate stream at a time.
std::vector<stream_fate> plan_streams(const AVFormatContext& input, const AVOutputFormat& format);

}  // namespace tacetra
