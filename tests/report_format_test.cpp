// The progress and result reports are built without snprintf for speed;
// these tests hold them to the bytes that snprintf writes with the reports'
// format strings, over slot records filled by hand.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "jobs/session.h"
#include "reports/json_escape.h"
#include "reports/percent_done.h"
#include "tacetra.h"

namespace {

using tacetra::mute_session;

constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();
constexpr std::int32_t kMin32 = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax32 = std::numeric_limits<std::int32_t>::max();

std::string printed(const char* format, ...) {
  char text[8192];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string escaped(const char* text, std::uint64_t capacity) {
  char out[4096];
  tacetra::json_escape(text, out, capacity);
  return out;
}

// Slot 1 taken by hand, everything else zero.
mute_session& taken_slot() {
  mute_session& s = tacetra::g_sessions[1];
  std::memset(&s, 0, sizeof s);
  s.in_use = 1;
  return s;
}

// A job shown as pending is shown with the figures it starts from.
std::int64_t shown(const mute_session& s, std::int64_t figure) {
  return s.state == tacetra::MUTE_PENDING ? 0 : figure;
}

std::string printf_progress(const mute_session& s) {
  return printed(R"({"state":%d,"percent":%.1f,"processed_ms":%lld,"total_ms":%lld,"packets":%lld})",
                 s.state, tacetra::percent_done(s.state, shown(s, s.processed_ms), shown(s, s.total_ms)),
                 static_cast<long long>(shown(s, s.processed_ms)), static_cast<long long>(shown(s, s.total_ms)),
                 static_cast<long long>(shown(s, s.packets)));
}

std::string printf_result(const mute_session& s) {
  if (s.state == tacetra::MUTE_FAILED) {
    return printed(R"({"state":%d,"ok":false,"error":"%s"})", s.state,
                   escaped(s.error, 512).c_str());
  }
  // The difference, never negative, and at most the largest figure.
  const __int128 difference = static_cast<__int128>(s.in_size_bytes) - shown(s, s.out_size_bytes);
  const std::int64_t saved = difference <= 0 ? 0
                             : difference > INT64_MAX ? INT64_MAX
                                                      : static_cast<std::int64_t>(difference);
  return printed(
      R"({"state":%d,"ok":%s,"out_path":"%s","out_size_bytes":%lld,"in_size_bytes":%lld,)"
      R"("bytes_saved":%lld,"duration_ms":%lld,"packets_written":%lld,"elapsed_ms":%lld})",
      s.state, s.state == tacetra::MUTE_DONE ? "true" : "false", escaped(s.out_path, 2 * 1198 + 1).c_str(),
      static_cast<long long>(shown(s, s.out_size_bytes)), static_cast<long long>(s.in_size_bytes),
      static_cast<long long>(saved), static_cast<long long>(shown(s, s.total_ms)),
      static_cast<long long>(shown(s, s.packets)), static_cast<long long>(shown(s, s.elapsed_ms)));
}

TEST(ReportFormat, ProgressMatchesPrintfAtTheExtremes) {
  mute_session& s = taken_slot();
  const std::int32_t states[] = {0, 2, 3, 4, 5, -1, kMin32, kMax32};
  const std::int64_t figures[] = {0, 1, -1, 37, 150, kMin64, kMax64};
  for (const std::int32_t state : states) {
    for (const std::int64_t processed : figures) {
      for (const std::int64_t total : figures) {
        s.state = state;
        s.processed_ms = processed;
        s.total_ms = total;
        s.packets = processed ^ total;
        SCOPED_TRACE(printf_progress(s));
        ASSERT_STREQ(tacetra_progress(1), printf_progress(s).c_str());
      }
    }
  }
}

// Every ratio that the sweeps reach: tenths, exact ties such as 0.25 and
// 24.75 (printf rounds them to even), near ties such as 0.15 and 99.95
// (whose doubles lie just below or above), 24.7, 66.7 and 100.0.
TEST(ReportFormat, PercentMatchesPrintfOverSweptRatios) {
  mute_session& s = taken_slot();
  s.state = tacetra::MUTE_RUNNING;
  for (const std::int64_t total : {0, 1, 3, 7, 150, 400, 2000, 10000, 65536}) {
    for (std::int64_t processed = 0; processed <= total + 2; ++processed) {
      s.processed_ms = processed;
      s.total_ms = total;
      const std::string expected = printf_progress(s);
      ASSERT_STREQ(tacetra_progress(1), expected.c_str());
    }
  }
  for (const std::int64_t processed : {1030637, 999999999, 123456789}) {
    s.processed_ms = processed;
    s.total_ms = 1030638;
    EXPECT_STREQ(tacetra_progress(1), printf_progress(s).c_str());
  }
}

TEST(ReportFormat, ResultMatchesPrintfAtTheExtremes) {
  mute_session& s = taken_slot();
  std::snprintf(s.out_path, sizeof s.out_path, "%s", "/videos/clip.mkv");
  const std::int32_t states[] = {0, 2, 3, 4, -1, kMin32, kMax32};
  const std::int64_t sizes[] = {0, 1, -1, 1000, kMin64, kMax64};
  for (const std::int32_t state : states) {
    for (const std::int64_t in_size : sizes) {
      for (const std::int64_t out_size : sizes) {
        s.state = state;
        s.in_size_bytes = in_size;
        s.out_size_bytes = out_size;
        s.total_ms = in_size;
        s.packets = out_size;
        s.elapsed_ms = in_size ^ out_size;
        SCOPED_TRACE(printf_result(s));
        ASSERT_STREQ(tacetra_result(1), printf_result(s).c_str());
      }
    }
  }
}

TEST(ReportFormat, ResultPathsAndErrorsMatchPrintfOfTheirEscapedText) {
  mute_session& s = taken_slot();
  const std::string texts[] = {
      "",
      R"(C:\Videos\"quoted" name.mkv)",
      "tab\there, line\nfeed, return\r, \x01 and \x1f",
      "/vid\xc3\xa9os/\xf0\x9f\x98\x80 \x7f\x80\xff.mkv",
      std::string(255, '"'),
      std::string(1198, '\\'),  // every byte escaped, and none cut
      std::string(1198, 'a'),
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    std::snprintf(s.out_path, sizeof s.out_path, "%s", text.c_str());
    std::snprintf(s.error, sizeof s.error, "%s", text.c_str());
    for (const std::int32_t state : {tacetra::MUTE_DONE, tacetra::MUTE_CANCELLED, tacetra::MUTE_FAILED}) {
      s.state = state;
      ASSERT_STREQ(tacetra_result(1), printf_result(s).c_str());
    }
  }
}

}  // namespace
