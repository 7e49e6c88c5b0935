// tacetra mute --dry-run, in every form: writes nothing, and tells for each
// file the fate of each stream and the bytes the probe expects saved, or
// the refusal the real run would make.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>

#include "harness/child_process.h"
#include "report_fields.h"
#include "support/files.h"
#include "support/fixtures.h"
#include "tacetra.h"
#include "units.h"

using namespace tool_tests;
namespace fs = std::filesystem;

namespace {

// Every name under `dir` with its bytes and modification time: what a run
// that writes nothing leaves as it was.
std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    struct stat st {};
    lstat(e.path().c_str(), &st);
    std::string bytes;
    if (e.is_regular_file()) bytes = fixtures::read_bytes(e.path().string());
    files[e.path().string()] =
        std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + " " + bytes;
  }
  return files;
}

// The line that ends every plan: what the copy keeps besides its streams.
const std::string kAlsoKept =
    "  also kept: the file's tags (its date and place included) and chapters, each kept stream's tags and flags\n";

// "saving about 16.0 kB of 41.2 kB", from the file's probe report.
std::string saving(const std::string& path) {
  const std::string report = tacetra_probe(path.c_str());
  const auto size = tacetra_cli::format_size(tacetra_cli::number_field(report, "size_bytes").value());
  const auto estimate = tacetra_cli::number_field(report, "audio_bytes_estimate").value();
  if (estimate == 0) return "saving an unknown share of " + size + " (its audio states no bit rate)";
  return "saving about " + tacetra_cli::format_size(estimate) + " of " + size;
}

TEST(DryRun, WritesNothingAndTellsEachStreamsFateInEveryForm) {
  struct form {
    const char* name;
    std::function<std::vector<std::string>(const fixtures::TempDir&, const std::string& in)> args;
    std::function<std::string(const fixtures::TempDir&, const std::string& in)> heading;
  };
  const std::vector<form> forms = {
      {"INPUT OUTPUT",
       [](const auto& d, const auto& in) {
         return std::vector<std::string>{in, d.file("out.mkv")};
       },
       [](const auto& d, const auto& in) {
         return in + " -> " + d.file("out.mkv") + ": would keep 2 of 4 streams, ";
       }},
      {"--to",
       [](const auto& d, const auto& in) {
         return std::vector<std::string>{"--to", d.file("out"), in};
       },
       [](const auto& d, const auto& in) {
         return in + " -> " + d.file("out/in.mkv") + ": would keep 2 of 4 streams, ";
       }},
      {"--in-place",
       [](const auto&, const auto& in) {
         return std::vector<std::string>{"--in-place", in};
       },
       [](const auto&, const auto& in) { return in + ": would keep 2 of 4 streams in place, "; }},
  };
  for (const int audio_bit_rate : {64000, 0}) {  // 0: FLAC, which states no bit rate
    for (const form& f : forms) {
      fixtures::TempDir dir;
      const std::string in = dir.file("in.mkv");
      fixtures::MediaLayout layout{{{fixtures::Kind::video},
                                    {fixtures::Kind::audio},
                                    {fixtures::Kind::audio},
                                    {fixtures::Kind::subtitle}}};
      layout.audio_bit_rate = audio_bit_rate;
      fixtures::write_media(in, layout);
      const std::string dropped = std::string("audio ") + (audio_bit_rate > 0 ? "ac3" : "flac") +
                                  ", dropped (audio)\n";
      const std::string expected = f.heading(dir, in) + saving(in) + "\n  stream 0: video mpeg4, kept\n" +
                                   "  stream 1: " + dropped + "  stream 2: " + dropped +
                                   "  stream 3: subtitle subrip, kept\n" + kAlsoKept;
      const auto before = snapshot(dir.path());

      std::vector<std::string> args{"mute", "--dry-run"};
      for (const std::string& a : f.args(dir, in)) args.push_back(a);
      const finished_run run = run_tool(args);
      EXPECT_EQ(run.exit_code, 0) << f.name << ": " << run.err;
      EXPECT_EQ(run.out, expected) << f.name;
      EXPECT_EQ(snapshot(dir.path()), before) << f.name;
    }
  }
}

