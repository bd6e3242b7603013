#include "engine/storage/internal_file.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <numeric>

#include "engine/storage/compression.h"
#include "engine/storage/disk_page_manager.h"
#include "tests/engine/storage/storage_fixture.h"

namespace dadoveri {
namespace {

using testing::CodeOf;
using testing::CreateDatabase;
using testing::MessageOf;
using testing::OpenDatabase;
using testing::ReadWholeFile;
using testing::TempFolder;
using testing::WriteWholeFile;
using Bytes = std::vector<uint8_t>;

constexpr int32_t kSys = kSystemSession;

Bytes pattern(size_t n, uint8_t salt = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 13 + salt) ^ (i >> 7));
  return b;
}

size_t page_offset(int32_t no) { return 380 + static_cast<size_t>(no) * 4096; }

TEST(TransactedFile, ContentSpansPagesAndSurvivesReopening) {
  TempFolder dir;
  const std::string name = dir.File("t.dat");
  auto pm = CreateDatabase(name);
  TABSInternalDBTransactedAccessFile file(*pm);
  file.CreateFile(kSys, ptTableList);
  EXPECT_EQ(file.StartPageNo(), 2);
  EXPECT_EQ(file.GetSize(kSys), 0);
  const Bytes content = pattern(10000);
  file.WriteFile(kSys, content.data(), static_cast<int32_t>(content.size()));
  pm->CommitPages(kSys);
  pm->CloseDatabase();

  // On disk: the 10-byte header, then the stream across ceil((10000 + 10) / 4056) = 3 pages.
  const Bytes f = ReadWholeFile(name);
  const size_t first = page_offset(2);
  EXPECT_EQ(f[first + 8], ptTableList);
  EXPECT_EQ(f[first + 40], 10);
  int32_t stored, logical;
  std::memcpy(&stored, &f[first + 41], 4);
  std::memcpy(&logical, &f[first + 45], 4);
  EXPECT_EQ(stored, 10000);
  EXPECT_EQ(logical, 10000);
  EXPECT_EQ(f[first + 49], acNone);
  EXPECT_EQ(std::memcmp(&f[first + 50], content.data(), 4046), 0);
  int32_t next;
  std::memcpy(&next, &f[first + 10], 4);
  EXPECT_EQ(std::memcmp(&f[page_offset(next) + 40], content.data() + 4046, 4056), 0);

  auto again = OpenDatabase(name);
  TABSInternalDBTransactedAccessFile reopened(*again);
  reopened.OpenFile(2, ptTableList);
  EXPECT_EQ(reopened.ReadAll(kSys), content);
  Bytes prefix(100);
  reopened.ReadFile(kSys, prefix.data(), 100);
  EXPECT_EQ(prefix, Bytes(content.begin(), content.begin() + 100));
  EXPECT_EQ(MessageOf([&] { reopened.ReadFile(kSys, prefix.data(), 10001); }),
            "Cannot Read internal file. FileSize=10000. ReadSize=10001 - Native error: 30387");
}

TEST(TransactedFile, CompressedContentIsZlibAtTheFilesMode) {
  TempFolder dir;
  const std::string name = dir.File("z.dat");
  auto pm = CreateDatabase(name, {"pw", caSquare});
  TABSInternalDBTransactedAccessFile file(*pm);
  file.CreateFile(kSys, ptTableMetaData, acZLIB, 1);
  Bytes content(20000, 'a');
  std::iota(content.begin(), content.begin() + 300, 0);
  file.WriteFile(kSys, content.data(), static_cast<int32_t>(content.size()));
  pm->CommitPages(kSys);
  // The stored bytes are exactly zlib's stream at level 1.
  uLongf expected_size = compressBound(static_cast<uLong>(content.size()));
  Bytes expected(expected_size);
  ASSERT_EQ(compress2(expected.data(), &expected_size, content.data(), content.size(), 1), Z_OK);
  expected.resize(expected_size);
  TABSPageHandle first = pm->GetPage(kSys, file.StartPageNo(), false, ptTableMetaData);
  int32_t stored, logical;
  std::memcpy(&stored, first.Data() + 1, 4);
  std::memcpy(&logical, first.Data() + 5, 4);
  EXPECT_EQ(stored, static_cast<int32_t>(expected.size()));
  EXPECT_EQ(logical, 20000);
  EXPECT_EQ(first.Data()[9], acZLIB);
  EXPECT_EQ(Bytes(first.Data() + 10, first.Data() + 10 + expected.size()), expected);
  first.Release();
  EXPECT_EQ(file.GetSize(kSys), 20000);
  EXPECT_EQ(file.ReadAll(kSys), content);
  pm->CloseDatabase();
  auto again = OpenDatabase(name, {"pw", 0});
  TABSInternalDBTransactedAccessFile reopened(*again);
  reopened.OpenFile(2, ptTableMetaData, acZLIB, 1);
  EXPECT_EQ(reopened.ReadAll(kSys), content);
}

