#pragma once

// Re-encoding of text subtitles from one text format into another, for an
// output container that cannot hold the input's own. Text subtitles are the
// one thing a job ever re-encodes: every cue keeps its text, its styling as
// far as the target format has it, and its timing to the input's tick.

#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace tacetra {

// Text subtitles (SubRip, ASS/SSA, WebVTT, mov_text, plain text, ...):
// cues that FFmpeg decodes to text, not pictures.
bool is_text_subtitle(AVCodecID id);

// The text formats a stream of `from` may become, best first: ASS keeps an
// ASS/SSA source's styling; others go to SubRip, whose tags keep bold,
// italics and colours, or to mov_text, the one text format MP4 holds.
std::vector<AVCodecID> text_subtitle_targets(AVCodecID from);

struct codec_context_deleter {
  void operator()(AVCodecContext* ctx) const noexcept { avcodec_free_context(&ctx); }
};
using codec_context = std::unique_ptr<AVCodecContext, codec_context_deleter>;

// Turns the packets of one text subtitle stream into packets of another
// text format.
class subtitle_converter {
 public:
  // Opens a decoder for `in` and an encoder for `to`. False when this
  // FFmpeg lacks either, or either refuses to open.
  bool open(const AVStream& in, AVCodecID to);

  // The converted stream's codec parameters (its header in the extradata).
  int output_parameters(AVCodecParameters& par) const;

  enum class result { cue, no_cue, failed };

  // Replaces the payload of `packet`, a packet of the input stream, with its
  // cue in the target format. Its pts is kept (its dts becomes the pts, as
  // subtitles are never reordered) and so is its duration, or the cue's own
  // display time in the input's time base when the packet states none.
  // no_cue: the packet held nothing to show (an empty mov_text sample that
  // only ends the previous cue; the target formats carry durations).
  // failed: out of memory or an encoder failure. The packet is left
  // unreferenced unless the result is cue.
  result convert(AVPacket& packet);

 private:
  codec_context decoder_;
  codec_context encoder_;
  AVRational time_base_{0, 1};
  std::vector<std::uint8_t> buffer_;  // the encoder's output, reused
};

}  // namespace tacetra
