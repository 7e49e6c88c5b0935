// The progress lines' figures: for one job bar, percent, times, speed and
// time left; for a batch its files and bytes.
#include <gtest/gtest.h>

#include "batch_line.h"
#include "progress_line.h"
#include "tacetra.h"
#include "units.h"

using namespace tacetra_cli;

namespace {

TEST(ProgressLine, ShowsTheFiguresOfAJob) {
  struct row {
    progress_report progress;
    std::int64_t wall_ms;
    std::string line;
  };
  const std::vector<row> rows = {
      // Half of ten seconds in 2.5 s: twice real time, 2.5 s to go.
      {{TACETRA_RUNNING, 50.0, 5000, 10000, 250}, 2500,
       "[##########..........]  50.0%  0:05.0 / 0:10.0  250 packets  2.0x  ETA 0:03"},
      {{TACETRA_RUNNING, 12.5, 450000, 3600000, 7}, 90000,
       "[##..................]  12.5%  7:30.0 / 1:00:00  7 packets  5.0x  ETA 10:30"},
      // Nothing copied yet: no speed, no estimate.
      {{TACETRA_PENDING, 0.0, 0, 0, 0}, 0, "[????????????????????]     ?%  0:00.0 / ?  0 packets  --x  ETA --"},
      // No duration: the library's percentage means nothing then.
      {{TACETRA_RUNNING, 100.0, 4000, 0, 99}, 1000,
       "[????????????????????]     ?%  0:04.0 / ?  99 packets  4.0x  ETA --"},
      {{TACETRA_DONE, 100.0, 9960, 10000, 500}, 100,
       "[####################] 100.0%  0:09.9 / 0:10.0  500 packets  99.6x  ETA 0:00"},
  };
  for (const row& r : rows) EXPECT_EQ(progress_line(r.progress, r.wall_ms), r.line);
}

TEST(BatchLine, ShowsWhereTheBatchStands) {
  struct row {
    batch_tally tally;
    std::int64_t wall_ms;
    std::string line;
  };
  const std::vector<row> rows = {
      // A quarter of the bytes in 2 s: 6 s to go.
      {{1, 0, 0, 3, 10000000, 40000000}, 2000,
       "[#####...............]  25.0%  1 done, 0 failed, 3 left  10.0 MB / 40.0 MB  ETA 0:06"},
      {{0, 1, 0, 2, 0, 5000}, 10, "[....................]   0.0%  0 done, 1 failed, 2 left  0 B / 5.0 kB  ETA --"},
      // Sizes unknown (pipes): no share to show.
      {{0, 0, 0, 1, 0, 0}, 500, "[????????????????????]     ?%  0 done, 0 failed, 1 left  0 B / 0 B  ETA --"},
      {{3, 2, 0, 0, 900, 900}, 700, "[####################] 100.0%  3 done, 2 failed, 0 left  900 B / 900 B  ETA 0:00"},
      {{1, 0, 4, 0, 900, 900}, 700,
       "[####################] 100.0%  1 done, 0 failed, 4 cancelled, 0 left  900 B / 900 B  ETA 0:00"},
      {{1, 0, 0, 0, 900, 900, 2}, 700,
       "[####################] 100.0%  1 done, 2 skipped, 0 failed, 0 left  900 B / 900 B  ETA 0:00"},
  };
  for (const row& r : rows) EXPECT_EQ(batch_line(r.tally, r.wall_ms), r.line);
}

TEST(Units, ClockCountdownAndSize) {
  EXPECT_EQ(format_clock(0), "0:00.0");
  EXPECT_EQ(format_clock(61999), "1:01.9");
  EXPECT_EQ(format_clock(3723000), "1:02:03");
  EXPECT_EQ(format_countdown(1), "0:01");
  EXPECT_EQ(format_countdown(3600000), "1:00:00");
  EXPECT_EQ(format_size(999), "999 B");
  EXPECT_EQ(format_size(1500), "1.5 kB");
  EXPECT_EQ(format_size(31000000), "31.0 MB");
}

}  // namespace
