// tacetra_probe as a host sees it: real files written by the tests, read
// through the shared library, each report compared with what FFmpeg itself
// reads from the same file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "tacetra.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

namespace {

using fixtures::Kind;
using nlohmann::json;

constexpr char empty_path_text[] = R"({"ok":false,"error":"empty path"})";
constexpr char no_stream_info_text[] = R"({"ok":false,"error":"no stream info"})";

struct input_close {
  void operator()(AVFormatContext* ctx) const noexcept { avformat_close_input(&ctx); }
};
using opened_input = std::unique_ptr<AVFormatContext, input_close>;

std::string ffmpeg_message(int code) {
  char text[128];
  av_strerror(code, text, sizeof text);
  return text;
}

std::string open_failure_text(int code) {
  // FFmpeg's messages hold nothing that JSON needs escaped.
  return R"({"ok":false,"error":"open: )" + ffmpeg_message(code) + R"("})";
}

std::string format(const char* pattern, auto... values) {
  char text[512];
  std::snprintf(text, sizeof text, pattern, values...);
  return text;
}

// The success report for what FFmpeg reads from `path`, field by field as
// the host is promised it (this process runs in the "C" locale).
std::string report_from_ffmpeg(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) throw std::runtime_error("cannot open " + path);
  const opened_input input(raw);
  if (avformat_find_stream_info(input.get(), nullptr) < 0) throw std::runtime_error("no stream info in " + path);

  const long long ms = input->duration == AV_NOPTS_VALUE ? 0 : input->duration / 1000;
  int audio_tracks = 0;
  unsigned long long estimate = 0;
  std::string entries;
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVStream& st = *input->streams[i];
    const AVCodecParameters& par = *st.codecpar;
    const char* type = par.codec_type == AVMEDIA_TYPE_VIDEO      ? "video"
                       : par.codec_type == AVMEDIA_TYPE_AUDIO    ? "audio"
                       : par.codec_type == AVMEDIA_TYPE_SUBTITLE ? "subtitle"
                                                                 : "other";
    if (par.codec_type == AVMEDIA_TYPE_AUDIO) {
      ++audio_tracks;
      if (par.bit_rate > 0 && ms > 0) estimate += static_cast<unsigned long long>(par.bit_rate) * ms / 8000;
    }
    const double fps = st.avg_frame_rate.den > 0 ? static_cast<double>(st.avg_frame_rate.num) / st.avg_frame_rate.den : 0;
    if (i != 0) entries += ",";
    entries += format(R"({"index":%u,"type":"%s","codec":"%s","width":%d,"height":%d,"fps":%.3f,"bitrate":%lld})", i,
                      type, avcodec_get_name(par.codec_id), par.width, par.height, fps,
                      static_cast<long long>(par.bit_rate));
  }
  return format(R"({"ok":true,"duration_ms":%lld,"format":"%s","size_bytes":%lld,"audio_tracks":%d,)"
                R"("audio_bytes_estimate":%llu,"streams":[)",
                ms, input->iformat->name, static_cast<long long>(std::filesystem::file_size(path)), audio_tracks,
                estimate) +
         entries + "]}";
}

std::string probe(const std::string& path) { return tacetra_probe(path.c_str()); }

TEST(Probe, EmptyAndNullPathsGiveTheEmptyPathText) {
  EXPECT_STREQ(tacetra_probe(nullptr), empty_path_text);
  EXPECT_STREQ(tacetra_probe(""), empty_path_text);
}

struct file_case {
  const char* name;
  const char* file;
  fixtures::MediaLayout layout;
  std::vector<std::string> types;
  int audio_tracks;
  bool has_duration;
  bool has_audio_estimate;
};

void PrintTo(const file_case& c, std::ostream* os) { *os << c.name; }

class ProbeFile : public testing::TestWithParam<file_case> {};

