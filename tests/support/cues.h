// The cues of a text subtitle stream, as a player's decoder sees them, so
// that a converted stream can be checked cue by cue against its input.
// Throws std::runtime_error on failure.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace fixtures {

struct Cue {
  std::int64_t start_ms = 0;
  std::int64_t duration_ms = 0;
  std::string text;     // the event's text, ASS override blocks ("{\i1}") removed
  bool italic = false;  // an override turns italics on
  friend bool operator==(const Cue&, const Cue&) = default;
};

// Decodes every packet of the file's stream `stream` with libavcodec. Start
// times count from the stream's first packet, so that containers that start
// their timeline elsewhere compare alike.
std::vector<Cue> read_cues(const std::string& path, int stream);

std::ostream& operator<<(std::ostream& os, const Cue& c);

}  // namespace fixtures
