#include "reports/probe_report.h"

#include <cstdint>
#include <cstdio>

#include "common/file_size.h"
#include "common/millis.h"
#include "reports/fixed_point.h"

namespace tacetra {
namespace {

// No entry is started once this much of the buffer is used, which leaves
// room for a separator, a whole entry and the closing "]}".
constexpr std::uint64_t stop_after = 65023;
// FFmpeg's format and codec names are short; these bounds only guarantee
// that a header and an entry always fit their room whatever a name holds.
constexpr int max_format_name = 4096;
constexpr int max_codec_name = 256;

const char* type_name(AVMediaType type) {
  switch (type) {
    case AVMEDIA_TYPE_VIDEO: return "video";
    case AVMEDIA_TYPE_AUDIO: return "audio";
    case AVMEDIA_TYPE_SUBTITLE: return "subtitle";
    default: return "other";
  }
}

}  // namespace

void format_probe_report(const AVFormatContext& input, const char* path, char* out) {
  const std::int64_t ms = duration_ms(input.duration);

  int audio_tracks = 0;
  std::uint64_t audio_bytes = 0;
  for (unsigned i = 0; i < input.nb_streams; ++i) {
    const AVCodecParameters& par = *input.streams[i]->codecpar;
    if (par.codec_type != AVMEDIA_TYPE_AUDIO) continue;
    ++audio_tracks;
    // bit/s times ms over 8000 is bytes; formed unsigned so a product past
    // 2^63 still divides exactly, and rounded down stream by stream.
    if (par.bit_rate > 0 && ms > 0) {
      audio_bytes += static_cast<std::uint64_t>(par.bit_rate) * static_cast<std::uint64_t>(ms) / 8000;
    }
  }

  // The size of the file FFmpeg has open, from its I/O context where it has
  // one: the same figure as measuring the path, without opening it again.
  const std::int64_t open_size = input.pb != nullptr ? avio_size(input.pb) : -1;
  const std::int64_t size_bytes = open_size >= 0 ? open_size : file_size(path);
  const char* format = input.iformat != nullptr ? input.iformat->name : "";

  std::uint64_t length = static_cast<std::uint64_t>(std::snprintf(
      out, PROBE_CAPACITY,
      R"({"ok":true,"duration_ms":%lld,"format":"%.*s","size_bytes":%lld,"audio_tracks":%d,)"
      R"("audio_bytes_estimate":%lld,"streams":[)",
      static_cast<long long>(ms), max_format_name, format, static_cast<long long>(size_bytes),
      audio_tracks, static_cast<long long>(audio_bytes)));

  for (unsigned i = 0; i < input.nb_streams; ++i) {
    const AVStream& stream = *input.streams[i];
    const AVCodecParameters& par = *stream.codecpar;
    const char* codec = avcodec_get_name(par.codec_id);
    if (codec == nullptr) codec = "?";
    const AVRational rate = stream.avg_frame_rate;
    const fixed_point fps(rate.den > 0 ? static_cast<double>(rate.num) / static_cast<double>(rate.den) : 0.0, 3);
    if (i != 0) length += std::snprintf(out + length, PROBE_CAPACITY - length, ",");
    length += std::snprintf(
        out + length, PROBE_CAPACITY - length,
        R"({"index":%u,"type":"%s","codec":"%.*s","width":%d,"height":%d,"fps":%s,"bitrate":%lld})",
        i, type_name(par.codec_type), max_codec_name, codec, par.width, par.height, fps.text,
        static_cast<long long>(par.bit_rate));
    if (length > stop_after) break;
  }
  std::snprintf(out + length, PROBE_CAPACITY - length, "]}");
}

}  // namespace tacetra