TEST_P(ProbeFile, ReportsWhatFFmpegReads) {
  const file_case& c = GetParam();
  fixtures::TempDir dir;
  const std::string path = dir.file(c.file);
  fixtures::write_media(path, c.layout);

  const std::string text = probe(path);
  EXPECT_EQ(text, report_from_ffmpeg(path));

  // What the file was written to hold, so that the comparison above is about
  // the intended case.
  const json parsed = json::parse(text);
  ASSERT_EQ(parsed["streams"].size(), c.types.size());
  for (std::size_t i = 0; i < c.types.size(); ++i) EXPECT_EQ(parsed["streams"][i]["type"], c.types[i]) << i;
  EXPECT_EQ(parsed["audio_tracks"], c.audio_tracks);
  EXPECT_EQ(parsed["duration_ms"].get<long long>() > 0, c.has_duration);
  EXPECT_EQ(parsed["audio_bytes_estimate"].get<long long>() > 0, c.has_audio_estimate);
  EXPECT_EQ(parsed["size_bytes"].get<long long>(), static_cast<long long>(std::filesystem::file_size(path)));
  // FFmpeg reads "file:PATH" as PATH: the same file, so the same report.
  EXPECT_EQ(probe("file:" + path), text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProbeFile,
    testing::Values(
        file_case{"video_two_audio_subtitle", "full.mp4",
                  {{{Kind::video}, {Kind::audio}, {Kind::audio}, {Kind::subtitle}}},
                  {"video", "audio", "audio", "subtitle"}, 2, true, true},
        file_case{"attachment_and_subtitle", "attached.mkv",
                  {{{Kind::video}, {Kind::audio}, {Kind::subtitle}, {Kind::attachment}}},
                  {"video", "audio", "subtitle", "other"}, 1, true, true},
        file_case{"data_stream", "data.ts", {{{Kind::video}, {Kind::data}}}, {"video", "other"}, 0, true, false},
        file_case{"audio_without_bit_rate", "no_rate.nut",
                  {.streams = {{Kind::video}, {Kind::audio}}, .audio_bit_rate = 0},
                  {"video", "audio"}, 1, true, false},
        file_case{"no_duration", "live.mkv",
                  {.streams = {{Kind::video}, {Kind::audio}}, .no_duration = true},
                  {"video", "audio"}, 1, false, false}),
    [](const testing::TestParamInfo<file_case>& info) { return std::string(info.param.name); });

TEST(Probe, ContainerWithoutStreamsClosesTheEmptyList) {
  fixtures::TempDir dir;
  const std::string path = dir.file("empty.ffmeta");
  fixtures::write_no_streams(path);
  const std::string text = probe(path);
  EXPECT_EQ(text, report_from_ffmpeg(path));
  EXPECT_TRUE(text.ends_with(R"("audio_tracks":0,"audio_bytes_estimate":0,"streams":[]})")) << text;
}

TEST(Probe, FilesThatCannotBeOpenedGiveFFmpegsMessage) {
  fixtures::TempDir dir;
  EXPECT_EQ(probe(dir.file("missing.mkv")), open_failure_text(AVERROR(ENOENT)));
  EXPECT_EQ(probe("file:" + dir.file("missing.mkv")), open_failure_text(AVERROR(ENOENT)));
#ifdef _WIN32
  const int directory_error = AVERROR(EACCES);  // what Windows answers for a directory
#else
  const int directory_error = AVERROR(EISDIR);
#endif
  EXPECT_EQ(probe(dir.path()), open_failure_text(directory_error));
}

TEST(Probe, OtherProtocolsAreRefusedBeforeTheyAreOpened) {
  // Each would connect, read standard input or open other files if it were
  // allowed; refused, FFmpeg gives EINVAL. An FFmpeg built without such a
  // protocol does not know it at all.
  for (const char* path : {"http://127.0.0.1:9/x", "concat:a|b", "pipe:0", "tcp://127.0.0.1:9", "subfile:x"}) {
    const std::string text = probe(path);
    EXPECT_TRUE(text == open_failure_text(AVERROR(EINVAL)) ||
                text == open_failure_text(AVERROR_PROTOCOL_NOT_FOUND))
        << path << ": " << text;
  }
}


struct muxer_free {
  void operator()(AVFormatContext* ctx) const noexcept {
    avio_closep(&ctx->pb);
    avformat_free_context(ctx);
  }
};

// A .nut file that declares one H.264 stream whose packets hold no H.264 at
// all: it opens, but reading its stream information fails.
void write_unreadable_h264(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, nullptr, path.c_str()) < 0) throw std::runtime_error("muxer");
  const std::unique_ptr<AVFormatContext, muxer_free> out(raw);
  AVStream* st = avformat_new_stream(out.get(), nullptr);
  if (st == nullptr) throw std::runtime_error("stream");
  st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  st->codecpar->codec_id = AV_CODEC_ID_H264;
  st->codecpar->width = 32;
  st->codecpar->height = 32;
  st->time_base = {1, 1000};
  if (avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE) < 0 || avformat_write_header(out.get(), nullptr) < 0) {
    throw std::runtime_error("writing " + path);
  }
  const std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                               [](AVPacket* p) { av_packet_free(&p); });
  for (int i = 0; i < 3; ++i) {
    if (av_new_packet(packet.get(), 16) < 0) throw std::runtime_error("packet");
    std::memset(packet->data, 0xff, 16);
    packet->pts = packet->dts = i * 40;
    packet->duration = 40;
    packet->flags = AV_PKT_FLAG_KEY;
    if (av_interleaved_write_frame(out.get(), packet.get()) < 0) throw std::runtime_error("writing a packet");
  }
  if (av_write_trailer(out.get()) < 0) throw std::runtime_error("trailer");
}

