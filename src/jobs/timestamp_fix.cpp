#include "jobs/timestamp_fix.h"

#include <algorithm>
#include <limits>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace tacetra {
namespace {

std::int64_t middle_of(std::int64_t a, std::int64_t b, std::int64_t c) {
  return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

}  // namespace

std::int64_t copy_start_us(const AVFormatContext& input) {
  if (input.start_time == AV_NOPTS_VALUE) return 0;
  if (!(input.iformat->flags & AVFMT_TS_DISCONT)) return input.start_time;
  std::int64_t first_kept = std::numeric_limits<std::int64_t>::max();
  for (unsigned i = 0; i < input.nb_streams; ++i) {
    const AVStream& st = *input.streams[i];
    if (st.discard == AVDISCARD_ALL || st.start_time == AV_NOPTS_VALUE) continue;
    first_kept = std::min(first_kept, av_rescale_q(st.start_time, st.time_base, AVRational{1, AV_TIME_BASE}));
  }
  return first_kept != std::numeric_limits<std::int64_t>::max() && first_kept > input.start_time ? first_kept
                                                                                                 : input.start_time;
}

void keep_dts_order(AVPacket& packet, std::int64_t& last_dts, const AVStream& out,
                    const AVOutputFormat& format) {
  if (!(format.flags & AVFMT_NOTIMESTAMPS)) {
    // last_dts + 1, where there is no last, is the lowest time there is.
    const std::int64_t next =
        last_dts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE + 1
                                   : (last_dts < std::numeric_limits<std::int64_t>::max() ? last_dts + 1 : last_dts);
    if (packet.dts != AV_NOPTS_VALUE && packet.pts != AV_NOPTS_VALUE && packet.dts > packet.pts) {
      packet.pts = packet.dts = middle_of(packet.pts, packet.dts, next);
    }
    const AVMediaType type = out.codecpar->codec_type;
    const bool ordered_type =
        type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_SUBTITLE;
    // VP9 is left as it is, as FFmpeg's own copy leaves it.
    if (ordered_type && packet.dts != AV_NOPTS_VALUE && out.codecpar->codec_id != AV_CODEC_ID_VP9 &&
        last_dts != AV_NOPTS_VALUE) {
      const std::int64_t lowest = (format.flags & AVFMT_TS_NONSTRICT) ? last_dts : next;
      if (packet.dts < lowest) {
        if (packet.pts >= packet.dts) packet.pts = std::max(packet.pts, lowest);
        packet.dts = lowest;
      }
    }
  }
  last_dts = packet.dts;
}

}  // namespace tacetra
