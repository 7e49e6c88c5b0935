// Whatever a host passes in, every exported function answers with its
// defined code or text, and every JSON text it returns is well-formed.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/fixtures.h"
#include "tacetra.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr char kBadId[] = R"({"error":"bad id"})";

// JSON texts must be UTF-8, but the library copies path bytes as they are:
// bytes from 0x80 up are masked so the structure of the text can be checked.
json parsed(const char* text) {
  std::string masked(text);
  for (char& c : masked) {
    if (static_cast<unsigned char>(c) >= 0x80) c = '?';
  }
  json j;
  EXPECT_NO_THROW(j = json::parse(masked)) << text;
  return j;
}

int wait_for_end(int id) {
  for (;;) {
    const int state = tacetra_status(id);
    if (state != TACETRA_PENDING && state != TACETRA_RUNNING) return state;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// A path of exactly `length` bytes inside `dir` ending in `suffix`, through
// directories that exist, so that it names a file that can be created.
std::string path_of_length(const std::string& dir, std::size_t length, const std::string& suffix) {
  std::string path = dir;
  while (path.size() + 1 + suffix.size() < length) {
    const std::size_t room = length - path.size() - 1 - suffix.size();
    if (room <= 200) {
      path += "/" + std::string(room - 1, 'n') + "x" + suffix;  // the file itself
      return path;
    }
    path += "/" + std::string(150, 'd');
    fs::create_directory(path);
  }
  return path + "/" + suffix.substr(1);
}

class HostileArgs : public testing::Test {
 protected:
  void SetUp() override {
    fixtures::write_media(good, {{{fixtures::Kind::video}, {fixtures::Kind::audio}}, 3});
  }
  // A failed assertion must not leave a worker running.
  void TearDown() override {
    for (int id = 0; id < 4; ++id) tacetra_free(id);
  }

  fixtures::TempDir dir;
  const std::string good = dir.file("good.mkv");
};

struct start_case {
  const char* name;
  std::optional<std::string> in;
  std::optional<std::string> out;
  int expected;  // a start code, or 0 for "a slot is taken"
};

TEST_F(HostileArgs, StartAnswersEveryPathWithItsCode) {
  const std::string out = dir.file("out.mkv");
  const std::string long_1198 = dir.path() + "/" + std::string(1198 - dir.path().size() - 1, 'a');
  const std::string long_1199 = long_1198 + "a";
  ASSERT_EQ(long_1198.size(), 1198u);

  const std::vector<start_case> cases = {
      {"null input", std::nullopt, out, TACETRA_ERR_ARGS},
      {"null output", good, std::nullopt, TACETRA_ERR_ARGS},
      {"both null", std::nullopt, std::nullopt, TACETRA_ERR_ARGS},
      {"empty input", "", out, TACETRA_ERR_ARGS},
      {"empty output", good, "", TACETRA_ERR_ARGS},
      {"input of 1,199 bytes", long_1199, out, TACETRA_ERR_ARGS},
      {"output of 1,199 bytes", good, long_1199, TACETRA_ERR_ARGS},
      // Long enough is not too long: it is judged as a file, and is missing.
      {"input of 1,198 bytes", long_1198, out, TACETRA_ERR_OPEN},
      {"output is the input", good, good, TACETRA_ERR_ARGS},
      // Only local files are read, whatever protocol a path names.
      {"http URL", "http://127.0.0.1:9/clip.mkv", out, TACETRA_ERR_OPEN},
      {"tcp URL", "tcp://127.0.0.1:9", out, TACETRA_ERR_OPEN},
      {"pipe", "pipe:0", out, TACETRA_ERR_OPEN},
      {"concat of local files", "concat:" + good + "|" + good, out, TACETRA_ERR_OPEN},
      {"subfile of a local file", "subfile,,start,0,end,0,,:" + good, out, TACETRA_ERR_OPEN},
      {"data URL", "data:video/x-matroska;base64,GkXfow==", out, TACETRA_ERR_OPEN},
      {"missing file with quotes", dir.file("no\"such\".mkv"), out, TACETRA_ERR_OPEN},
      {"missing file with control bytes", dir.file("no\x01\x1f\n.mkv"), out, TACETRA_ERR_OPEN},
      {"missing file in invalid UTF-8", dir.file("no\xff\xc3(.mkv"), out, TACETRA_ERR_OPEN},
      {"not media", dir.path(), out, TACETRA_ERR_OPEN},
      {"the file protocol", "file:" + good, out, 0},
  };
  for (const start_case& c : cases) {
    SCOPED_TRACE(c.name);
    const int id = tacetra_start(c.in ? c.in->c_str() : nullptr, c.out ? c.out->c_str() : nullptr);
    if (c.expected != 0) {
      EXPECT_EQ(id, c.expected);
      for (int slot = 0; slot < 4; ++slot) EXPECT_EQ(tacetra_status(slot), -1);
      continue;
    }
    ASSERT_EQ(id, 0);
    EXPECT_EQ(wait_for_end(id), TACETRA_DONE) << tacetra_result(id);
    tacetra_free(id);
  }
  std::error_code ec;
  EXPECT_FALSE(fs::exists(long_1198, ec));
}

struct name_case {
  const char* name;
  std::string file_name;
};

// Names the host may hand over, as output paths: each job ends, and the
// result text carries the path with '"' and '\' escaped and control bytes
// left out; the other bytes exactly as given.
TEST_F(HostileArgs, OutputPathsOfAnyBytesComeBackInWellFormedResults) {
  const std::vector<name_case> cases = {
      {"quotes", "a \"quoted\" name.mkv"},
      {"backslashes", "back\\slash\\\\.mkv"},
      {"control bytes", "ctl\x01\t\n\r\x1f\x7f.mkv"},
      {"invalid UTF-8", "bad\xff\xfe\xc3(\xe2\x82.mkv"},
      {"valid UTF-8", "d\xc3\xa9j\xc3\xa0 vu \xe2\x9c\x93.mkv"},
      {"JSON look-alike", "\",\"ok\":true,\"x\":\"}.mkv"},
  };
  for (const name_case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = dir.path() + "/" + c.file_name;
    const int id = tacetra_start(good.c_str(), out.c_str());
    ASSERT_EQ(id, 0);
    const int state = wait_for_end(id);
    const char* result = tacetra_result(id);
    const json j = parsed(result);
#ifdef _WIN32
    // Windows refuses some of these names; the job then fails as defined.
    if (state == TACETRA_FAILED) {
      EXPECT_EQ(j.value("error", ""), "cannot open output file");
      tacetra_free(id);
      continue;
    }
#endif
    ASSERT_EQ(state, TACETRA_DONE) << result;
    std::string escaped;
    for (const char ch : out) {
      if (ch == '"' || ch == '\\') escaped += '\\';
      if (static_cast<unsigned char>(ch) >= 0x20) escaped += ch;
    }
    EXPECT_NE(std::string(result).find(R"("out_path":")" + escaped + R"(",)"), std::string::npos)
        << result;
    EXPECT_EQ(j.value("ok", false), true);
    // The bytes are UTF-8, as FFmpeg reads them on Windows too.
    const fs::path out_file(std::u8string(out.begin(), out.end()));
    EXPECT_TRUE(fs::exists(out_file));
    tacetra_free(id);
    EXPECT_TRUE(fs::exists(out_file));  // a finished output stays
    fs::remove(out_file);
  }
}

TEST_F(HostileArgs, AnOutputPathOfTheLongestLengthIsKeptWhole) {
  const std::string out = path_of_length(dir.path(), 1198, ".mkv");
  ASSERT_EQ(out.size(), 1198u);
  const int id = tacetra_start(good.c_str(), out.c_str());
  ASSERT_EQ(id, 0);
  const int state = wait_for_end(id);
  const json result = parsed(tacetra_result(id));
#ifdef _WIN32
  if (state == TACETRA_FAILED) GTEST_SKIP() << "no long paths on this system";
#endif
  ASSERT_EQ(state, TACETRA_DONE) << result;
  EXPECT_EQ(result.value("out_path", ""), out);
  EXPECT_GT(fs::file_size(out), 0u);
}

struct probe_case {
  const char* name;
  std::optional<std::string> path;
  const char* error_prefix;  // null: the report is a success
};

TEST_F(HostileArgs, ProbeAnswersEveryPathWithAWellFormedReport) {
  const std::vector<probe_case> cases = {
      {"null", std::nullopt, "empty path"},
      {"empty", "", "empty path"},
      // The probe sets no length limit of its own.
      {"1,199 bytes", dir.path() + "/" + std::string(1199 - dir.path().size() - 1, 'p'), "open: "},
      {"64 KiB", dir.path() + "/" + std::string(65536, 'p'), "open: "},
      {"http URL", "http://127.0.0.1:9/clip.mkv", "open: "},
      {"tcp URL", "tcp://127.0.0.1:9", "open: "},
      {"pipe", "pipe:0", "open: "},
      {"concat", "concat:" + good + "|" + good, "open: "},
      {"quotes and backslashes", dir.file("a\"b\\c.mkv"), "open: "},
      {"control bytes", dir.file("a\x01\n\x1f.mkv"), "open: "},
      {"invalid UTF-8", dir.file("a\xff\xc3(.mkv"), "open: "},
      {"a directory", dir.path(), nullptr},
      {"the file protocol", "file:" + good, nullptr},
  };
  for (const probe_case& c : cases) {
    SCOPED_TRACE(c.name);
    const char* text = tacetra_probe(c.path ? c.path->c_str() : nullptr);
    const json j = parsed(text);
    if (c.error_prefix == nullptr) {
      // A directory opens as a file for FFmpeg on some systems and not on
      // others; either way the answer is a well-formed report.
      if (std::string(c.name) == "a directory") continue;
      EXPECT_EQ(j.value("ok", false), true) << text;
      EXPECT_EQ(j.value("audio_tracks", -1), 1) << text;
      continue;
    }
    EXPECT_EQ(j.value("ok", true), false) << text;
    EXPECT_EQ(j.value("error", "").rfind(c.error_prefix, 0), 0u) << text;
  }
}

TEST_F(HostileArgs, InvalidAndFreeIdsAreAnsweredAndChangeNothing) {
  const int id = tacetra_start(good.c_str(), dir.file("out.mkv").c_str());
  ASSERT_EQ(id, 0);
  ASSERT_EQ(wait_for_end(id), TACETRA_DONE);
  for (const int bad : {INT_MIN, -1, 1, 3, 4, INT_MAX}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(tacetra_status(bad), -1);
    const char* progress = tacetra_progress(bad);
    const char* result = tacetra_result(bad);
    EXPECT_STREQ(progress, kBadId);
    EXPECT_EQ(progress, result);  // one constant
    tacetra_cancel(bad);
    tacetra_free(bad);
  }
  // Slot 0 was not touched by any of it.
  EXPECT_EQ(tacetra_status(id), TACETRA_DONE);
  EXPECT_EQ(parsed(tacetra_result(id)).value("ok", false), true);
}

TEST_F(HostileArgs, DoubleFreeAndCancelAfterFreeDoNothing) {
  const std::string out = dir.file("out.mkv");
  int id = tacetra_start(good.c_str(), out.c_str());
  ASSERT_EQ(id, 0);
  ASSERT_EQ(wait_for_end(id), TACETRA_DONE);
  tacetra_free(id);
  tacetra_free(id);
  tacetra_cancel(id);
  EXPECT_EQ(tacetra_status(id), -1);
  EXPECT_STREQ(tacetra_progress(id), kBadId);
  EXPECT_TRUE(fs::exists(out));  // the finished output survives a second free

  // The flag raised after the free does not reach the slot's next job.
  id = tacetra_start(good.c_str(), dir.file("again.mkv").c_str());
  ASSERT_EQ(id, 0);
  EXPECT_EQ(wait_for_end(id), TACETRA_DONE) << tacetra_result(id);
  tacetra_free(id);
  tacetra_free(id);
  EXPECT_TRUE(fs::exists(dir.file("again.mkv")));
}

}  // namespace