TEST(TransactedFile, EveryCompressionAlgorithmStoresTheBlockRoutinesOutput) {
  struct Case {
    const char* name;
    uint8_t algorithm;
    uint8_t mode;
  };
  Bytes content(30000);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>("the cat sat on the mat "[i % 23]);
  content[12345] = 0;
  for (const Case& c : {Case{"bzip2", acBZIP, 9}, Case{"ppm", acPPM, 4}, Case{"zlib", acZLIB, 9}}) {
    SCOPED_TRACE(c.name);
    TempFolder dir;
    const std::string name = dir.File("c.dat");
    auto pm = CreateDatabase(name);
    TABSInternalDBTransactedAccessFile file(*pm);
    file.CreateFile(kSys, ptTableMetaData, c.algorithm, c.mode);
    file.WriteFile(kSys, content.data(), static_cast<int32_t>(content.size()));
    pm->CommitPages(kSys);
    Bytes expected;
    ASSERT_TRUE(CompressBuffer(c.algorithm, c.mode, content.data(), content.size(), expected));
    {
      TABSPageHandle first = pm->GetPage(kSys, file.StartPageNo(), false, ptTableMetaData);
      EXPECT_EQ(first.Data()[9], c.algorithm);
      EXPECT_EQ(Bytes(first.Data() + 10, first.Data() + 10 + expected.size()), expected);
    }
    pm->CloseDatabase();
    auto again = OpenDatabase(name);
    TABSInternalDBTransactedAccessFile reopened(*again);
    reopened.OpenFile(2, ptTableMetaData, c.algorithm, c.mode);
    EXPECT_EQ(reopened.ReadAll(kSys), content);
    // Empty content stores nothing and reads back empty.
    reopened.WriteFile(kSys, content.data(), 0);
    EXPECT_EQ(reopened.GetSize(kSys), 0);
    EXPECT_TRUE(reopened.ReadAll(kSys).empty());
    // Damaged stored bytes are the decompression error, not a wrong content (zlib and
    // bzip2 streams carry their own checksums; a PPM stream has none to catch it by).
    if (c.algorithm == acPPM) continue;
    reopened.WriteFile(kSys, content.data(), static_cast<int32_t>(content.size()));
    {
      TABSPageHandle first = again->GetPage(kSys, 2, true, ptTableMetaData);
      first.MutableData()[10 + expected.size() / 2] ^= 0x5A;
      first.MarkDirty();
    }
    EXPECT_EQ(CodeOf([&] { reopened.ReadAll(kSys); }), 20189);
  }
}

TEST(TransactedFile, RollbackDropsAWriteAndShrinkingFreesTheCutPages) {
  TempFolder dir;
  const std::string name = dir.File("r.dat");
  auto pm = CreateDatabase(name);
  TABSInternalDBTransactedAccessFile file(*pm);
  file.CreateFile(kSys, ptTableMostUpdated);
  const Bytes big = pattern(9000, 1);
  file.WriteFile(kSys, big.data(), 9000);
  pm->CommitPages(kSys);
  const Bytes small = pattern(50, 2);
  file.WriteFile(kSys, small.data(), 50);
  EXPECT_EQ(file.ReadAll(kSys), small);
  pm->RollbackPages(kSys);
  EXPECT_EQ(file.ReadAll(kSys), big);
  // Three pages hold 9000 bytes; 50 bytes fit in the first, the other two are freed.
  TABSPageHandle first = pm->GetPage(kSys, 2, false, ptTableMostUpdated);
  const int32_t second = first.NextPageNo();
  first.Release();
  file.WriteFile(kSys, small.data(), 50);
  pm->CommitPages(kSys);
  EXPECT_FALSE(pm->FreeSpace().IsPageUsed(second));
  EXPECT_EQ(file.ReadAll(kSys), small);
  // Growing again links fresh pages after the last one.
  file.WriteFile(kSys, big.data(), 9000);
  pm->CommitPages(kSys);
  EXPECT_EQ(file.ReadAll(kSys), big);
  file.DeleteFile(kSys);
  pm->CommitPages(kSys);
  EXPECT_FALSE(pm->FreeSpace().IsPageUsed(2));
  EXPECT_EQ(pm->MainHeader().HighestUsedPageNo(), -1);
}

