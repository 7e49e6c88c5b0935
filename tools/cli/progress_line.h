#pragma once

#include <cstdint>
#include <string>

#include "job.h"

namespace tacetra_cli {

// One line about a running job: bar, percent, media time processed of the
// total, packets, speed as a multiple of real time and time left, e.g.
//   [#########...........]  45.0%  0:04.5 / 0:10.0  1234 packets  9.0x  ETA 0:01
// `wall_ms` is how long the job has been running.
std::string progress_line(const progress_report& progress, std::int64_t wall_ms);

}  // namespace tacetra_cli
