// Writes an input for the tests of the language bindings, which cannot call
// the C++ fixtures themselves.
//
//   tacetra_write_fixture OUTPUT           a short clip: video and audio, 10 packets each
//   tacetra_write_fixture OUTPUT SECONDS   a long clip of video and audio (write_long)
//
// The container follows from OUTPUT's name. Exits 1 with a message when the
// file cannot be written.
#include <cstdio>
#include <exception>
#include <string>

#include "fixtures.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: tacetra_write_fixture OUTPUT [SECONDS]\n");
    return 2;
  }
  try {
    if (argc == 3) {
      fixtures::write_long(argv[1], std::stoi(argv[2]));
    } else {
      fixtures::write_media(argv[1], fixtures::layout_of({fixtures::Kind::video, fixtures::Kind::audio}));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tacetra_write_fixture: %s\n", e.what());
    return 1;
  }
  return 0;
}
