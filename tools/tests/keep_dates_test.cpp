// --keep-dates: the copy takes its input's modification and access times,
// with an explicit OUTPUT, with --to and with --in-place.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <functional>

#include "harness/child_process.h"
#include "support/fixtures.h"

using namespace tool_tests;

namespace {

// Both well before the test runs; the access time is the older, which is
// when Linux's relatime moves it on the next read.
constexpr std::time_t accessed = 1000000000;  // 2001-09-09
constexpr std::time_t modified = 1100000000;  // 2004-11-09

struct form {
  const char* name;
  // The arguments after "mute" for muting `in`, and where the copy lands.
  std::function<std::vector<std::string>(const fixtures::TempDir&, const std::string& in)> args;
  std::function<std::string(const fixtures::TempDir&, const std::string& in)> copy;
};

TEST(KeepDates, TheCopyTakesTheInputsDatesInEveryForm) {
  const std::vector<form> forms = {
      {"INPUT OUTPUT",
       [](const auto& d, const std::string& in) {
         return std::vector<std::string>{in, d.file("out.mkv")};
       },
       [](const auto& d, const std::string&) { return d.file("out.mkv"); }},
      {"--to",
       [](const auto& d, const std::string& in) {
         return std::vector<std::string>{"--to", d.file("out"), in};
       },
       [](const auto& d, const std::string&) { return d.file("out/in.mkv"); }},
      {"--in-place",
       [](const auto&, const std::string& in) {
         return std::vector<std::string>{"--in-place", in};
       },
       [](const auto&, const std::string& in) { return in; }},
  };
  for (const form& f : forms) {
    for (const bool keep : {true, false}) {
      fixtures::TempDir dir;
      const std::string in = dir.file("in.mkv");
      fixtures::write_media(in, {{{fixtures::Kind::video}, {fixtures::Kind::audio}}});
      const timespec times[2] = {{accessed, 250000000}, {modified, 750000000}};
      ASSERT_EQ(utimensat(AT_FDCWD, in.c_str(), times, 0), 0);

      std::vector<std::string> args{"mute"};
      if (keep) args.push_back("--keep-dates");
      for (const std::string& a : f.args(dir, in)) args.push_back(a);
      const finished_run run = run_tool(args);
      ASSERT_EQ(run.exit_code, 0) << f.name << ": " << run.out << run.err;

      struct stat st {};
      ASSERT_EQ(stat(f.copy(dir, in).c_str(), &st), 0) << f.name;
      if (keep) {
        EXPECT_EQ(st.st_mtim.tv_sec, modified) << f.name;
        EXPECT_EQ(st.st_atim.tv_sec, accessed) << f.name;
      } else {
        EXPECT_GT(st.st_mtim.tv_sec, modified) << f.name << " without --keep-dates";
      }
    }
  }
}

}  // namespace