TEST(DryRun, TellsTheRefusalsOfTheRealRun) {
  fixtures::TempDir dir;
  const fixtures::MediaLayout video_audio{{{fixtures::Kind::video}, {fixtures::Kind::audio}}};
  const std::string out = dir.file("out");
  fs::create_directories(dir.file("other"));
  fs::create_directories(out);
  fixtures::write_media(dir.file("a.mkv"), video_audio);
  fixtures::write_media(dir.file("other/a.mkv"), video_audio);  // the same output name as a.mkv
  fixtures::write_media(dir.file("silent.mkv"), {{{fixtures::Kind::video}}});
  fixtures::write_media(dir.file("radio.mkv"), {{{fixtures::Kind::audio}}});
  fixtures::write_media(out + "/b.mkv", video_audio);  // its output is itself

  struct row {
    std::vector<std::string> args;
    int exit_code;
    std::vector<std::string> refusals;  // the lines after the plan of a.mkv
  };
  const std::vector<row> rows = {
      {{"--to", out, dir.file("a.mkv"), dir.file("silent.mkv"), dir.file("radio.mkv"),
        dir.file("other/a.mkv"), dir.file("missing.mkv"), out + "/b.mkv"},
       1,
       {dir.file("silent.mkv") + ": skipped, no audio stream, nothing to remove",
        dir.file("radio.mkv") + ": no video stream",
        dir.file("other/a.mkv") + ": skipped, " + out + "/a.mkv is the output of " +
            dir.file("a.mkv"),
        dir.file("missing.mkv") + ": cannot open the input as a local media file",
        out + "/b.mkv: output would overwrite the input"}},
      {{"--in-place", dir.file("a.mkv"), dir.file("other"), dir.path() + "/./a.mkv"},
       1,
       {dir.file("other") + ": not a regular file, cannot be replaced in place",
        dir.path() + "/./a.mkv: skipped, the same file as " + dir.file("a.mkv")}},
      {{dir.file("a.mkv"), dir.path() + "/./a.mkv"}, 18, {}},
  };
  const auto before = snapshot(dir.path());
  for (const row& r : rows) {
    std::vector<std::string> args{"mute", "--dry-run"};
    args.insert(args.end(), r.args.begin(), r.args.end());
    const finished_run run = run_tool(args);
    EXPECT_EQ(run.exit_code, r.exit_code) << r.args[0] << ": " << run.err;
    std::string expected;
    if (r.refusals.empty()) {
      expected = dir.file("a.mkv") + ": output would overwrite the input\n";
    } else {
      const std::string heading =
          r.args[0] == "--to" ? dir.file("a.mkv") + " -> " + out + "/a.mkv: would keep 1 of 2 streams, "
                              : dir.file("a.mkv") + ": would keep 1 of 2 streams in place, ";
      expected = heading + saving(dir.file("a.mkv")) +
                 "\n  stream 0: video mpeg4, kept\n  stream 1: audio ac3, dropped (audio)\n" + kAlsoKept;
      for (const std::string& line : r.refusals) expected += line + "\n";
    }
    EXPECT_EQ(run.out, expected) << r.args[0];
    EXPECT_EQ(snapshot(dir.path()), before) << r.args[0];
  }
}

}  // namespace

namespace {

// Into a container that cannot hold every stream as it is: each stream's
// own fate, the converted and left-out ones with what and why, and the real
// run names them too, in its line of one file and of a batch.
TEST(DryRun, NamesTheStreamsTheContainerMakesConvertOrLeaveOut) {
  fixtures::TempDir dir;
  const std::string in = dir.file("in.mkv");
  fixtures::write_media(in, fixtures::layout_of({fixtures::Kind::video, fixtures::Kind::audio,
                                                 fixtures::Kind::subtitle, fixtures::Kind::attachment}));
  const std::string out = dir.file("out.mp4");
  const std::string converted = "converted from subrip to mov_text";
  const std::string left_out = "left out (the mp4 container cannot hold it)";

  const finished_run dry = run_tool({"mute", "--dry-run", in, out});
  EXPECT_EQ(dry.exit_code, 0) << dry.err;
  EXPECT_EQ(dry.out, in + " -> " + out + ": would keep 2 of 4 streams, " + saving(in) +
                         "\n  stream 0: video mpeg4, kept\n  stream 1: audio ac3, dropped (audio)\n"
                         "  stream 2: subtitle subrip, " + converted + "\n  stream 3: other ttf, " + left_out + "\n" +
                         kAlsoKept);
  EXPECT_FALSE(fs::exists(out));

  const std::string changes = "stream 2 " + converted + ", stream 3 " + left_out;
  const finished_run run = run_tool({"mute", in, out});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_TRUE(run.err.ends_with("\ntacetra: " + in + ": " + changes + "\n")) << run.err;

  // A batch keeps each file's name, so only a file whose name belies its
  // container meets another container.
  const std::string named_mp4 = dir.file("named.mp4");
  fs::copy_file(in, named_mp4);
  const finished_run batch = run_tool({"mute", "--to", dir.file("copies"), named_mp4});
  EXPECT_EQ(batch.exit_code, 0) << batch.err;
  EXPECT_NE(batch.out.find(named_mp4 + " -> " + dir.file("copies/named.mp4") + ": done, "), std::string::npos)
      << batch.out;
  EXPECT_TRUE(batch.out.ends_with(", " + changes + "\n")) << batch.out;
}

}  // namespace
