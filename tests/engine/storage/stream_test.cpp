#include "engine/storage/stream.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tests/engine/storage/compression_samples.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::CodeOf;
using testing::MessageOf;
using testing::RandomBytes;
using testing::TempFolder;

std::string open_file_of(int fd) {
  std::error_code ec;
  const auto target = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
  return ec ? std::string() : target.string();
}

Bytes read_all(TABSStream& s) {
  Bytes out(static_cast<size_t>(s.GetSize()));
  s.SetPosition(0);
  EXPECT_EQ(s.Read(out.data(), static_cast<int64_t>(out.size())), static_cast<int64_t>(out.size()));
  return out;
}

TEST(TemporaryStream, MovesToAnUnlinkedFileBeyondOneMegabyte) {
  const Bytes data = RandomBytes(TABSTemporaryStream::kMemoryLimit + 1, 2);
  int fd = -1;
  {
    TABSTemporaryStream s;
    s.Write(data.data(), TABSTemporaryStream::kMemoryLimit);
    EXPECT_FALSE(s.InFile());  // exactly 1048576 bytes stay in memory
    s.Write(data.data() + TABSTemporaryStream::kMemoryLimit, 1);
    ASSERT_TRUE(s.InFile());
    fd = s.FileHandle();
    const std::string target = open_file_of(fd);
    EXPECT_NE(target.find("/DOD"), std::string::npos) << target;
    EXPECT_NE(target.find("(deleted)"), std::string::npos) << target;
    EXPECT_EQ(s.GetSize(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(read_all(s), data);
    // Reads and writes at positions go on in the file.
    s.SetPosition(10);
    s.Write("xyz", 3);
    Bytes three(3);
    s.SetPosition(10);
    EXPECT_EQ(s.Read(three.data(), 3), 3);
    EXPECT_EQ(three, (Bytes{'x', 'y', 'z'}));
    ASSERT_TRUE(s.SetSize(20));
    EXPECT_EQ(s.GetSize(), 20);
  }
  EXPECT_EQ(open_file_of(fd).find("DOD"), std::string::npos);  // gone with the stream
}

TEST(TemporaryStream, StaysInMemoryWhenTemporaryFilesAreDisabled) {
  const Bytes data = RandomBytes(TABSTemporaryStream::kMemoryLimit + 1, 4);
  TABSTemporaryStream s(true);
  s.Write(data.data(), static_cast<int64_t>(data.size()));
  EXPECT_FALSE(s.InFile());
  EXPECT_EQ(s.FileHandle(), -1);
  ASSERT_TRUE(s.SetSize(3 * TABSTemporaryStream::kMemoryLimit));
  EXPECT_FALSE(s.InFile());
  EXPECT_EQ(s.GetSize(), 3 * TABSTemporaryStream::kMemoryLimit);
}

TEST(TemporaryStream, GrowingBySetSizeMovesToAFileToo) {
  TABSTemporaryStream s;
  s.Write("abc", 3);
  ASSERT_TRUE(s.SetSize(2 * TABSTemporaryStream::kMemoryLimit));
  EXPECT_TRUE(s.InFile());
  Bytes head(4);
  s.SetPosition(0);
  EXPECT_EQ(s.Read(head.data(), 4), 4);
  EXPECT_EQ(head, (Bytes{'a', 'b', 'c', 0}));
}

TEST(TemporaryStream, NoFolderForTheFileRaisesCannotCreate) {
  TempFolder dir;
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", dir.File("missing").c_str(), 1);
  TABSTemporaryStream s;
  const Bytes data(TABSTemporaryStream::kMemoryLimit + 1, 1);
  EXPECT_EQ(CodeOf([&] { s.Write(data.data(), static_cast<int64_t>(data.size())); }), 10104);
  if (old)
    setenv("TMPDIR", saved.c_str(), 1);
  else
    unsetenv("TMPDIR");
}

TEST(Streams, CopyFromMovesEverythingInPieces) {
  const Bytes data = RandomBytes(3 * TABSStream::kCopyBlockSize + 17, 6);
  TABSMemoryStream source;
  source.Write(data.data(), static_cast<int64_t>(data.size()));
  TempFolder dir;
  TABSFileStream file(dir.File("copy"), fmCreate);
  EXPECT_EQ(file.CopyFrom(source, 0), static_cast<int64_t>(data.size()));  // 0: all of it
  EXPECT_EQ(read_all(file), data);
  TABSMemoryStream back;
  file.SetPosition(5);
  EXPECT_EQ(back.CopyFrom(file, 100), 100);
  EXPECT_EQ(back.Bytes(), Bytes(data.begin() + 5, data.begin() + 105));
  // A source that runs short fails rather than copying less.
  file.SetPosition(static_cast<int64_t>(data.size()) - 10);
  EXPECT_EQ(CodeOf([&] { back.CopyFrom(file, 11); }), 10090);
}

TEST(Streams, FileStreamOpenAndCreateFailures) {
  TempFolder dir;
  const std::string missing = dir.File("no/such/file");
  EXPECT_EQ(MessageOf([&] { TABSFileStream(missing, fmCreate); }),
            "Cannot create file. FileName = " + missing + " - Native error: 10104");
  EXPECT_EQ(MessageOf([&] { TABSFileStream(missing, fmOpenReadWrite | fmShareDenyNone); }),
            "Cannot open file. FileName = " + missing + ", Mode = 66 - Native error: 10105");
  {
    TABSFileStream created(dir.File("f"), fmCreate);
    created.Write("hello", 5);
  }
  TABSFileStream reader(dir.File("f"), fmOpenRead | fmShareDenyWrite);
  EXPECT_EQ(read_all(reader), (Bytes{'h', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(reader.Write("x", 1), 0);  // opened for reading only
  // Another handle that wants to write is refused while this one denies writing.
  EXPECT_EQ(CodeOf([&] { TABSFileStream(dir.File("f"), fmOpenReadWrite | fmShareDenyNone); }), 10105);
}

TEST(Streams, MemoryStreamSeeksAndSizes) {
  TABSMemoryStream s;
  EXPECT_EQ(s.Seek(-1, TABSSeekOrigin::Beginning), -1);
  EXPECT_EQ(s.Seek(4, TABSSeekOrigin::Beginning), 4);
  s.Write("ab", 2);  // past the end: zeros before
  EXPECT_EQ(s.Bytes(), (Bytes{0, 0, 0, 0, 'a', 'b'}));
  EXPECT_EQ(s.Seek(-2, TABSSeekOrigin::End), 4);
  EXPECT_EQ(s.Seek(1, TABSSeekOrigin::Current), 5);
  EXPECT_FALSE(s.SetSize(-1));
  EXPECT_TRUE(s.SetSize(1));
  char c = 'x';
  EXPECT_EQ(s.Read(&c, 1), 0);  // the position is past the new end
}

}  // namespace
}  // namespace dadoveri
