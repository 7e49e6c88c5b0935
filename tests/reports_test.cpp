// The job reports driven through slot records that the tests fill by hand,
// so that every figure, state and path is exactly the one a case needs.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

extern "C" {
#include <libavformat/version.h>
}

#include "jobs/session.h"
#include "tacetra.h"

namespace {

using nlohmann::json;
using tacetra::g_sessions;
using tacetra::mute_session;

constexpr char kBadId[] = R"({"error":"bad id"})";
constexpr char kOutPath[] = "/videos/clip.mkv";

struct figures {
  std::int32_t state = tacetra::MUTE_RUNNING;
  std::int64_t processed_ms = 0;
  std::int64_t total_ms = 0;
  std::int64_t packets = 0;
  std::int64_t in_size_bytes = 0;
  std::int64_t out_size_bytes = 0;
  std::int64_t elapsed_ms = 0;
};

// Cases print as their names in test listings and failure messages.
template <class Case>
  requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

json parsed(const char* text) {
  json j;
  EXPECT_NO_THROW(j = json::parse(text)) << text;
  return j;
}

std::string progress_text(std::int32_t state, const std::string& percent, std::int64_t processed_ms,
                          std::int64_t total_ms, std::int64_t packets) {
  return R"({"state":)" + std::to_string(state) + R"(,"percent":)" + percent +
         R"(,"processed_ms":)" + std::to_string(processed_ms) + R"(,"total_ms":)" +
         std::to_string(total_ms) + R"(,"packets":)" + std::to_string(packets) + "}";
}

std::string result_text(const figures& f, const std::string& ok, const std::string& escaped_path,
                        std::int64_t bytes_saved) {
  return R"({"state":)" + std::to_string(f.state) + R"(,"ok":)" + ok + R"(,"out_path":")" +
         escaped_path + R"(","out_size_bytes":)" + std::to_string(f.out_size_bytes) +
         R"(,"in_size_bytes":)" + std::to_string(f.in_size_bytes) + R"(,"bytes_saved":)" +
         std::to_string(bytes_saved) + R"(,"duration_ms":)" + std::to_string(f.total_ms) +
         R"(,"packets_written":)" + std::to_string(f.packets) + R"(,"elapsed_ms":)" +
         std::to_string(f.elapsed_ms) + "}";
}

// Every test starts with four free slots and leaves them free; no test here
// starts a worker thread.
class Reports : public testing::Test {
 protected:
  void SetUp() override { std::memset(g_sessions, 0, sizeof g_sessions); }
  void TearDown() override { std::memset(g_sessions, 0, sizeof g_sessions); }

  // Takes slot `id` as a started job leaves it, with the given figures.
  static mute_session& take(int id, const figures& f, const char* out_path = kOutPath) {
    mute_session& s = g_sessions[id];
    std::memset(&s, 0, sizeof s);
    s.in_use = 1;
    s.state = f.state;
    std::snprintf(s.out_path, sizeof s.out_path, "%s", out_path);
    s.processed_ms = f.processed_ms;
    s.total_ms = f.total_ms;
    s.packets = f.packets;
    s.in_size_bytes = f.in_size_bytes;
    s.out_size_bytes = f.out_size_bytes;
    s.elapsed_ms = f.elapsed_ms;
    return s;
  }
};

struct percent_case {
  const char* name;
  std::int32_t state;
  std::int64_t processed_ms;
  std::int64_t total_ms;
  const char* percent;
};

class ProgressPercent : public Reports, public testing::WithParamInterface<percent_case> {};

constexpr std::int32_t kPending = tacetra::MUTE_PENDING;

TEST_P(ProgressPercent, FormatsTheWholeTextWithTheExpectedPercentage) {
  const percent_case& c = GetParam();
  take(2,
       {.state = c.state, .processed_ms = c.processed_ms, .total_ms = c.total_ms, .packets = 12});
  const char* text = tacetra_progress(2);
  // A job shown as pending shows no packets, whatever its worker has done
  // since the state was read.
  EXPECT_EQ(text, progress_text(c.state, c.percent, c.processed_ms, c.total_ms, c.state == kPending ? 0 : 12));
  const json j = parsed(text);
  EXPECT_GE(j.value("percent", -1.0), 0.0);
  EXPECT_LE(j.value("percent", 101.0), 100.0);
}