TEST(TransactedFile, DamageAndMisuseAreReported) {
  TempFolder dir;
  const std::string name = dir.File("d.dat");
  auto pm = CreateDatabase(name);
  TABSInternalDBTransactedAccessFile closed(*pm);
  Bytes buffer(10);
  for (const char* op : {"GetSize", "SetSize", "ReadFile", "WriteFile"}) {
    const std::string want = std::string("Cannot perform this operation (") + op +
                             ") on closed internal file - Native error: 30389";
    const std::string got = MessageOf([&] {
      if (std::string(op) == "GetSize") closed.GetSize(kSys);
      if (std::string(op) == "SetSize") closed.SetSize(kSys, 1);
      if (std::string(op) == "ReadFile") closed.ReadFile(kSys, buffer.data(), 1);
      if (std::string(op) == "WriteFile") closed.WriteFile(kSys, buffer.data(), 1);
    });
    EXPECT_EQ(got, want);
  }
  TABSInternalDBTransactedAccessFile plain(*pm), packed(*pm);
  plain.CreateFile(kSys, ptTableList);
  EXPECT_EQ(CodeOf([&] { plain.CreateFile(kSys, ptTableList); }), 30383);
  const Bytes content = pattern(6000);
  plain.WriteFile(kSys, content.data(), 6000);
  packed.CreateFile(kSys, ptTableMetaData, acZLIB, 1);
  packed.WriteFile(kSys, content.data(), 6000);
  pm->CommitPages(kSys);
  const int32_t plain_start = plain.StartPageNo(), packed_start = packed.StartPageNo();
  pm->CloseDatabase();

  Bytes f = ReadWholeFile(name);
  int32_t cut = -1;
  std::memcpy(&f[page_offset(plain_start) + 10], &cut, 4);  // the chain ends too early
  f[page_offset(packed_start) + 60] ^= 0xFF;                 // damage the zlib stream
  WriteWholeFile(name, f);
  auto again = OpenDatabase(name);
  TABSInternalDBTransactedAccessFile a(*again), b(*again);
  a.OpenFile(plain_start, ptTableList);
  b.OpenFile(packed_start, ptTableMetaData, acZLIB, 1);
  Bytes out(6000);
  EXPECT_EQ(CodeOf([&] { a.ReadFile(kSys, out.data(), 6000); }), 30388);
  EXPECT_EQ(CodeOf([&] { b.ReadFile(kSys, out.data(), 6000); }), 20189);
  // A chain page of another type is refused when the page cache reads it.
  auto third = OpenDatabase(name);
  TABSInternalDBTransactedAccessFile wrong(*third);
  wrong.OpenFile(plain_start, ptTableBlob);
  EXPECT_EQ(CodeOf([&] { wrong.GetSize(kSys); }), 20153);
}

