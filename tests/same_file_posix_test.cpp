#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "common/same_file.h"
#include "support/fixtures.h"

namespace {

TEST(SameFile, SeesThroughSymlinksAndHardLinks) {
  fixtures::TempDir dir;
  const std::string a = dir.file("a.mkv");
  std::ofstream(a) << "a";
  const std::string symlink_to_a = dir.file("link.mkv");
  const std::string hard_link_to_a = dir.file("hard.mkv");
  ASSERT_EQ(::symlink(a.c_str(), symlink_to_a.c_str()), 0);
  ASSERT_EQ(::link(a.c_str(), hard_link_to_a.c_str()), 0);
  EXPECT_TRUE(tacetra::same_file(a.c_str(), symlink_to_a.c_str()));
  EXPECT_TRUE(tacetra::same_file(hard_link_to_a.c_str(), a.c_str()));

  // A new name inside a symlinked directory is the same entry as the one
  // inside the real directory.
  const std::string dir_link = dir.file("dirlink");
  ASSERT_EQ(::symlink(dir.path().c_str(), dir_link.c_str()), 0);
  EXPECT_TRUE(tacetra::same_file((dir_link + "/new.mkv").c_str(), dir.file("new.mkv").c_str()));
}

}  // namespace