constexpr std::int32_t kRunning = tacetra::MUTE_RUNNING;
constexpr std::int32_t kDone = tacetra::MUTE_DONE;
constexpr std::int32_t kCancelled = tacetra::MUTE_CANCELLED;
constexpr std::int32_t kFailed = tacetra::MUTE_FAILED;

INSTANTIATE_TEST_SUITE_P(
    Table, ProgressPercent,
    testing::Values(
        percent_case{"pending", kPending, 0, 0, "0.0"},
        percent_case{"a_quarter", kRunning, 37, 150, "24.7"},
        percent_case{"two_thirds", kRunning, 2, 3, "66.7"},
        percent_case{"tiny_share_of_a_long_job", kRunning, 1, 3'600'000, "0.0"},
        percent_case{"just_above_a_half_tenth", kRunning, 1, 2000, "0.1"},
        // Exact ties go to the even digit, as printf rounds them.
        percent_case{"tie_rounds_down_to_even", kRunning, 1, 400, "0.2"},
        percent_case{"tie_rounds_up_to_even", kRunning, 3, 400, "0.8"},
        percent_case{"just_below_a_half_tenth", kRunning, 7, 2000, "0.3"},
        percent_case{"just_below_99_95", kRunning, 19'989, 20'000, "99.9"},
        percent_case{"99_95_prints_as_100_while_running", kRunning, 1999, 2000, "100.0"},
        percent_case{"exactly_the_duration", kRunning, 150, 150, "100.0"},
        percent_case{"past_the_duration_is_clamped", kRunning, 300, 150, "100.0"},
        percent_case{"far_past_the_duration_is_clamped", kRunning, INT64_MAX, 1, "100.0"},
        percent_case{"largest_figures", kRunning, INT64_MAX, INT64_MAX, "100.0"},
        percent_case{"no_duration_nothing_copied", kRunning, 0, 0, "0.0"},
        percent_case{"no_duration_first_millisecond", kRunning, 1, 0, "100.0"},
        percent_case{"negative_duration_divides_by_one", kRunning, 0, -40, "0.0"},
        percent_case{"done_below_the_duration", kDone, 10, 150, "100.0"},
        percent_case{"done_without_figures", kDone, 0, 0, "100.0"},
        percent_case{"cancelled_keeps_its_percentage", kCancelled, 37, 150, "24.7"},
        percent_case{"failed_keeps_its_percentage", kFailed, 2, 3, "66.7"}),
    [](const testing::TestParamInfo<percent_case>& info) { return std::string(info.param.name); });

struct result_case {
  const char* name;
  figures f;
  const char* ok;
  std::int64_t bytes_saved;
};

class ResultNormalForm : public Reports, public testing::WithParamInterface<result_case> {};

TEST_P(ResultNormalForm, FormatsTheWholeTextForItsState) {
  const result_case& c = GetParam();
  take(3, c.f);
  const char* text = tacetra_result(3);
  EXPECT_EQ(text, result_text(c.f, c.ok, kOutPath, c.bytes_saved));
  const json j = parsed(text);
  EXPECT_EQ(j.value("ok", c.f.state != kDone), c.f.state == kDone);
  EXPECT_EQ(j.value("out_path", ""), kOutPath);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResultNormalForm,
    testing::Values(
        result_case{"pending", {.state = kPending, .in_size_bytes = 5000}, "false", 5000},
        result_case{"running",
                    {.state = kRunning, .processed_ms = 700, .total_ms = 1500, .packets = 7,
                     .in_size_bytes = 5000},
                    "false", 5000},
        result_case{"done_smaller",
                    {.state = kDone, .processed_ms = 1480, .total_ms = 1500, .packets = 40,
                     .in_size_bytes = 5000, .out_size_bytes = 3000, .elapsed_ms = 12},
                    "true", 2000},
        result_case{"done_same_size",
                    {.state = kDone, .total_ms = 1500, .packets = 40, .in_size_bytes = 3000,
                     .out_size_bytes = 3000, .elapsed_ms = 12},
                    "true", 0},
        result_case{"done_larger_never_negative",
                    {.state = kDone, .total_ms = 1500, .packets = 40, .in_size_bytes = 3000,
                     .out_size_bytes = 4000, .elapsed_ms = 12},
                    "true", 0},
        result_case{"cancelled",
                    {.state = kCancelled, .processed_ms = 300, .total_ms = 1500, .packets = 9,
                     .in_size_bytes = 5000},
                    "false", 5000},
        result_case{"input_not_measurable", {.state = kRunning, .in_size_bytes = -1}, "false", 0},
        result_case{"largest_figures",
                    {.state = kDone, .total_ms = INT64_MAX, .packets = INT64_MAX,
                     .in_size_bytes = INT64_MAX, .out_size_bytes = 0, .elapsed_ms = INT64_MAX},
                    "true", INT64_MAX}),
    [](const testing::TestParamInfo<result_case>& info) { return std::string(info.param.name); });

