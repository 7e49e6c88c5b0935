// A job's copy is on the disk when the job is done: its bytes, written back
// while the copy runs and flushed at the end. The calls are watched as the
// library makes them (support/disk_calls.h).
#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>

#include "support/disk_calls.h"
#include "support/files.h"
#include "support/fixtures.h"
#include "support/jobs.h"
#include "tacetra.h"

namespace {

using fixtures::FreeAllSlots;
using fixtures::names_in;
using fixtures::read_bytes;
using fixtures::TempDir;
using fixtures::wait_final;
using fixtures::write_bytes;

class Durability : public testing::TestWithParam<const char*> {};

// The disk's failure to write a stretch back may never reach the final
// flush: the job fails all the same, and the user's file stays as it was.
TEST_P(Durability, AStretchTheDiskFailsToWriteBackFailsTheJobAndKeepsTheUsersFile) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = dir.file(std::string("in.") + GetParam());
  fixtures::write_long(in, 20);
  const std::string out = dir.file(std::string("out.") + GetParam());
  const std::string user_bytes = "the user's own file\n";
  write_bytes(out, user_bytes);
  const std::set<std::string> before = names_in(dir);

  fixtures::fail_next_write_back(EIO);
  const int id = tacetra_start(in.c_str(), out.c_str());
  ASSERT_GE(id, 0);
  EXPECT_EQ(wait_final(id), TACETRA_FAILED);
  const std::string result = tacetra_result(id);
  EXPECT_TRUE(result == R"({"state":5,"ok":false,"error":"write frame failed"})" ||
              result == R"({"state":5,"ok":false,"error":"write trailer failed"})")
      << result;
  EXPECT_EQ(names_in(dir), before);
  EXPECT_TRUE(read_bytes(out) == user_bytes);
  tacetra_free(id);
}

INSTANTIATE_TEST_SUITE_P(Containers, Durability, testing::Values("mkv", "mp4"));

}  // namespace
