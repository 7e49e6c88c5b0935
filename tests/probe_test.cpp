#include "reports/probe_report.h"

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "support/fixtures.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

using nlohmann::json;
using tacetra::PROBE_CAPACITY;

struct context_free {
  void operator()(AVFormatContext* ctx) const noexcept { avformat_free_context(ctx); }
};
using built_context = std::unique_ptr<AVFormatContext, context_free>;

struct stream_layout {
  AVMediaType type = AVMEDIA_TYPE_VIDEO;
  AVCodecID codec = AV_CODEC_ID_MPEG4;
  int width = 0;
  int height = 0;
  AVRational rate = {0, 0};
  std::int64_t bit_rate = 0;
};

stream_layout audio(std::int64_t bit_rate) { return {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_MP2, 0, 0, {0, 0}, bit_rate}; }

// A context as a demuxer would leave it, filled by hand so that the report
// can be fed values no muxer writes.
built_context make_context(std::int64_t duration_us, const std::vector<stream_layout>& streams,
                           const AVInputFormat* format = nullptr) {
  built_context ctx(avformat_alloc_context());
  if (!ctx) throw std::bad_alloc();
  ctx->max_streams = INT_MAX;
  ctx->duration = duration_us;
  ctx->iformat = format;
  for (const stream_layout& s : streams) {
    AVStream* st = avformat_new_stream(ctx.get(), nullptr);
    if (st == nullptr) throw std::bad_alloc();
    st->codecpar->codec_type = s.type;
    st->codecpar->codec_id = s.codec;
    st->codecpar->width = s.width;
    st->codecpar->height = s.height;
    st->codecpar->bit_rate = s.bit_rate;
    st->avg_frame_rate = s.rate;
  }
  return ctx;
}

// The report written into a buffer with guard bytes behind it, which must
// come through untouched.
std::string report(const AVFormatContext& ctx, const char* path = "/nonexistent/probe-input") {
  constexpr std::size_t guard = 64;
  std::vector<char> buffer(PROBE_CAPACITY + guard, '#');
  tacetra::format_probe_report(ctx, path, buffer.data());
  for (std::size_t i = PROBE_CAPACITY; i < buffer.size(); ++i) {
    if (buffer[i] != '#') throw std::runtime_error("report written past its buffer");
  }
  const char* begin = buffer.data();
  const auto* end = static_cast<const char*>(std::memchr(begin, '\0', PROBE_CAPACITY));
  if (end == nullptr) throw std::runtime_error("report not terminated inside its buffer");
  return std::string(begin, end);
}

// Everything from the list of streams on.
std::string streams_part(const std::string& text) { return text.substr(text.find(R"("streams":[)")); }

// Switches to a locale that writes decimals with a comma for as long as it
// lives, and back to "C" after.
class comma_locale {
 public:
  // German as glibc and as the Windows runtimes name it.
  comma_locale() {
    for (const char* name : {"de_DE.UTF-8", "de-DE", "German_Germany.1252"}) {
      if (std::setlocale(LC_ALL, name) != nullptr) {
        active_ = true;
        return;
      }
    }
  }
  ~comma_locale() { std::setlocale(LC_ALL, "C"); }
  comma_locale(const comma_locale&) = delete;
  comma_locale& operator=(const comma_locale&) = delete;
  bool active() const { return active_; }

 private:
  bool active_ = false;
};

TEST(ProbeReport, WritesEveryFieldInItsPlace) {
  fixtures::TempDir dir;
  const std::string path = dir.file("input.bin");
  std::ofstream(path, std::ios::binary) << std::string(777, 'x');
  const built_context ctx = make_context(
      2'500'000,
      {{AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_H264, 1920, 1080, {30000, 1001}, 0},
       {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_AAC, 0, 0, {0, 0}, 128000},
       {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_OPUS, 0, 0, {0, 1}, 96000},
       {AVMEDIA_TYPE_SUBTITLE, AV_CODEC_ID_SUBRIP, 0, 0, {0, 0}, 0},
       {AVMEDIA_TYPE_DATA, AV_CODEC_ID_NONE, 0, 0, {0, 0}, 0}},
      av_find_input_format("matroska"));

  EXPECT_EQ(report(*ctx, path.c_str()),
            R"({"ok":true,"duration_ms":2500,"format":"matroska,webm","size_bytes":777,"audio_tracks":2,)"
            R"("audio_bytes_estimate":70000,"streams":[)"
            R"({"index":0,"type":"video","codec":"h264","width":1920,"height":1080,"fps":29.970,"bitrate":0},)"
            R"({"index":1,"type":"audio","codec":"aac","width":0,"height":0,"fps":0.000,"bitrate":128000},)"
            R"({"index":2,"type":"audio","codec":"opus","width":0,"height":0,"fps":0.000,"bitrate":96000},)"
            R"({"index":3,"type":"subtitle","codec":"subrip","width":0,"height":0,"fps":0.000,"bitrate":0},)"
            R"({"index":4,"type":"other","codec":"none","width":0,"height":0,"fps":0.000,"bitrate":0}]})");
}