struct failure_case {
  const char* name;
  std::string error;
  std::string escaped;
};

class ResultFailureForm : public Reports, public testing::WithParamInterface<failure_case> {};

TEST_P(ResultFailureForm, CarriesTheEscapedErrorAndNoFigures) {
  const failure_case& c = GetParam();
  mute_session& s = take(0, {.state = kFailed, .processed_ms = 40, .total_ms = 1500, .packets = 3,
                             .in_size_bytes = 5000});
  std::snprintf(s.error, sizeof s.error, "%s", c.error.c_str());
  const char* text = tacetra_result(0);
  EXPECT_EQ(text, R"({"state":5,"ok":false,"error":")" + c.escaped + R"("})");
  const json j = parsed(text);
  std::string readable = c.error;
  std::erase_if(readable, [](char ch) { return static_cast<unsigned char>(ch) < 0x20; });
  EXPECT_EQ(j.value("error", ""), readable);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResultFailureForm,
    testing::Values(
        failure_case{"worker_text", "cannot open input", "cannot open input"},
        failure_case{"quotes_backslashes_and_control_bytes", "say \"no\"\\now\t\r\n",
                     R"(say \"no\"\\now)"},
        // The longest error text escapes whole: 510 bytes in a 553-byte report.
        failure_case{"longest_error_all_quotes", std::string(255, '"'), [] {
                       std::string pairs;
                       for (int i = 0; i < 255; ++i) pairs += "\\\"";
                       return pairs;
                     }()}),
    [](const testing::TestParamInfo<failure_case>& info) { return std::string(info.param.name); });

struct path_case {
  const char* name;
  std::string path;
  std::string escaped;
  std::string readable;  // the path as a JSON reader gets it back
};

class ResultOutPath : public Reports, public testing::WithParamInterface<path_case> {};

TEST_P(ResultOutPath, IsEscapedIntoTheText) {
  const path_case& c = GetParam();
  const figures f{.state = kDone, .total_ms = 1500, .packets = 40, .in_size_bytes = 5000,
                  .out_size_bytes = 3000, .elapsed_ms = 12};
  take(1, f, c.path.c_str());
  const char* text = tacetra_result(1);
  EXPECT_EQ(text, result_text(f, "true", c.escaped, 2000));
  EXPECT_EQ(parsed(text).value("out_path", ""), c.readable);
}

std::string repeated(const std::string& piece, int times) {
  std::string s;
  for (int i = 0; i < times; ++i) s += piece;
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResultOutPath,
    testing::Values(
        path_case{"quotes_and_backslashes", R"(C:\clips\"best".mkv)", R"(C:\\clips\\\"best\".mkv)",
                  R"(C:\clips\"best".mkv)"},
        path_case{"control_bytes_dropped", "/tmp/a\tb\nc\x01\x1f.mkv", "/tmp/abc.mkv",
                  "/tmp/abc.mkv"},
        path_case{"utf8_kept", "/tmp/caf\xc3\xa9 \xe6\x97\xa5.mkv",
                  "/tmp/caf\xc3\xa9 \xe6\x97\xa5.mkv", "/tmp/caf\xc3\xa9 \xe6\x97\xa5.mkv"},
        // The longest accepted path, all quotes or all backslashes: every
        // byte takes an escape, and none is cut.
        path_case{"longest_path_of_quotes_is_kept_whole", std::string(1198, '"'),
                  repeated("\\\"", 1198), std::string(1198, '"')},
        path_case{"longest_path_of_quotes_and_backslashes_is_kept_whole", repeated("\"\\", 599),
                  repeated("\\\"\\\\", 599), repeated("\"\\", 599)}),
    [](const testing::TestParamInfo<path_case>& info) { return std::string(info.param.name); });

