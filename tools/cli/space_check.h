#pragma once

#include <cstdint>
#include <string>

#include "probe_facts.h"

namespace tacetra_cli {

// Whether a job's copy can be expected to fit where it goes.
struct space_verdict {
  bool known = false;       // false: there was no telling, and the job may go
  std::int64_t needed = 0;  // the copy's expected size, with a margin
  std::int64_t available = 0;
  std::uint64_t device = 0;  // the filesystem the copy goes to
  std::string directory;     // where the free space was measured

  // `reserved`: room that jobs already running there are still to take.
  bool fits(std::int64_t reserved) const { return !known || needed <= available - reserved; }
};

// The room a copy is expected to take: the input less its audio, as the
// probe estimates it, and a margin for the container's own share, which
// differs from one container to another.
std::int64_t room_for_copy(const probe_facts& input);

// Measures the free space of the filesystem `out_path` is to be written on,
// in its directory or the nearest one above that exists. No verdict for an
// input that tacetra_start will refuse anyway.
space_verdict judge_space(const probe_facts& input, const std::string& out_path);

// "not enough free space in DIR: the copy needs about 3.2 MB, 1.0 MB free"
std::string not_enough_space(const space_verdict& verdict);

}  // namespace tacetra_cli
