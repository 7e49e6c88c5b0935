// The job's one output file: muxers that would write files of their own are
// refused, an output name at the file system's limit is still written, and
// relative paths name what they named when the job started.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "jobs/session.h"
#include "support/files.h"
#include "support/fixtures.h"
#include "support/jobs.h"
#include "tacetra.h"

namespace {

namespace fs = std::filesystem;
using fixtures::FreeAllSlots;
using fixtures::Kind;
using fixtures::layout_of;
using fixtures::names_in;
using fixtures::read_bytes;
using fixtures::TempDir;
using fixtures::wait_final;
using fixtures::write_bytes;

// A path from the UTF-8 bytes the library keeps.
fs::path from_utf8(const char* text) { return fs::path(std::u8string(text, text + std::strlen(text))); }

// Every file in a directory with its bytes.
std::map<std::string, std::string> contents_of(const TempDir& dir) {
  std::map<std::string, std::string> files;
  for (const std::string& name : names_in(dir)) files[name] = read_bytes(dir.file(name));
  return files;
}

// An output name for each muxer of this FFmpeg that writes files of its own
// (image sequences, playlists with their segments, manifests, chunks).
std::vector<std::string> outputs_of_muxers_with_files_of_their_own() {
  std::vector<std::string> names;
  void* opaque = nullptr;
  while (const AVOutputFormat* f = av_muxer_iterate(&opaque)) {
    if (!(f->flags & AVFMT_NOFILE) || f->extensions == nullptr || f->extensions[0] == '\0') continue;
    const std::string extensions = f->extensions;
    const std::string name = "out." + extensions.substr(0, extensions.find(','));
    // The output name must choose this muxer (several share an extension).
    const AVOutputFormat* chosen = av_guess_format(nullptr, name.c_str(), nullptr);
    if (chosen != nullptr && (chosen->flags & AVFMT_NOFILE)) names.push_back(name);
  }
  const AVOutputFormat* sequence = av_guess_format(nullptr, "frame%d.jpg", nullptr);
  if (sequence != nullptr && (sequence->flags & AVFMT_NOFILE)) names.push_back("frame%d.jpg");
  return names;
}

TEST(OwnFiles, MuxersThatWriteFilesOfTheirOwnAreRefusedAndTouchNothing) {
  const std::vector<std::string> outputs = outputs_of_muxers_with_files_of_their_own();
  if (outputs.empty()) GTEST_SKIP() << "this FFmpeg has no muxer that writes files of its own";
  for (const std::string& name : outputs) {
    SCOPED_TRACE(name);
    TempDir dir;
    FreeAllSlots guard;
    // The input is named as a playlist's first segment would be, and the
    // user's files stand at and around the output path, where such muxers
    // write, rename and delete.
    const std::string in = dir.file("out0.ts");
    fixtures::write_media(in, layout_of({Kind::video, Kind::audio}));
    for (const std::string& user : {name, name + ".part", name + ".tmp", std::string("frame1.jpg"),
                                    std::string("frame2.jpg"), std::string("out1.ts"),
                                    std::string("init-stream0.m4s"), std::string("chunk-stream0-00001.m4s")}) {
      if (user != "frame%d.jpg") write_bytes(dir.file(user), "the user's " + user + "\n");
    }
    const auto before = contents_of(dir);

    for (const std::string& out : {dir.file(name), "file:" + dir.file(name)}) {
      const int id = tacetra_start(in.c_str(), out.c_str());
      ASSERT_EQ(id, 0) << out;
      EXPECT_EQ(wait_final(id), TACETRA_FAILED);
      EXPECT_STREQ(tacetra_result(id), R"({"state":5,"ok":false,"error":"cannot create output"})");
      tacetra_free(id);
      EXPECT_EQ(contents_of(dir), before);
    }
  }
}

TEST(PartialName, AnOutputNameAtTheFileSystemsLimitIsWritten) {
  TempDir dir;
  const std::string in = fixtures::write_good_input(dir, "in.mkv");
  // 255 bytes: the longest name most file systems take, too long to take a
  // ".part" suffix as well.
  const std::string name = std::string(251, 'n') + ".mkv";
  const auto s = fixtures::run_worker(in, dir.file(name));
  ASSERT_EQ(s->state, tacetra::MUTE_DONE) << s->error;
  EXPECT_EQ(fixtures::read_media(dir.file(name)).streams.size(), 1u);
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.mkv", name}));
}

// The current directory, put back when the test ends.
struct CurrentDirectory {
  fs::path saved = fs::current_path();
  ~CurrentDirectory() { fs::current_path(saved); }
};

TEST(StartPaths, RelativePathsNameWhatTheyNamedWhenTheJobStarted) {
  TempDir there;
  TempDir elsewhere;
  FreeAllSlots guard;
  CurrentDirectory cwd;
  const std::string in = fixtures::write_good_input(there, "in.mkv");
  // Elsewhere the same names lead to other files, which nothing may touch.
  fixtures::write_media(elsewhere.file("in.mkv"), layout_of({Kind::video, Kind::audio, Kind::subtitle}));
  write_bytes(elsewhere.file("out.mkv"), "the user's own\n");
  write_bytes(elsewhere.file("out.mkv.part"), "the user's partial\n");
  const auto elsewhere_before = contents_of(elsewhere);

  fs::current_path(there.path());
  const int id = tacetra_start("in.mkv", "out.mkv");
  fs::current_path(elsewhere.path());
  ASSERT_EQ(id, 0);
  EXPECT_TRUE(fs::equivalent(from_utf8(tacetra::g_sessions[id].in_path_resolved), from_utf8(in.c_str())));
  EXPECT_TRUE(from_utf8(tacetra::g_sessions[id].out_path_resolved).is_absolute());
  EXPECT_EQ(wait_final(id), TACETRA_DONE) << tacetra_result(id);
  EXPECT_NE(std::strstr(tacetra_result(id), R"("out_path":"out.mkv")"), nullptr) << tacetra_result(id);
  tacetra_free(id);

  EXPECT_EQ(fixtures::read_media(there.file("out.mkv")).streams.size(), 1u);
  EXPECT_EQ(contents_of(elsewhere), elsewhere_before);
}

}  // namespace
