#include "engine/platform/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

using testing::TempFolder;

TEST(PlatformFile, PositionedReadWriteSizeAndShortRead) {
  TempFolder dir;
  PlatformFile f;
  ASSERT_TRUE(f.Create(dir.File("a"), FileAccess::ReadWrite, FileShare::ReadWrite));
  ASSERT_TRUE(f.Write("hello", 5, 10));
  int64_t size = 0;
  ASSERT_TRUE(f.GetSize(&size));
  EXPECT_EQ(size, 15);
  char buf[5] = {};
  ASSERT_TRUE(f.Read(buf, 5, 10));
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_FALSE(f.Read(buf, 5, 12));  // runs past the end
  EXPECT_EQ(f.LastError(), ENODATA);
  ASSERT_TRUE(f.SetSize(3));
  ASSERT_TRUE(f.GetSize(&size));
  EXPECT_EQ(size, 3);
  EXPECT_TRUE(f.SyncData());
  EXPECT_TRUE(f.Flush());
  // Creating over an existing file fails: the caller deletes it first.
  PlatformFile g;
  EXPECT_FALSE(g.Create(dir.File("a"), FileAccess::ReadWrite, FileShare::ReadWrite));
  EXPECT_EQ(g.LastError(), EEXIST);
  EXPECT_FALSE(PlatformErrorText(EEXIST).empty());
}

// A file large enough to be read through a mapping: reads see every write at once (ours
// and another handle's), follow the file as it grows, and a file cut short by another
// program makes the lost range fail to read instead of ending the process.
TEST(PlatformFile, LargeFileReadsFollowWritesGrowthAndTruncation) {
  TempFolder dir;
  const std::string name = dir.File("big");
  const int64_t size = 2 * FileMapping::kSmallestMapping;
  PlatformFile f;
  ASSERT_TRUE(f.Create(name, FileAccess::ReadWrite, FileShare::ReadWrite));
  std::vector<uint8_t> page(4096);
  for (int64_t at = 0; at < size; at += 4096) {
    page[0] = static_cast<uint8_t>(at / 4096);
    ASSERT_TRUE(f.Write(page.data(), page.size(), at));
  }
  uint8_t b[4] = {};
  ASSERT_TRUE(f.Read(b, 1, size - 4096));
  EXPECT_EQ(b[0], static_cast<uint8_t>((size - 4096) / 4096));

  PlatformFile other;
  ASSERT_TRUE(other.Open(name, FileAccess::ReadWrite, FileShare::ReadWrite));
  ASSERT_TRUE(other.Write("abcd", 4, 8192));
  ASSERT_TRUE(f.Read(b, 4, 8192));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b), 4), "abcd");

  // Growth by the other handle: read beyond the first mapping, then after the file doubled.
  ASSERT_TRUE(other.Write("tail", 4, 3 * size));
  ASSERT_TRUE(f.Read(b, 4, 3 * size));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b), 4), "tail");
  EXPECT_FALSE(f.Read(b, 4, 3 * size + 2));
  EXPECT_EQ(f.LastError(), ENODATA);

  // Cut short by another program: the range beyond the new end fails, the rest reads.
  ASSERT_EQ(::truncate(name.c_str(), 16384), 0);
  EXPECT_FALSE(f.Read(b, 4, size - 4096));
  EXPECT_EQ(f.LastError(), ENODATA);
  ASSERT_TRUE(f.Read(b, 4, 8192));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b), 4), "abcd");

  // Our own truncation and a lost connection.
  ASSERT_TRUE(f.Write(page.data(), page.size(), size));
  ASSERT_TRUE(f.Read(b, 1, 4096));
  ASSERT_TRUE(f.SetSize(4096));
  EXPECT_FALSE(f.Read(b, 1, 8192));
  ASSERT_TRUE(f.Read(b, 1, 0));
  f.DropConnection();
  EXPECT_FALSE(f.Read(b, 1, 0));
  EXPECT_EQ(f.LastError(), EBADF);
}

TEST(PlatformFile, ShareModesRefuseConflictingOpens) {
  TempFolder dir;
  const std::string name = dir.File("db");
  {
    PlatformFile f;
    ASSERT_TRUE(f.Create(name, FileAccess::ReadWrite, FileShare::ReadWrite));
  }
  struct Case {
    const char* name;
    FileAccess first_access;
    FileShare first_share;
    FileAccess second_access;
    FileShare second_share;
    bool second_opens;
  };
  const Case cases[] = {
      {"both share all", FileAccess::ReadWrite, FileShare::ReadWrite, FileAccess::ReadWrite, FileShare::ReadWrite, true},
      {"first denies all", FileAccess::ReadWrite, FileShare::None, FileAccess::Read, FileShare::ReadWrite, false},
      {"second denies all while first open", FileAccess::Read, FileShare::ReadWrite, FileAccess::ReadWrite, FileShare::None, false},
      {"first denies write, second reads", FileAccess::Read, FileShare::Read, FileAccess::Read, FileShare::ReadWrite, true},
      {"first denies write, second writes", FileAccess::Read, FileShare::Read, FileAccess::ReadWrite, FileShare::ReadWrite, false},
      {"second denies write, first writes", FileAccess::ReadWrite, FileShare::ReadWrite, FileAccess::Read, FileShare::Read, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PlatformFile first;
    ASSERT_TRUE(first.Open(name, c.first_access, c.first_share));
    PlatformFile second;
    EXPECT_EQ(second.Open(name, c.second_access, c.second_share), c.second_opens);
    if (!c.second_opens) {
      EXPECT_EQ(second.LastError(), EBUSY);
    }
  }
  // Once the exclusive handle is closed the file opens again.
  PlatformFile again;
  EXPECT_TRUE(again.Open(name, FileAccess::ReadWrite, FileShare::None));
}

TEST(PlatformFile, ReadOnlyAttributeAndDelete) {
  TempFolder dir;
  const std::string name = dir.File("ro");
  {
    PlatformFile f;
    ASSERT_TRUE(f.Create(name, FileAccess::ReadWrite, FileShare::ReadWrite));
  }
  EXPECT_FALSE(PlatformFileIsReadOnly(name));
  ASSERT_EQ(chmod(name.c_str(), 0444), 0);
  EXPECT_TRUE(PlatformFileIsReadOnly(name));
  EXPECT_TRUE(PlatformClearReadOnly(name));
  EXPECT_FALSE(PlatformFileIsReadOnly(name));
  EXPECT_TRUE(PlatformDeleteFile(name));
  EXPECT_FALSE(PlatformFileExists(name));
}

}  // namespace
}  // namespace dadoveri