TEST_F(Reports, InvalidAndFreeIdsGetOneFixedTextFromBothReports) {
  take(2, {.state = kRunning});
  g_sessions[1].in_use = 0;
  std::snprintf(g_sessions[1].progress_json, sizeof g_sessions[1].progress_json, "untouched");
  std::snprintf(g_sessions[1].result_json, sizeof g_sessions[1].result_json, "untouched");

  const char* fixed = tacetra_progress(-1);
  EXPECT_STREQ(fixed, kBadId);
  EXPECT_EQ(parsed(fixed), json({{"error", "bad id"}}));
  for (const int id : {-1, 4, INT_MIN, INT_MAX, 0, 1, 3}) {
    EXPECT_EQ(tacetra_progress(id), fixed) << id;
    EXPECT_EQ(tacetra_result(id), fixed) << id;
  }
  EXPECT_STREQ(fixed, kBadId);
  // A free slot's buffers are not written.
  EXPECT_STREQ(g_sessions[1].progress_json, "untouched");
  EXPECT_STREQ(g_sessions[1].result_json, "untouched");
  EXPECT_NE(tacetra_progress(2), fixed);
}

TEST_F(Reports, EachTextStaysUntilTheNextCallOfItsOwnFunctionOnItsSlot) {
  mute_session& s = take(1, {.state = kRunning, .processed_ms = 37, .total_ms = 150, .packets = 12,
                             .in_size_bytes = 5000});
  const char* progress = tacetra_progress(1);
  const std::string first_progress = progress;
  const char* result = tacetra_result(1);
  const std::string first_result = result;
  EXPECT_NE(static_cast<const void*>(progress), static_cast<const void*>(result));

  s.processed_ms = 100;
  s.packets = 30;
  EXPECT_EQ(tacetra_result(1), result);
  EXPECT_EQ(progress, first_progress) << "the result report rewrote the progress text";
  EXPECT_EQ(result, result_text({.state = kRunning, .total_ms = 150, .packets = 30,
                                 .in_size_bytes = 5000},
                                "false", kOutPath, 5000));

  // Reports on another slot touch neither text.
  take(0, {.state = kDone, .processed_ms = 1, .total_ms = 1, .packets = 1});
  EXPECT_NE(tacetra_progress(0), progress);
  EXPECT_NE(tacetra_result(0), result);
  EXPECT_EQ(progress, first_progress);

  const std::string second_result = result;
  EXPECT_EQ(tacetra_progress(1), progress);
  EXPECT_EQ(progress, progress_text(kRunning, "66.7", 100, 150, 30));
  EXPECT_EQ(result, second_result) << "the progress report rewrote the result text";
}

TEST_F(Reports, AFreedSlotAnswersTheFixedTextAndLeavesItsTextsInPlace) {
  take(0, {.state = kDone, .processed_ms = 1480, .total_ms = 1500, .packets = 40,
           .in_size_bytes = 5000, .out_size_bytes = 3000, .elapsed_ms = 12});
  const char* progress = tacetra_progress(0);
  const char* result = tacetra_result(0);
  const std::string progress_before = progress;
  const std::string result_before = result;

  tacetra_free(0);

  EXPECT_STREQ(tacetra_progress(0), kBadId);
  EXPECT_EQ(tacetra_result(0), tacetra_progress(0));
  EXPECT_EQ(progress, progress_before);
  EXPECT_EQ(result, result_before);
}

TEST(Version, NamesTheLibraryAndTheLibavformatHeadersAtOneAddress) {
  const std::string expected = std::to_string(TACETRA_VERSION_MAJOR) + "." + std::to_string(TACETRA_VERSION_MINOR) +
                               "." + std::to_string(TACETRA_VERSION_PATCH) + " (libavformat " +
                               std::to_string(LIBAVFORMAT_VERSION_MAJOR) +
                               "." + std::to_string(LIBAVFORMAT_VERSION_MINOR) + "." +
                               std::to_string(LIBAVFORMAT_VERSION_MICRO) + ")";
  const char* first = tacetra_version();
  EXPECT_EQ(first, expected);
  EXPECT_EQ(tacetra_version(), first);
  EXPECT_EQ(first, expected);
}

}  // namespace