TEST(ProbeReport, ContextWithoutStreamsClosesTheEmptyList) {
  const built_context ctx = make_context(AV_NOPTS_VALUE, {});
  EXPECT_EQ(report(*ctx),
            R"({"ok":true,"duration_ms":0,"format":"","size_bytes":0,"audio_tracks":0,)"
            R"("audio_bytes_estimate":0,"streams":[]})");
}

struct entry_case {
  const char* name;
  stream_layout stream;
  std::string entry;  // the one entry, as listed
  int audio_tracks;
};

void PrintTo(const entry_case& c, std::ostream* os) { *os << c.name; }

class ProbeEntry : public testing::TestWithParam<entry_case> {};

TEST_P(ProbeEntry, ListsTheStreamAsItIs) {
  const entry_case& c = GetParam();
  const built_context ctx = make_context(1'000'000, {c.stream});
  const std::string text = report(*ctx);
  EXPECT_EQ(streams_part(text), R"("streams":[)" + c.entry + "]}");
  const json parsed = json::parse(text);
  EXPECT_EQ(parsed["audio_tracks"], c.audio_tracks);
}

// Rates and values no muxer writes, straight into the context.
INSTANTIATE_TEST_SUITE_P(
    Table, ProbeEntry,
    testing::Values(
        entry_case{"fps_60_over_2", {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MPEG4, 32, 32, {60, 2}, 0},
                   R"({"index":0,"type":"video","codec":"mpeg4","width":32,"height":32,"fps":30.000,"bitrate":0})", 0},
        entry_case{"fps_1_over_3", {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MPEG4, 32, 32, {1, 3}, 0},
                   R"({"index":0,"type":"video","codec":"mpeg4","width":32,"height":32,"fps":0.333,"bitrate":0})", 0},
        entry_case{"fps_2_over_3_rounds_up", {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MPEG4, 32, 32, {2, 3}, 0},
                   R"({"index":0,"type":"video","codec":"mpeg4","width":32,"height":32,"fps":0.667,"bitrate":0})", 0},
        entry_case{"fps_negative", {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MPEG4, 32, 32, {-1, 1}, 0},
                   R"({"index":0,"type":"video","codec":"mpeg4","width":32,"height":32,"fps":-1.000,"bitrate":0})", 0},
        entry_case{"fps_den_zero", {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MPEG4, 32, 32, {25, 0}, 0},
                   R"({"index":0,"type":"video","codec":"mpeg4","width":32,"height":32,"fps":0.000,"bitrate":0})", 0},
        entry_case{"fps_den_negative", {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MPEG4, 32, 32, {-25, -1}, 0},
                   R"({"index":0,"type":"video","codec":"mpeg4","width":32,"height":32,"fps":0.000,"bitrate":0})", 0},
        entry_case{"extremes_unchanged", {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MPEG4, -1, INT_MIN, {INT_MIN, 1}, INT64_MIN},
                   R"({"index":0,"type":"video","codec":"mpeg4","width":-1,"height":-2147483648,)"
                   R"("fps":-2147483648.000,"bitrate":-9223372036854775808})", 0},
        entry_case{"subtitle", {AVMEDIA_TYPE_SUBTITLE, AV_CODEC_ID_MOV_TEXT, 0, 0, {0, 1}, 0},
                   R"({"index":0,"type":"subtitle","codec":"mov_text","width":0,"height":0,"fps":0.000,"bitrate":0})", 0},
        entry_case{"data_is_other", {AVMEDIA_TYPE_DATA, AV_CODEC_ID_SMPTE_KLV, 0, 0, {0, 0}, 8000},
                   R"({"index":0,"type":"other","codec":"klv","width":0,"height":0,"fps":0.000,"bitrate":8000})", 0},
        entry_case{"attachment_is_other", {AVMEDIA_TYPE_ATTACHMENT, AV_CODEC_ID_TTF, 0, 0, {0, 0}, 0},
                   R"({"index":0,"type":"other","codec":"ttf","width":0,"height":0,"fps":0.000,"bitrate":0})", 0},
        entry_case{"unknown_is_other", {AVMEDIA_TYPE_UNKNOWN, AV_CODEC_ID_NONE, 0, 0, {0, 0}, 0},
                   R"({"index":0,"type":"other","codec":"none","width":0,"height":0,"fps":0.000,"bitrate":0})", 0},
        entry_case{"audio_bit_rate_zero", audio(0),
                   R"({"index":0,"type":"audio","codec":"mp2","width":0,"height":0,"fps":0.000,"bitrate":0})", 1},
        entry_case{"audio_bit_rate_negative", audio(-64000),
                   R"({"index":0,"type":"audio","codec":"mp2","width":0,"height":0,"fps":0.000,"bitrate":-64000})", 1}),
    [](const testing::TestParamInfo<entry_case>& info) { return std::string(info.param.name); });