// The header of a transacted file is checked against its chain before anything is
// allocated or copied: a stored count beyond the chain, a logical size beyond the stored
// bytes of a plain file (which once copied past the bytes read) or beyond what deflate can
// produce, and unknown header bytes are refused.
TEST(TransactedFile, HeaderSizesAreCheckedAgainstTheChain) {
  TempFolder dir;
  const std::string name = dir.File("h.dat");
  auto pm = CreateDatabase(name);
  TABSInternalDBTransactedAccessFile plain(*pm), packed(*pm);
  plain.CreateFile(kSys, ptTableList);
  const Bytes content = pattern(100);
  plain.WriteFile(kSys, content.data(), 100);
  packed.CreateFile(kSys, ptTableMetaData, acZLIB, 1);
  packed.WriteFile(kSys, content.data(), 100);
  pm->CommitPages(kSys);
  const int32_t plain_start = plain.StartPageNo(), packed_start = packed.StartPageNo();
  EXPECT_EQ(plain.ChainPages(kSys), std::vector<int32_t>{plain_start});
  pm->CloseDatabase();
  const Bytes good = ReadWholeFile(name);
  int32_t packed_stored = 0;
  std::memcpy(&packed_stored, &good[page_offset(packed_start) + 41], 4);

  struct Case {
    const char* what;
    bool compressed;
    size_t at;  // offset in the internal-file header
    int64_t value;
    int width;
    int32_t code;
  };
  const Case cases[] = {
      {"stored count beyond the chain", false, 1, 0x7FFFFFFF, 4, 30388},
      {"stored count one past the first page", false, 1, 4096 - 40 - 10 + 1, 4, 30388},
      {"negative stored count", false, 1, -1, 4, 30388},
      {"logical size beyond the stored bytes", false, 5, 4000, 4, 30388},
      {"negative logical size", false, 5, -5, 4, 30387},
      {"header mark not 10", false, 0, 9, 1, 20189},
      {"unknown compression", false, 9, 7, 1, 20189},
      {"logical size deflate cannot reach", true, 5, int64_t{packed_stored} * 1033, 4, 20189},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bad = good;
    const size_t at = page_offset(c.compressed ? packed_start : plain_start) + 40 + c.at;
    for (int b = 0; b < c.width; ++b) bad[at + static_cast<size_t>(b)] = static_cast<uint8_t>(c.value >> (8 * b));
    WriteWholeFile(name, bad);
    auto opened = OpenDatabase(name);
    TABSInternalDBTransactedAccessFile file(*opened);
    if (c.compressed)
      file.OpenFile(packed_start, ptTableMetaData, acZLIB, 1);
    else
      file.OpenFile(plain_start, ptTableList);
    EXPECT_EQ(CodeOf([&] { file.GetSize(kSys); }), c.code);
    EXPECT_EQ(CodeOf([&] { file.ReadAll(kSys); }), c.code);
    Bytes out(100);
    EXPECT_EQ(CodeOf([&] { file.ReadFile(kSys, out.data(), 100); }), c.code);
    opened->CloseDatabase();
  }
  // A plain file holds its logical size in stored bytes: one that claims more is refused
  // whatever part of it is asked for, with the count the chain falls short of.
  Bytes longer = good;
  const int32_t logical = 4000;
  std::memcpy(&longer[page_offset(plain_start) + 45], &logical, 4);
  WriteWholeFile(name, longer);
  auto opened = OpenDatabase(name);
  TABSInternalDBTransactedAccessFile file(*opened);
  file.OpenFile(plain_start, ptTableList);
  Bytes out(100);
  EXPECT_EQ(MessageOf([&] { file.ReadFile(kSys, out.data(), 100); }),
            "Cannot Read 4000 bytes from internal file. FileSize=100. ReadSize=100, Count=4000 - Native error: 30388");
  // The sound file reads whole.
  opened->CloseDatabase();
  WriteWholeFile(name, good);
  auto sound = OpenDatabase(name);
  TABSInternalDBTransactedAccessFile again(*sound);
  again.OpenFile(plain_start, ptTableList);
  EXPECT_EQ(again.ReadAll(kSys), content);
}

