#include "engine/platform/temporary_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

using testing::TempFolder;

// Sets TMPDIR for the test's duration.
class ScopedTmpDir {
 public:
  explicit ScopedTmpDir(const char* value) {
    if (const char* old = std::getenv("TMPDIR")) old_ = old;
    if (value)
      setenv("TMPDIR", value, 1);
    else
      unsetenv("TMPDIR");
  }
  ~ScopedTmpDir() {
    if (old_)
      setenv("TMPDIR", old_->c_str(), 1);
    else
      unsetenv("TMPDIR");
  }

 private:
  std::optional<std::string> old_;
};

// What /proc/self/fd says descriptor `fd` is open on; empty when it is not open.
std::string open_file_of(int fd) {
  std::error_code ec;
  const auto target = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
  return ec ? std::string() : target.string();
}

TEST(TemporaryFile, LivesUnlinkedInTmpDirUntilClosed) {
  TempFolder dir;
  const std::string folder = std::filesystem::path(dir.File("x")).parent_path().string();
  ScopedTmpDir tmp(folder.c_str());
  EXPECT_EQ(TemporaryFile::Folder(), folder);

  int fd = -1;
  {
    TemporaryFile f;
    ASSERT_TRUE(f.Create());
    fd = f.Handle();
    EXPECT_EQ(std::filesystem::path(f.Name()).parent_path().string(), folder);
    EXPECT_EQ(std::filesystem::path(f.Name()).filename().string().rfind("DOD", 0), 0u);
    // Open, but already without a name: nothing is left even if the process dies now.
    EXPECT_EQ(open_file_of(fd), f.Name() + " (deleted)");
    EXPECT_TRUE(std::filesystem::is_empty(folder));

    ASSERT_TRUE(f.Write("abcdef", 6, 100));
    int64_t size = 0;
    ASSERT_TRUE(f.GetSize(&size));
    EXPECT_EQ(size, 106);
    char buf[10] = {};
    EXPECT_EQ(f.Read(buf, 10, 100), 6);  // short at the end
    EXPECT_EQ(std::string(buf, 6), "abcdef");
    ASSERT_TRUE(f.SetSize(50));
    ASSERT_TRUE(f.GetSize(&size));
    EXPECT_EQ(size, 50);
  }
  EXPECT_EQ(open_file_of(fd).find("DOD"), std::string::npos);  // the handle closed it
}

TEST(TemporaryFile, FolderFallsBackToTmpAndAMissingFolderFails) {
  {
    ScopedTmpDir tmp(nullptr);
    EXPECT_EQ(TemporaryFile::Folder(), "/tmp");
  }
  {
    ScopedTmpDir tmp("");
    EXPECT_EQ(TemporaryFile::Folder(), "/tmp");
  }
  TempFolder dir;
  ScopedTmpDir tmp(dir.File("missing").c_str());
  TemporaryFile f;
  EXPECT_FALSE(f.Create());
  EXPECT_EQ(f.LastError(), ENOENT);
  EXPECT_FALSE(f.IsOpen());
}

}  // namespace
}  // namespace dadoveri
