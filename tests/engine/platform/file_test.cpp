#include "engine/platform/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

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
