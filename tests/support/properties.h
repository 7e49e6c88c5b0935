// What a media file tells a player about its streams beyond their packets:
// the picture's shape, rate and orientation, HDR data, codec tags, the names
// of attached files, and where the file's timeline starts.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fixtures.h"

namespace fixtures {

struct StreamProperties {
  int codec_type = -1;  // AVMediaType
  int codec_id = 0;     // AVCodecID
  uint32_t codec_tag = 0;
  Rate sample_aspect_ratio;        // the stream's
  Rate codec_sample_aspect_ratio;  // its codec parameters'
  Rate avg_frame_rate;
  Rate r_frame_rate;
  // Every side-data entry of the stream: its AVPacketSideDataType and bytes.
  std::vector<std::pair<int, std::string>> side_data;
  // Read from the side data: the display matrix's rotation in degrees
  // counter-clockwise, the mastering display's luminance range and the
  // content light levels (cd/m2).
  std::optional<double> rotation;
  std::optional<std::pair<double, double>> mastering_luminance;  // min, max
  std::optional<std::pair<unsigned, unsigned>> light_level;     // MaxCLL, MaxFALL
  int disposition = 0;  // AV_DISPOSITION_* flags
  // Every tag, keys in lower case (Matroska's reader keeps the case they
  // were written in).
  std::map<std::string, std::string> tags;
  std::string filename;  // metadata, as attachments carry
  std::string mimetype;
  std::string extradata;
  std::string attached_pic;  // the picture's bytes, for a cover
};

struct ChapterProperties {
  int64_t start_ms = 0;
  int64_t end_ms = 0;
  std::string title;
  friend bool operator==(const ChapterProperties&, const ChapterProperties&) = default;
};

struct MediaProperties {
  int64_t start_us = kNoTime;     // AVFormatContext::start_time
  int64_t duration_us = kNoTime;  // AVFormatContext::duration
  std::map<std::string, std::string> tags;  // the file's, keys in lower case
  std::vector<ChapterProperties> chapters;
  std::vector<StreamProperties> streams;
};

// Opens a file with libavformat and runs avformat_find_stream_info.
MediaProperties read_properties(const std::string& path);

// "hvc1" for MKTAG('h','v','c','1'); non-printable bytes as [NN].
std::string fourcc(uint32_t tag);

std::ostream& operator<<(std::ostream& os, const Rate& r);
std::ostream& operator<<(std::ostream& os, const ChapterProperties& c);

}  // namespace fixtures
