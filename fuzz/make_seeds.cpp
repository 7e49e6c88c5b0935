// Writes the starting corpus of the media fuzzer: small fixture files in every
// container the fixtures know, with the stream layouts the job engine tells
// apart, plus a few cut short.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "support/fixtures.h"

using fixtures::Kind;
using fixtures::MediaLayout;

namespace {

struct seed {
  const char* name;
  MediaLayout layout;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path corpus = argv[1];
  std::filesystem::create_directories(corpus);

  const std::vector<seed> seeds = {
      {"av.mkv", {{{Kind::video}, {Kind::audio}}, 3}},
      {"av.mp4", {{{Kind::video}, {Kind::audio}}, 3}},
      {"av.mov", {{{Kind::video}, {Kind::audio}}, 3}},
      {"av.nut", {{{Kind::video}, {Kind::audio}}, 3}},
      {"av.ts", {{{Kind::video}, {Kind::audio}}, 3}},
      {"av.avi", {{{Kind::video}, {Kind::audio}}, 3}},
      {"avs.mkv", {{{Kind::audio}, {Kind::video}, {Kind::subtitle}}, 2}},
      {"avs.mp4", {{{Kind::video}, {Kind::audio}, {Kind::subtitle}}, 2}},
      {"avd.ts", {{{Kind::video}, {Kind::audio}, {Kind::data}}, 2}},
      {"avd.nut", {{{Kind::video}, {Kind::audio}, {Kind::data}}, 2}},
      {"ava.mkv", {{{Kind::video}, {Kind::audio}, {Kind::attachment}}, 2}},
      {"v.mkv", {{{Kind::video}}, 2}},
      {"a.mkv", {{{Kind::audio}}, 2}},
      {"nopts.avi", {{{Kind::video}, {Kind::audio}}, 3, 0, true}},
      {"noduration.mkv", {{{Kind::video}, {Kind::audio}}, 3, 0, false, true}},
      {"late.mkv", {{{Kind::video}, {Kind::audio}}, 3, 500}},
  };
  // A layout the fixtures cannot write costs one file, not the corpus.
  int failed = 0;
  for (const seed& s : seeds) {
    try {
      const std::string path = (corpus / s.name).string();
      fixtures::write_media(path, s.layout);
      // The first half of each file: a cut-off download or copy.
      const auto size = std::filesystem::file_size(path);
      const std::string cut = (corpus / (std::string("half-") + s.name)).string();
      std::filesystem::copy_file(path, cut, std::filesystem::copy_options::overwrite_existing);
      std::filesystem::resize_file(cut, size / 2);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "make_seeds: %s: %s\n", s.name, e.what());
      ++failed;
    }
  }
  try {
    fixtures::write_no_streams((corpus / "nostreams.txt").string());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_seeds: nostreams.txt: %s\n", e.what());
    ++failed;
  }
  return failed * 2 > static_cast<int>(seeds.size()) ? 1 : 0;
}
