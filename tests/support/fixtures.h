// Tiny media files that tests write for themselves with libavformat, and a
// reader that summarises a file packet by packet, so that a stream copy can be
// checked byte for byte against its input.
//
// Everything here throws std::runtime_error on failure and prints nothing of
// its own (FFmpeg's log is left as the test set it).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

namespace fixtures {

// A missing time; the same value as FFmpeg's AV_NOPTS_VALUE.
inline constexpr int64_t kNoTime = INT64_MIN;

enum class Kind {
  // mpeg4, 32x32, 25 fps, one packet (40 ms) a frame, every frame a keyframe
  // (except with MediaLayout::omit_pts).
  video,
  // AC-3 at MediaLayout::audio_bit_rate, 48 kHz mono, 1536 samples (32 ms) a
  // packet. FLAC (4608 samples, 96 ms a packet) when the bit rate is 0 or
  // the file has no duration.
  audio,
  // One line of text every 200 ms: subrip in .mkv (ASS with
  // MediaLayout::styled_subtitles), text in .nut, mov_text in .mp4 and .mov.
  // Other containers throw.
  subtitle,
  // One packet every 200 ms: smpte_klv in .ts, text in .nut (read back as
  // AVMEDIA_TYPE_DATA in both). Other containers throw.
  data,
  // .mkv only: an attached font, a stream that has no packets.
  attachment,
  // A cover picture, an 8x8 PNG: in .mp4 and .mov a stream of one packet
  // marked as an attached picture; in .mkv an attached file "cover.png" of
  // type image/png (read back as an attached picture too).
  cover,
};

// A tag as FFmpeg's metadata holds it: key and value.
using Tag = std::pair<std::string, std::string>;

struct StreamLayout {
  Kind kind;
  std::vector<Tag> tags;  // e.g. {"language", "eng"}, {"title", "Commentary"}
  int disposition = 0;    // AV_DISPOSITION_* flags, as the muxer is handed them
};

// A chapter of a MediaLayout, in milliseconds of the file's timeline.
struct ChapterLayout {
  int64_t start_ms = 0;
  int64_t end_ms = 0;
  std::string title;
};

// A rational number, as FFmpeg's AVRational; 0/1 where none is stated.
struct Rate {
  int num = 0;
  int den = 1;
  friend bool operator==(const Rate&, const Rate&) = default;
};

enum class VideoCodec {
  mpeg4,
  // HEVC through libx265, 64x64, every frame a keyframe; only where
  // hevc_encoder_available() (FFmpeg builds without libx265 lack it). The
  // MP4 and MOV muxers store its packets with lengths in place of start
  // codes, so the file's payload is not quite what write_media returns.
  hevc,
};

struct MediaLayout {
  std::vector<StreamLayout> streams;  // in this order in the file
  int packets_per_stream = 10;      // attachments get none
  // Timestamp of every stream's first packet. .avi keeps no start time and
  // throws unless this is 0. In .mp4/.mov a subtitle track that starts later
  // than 0 gets one more packet, an empty one at 0 (the muxer insists).
  int64_t start_ms = 0;
  // .avi only, with a video stream. AVI stores no pts at all; the video is
  // encoded with B-frames, and for those streams libavformat's reader hands
  // out the I and P frames without a pts (it fills in the pts of B-frames
  // and of audio packets). The video then no longer has only keyframes.
  bool omit_pts = false;
  // .mkv only, written as a live stream: no duration, no index. Audio turns
  // to FLAC, since libavformat would estimate a duration from an audio bit
  // rate it knows.
  bool no_duration = false;
  // Bit rate of the AC-3 audio (32000, 40000, 48000, 56000, 64000, 80000,
  // 96000, 112000, 128000, 160000, 192000, ...). 0 writes FLAC, whose bit
  // rate libavformat reports as 0; only .mkv and .nut take it.
  int64_t audio_bit_rate = 64000;

