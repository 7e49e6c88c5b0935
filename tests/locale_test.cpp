// JSON numbers must not follow the host's locale: a host that calls
// setlocale(LC_ALL, "") under a comma-decimal locale still gets a full stop,
// with exactly the digits printf's "%.1f" gives in the C locale.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "jobs/session.h"
#include "tacetra.h"

namespace {

using tacetra::g_sessions;

// German as glibc and as the Windows runtimes name it.
constexpr const char* kCommaLocales[] = {"de_DE.UTF-8", "de-DE", "German_Germany.1252"};

// Switches the process to a German locale for one test, and back to "C".
class comma_locale {
 public:
  comma_locale() {
    for (const char* name : kCommaLocales) {
      if (std::setlocale(LC_ALL, name) != nullptr) return;
    }
    active_ = false;
  }
  ~comma_locale() { std::setlocale(LC_ALL, "C"); }
  comma_locale(const comma_locale&) = delete;
  comma_locale& operator=(const comma_locale&) = delete;
  bool active() const { return active_; }

 private:
  bool active_ = true;
};

struct share {
  std::int64_t processed_ms;
  std::int64_t total_ms;
};

// Every share of a few durations, ties of the last digit among them.
std::vector<share> shares() {
  std::vector<share> all;
  for (const std::int64_t total : {3, 7, 150, 400, 2000}) {
    for (std::int64_t processed = 0; processed <= total; ++processed) {
      all.push_back({processed, total});
    }
  }
  for (std::int64_t processed = 0; processed <= 3'600'000; processed += 1237) {
    all.push_back({processed, 3'600'000});
  }
  return all;
}

// What the progress text must read, formatted here in the C locale.
std::string expected_progress(const share& s) {
  char percent[64];
  std::snprintf(percent, sizeof percent, "%.1f",
                static_cast<double>(s.processed_ms) * 100.0 / static_cast<double>(s.total_ms));
  return R"({"state":2,"percent":)" + std::string(percent) + R"(,"processed_ms":)" +
         std::to_string(s.processed_ms) + R"(,"total_ms":)" + std::to_string(s.total_ms) +
         R"(,"packets":5})";
}

const char* running_progress(const share& s) {
  tacetra::mute_session& slot = g_sessions[0];
  std::memset(&slot, 0, sizeof slot);
  slot.in_use = 1;
  slot.state = tacetra::MUTE_RUNNING;
  slot.processed_ms = s.processed_ms;
  slot.total_ms = s.total_ms;
  slot.packets = 5;
  return tacetra_progress(0);
}

void expect_progress_texts(const std::vector<share>& all,
                           const std::vector<std::string>& expected) {
  int mismatches = 0;
  for (std::size_t i = 0; i < all.size() && mismatches < 5; ++i) {
    const std::string text = running_progress(all[i]);
    if (text != expected[i]) {
      ADD_FAILURE() << "got      " << text << "\nexpected " << expected[i];
      ++mismatches;
    }
  }
}

class Locale : public testing::Test {
 protected:
  void TearDown() override { std::memset(g_sessions, 0, sizeof g_sessions); }
};

TEST_F(Locale, PercentHasTheDigitsOfPrintfInTheCLocale) {
  const std::vector<share> all = shares();
  std::vector<std::string> expected;
  for (const share& s : all) expected.push_back(expected_progress(s));
  expect_progress_texts(all, expected);
}

TEST_F(Locale, ACommaDecimalLocaleLeavesTheTextsAsInTheCLocale) {
  const std::vector<share> all = shares();
  std::vector<std::string> expected;
  for (const share& s : all) expected.push_back(expected_progress(s));
  const std::string version = tacetra_version();

  comma_locale german;
  if (!german.active()) {
    if (std::getenv("CI") != nullptr) FAIL() << "de_DE.UTF-8 is missing; run scripts/install-deps";
    GTEST_SKIP() << "de_DE.UTF-8 is not installed (scripts/install-deps generates it)";
  }
  // Without a decimal comma this test would prove nothing.
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 24.7);
  ASSERT_STREQ(probe, "24,7");

  const char* text = running_progress({37, 150});
  EXPECT_STREQ(text, R"({"state":2,"percent":24.7,"processed_ms":37,"total_ms":150,"packets":5})");
  EXPECT_NO_THROW(EXPECT_EQ(nlohmann::json::parse(text).at("percent"), 24.7)) << text;
  expect_progress_texts(all, expected);
  EXPECT_EQ(tacetra_version(), version);
}

}  // namespace