TEST(Probe, FileWithoutReadableStreamInformationGivesNoStreamInfo) {
  fixtures::TempDir dir;
  const std::string path = dir.file("garbage.nut");
  write_unreadable_h264(path);
  {
    AVFormatContext* raw = nullptr;
    ASSERT_GE(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), 0);
    const opened_input input(raw);
    ASSERT_LT(avformat_find_stream_info(input.get(), nullptr), 0) << "FFmpeg now reads this file";
  }
  EXPECT_STREQ(tacetra_probe(path.c_str()), no_stream_info_text);
}

TEST(Probe, FpsUsesAFullStopWhateverTheHostsLocale) {
  fixtures::TempDir dir;
  const std::string path = dir.file("clip.mp4");
  fixtures::write_media(path, {{{Kind::video}, {Kind::audio}}});
  const std::string in_c_locale = probe(path);
  ASSERT_NE(in_c_locale.find(R"("fps":25.000,)"), std::string::npos) << in_c_locale;

  // German as glibc and as the Windows runtimes name it.
  const auto german = {"de_DE.UTF-8", "de-DE", "German_Germany.1252"};
  if (std::none_of(german.begin(), german.end(),
                   [](const char* name) { return std::setlocale(LC_ALL, name) != nullptr; })) {
    if (std::getenv("CI") != nullptr) FAIL() << "de_DE.UTF-8 is missing; scripts/install-deps generates it";
    GTEST_SKIP() << "de_DE.UTF-8 is not installed";
  }
  char printed[16];
  std::snprintf(printed, sizeof printed, "%.3f", 25.0);
  const std::string in_german_locale = probe(path);
  std::setlocale(LC_ALL, "C");
  ASSERT_STREQ(printed, "25,000") << "the locale does not write a decimal comma";
  EXPECT_EQ(in_german_locale, in_c_locale);
}

TEST(Probe, EveryCallRewritesTheSameBuffer) {
  fixtures::TempDir dir;
  const std::string path = dir.file("clip.mkv");
  fixtures::write_media(path, {{{Kind::video}, {Kind::audio}}});
  const char* first = tacetra_probe(path.c_str());
  const std::string first_text = first;
  ASSERT_TRUE(json::parse(first_text)["ok"].get<bool>());

  const char* second = tacetra_probe(nullptr);
  EXPECT_EQ(second, first);
  EXPECT_STREQ(second, empty_path_text);
  const char* third = tacetra_probe(path.c_str());
  EXPECT_EQ(third, first);
  EXPECT_EQ(std::string(third), first_text);
}

TEST(Probe, RunsWhileFourJobsCopy) {
  fixtures::TempDir dir;
  const std::string input = dir.file("long.mkv");
  fixtures::write_long(input, 20);
  const std::string small = dir.file("small.mp4");
  fixtures::write_media(small, {{{Kind::video}, {Kind::audio}, {Kind::subtitle}}});
  const std::string expected = probe(small);
  ASSERT_TRUE(json::parse(expected)["ok"].get<bool>()) << expected;

  std::vector<int> ids;
  for (int i = 0; i < TACETRA_MAX_JOBS; ++i) {
    const int id = tacetra_start(input.c_str(), dir.file("out" + std::to_string(i) + ".mkv").c_str());
    ASSERT_GE(id, 0) << i;
    ids.push_back(id);
  }
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(probe(small), expected) << i;
    ASSERT_EQ(probe(input).find(R"({"ok":true,)"), 0u) << i;
  }
  for (const int id : ids) tacetra_free(id);
}

}  // namespace