TEST(DirectFile, BytesGoStraightToThePagesAndAreNeverEncrypted) {
  TempFolder dir;
  const std::string name = dir.File("direct.dat");
  auto pm = CreateDatabase(name, {"pw", caRijndael_256});
  TABSInternalDBDirectAccessFile sessions(*pm);
  sessions.CreateFile(kSys, ptActiveSessionList, 5000);
  pm->CommitPages(kSys);
  EXPECT_EQ(sessions.GetSize(), 5000);
  EXPECT_EQ(sessions.Capacity(), 2 * 4056 - 10);
  const Bytes bytes = pattern(300, 9);
  sessions.DirectWriteBuffer(3950, bytes.data(), 300);  // crosses into the second page
  Bytes back(300);
  sessions.DirectReadBuffer(3950, back.data(), 300);
  EXPECT_EQ(back, bytes);
  pm->CloseDatabase();

  const Bytes f = ReadWholeFile(name);
  const size_t first = page_offset(2);
  EXPECT_EQ(f[first + 8], ptActiveSessionList);
  EXPECT_EQ(f[first + 40], 10);
  int32_t size;
  std::memcpy(&size, &f[first + 41], 4);
  EXPECT_EQ(size, 5000);
  EXPECT_EQ(Bytes(&f[first + 45], &f[first + 50]), Bytes(5, 0));
  EXPECT_EQ(std::memcmp(&f[first + 40 + 10 + 3950], bytes.data(), 96), 0);  // plain on disk
  EXPECT_EQ(std::memcmp(&f[page_offset(3) + 40], bytes.data() + 96, 204), 0);

  auto again = OpenDatabase(name, {"pw", 0});
  TABSInternalDBDirectAccessFile reopened(*again);
  reopened.OpenFile(2, ptActiveSessionList);
  EXPECT_EQ(reopened.GetSize(), 5000);
  reopened.DirectReadBuffer(3950, back.data(), 300);
  EXPECT_EQ(back, bytes);
  EXPECT_EQ(MessageOf([&] { reopened.DirectWriteBuffer(4990, bytes.data(), 20); }),
            "Cannot write after end of file. FileSize=5000. Position=4990, Count=20 - Native error: 20158");
  EXPECT_EQ(MessageOf([&] { reopened.DirectReadBuffer(5001, back.data(), 0); }),
            "Seek position bigger then file size. FileSize=5000. Position=5001 - Native error: 20159");
  TABSInternalDBDirectAccessFile wrong(*again);
  EXPECT_EQ(MessageOf([&] { wrong.OpenFile(2, ptTableLocks); }),
            "Invalid PageType found: 5 but wanted: 7 - Native error: 20155");
  EXPECT_EQ(MessageOf([&] { wrong.GetSize(); }),
            "Cannot perform this operation (GetSize) on closed internal file - Native error: 20156");
  EXPECT_EQ(CodeOf([&] { reopened.OpenFile(2, ptActiveSessionList); }), 20157);
}

TEST(DirectFile, ItsBytesAreLockTargetsAcrossHandles) {
  TempFolder dir;
  const std::string name = dir.File("locks.dat");
  {
    auto pm = CreateDatabase(name);
    TABSInternalDBDirectAccessFile file(*pm);
    file.CreateFile(kSys, ptActiveSessionList, 500);
    pm->CommitPages(kSys);
    pm->CloseDatabase();
  }
  auto a = OpenDatabase(name, {}, nullptr, true);
  auto b = OpenDatabase(name, {}, nullptr, true);
  a->LockRetry = b->LockRetry = TABSRetryPolicy{2, 1};
  TABSInternalDBDirectAccessFile fa(*a), fb(*b);
  fa.OpenFile(2, ptActiveSessionList);
  fb.OpenFile(2, ptActiveSessionList);
  // Taking the lowest free slot, as connecting sessions do.
  auto connect = [](TABSInternalDBDirectAccessFile& f) {
    EXPECT_TRUE(f.LockFile());
    int32_t slot = -1;
    for (int32_t i = 0; i < f.GetSize() && slot < 0; ++i)
      if (f.LockByte(i)) slot = i;
    EXPECT_TRUE(f.UnlockFile());
    return slot;
  };
  EXPECT_EQ(connect(fa), 0);
  EXPECT_EQ(connect(fa), 1);  // the same handle cannot take slot 0 twice
  EXPECT_EQ(connect(fb), 2);
  EXPECT_TRUE(fb.IsByteLocked(0));
  EXPECT_TRUE(fb.IsRegionLocked(0, 3));
  EXPECT_FALSE(fb.IsRegionLocked(3, 497));
  ASSERT_TRUE(fa.LockFile());
  EXPECT_FALSE(fb.LockFile());
  // The file lock is the first byte of the first page; its header is still readable.
  TABSInternalDBDirectAccessFile reader(*b);
  reader.OpenFile(2, ptActiveSessionList);
  EXPECT_EQ(reader.GetSize(), 500);
  EXPECT_TRUE(fa.UnlockFile());
  EXPECT_TRUE(fa.UnlockByte(0));
  EXPECT_EQ(connect(fb), 0);
}

}  // namespace
}  // namespace dadoveri
