// A job's copy is on the disk when the job is done: its bytes, written back
// while the copy runs and flushed at the end, and then its name. The calls
// are watched as the library makes them (support/disk_calls.h).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include "support/disk_calls.h"
#include "support/files.h"
#include "support/fixtures.h"
#include "support/jobs.h"
#include "tacetra.h"

namespace {

using fixtures::disk_calls;
using fixtures::DiskCall;
using fixtures::FreeAllSlots;
using fixtures::names_in;
using fixtures::read_bytes;
using fixtures::TempDir;
using fixtures::wait_final;
using fixtures::write_bytes;

struct identity {
  std::uint64_t device, inode;
};

identity identity_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

bool is(const DiskCall& call, DiskCall::Kind kind, identity of) {
  return call.kind == kind && call.device == of.device && call.inode == of.inode;
}

// Where the first call after `from` that `matches` stands; calls.size() if none.
template <class Match>
std::size_t first(const std::vector<DiskCall>& calls, std::size_t from, Match matches) {
  return std::find_if(calls.begin() + std::min(from, calls.size()), calls.end(), matches) -
         calls.begin();
}

std::string describe(const std::vector<DiskCall>& calls) {
  static const char* const kinds[] = {"file sync", "directory sync", "write-back", "name change",
                                      "mark"};
  std::string text;
  for (const DiskCall& call : calls) {
    text +=
        std::string(kinds[call.kind]) + " " + std::to_string(call.inode) + " " + call.name + "\n";
  }
  return text;
}

class Durability : public testing::TestWithParam<const char*> {};

// The output is some 11 MB: one stretch of it goes to the disk while the
// copy still runs, the rest with the final flush.
TEST_P(Durability, TheCopyIsWrittenBackThenFlushedThenNamedAndItsDirectoryFlushedBeforeDone) {
  TempDir dir;
  FreeAllSlots guard;
  const std::string in = dir.file(std::string("in.") + GetParam());
  fixtures::write_long(in, 20);
  const std::string out = dir.file(std::string("out.") + GetParam());
  write_bytes(out, "the user's file, replaced by the copy\n");

  fixtures::clear_disk_calls();
  const int id = tacetra_start(in.c_str(), out.c_str());
  ASSERT_GE(id, 0);
  ASSERT_EQ(wait_final(id), TACETRA_DONE) << tacetra_result(id);
  fixtures::mark_disk_calls("done");
  const std::vector<DiskCall> calls = disk_calls();
  const identity copy = identity_of(out);
  const identity directory = identity_of(dir.path());

  const std::size_t written_back =
      first(calls, 0, [&](auto& c) { return is(c, DiskCall::write_back, copy); });
  const std::size_t flushed =
      first(calls, written_back, [&](auto& c) { return is(c, DiskCall::file_sync, copy); });
  // The last name change that gave the copy its name (there may be steps before it).
  std::size_t named = calls.size();
  for (std::size_t i = flushed; i < calls.size(); ++i) {
    if (calls[i].kind == DiskCall::name_change && dir.file(calls[i].name) == out) named = i;
  }
  const std::size_t directory_flushed =
      first(calls, named, [&](auto& c) { return is(c, DiskCall::directory_sync, directory); });
  const std::size_t done = first(calls, 0, [](auto& c) { return c.kind == DiskCall::mark; });
  EXPECT_LT(written_back, flushed) << describe(calls);
  EXPECT_LT(flushed, named) << describe(calls);
  EXPECT_LT(named, directory_flushed) << describe(calls);
  EXPECT_LT(directory_flushed, done) << describe(calls);
  EXPECT_EQ(fixtures::read_media(out).streams.size(), 1u);
  tacetra_free(id);
}

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
