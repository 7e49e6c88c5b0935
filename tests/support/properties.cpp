#include "properties.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <ostream>
#include <stdexcept>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/display.h>
#include <libavutil/mathematics.h>
#include <libavutil/mastering_display_metadata.h>
}

#include "side_data.h"

namespace fixtures {
namespace {

struct InputClose {
  void operator()(AVFormatContext* ic) const { avformat_close_input(&ic); }
};

Rate rate_of(AVRational r) { return {r.num, r.den}; }

std::string tag_value(const AVDictionary* metadata, const char* key) {
  const AVDictionaryEntry* e = av_dict_get(metadata, key, nullptr, 0);
  return e != nullptr ? e->value : "";
}

std::map<std::string, std::string> tags_of(const AVDictionary* metadata) {
  std::map<std::string, std::string> out;
  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_get(metadata, "", e, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
    std::string key = e->key;
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    out[key] = e->value;
  }
  return out;
}

void read_side_data(StreamProperties& p) {
  for (const auto& [type, bytes] : p.side_data) {
    const void* data = bytes.data();
    if (type == AV_PKT_DATA_DISPLAYMATRIX && bytes.size() >= 9 * sizeof(int32_t)) {
      int32_t matrix[9];
      std::memcpy(matrix, data, sizeof matrix);
      p.rotation = av_display_rotation_get(matrix);
    } else if (type == AV_PKT_DATA_MASTERING_DISPLAY_METADATA && bytes.size() >= sizeof(AVMasteringDisplayMetadata)) {
      AVMasteringDisplayMetadata m;
      std::memcpy(&m, data, sizeof m);
      if (m.has_luminance) p.mastering_luminance = {av_q2d(m.min_luminance), av_q2d(m.max_luminance)};
    } else if (type == AV_PKT_DATA_CONTENT_LIGHT_LEVEL && bytes.size() >= sizeof(AVContentLightMetadata)) {
      AVContentLightMetadata l;
      std::memcpy(&l, data, sizeof l);
      p.light_level = {l.MaxCLL, l.MaxFALL};
    }
  }
}

}  // namespace

MediaProperties read_properties(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
    throw std::runtime_error("fixtures: opening " + path);
  std::unique_ptr<AVFormatContext, InputClose> ic(raw);
  if (avformat_find_stream_info(ic.get(), nullptr) < 0)
    throw std::runtime_error("fixtures: reading stream info of " + path);

  MediaProperties out;
  out.start_us = ic->start_time;
  out.duration_us = ic->duration;
  out.tags = tags_of(ic->metadata);
  for (unsigned i = 0; i < ic->nb_chapters; ++i) {
    const AVChapter* ch = ic->chapters[i];
    out.chapters.push_back({av_rescale_q(ch->start, ch->time_base, AVRational{1, 1000}),
                            av_rescale_q(ch->end, ch->time_base, AVRational{1, 1000}),
                            tag_value(ch->metadata, "title")});
  }
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    const AVStream* st = ic->streams[i];
    const AVCodecParameters* par = st->codecpar;
    StreamProperties p;
    p.codec_type = par->codec_type;
    p.codec_id = par->codec_id;
    p.codec_tag = par->codec_tag;
    p.sample_aspect_ratio = rate_of(st->sample_aspect_ratio);
    p.codec_sample_aspect_ratio = rate_of(par->sample_aspect_ratio);
    p.avg_frame_rate = rate_of(st->avg_frame_rate);
    p.r_frame_rate = rate_of(st->r_frame_rate);
    p.side_data = side_data_of(st);
    read_side_data(p);
    p.disposition = st->disposition;
    p.tags = tags_of(st->metadata);
    p.filename = tag_value(st->metadata, "filename");
    p.mimetype = tag_value(st->metadata, "mimetype");
    if (par->extradata != nullptr)
      p.extradata.assign(reinterpret_cast<const char*>(par->extradata), static_cast<size_t>(par->extradata_size));
    if (st->attached_pic.data != nullptr)
      p.attached_pic.assign(reinterpret_cast<const char*>(st->attached_pic.data),
                            static_cast<size_t>(st->attached_pic.size));
    out.streams.push_back(std::move(p));
  }
  return out;
}

std::string fourcc(uint32_t tag) {
  std::string out;
  for (int i = 0; i < 4; ++i) {
    const unsigned c = (tag >> (8 * i)) & 0xff;
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      out += "[" + std::to_string(c) + "]";
    }
  }
  return out;
}

std::ostream& operator<<(std::ostream& os, const Rate& r) { return os << r.num << '/' << r.den; }

std::ostream& operator<<(std::ostream& os, const ChapterProperties& c) {
  return os << '"' << c.title << "\" " << c.start_ms << "-" << c.end_ms << " ms";
}

}  // namespace fixtures