TEST(ProbeReport, FpsHasTheDigitsOfPrintfInTheCLocale) {
  const std::vector<AVRational> rates = {{30000, 1001}, {24000, 1001}, {1, 2000}, {3, 2000},  {5, 16},
                                         {INT_MAX, 1},  {INT_MIN, 7},  {1, INT_MAX}, {-7, 3}, {0, 5}};
  for (const AVRational rate : rates) {
    const built_context ctx = make_context(1'000'000, {{AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MPEG4, 0, 0, rate, 0}});
    char expected[64];
    std::snprintf(expected, sizeof expected, "%.3f", static_cast<double>(rate.num) / rate.den);
    EXPECT_NE(report(*ctx).find(std::string(R"("fps":)") + expected + ","), std::string::npos)
        << rate.num << '/' << rate.den;
  }
}

TEST(ProbeReport, FpsUsesAFullStopWhateverTheLocale) {
  comma_locale locale;
  if (!locale.active()) {
    if (std::getenv("CI") != nullptr) FAIL() << "de_DE.UTF-8 is missing; scripts/install-deps generates it";
    GTEST_SKIP() << "de_DE.UTF-8 is not installed";
  }
  char printed[16];
  std::snprintf(printed, sizeof printed, "%.3f", 0.5);
  ASSERT_STREQ(printed, "0,500") << "the locale does not write a decimal comma";

  const built_context ctx = make_context(1'000'000, {{AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MPEG4, 0, 0, {30000, 1001}, 0},
                                                     {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MPEG4, 0, 0, {1, 3}, 0}});
  const std::string text = report(*ctx);
  EXPECT_NE(text.find(R"("fps":29.970,)"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("fps":0.333,)"), std::string::npos) << text;
  EXPECT_NO_THROW(json::parse(text)) << text;
}

struct estimate_case {
  const char* name;
  std::int64_t duration_us;
  std::vector<stream_layout> streams;
  long long duration_ms;
  int audio_tracks;
  unsigned long long estimate;
};

void PrintTo(const estimate_case& c, std::ostream* os) { *os << c.name; }

class ProbeEstimate : public testing::TestWithParam<estimate_case> {};

TEST_P(ProbeEstimate, CountsEveryAudioStreamAndEstimatesItsBytes) {
  const estimate_case& c = GetParam();
  const built_context ctx = make_context(c.duration_us, c.streams);
  const json parsed = json::parse(report(*ctx));
  EXPECT_EQ(parsed["duration_ms"].get<long long>(), c.duration_ms);
  EXPECT_EQ(parsed["audio_tracks"].get<int>(), c.audio_tracks);
  EXPECT_EQ(parsed["audio_bytes_estimate"].get<unsigned long long>(), c.estimate);
  EXPECT_EQ(parsed["streams"].size(), c.streams.size());
}

const stream_layout video_with_rate{AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MPEG4, 32, 32, {25, 1}, 1'000'000};

INSTANTIATE_TEST_SUITE_P(
    Table, ProbeEstimate,
    testing::Values(
        // 12.5 bytes each, rounded down stream by stream.
        estimate_case{"two_streams_round_down_each", 1'000'000, {audio(100), audio(100)}, 1000, 2, 24},
        estimate_case{"no_duration", AV_NOPTS_VALUE, {audio(64000), audio(64000)}, 0, 2, 0},
        estimate_case{"duration_below_a_millisecond", 999, {audio(64000)}, 0, 1, 0},
        estimate_case{"duration_truncated_to_milliseconds", 1'999'999, {audio(8000)}, 1999, 1, 1999},
        estimate_case{"negative_duration", -2'000'000, {audio(64000)}, -2000, 1, 0},
        estimate_case{"zero_and_negative_rates_still_count", 1'000'000, {audio(0), audio(-64000), audio(8000)}, 1000, 3,
                      1000},
        estimate_case{"other_types_never_count", 1'000'000,
                      {video_with_rate,
                       {AVMEDIA_TYPE_SUBTITLE, AV_CODEC_ID_SUBRIP, 0, 0, {0, 0}, 8000},
                       {AVMEDIA_TYPE_DATA, AV_CODEC_ID_SMPTE_KLV, 0, 0, {0, 0}, 8000},
                       {AVMEDIA_TYPE_ATTACHMENT, AV_CODEC_ID_TTF, 0, 0, {0, 0}, 8000},
                       {AVMEDIA_TYPE_UNKNOWN, AV_CODEC_ID_NONE, 0, 0, {0, 0}, 8000}},
                      1000, 0, 0},
        // 3 ms at 2^62 bit/s: a product of 3 * 2^62, past 2^63.
        estimate_case{"product_past_2_pow_63", 3'000, {audio(INT64_C(1) << 62)}, 3, 1, 1729382256910270ULL},
        // 2 ms at INT64_MAX bit/s: a product of 2^64 - 2.
        estimate_case{"product_just_below_2_pow_64", 2'000, {audio(INT64_MAX)}, 2, 1, 2305843009213693ULL}),
    [](const testing::TestParamInfo<estimate_case>& info) { return std::string(info.param.name); });

struct format_case {
  const char* name;
  std::string format_name;  // empty: the context has no input format
  std::string inserted;
};

void PrintTo(const format_case& c, std::ostream* os) { *os << c.name; }

class ProbeFormatName : public testing::TestWithParam<format_case> {};

TEST_P(ProbeFormatName, IsInsertedUnescapedAndBounded) {
  const format_case& c = GetParam();
  AVInputFormat format{};
  format.name = c.format_name.c_str();
  const built_context ctx = make_context(1'000'000, {audio(8000)}, c.format_name.empty() ? nullptr : &format);
  const std::string text = report(*ctx);
  const std::string expected_head = R"({"ok":true,"duration_ms":1000,"format":")" + c.inserted + R"(","size_bytes":0,)";
  EXPECT_EQ(text.substr(0, expected_head.size()), expected_head);
  EXPECT_EQ(streams_part(text),
            R"("streams":[{"index":0,"type":"audio","codec":"mp2","width":0,"height":0,"fps":0.000,"bitrate":8000}]})");
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProbeFormatName,
    testing::Values(format_case{"no_input_format", "", ""},
                    format_case{"needs_escaping", "a\"b\\c\td", "a\"b\\c\td"},
                    format_case{"exactly_4096_bytes", std::string(4096, 'f'), std::string(4096, 'f')},
                    format_case{"cut_at_4096_bytes", std::string(5000, 'f'), std::string(4096, 'f')}),
    [](const testing::TestParamInfo<format_case>& info) { return std::string(info.param.name); });

// Positions of "," + the entry with `index`, or npos.
std::size_t separator_before(const std::string& text, std::size_t index) {
  return text.find(R"(,{"index":)" + std::to_string(index) + ",");
}

// Makes the entries of the first streams `extra` bytes longer in all, by
// giving them widths with more digits.
void lengthen(std::vector<stream_layout>& streams, int extra) {
  for (stream_layout& s : streams) {
    if (extra == 0) return;
    const int digits = std::min(extra, 9);
    int width = 1;
    for (int i = 0; i < digits; ++i) width *= 10;
    s.width = width;  // "1" followed by `digits` zeros, in place of "0"
    extra -= digits;
  }
}

void expect_whole_report(const char* label, const std::string& text, const std::vector<stream_layout>& streams,
                         int audio_tracks, unsigned long long estimate) {
  SCOPED_TRACE(label);
  ASSERT_LT(text.size(), PROBE_CAPACITY);
  json parsed;
  ASSERT_NO_THROW(parsed = json::parse(text)) << text.substr(text.size() - 300);
  EXPECT_EQ(parsed["audio_tracks"].get<int>(), audio_tracks);
  EXPECT_EQ(parsed["audio_bytes_estimate"].get<unsigned long long>(), estimate);
  const json& listed = parsed["streams"];
  ASSERT_LT(listed.size(), streams.size());
  for (std::size_t i = 0; i < listed.size(); ++i) {
    ASSERT_EQ(listed[i].size(), 7u) << i;
    ASSERT_EQ(listed[i]["index"].get<std::size_t>(), i);
    ASSERT_EQ(listed[i]["width"].get<int>(), streams[i].width) << i;
    ASSERT_EQ(listed[i]["bitrate"].get<std::int64_t>(), streams[i].bit_rate) << i;
  }
}

TEST(ProbeReport, StopsListingOnlyOnceTheTextPasses65023Bytes) {
  // Every third stream is audio worth 1,000 bytes over the second, so the
  // header's figures show whether streams left out of the list still count.
  std::vector<stream_layout> streams;
  for (int i = 0; i < 1200; ++i) {
    streams.push_back(i % 3 == 2 ? audio(8000) : stream_layout{AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MPEG4, 0, 0, {25, 1}, 0});
  }
  const auto text_for = [&](const std::vector<stream_layout>& s) { return report(*make_context(1'000'000, s)); };

  const std::string plain = text_for(streams);
  expect_whole_report("plain", plain, streams, 400, 400'000);
  const std::size_t listed = json::parse(plain)["streams"].size();
  // The entry before the last one listed ended at or below the threshold,
  // the last one past it.
  const std::size_t before_last = separator_before(plain, listed - 1);
  ASSERT_NE(before_last, std::string::npos);
  ASSERT_LE(before_last, 65023u);
  EXPECT_GT(plain.size() - 2, 65023u);

  // Moved to end exactly at the threshold, that entry still lets one more in.
  std::vector<stream_layout> at_threshold = streams;
  lengthen(at_threshold, static_cast<int>(65023 - before_last));
  const std::string at = text_for(at_threshold);
  expect_whole_report("at the threshold", at, at_threshold, 400, 400'000);
  EXPECT_EQ(json::parse(at)["streams"].size(), listed);
  EXPECT_EQ(separator_before(at, listed - 1), 65023u);

  // One byte further, it is the last entry listed.
  std::vector<stream_layout> past_threshold = streams;
  lengthen(past_threshold, static_cast<int>(65023 - before_last) + 1);
  const std::string past = text_for(past_threshold);
  expect_whole_report("past the threshold", past, past_threshold, 400, 400'000);
  EXPECT_EQ(json::parse(past)["streams"].size(), listed - 1);
  EXPECT_EQ(past.size(), 65024u + 2);
}

TEST(ProbeReport, LongestPiecesStillEndInWholeJsonInsideTheBuffer) {
  // The longest codec name FFmpeg has, and every number at its widest.
  AVCodecID longest_codec = AV_CODEC_ID_NONE;
  for (const AVCodecDescriptor* d = avcodec_descriptor_next(nullptr); d != nullptr; d = avcodec_descriptor_next(d)) {
    if (std::strlen(avcodec_get_name(d->id)) > std::strlen(avcodec_get_name(longest_codec))) longest_codec = d->id;
  }
  std::vector<stream_layout> streams;
  for (int i = 0; i < 600; ++i) {
    streams.push_back(i % 4 == 3 ? audio(8000)
                                 : stream_layout{AVMEDIA_TYPE_SUBTITLE, longest_codec, INT_MIN, INT_MIN, {INT_MIN, 1},
                                               INT64_MIN});
  }
  const std::string long_name(5000, 'f');
  AVInputFormat format{};
  format.name = long_name.c_str();
  const std::string text = report(*make_context(1'000'000, streams, &format));
  expect_whole_report("longest pieces", text, streams, 150, 150'000);
  EXPECT_EQ(json::parse(text)["format"].get<std::string>(), std::string(4096, 'f'));
}

}  // namespace
