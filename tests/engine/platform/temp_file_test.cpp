// Temporary files: made in TMPDIR under a "DOD" name, gone from the folder at once, and
// read and written at positions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/platform/temp_file.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

TEST(TemporaryFile, LivesOnlyInItsDescriptor) {
  testing::TempFolder folder;
  const std::string dir = std::filesystem::path(folder.File("x")).parent_path().string();
  const char* old = std::getenv("TMPDIR");
  const std::string kept = old ? old : "";
  setenv("TMPDIR", dir.c_str(), 1);
  TemporaryFile file;
  const bool created = file.Create();
  if (old) setenv("TMPDIR", kept.c_str(), 1);
  else unsetenv("TMPDIR");
  ASSERT_TRUE(created) << file.LastError();
  EXPECT_EQ(std::filesystem::path(file.Name()).parent_path().string(), dir);
  EXPECT_EQ(std::filesystem::path(file.Name()).filename().string().rfind("DOD", 0), 0u);
  EXPECT_TRUE(std::filesystem::is_empty(dir));
  const char text[] = "spilled";
  ASSERT_TRUE(file.Write(text, sizeof(text), 10000));
  int64_t size = 0;
  ASSERT_TRUE(file.GetSize(&size));
  EXPECT_EQ(size, 10000 + static_cast<int64_t>(sizeof(text)));
  char back[sizeof(text)] = {};
  ASSERT_TRUE(file.Read(back, sizeof(back), 10000));
  EXPECT_STREQ(back, text);
  // Reading past the end fails rather than answering short.
  EXPECT_FALSE(file.Read(back, sizeof(back), 10004));
  ASSERT_TRUE(file.SetSize(3));
  ASSERT_TRUE(file.GetSize(&size));
  EXPECT_EQ(size, 3);
}

TEST(TemporaryFile, FolderFallsBackToTmp) {
  const char* old = std::getenv("TMPDIR");
  const std::string kept = old ? old : "";
  setenv("TMPDIR", "", 1);
  EXPECT_EQ(TemporaryFolder(), "/tmp");
  if (old) setenv("TMPDIR", kept.c_str(), 1);
  else unsetenv("TMPDIR");
}

}  // namespace
}  // namespace dadoveri
