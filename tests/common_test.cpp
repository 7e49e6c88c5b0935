#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "common/file_size.h"
#include "common/millis.h"
#include "common/same_file.h"
#include "support/fixtures.h"

namespace {

TEST(DurationMs, TruncatesTowardZeroAndMapsNoValueToZero) {
  EXPECT_EQ(tacetra::duration_ms(AV_NOPTS_VALUE), 0);
  EXPECT_EQ(tacetra::duration_ms(0), 0);
  EXPECT_EQ(tacetra::duration_ms(999), 0);
  EXPECT_EQ(tacetra::duration_ms(1'500), 1);
  EXPECT_EQ(tacetra::duration_ms(-1'999), -1);
  EXPECT_EQ(tacetra::duration_ms(INT64_MAX), INT64_MAX / 1000);
}

TEST(FileSize, MeasuresFilesAndGivesZeroForMissingOnes) {
  fixtures::TempDir dir;
  const std::string path = dir.file("five.bin");
  std::ofstream(path, std::ios::binary) << "12345";
  EXPECT_EQ(tacetra::file_size(path.c_str()), 5);
  const std::string empty = dir.file("empty.bin");
  std::ofstream(empty, std::ios::binary).flush();
  EXPECT_EQ(tacetra::file_size(empty.c_str()), 0);
  EXPECT_EQ(tacetra::file_size(dir.file("missing.bin").c_str()), 0);
  // FFmpeg reads "file:NAME" as NAME; the size is that file's.
  EXPECT_EQ(tacetra::file_size(("file:" + path).c_str()), 5);
}

TEST(FileSize, IsRightPastFourGibibytes) {
  fixtures::TempDir dir;
  const std::string path = dir.file("sparse.bin");
  // A sparse file: 5 GiB long, next to no disk used.
  const std::int64_t size = (std::int64_t{5} << 30) + 7;
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
#ifdef _WIN32
    ASSERT_EQ(_fseeki64(f, size - 1, SEEK_SET), 0);
#else
    ASSERT_EQ(fseeko(f, size - 1, SEEK_SET), 0);
#endif
    ASSERT_EQ(std::fputc('x', f), 'x');
    std::fclose(f);
  }
  EXPECT_EQ(tacetra::file_size(path.c_str()), size);
}

TEST(SameFile, ComparesExistingFilesByIdentityAndNewOnesByName) {
  fixtures::TempDir dir;
  const std::string a = dir.file("a.mkv");
  const std::string b = dir.file("b.mkv");
  std::ofstream(a) << "a";
  std::ofstream(b) << "b";
  const std::string a_dotted = dir.path() + "/./a.mkv";
  const std::string a_via_parent = dir.path() + "/../" +
                                   dir.path().substr(dir.path().find_last_of("/\\") + 1) + "/a.mkv";
  const std::string new_one = dir.file("new.mkv");
  const std::string new_dotted = dir.path() + "/./new.mkv";

  EXPECT_TRUE(tacetra::same_file(a.c_str(), a.c_str()));
  EXPECT_TRUE(tacetra::same_file(a.c_str(), a_dotted.c_str()));
  EXPECT_TRUE(tacetra::same_file(a.c_str(), a_via_parent.c_str()));
  EXPECT_FALSE(tacetra::same_file(a.c_str(), b.c_str()));
  EXPECT_FALSE(tacetra::same_file(a.c_str(), new_one.c_str()));
  EXPECT_TRUE(tacetra::same_file(new_one.c_str(), new_dotted.c_str()));
  EXPECT_FALSE(tacetra::same_file(new_one.c_str(), dir.file("other.mkv").c_str()));
}

}  // namespace