  // What every video stream of the file looks like to a player.
  Rate frame_rate{25, 1};  // one packet a frame
  VideoCodec video_codec = VideoCodec::mpeg4;
  // The codec tag as four characters ("hvc1"); empty leaves it to the muxer.
  std::string video_tag;
  // A pixel shape that only the stream states, not the codec parameters
  // (Matroska stores it as a display size); 0/1 for none.
  Rate stream_aspect;
  // Stream side data, none by default. `rotation`: a display matrix made by
  // av_display_rotation_set with so many degrees (MP4 and MOV store it, and
  // libavformat reads it back with the sign turned round). `hdr`: HDR10 mastering display (BT.2020 primaries, D65,
  // 0.005-1000 cd/m2) and content light levels (1000 and 400 cd/m2).
  // `stereo`: a top-bottom stereo 3D layout (Matroska stores it).
  double rotation = 0;
  bool hdr = false;
  bool stereo = false;

  // .mkv only: subtitles in ASS, each line "{\i1}Line N{\i0}" (italics) in
  // the header's one style "Default", instead of SubRip.
  bool styled_subtitles = false;

  // The mime type an attachment is written with.
  std::string attachment_mimetype = "application/x-truetype-font";

  // The file's own tags (title, creation_time, location, ...) and chapters.
  std::vector<Tag> tags;
  std::vector<ChapterLayout> chapters;
  // The video packet of this index is written with the timestamps of the
  // one before it, as some muxers of other programs write them; -1 for
  // none. Only containers that take two equal timestamps (.mkv) accept it.
  int repeat_video_ts_at = -1;
  // Video streams start so much later than the others (a recorder whose
  // sound starts first).
  int64_t video_delay_ms = 0;
};

struct StreamSummary {
  int codec_type = -1;  // AVMediaType
  int codec_id = 0;     // AVCodecID
  int64_t bit_rate = 0;  // codecpar.bit_rate (after avformat_find_stream_info when read)
  int64_t packets = 0;
  uint64_t payload_hash = 0;  // 64-bit FNV-1a over all payload bytes in read order
  int64_t payload_bytes = 0;
  int64_t first_pts_ms = kNoTime;   // of the first packet that has a pts
  int64_t packets_without_pts = 0;  // always 0 for what was written
  // read_media only: every packet's pts, in read order, in the stream's
  // time base (kNoTime where it has none).
  std::vector<int64_t> pts;
};

struct MediaSummary {
  std::vector<StreamSummary> streams;
  // read_media: AVFormatContext::duration after avformat_find_stream_info,
  // kNoTime when unknown. write_media: from the first packet's pts to the
  // last packet's end.
  int64_t duration_us = kNoTime;
  std::string format_name;  // demuxer name when read, muxer name when written
};

// One stream of each kind, in this order, `packets` packets each.
MediaLayout layout_of(const std::vector<Kind>& kinds, int packets = 10);

// Whether write_media can write VideoCodec::hevc.
bool hevc_encoder_available();

// Writes a file; the container follows from the extension (.mkv, .mp4, .mov,
// .nut, .ts, .avi). Returns what was handed to the muxer, in the terms of
// read_media. Throws when the container cannot carry the layout.
// Each write takes milliseconds.
MediaSummary write_media(const std::string& path, const MediaLayout& layout);

// A file that libavformat opens, as FFmpeg metadata text, with no streams.
void write_no_streams(const std::string& path);

// A long input for tests that cancel or free a job mid-copy: `seconds` of
// 320x180 25 fps video of about 24 KB a frame (eight noise frames repeated)
// plus 64 kb/s AC-3 audio; 0.6 MB and 56 packets a second, in any container
// write_media takes. 60 s make 37 MB, written in 0.2-0.5 s; a plain
// video-only stream copy of that took 0.1-0.3 s on the 2-core machine. A
// bigger file per second copies longer but writes longer too: a copy costs
// about what writing does, so write it once and reuse it where you can.
MediaSummary write_long(const std::string& path, int seconds);

// Opens a file with libavformat, runs avformat_find_stream_info and reads
// every packet with av_read_frame.
MediaSummary read_media(const std::string& path);

// Same type, codec, packet count, byte count and payload hash.
bool same_payload(const StreamSummary& a, const StreamSummary& b);

// For test messages: "video/mpeg4 packets=10 bytes=... hash=... ...".
std::ostream& operator<<(std::ostream& os, const StreamSummary& s);

// A fresh directory under the system temporary directory, removed with all
// its contents by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const;  // path() + "/" + name

 private:
  std::string path_;
};

}  // namespace fixtures
