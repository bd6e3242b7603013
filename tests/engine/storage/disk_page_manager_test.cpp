#include "engine/storage/disk_page_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <map>
#include <set>

#include "engine/platform/file.h"
#include "engine/storage/checksum.h"
#include "tests/engine/storage/storage_fixture.h"

namespace dadoveri {
namespace {

using testing::AddFilledPages;
using testing::CodeOf;
using testing::CreateDatabase;
using testing::FillPage;
using testing::kSession;
using testing::MessageOf;
using testing::OpenDatabase;
using testing::PageHolds;
using testing::ReadWholeFile;
using testing::TempFolder;
using testing::WriteWholeFile;
using Bytes = std::vector<uint8_t>;

int32_t le32(const Bytes& b, size_t at) {
  int32_t v;
  std::memcpy(&v, &b[at], 4);
  return v;
}

int64_t page_at(int32_t page_no, uint16_t page_size = 4096) {
  return kPrologueSize + static_cast<int64_t>(page_no) * page_size;
}

TEST(DiskPageManager, NewFilePrologueToTheByte) {
  TempFolder dir;
  const std::string name = dir.File("new.dat");
  CreateDatabase(name, {}, 2048, 5)->CloseDatabase();
  const Bytes f = ReadWholeFile(name);
  ASSERT_EQ(f.size(), 380u);
  Bytes expected(380, 0);
  std::memcpy(expected.data(), "VAD0EDARAVIDERUD", 16);
  const uint8_t tail[] = {76, 0, 0x29, 0x5C, 0x8F, 0xC2, 0xF5, 0x28, 0x14, 0x40,  // size, 5.04
                          0x00, 0x08, 5, 0,                                    // 2048, 5
                          0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0,      // total, highest, commits
                          2, 0};                                               // consistent, plain
  std::memcpy(&expected[16], tail, sizeof tail);
  expected[76] = 0x18;  // check block size 280
  expected[77] = 0x01;
  expected[356] = 20;  // lock area size
  EXPECT_EQ(f, expected);
}

TEST(DiskPageManager, EncryptedCheckBlockVerifiesThePassword) {
  TempFolder dir;
  const std::string name = dir.File("enc.dat");
  CreateDatabase(name, {"secret", caTwofish_256})->CloseDatabase();
  const Bytes f = ReadWholeFile(name);
  EXPECT_EQ(f[43], 0xFF);
  EXPECT_EQ(f[76 + 2], caTwofish_256);
  Bytes check(f.begin() + 80, f.begin() + 336);
  DecryptBuffer(caTwofish_256, check.data(), check.size(), "secret");
  for (uint8_t b : check) EXPECT_LE(b, 254);
  EXPECT_EQ(static_cast<uint32_t>(le32(f, 76 + 260)), BufferChecksum(0, check.data(), check.size()));
  EXPECT_EQ(Bytes(f.begin() + 340, f.begin() + 356), Bytes(16, 0));
  // The cipher comes from the check block, whatever the caller names.
  auto pm = OpenDatabase(name, {"secret", caRijndael_128});
  EXPECT_EQ(pm->Password().CryptoAlgorithm, caTwofish_256);
}

TEST(DiskPageManager, CipherCodesOutsideTheEightAreRefused) {
  TempFolder dir;
  // At creation, before the file is touched.
  for (const int code : {8, 9, 200, 255}) {
    for (const char* password : {"secret", ""}) {
      const std::string name = dir.File("c" + std::to_string(code) + password + ".dat");
      TABSDiskPageManager pm(10);
      EXPECT_EQ(MessageOf([&] { pm.CreateDatabase(name, 4096, 8, {password, static_cast<uint8_t>(code)}); }),
                "Unknown cipher algorithm code: " + std::to_string(code) + " - Native error: 40201");
      EXPECT_FALSE(pm.IsOpened());
      EXPECT_FALSE(PlatformFileExists(name));
    }
  }
  // At open: a check block naming an unknown cipher is never taken as a password check.
  const std::string name = dir.File("enc.dat");
  CreateDatabase(name, {"secret", caSquare})->CloseDatabase();
  Bytes f = ReadWholeFile(name);
  f[76 + 2] = 8;
  WriteWholeFile(name, f);
  TABSDiskPageManager pm(10);
  bool read_only = false, repair = false;
  EXPECT_EQ(MessageOf([&] { pm.OpenDatabase(name, {"secret", caSquare}, read_only, false, false, repair); }),
            "Unknown cipher algorithm code: 8 - Native error: 40202");
  EXPECT_FALSE(pm.IsOpened());
}

TEST(DiskPageManager, APageNamingAnUnknownCipherIsNotTakenAsPlainText) {
  // A page stored plain, with the right checksum of its plain data and an unknown cipher
  // code, would pass the checksum test if the unknown code decrypted to "unchanged".
  TempFolder dir;
  const std::string db = dir.File("smuggled.dat");
  auto pm = CreateDatabase(db, {"pw", caRijndael_256});
  AddFilledPages(*pm, 2, 7);
  pm->CloseDatabase();
  Bytes f = ReadWholeFile(db);
  const size_t p2 = static_cast<size_t>(page_at(2));
  TABSPage plain(pm.get());
  plain.AllocBuffer();
  FillPage(&plain, 7 + 2);
  std::memcpy(&f[p2 + 40], plain.Data(), 4056);
  f[p2 + 20] = 9;
  WriteWholeFile(db, f);
  auto again = OpenDatabase(db, {"pw", 0});
  EXPECT_EQ(MessageOf([&] { again->GetPage(kSession, 2, false, ptTableRecord); }),
            "Cannot decrypt page. PageNo: 2 - Native error: 40204");
  EXPECT_TRUE(PageHolds(again->GetPage(kSession, 3, false, ptTableRecord), 7 + 3));
}

TEST(DiskPageManager, FirstAllocationBuildsTheMapsAndReturnsPageTwo) {
  TempFolder dir;
  const std::string name = dir.File("a.dat");
  auto pm = CreateDatabase(name);
  TABSPageHandle page = pm->AddPage(kSession, ptFileSystemDirectory);
  EXPECT_EQ(page.PageNo(), 2);
  page.MarkDirty();
  page.Release();
  pm->CommitPages(0);
  pm->CloseDatabase();
  const Bytes f = ReadWholeFile(name);
  ASSERT_EQ(f.size(), static_cast<size_t>(page_at(6)));
  EXPECT_EQ(le32(f, 30), 6);  // TotalPageCount
  EXPECT_EQ(le32(f, 34), 2);  // HighestUsedPageNo
  EXPECT_EQ(le32(f, 38), 1);  // CommitCounter
  EXPECT_EQ(f[42], 2);
  const size_t pfs = static_cast<size_t>(page_at(0)), eam = static_cast<size_t>(page_at(1));
  EXPECT_EQ(std::memcmp(&f[pfs], "ABSP", 4), 0);
  EXPECT_EQ(f[pfs + 8], ptPFS);
  EXPECT_EQ(f[pfs + 40], 0x07);  // pages 0, 1, 2 in use
  EXPECT_EQ(f[eam + 8], ptEAM);
  EXPECT_EQ(f[eam + 40], 0x01);  // extent 0 has free pages
  EXPECT_EQ(f[static_cast<size_t>(page_at(2)) + 8], ptFileSystemDirectory);
}

TEST(DiskPageManager, PlainDatabaseKeepsPagesPlainWithoutChecksums) {
  TempFolder dir;
  const std::string name = dir.File("plain.dat");
  auto pm = CreateDatabase(name);
  AddFilledPages(*pm, 1, 5);
  pm->CloseDatabase();
  const Bytes f = ReadWholeFile(name);
  const size_t p2 = static_cast<size_t>(page_at(2));
  EXPECT_EQ(le32(f, p2 + 14), 0);  // DataCRC
  TABSPage probe(pm.get());
  probe.AllocBuffer();
  FillPage(&probe, 5 + 2);
  EXPECT_EQ(std::memcmp(&f[p2 + 40], probe.Data(), probe.DataSize()), 0);
}

struct FoundAt {
  const char* name;
  int64_t base;
};

class SignatureSearch : public ::testing::TestWithParam<FoundAt> {};

TEST_P(SignatureSearch, FindsTheDatabaseInsideALargerFile) {
  TempFolder dir;
  const std::string db = dir.File("db.dat");
  auto pm = CreateDatabase(db);
  AddFilledPages(*pm, 3, 100);
  pm->CloseDatabase();
  Bytes junk(static_cast<size_t>(GetParam().base), 'x');
  // A decoy: the signature without the header size after it.
  if (junk.size() > 40) std::memcpy(&junk[5], "VAD0EDARAVIDERUD\x4D\x00", 18);
  const Bytes body = ReadWholeFile(db);
  junk.insert(junk.end(), body.begin(), body.end());
  const std::string combined = dir.File("combined.exe");
  WriteWholeFile(combined, junk);
  auto opened = OpenDatabase(combined);
  EXPECT_EQ(opened->BaseOffset(), GetParam().base);
  for (int32_t no = 2; no < 5; ++no) {
    TABSPageHandle page = opened->GetPage(kSession, no, false, ptTableRecord);
    EXPECT_TRUE(PageHolds(page, 100 + static_cast<uint32_t>(no)));
    page.Release();
  }
  EXPECT_EQ(opened->GetNextObjectID(), 1);
  EXPECT_EQ(opened->GetNextObjectID(), 2);
  AddFilledPages(*opened, 1, 7);
  opened->CloseDatabase();
  const Bytes after = ReadWholeFile(combined);
  EXPECT_EQ(le32(after, static_cast<size_t>(GetParam().base) + kNextObjectIDOffset), 2);
  EXPECT_EQ(le32(after, static_cast<size_t>(GetParam().base) + 38), 2);  // two commits
}

// 9983: the 18 bytes matched straddle the first 10000-byte chunk by one byte.
INSTANTIATE_TEST_SUITE_P(Offsets, SignatureSearch,
                         ::testing::Values(FoundAt{"zero", 0}, FoundAt{"inside", 12345},
                                           FoundAt{"straddle17", 9983}, FoundAt{"straddle16", 9984},
                                           FoundAt{"fits", 9982}, FoundAt{"second_chunk", 25000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DiskPageManager, ForeignOrTruncatedFilesFailCleanly) {
  TempFolder dir;
  const std::string db = dir.File("db.dat");
  auto made = CreateDatabase(db);
  AddFilledPages(*made, 1, 0);
  made->CloseDatabase();
  const Bytes good = ReadWholeFile(db);
  Bytes wrong_size = good;
  wrong_size[16] = 77;
  auto cut = [&](size_t n) { return Bytes(good.begin(), good.begin() + static_cast<ptrdiff_t>(n)); };
  struct Case {
    const char* name;
    Bytes bytes;
    int32_t code;
  };
  const Case cases[] = {
      {"empty", {}, 10470},
      {"tiny", Bytes(10, 'z'), 10470},
      {"91 bytes of text", Bytes(91, 'q'), 10470},
      {"foreign 30000 bytes", Bytes(30000, 0xA5), 10470},
      {"cut inside the signature", cut(12), 10470},
      // Not taken as a database at offset 0; read there anyway, its check block does not
      // lead to the lock area.
      {"signature with a wrong header size", wrong_size, 20237},
      {"cut before the page size", cut(24), 20237},
      {"cut inside the check block", cut(200), 30439},
      {"cut inside the lock area", cut(357), 30442},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = dir.File("foreign");
    WriteWholeFile(name, c.bytes);
    TABSDiskPageManager pm(10);
    bool read_only = false, repair = false;
    EXPECT_EQ(CodeOf([&] { pm.OpenDatabase(name, {}, read_only, false, false, repair); }), c.code);
    EXPECT_FALSE(pm.IsOpened());
  }
  WriteWholeFile(dir.File("text"), Bytes{'h', 'i'});
  TABSDiskPageManager pm(10);
  bool read_only = false, repair = false;
  EXPECT_EQ(MessageOf([&] { pm.OpenDatabase(dir.File("text"), {}, read_only, false, false, repair); }),
            "Invalid file format. Found signature: 'hi', expected: 'VAD0EDARAVIDERUD' - Native error: 10470");
  // A file cut inside its pages opens; the missing page cannot be read, whatever type is
  // expected of it, and is not left in the cache.
  WriteWholeFile(db, cut(380 + 2 * 4096 + 100));
  auto opened = OpenDatabase(db);
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(MessageOf([&] { opened->GetPage(kSession, 2, false, kAnyPageType); }),
              "Cannot read page 2 - Native error: 40101");
  }
  EXPECT_EQ(opened->CachedPageCount(), 0u);
}

TEST(DiskPageManager, DamagedGeometryOrCheckBlockIsRefused) {
  TempFolder dir;
  const std::string db = dir.File("db.dat");
  CreateDatabase(db)->CloseDatabase();
  const Bytes good = ReadWholeFile(db);
  struct Case {
    const char* name;
    size_t at;
    uint8_t value;
  };
  // A lock area of another size would move the counter and every page.
  const Case cases[] = {{"page size 0", 27, 0},          {"no pages per extent", 28, 0},
                        {"check block size", 77, 0x02},  {"lock area one byte longer", 356, 21},
                        {"lock area of 16404 bytes", 357, 0x40}, {"lock area of 0 bytes", 356, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bad = good;
    bad[c.at] = c.value;
    if (c.at == 28) bad[29] = 0;
    WriteWholeFile(db, bad);
    TABSDiskPageManager pm(10);
    bool read_only = false, repair = false;
    EXPECT_EQ(CodeOf([&] { pm.OpenDatabase(db, {}, read_only, false, false, repair); }), 20237);
  }
}

TEST(DiskPageManager, NeedsRepairAfterAnInterruptedCommitOrAnOldFormat) {
  TempFolder dir;
  const std::string db = dir.File("db.dat");
  CreateDatabase(db)->CloseDatabase();
  const Bytes good = ReadWholeFile(db);
  struct Case {
    const char* name;
    double version;
    uint8_t write_state;
    bool repair;
  };
  const Case cases[] = {{"consistent", 5.04, 2, false},
                        {"commit under way", 5.04, 1, true},
                        {"old format", 2.5, 2, true},
                        {"oldest accepted", 2.99, 2, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = good;
    std::memcpy(&bytes[18], &c.version, 8);
    bytes[42] = c.write_state;
    WriteWholeFile(db, bytes);
    bool repair = !c.repair;
    OpenDatabase(db, {}, &repair);
    EXPECT_EQ(repair, c.repair);
  }
}

TEST(DiskPageManager, ReadOnlyFileOpensForReadingAndKeepsTheCounter) {
  TempFolder dir;
  const std::string db = dir.File("ro.dat");
  auto pm = CreateDatabase(db);
  AddFilledPages(*pm, 2, 1);
  pm->GetNextObjectID();
  pm->GetNextObjectID();  // stored counter 2
  pm->CloseDatabase();
  ASSERT_EQ(chmod(db.c_str(), 0444), 0);
  const Bytes before = ReadWholeFile(db);
  TABSDiskPageManager ro(100);
  bool read_only = false, repair = false;
  ro.OpenDatabase(db, {}, read_only, false, true, repair);
  EXPECT_TRUE(read_only);
  EXPECT_TRUE(ro.ReadOnly());
  TABSPageHandle page = ro.GetPage(kSession, 3, false, ptTableRecord);
  EXPECT_TRUE(PageHolds(page, 1 + 3));
  page.Release();
  for (int i = 0; i < 20; ++i) {
    const int32_t id = ro.GetNextObjectID();
    EXPECT_GE(id, 3);
    EXPECT_LE(id, 2 + 10000);
  }
  // Others may still open the file for writing.
  ASSERT_EQ(chmod(db.c_str(), 0644), 0);
  PlatformFile writer;
  EXPECT_TRUE(writer.Open(db, FileAccess::ReadWrite, FileShare::ReadWrite));
  ro.CloseDatabase();
  EXPECT_EQ(ReadWholeFile(db), before);
}

TEST(DiskPageManager, NextObjectIDCountsUpInTheFile) {
  TempFolder dir;
  const std::string db = dir.File("id.dat");
  auto pm = CreateDatabase(db);
  EXPECT_EQ(pm->GetNextObjectID(), 1);
  EXPECT_EQ(pm->GetNextObjectID(), 2);
  pm->CloseDatabase();
  EXPECT_EQ(le32(ReadWholeFile(db), kNextObjectIDOffset), 2);
  EXPECT_EQ(CodeOf([&] { pm->GetNextObjectID(); }), 30399);
  auto again = OpenDatabase(db);
  EXPECT_EQ(again->GetNextObjectID(), 3);
}

TEST(DiskPageManager, HeaderLockIsReentrantAndSerialisesProcesses) {
  TempFolder dir;
  const std::string db = dir.File("lock.dat");
  CreateDatabase(db)->CloseDatabase();
  auto a = OpenDatabase(db, {}, nullptr, true);
  auto b = OpenDatabase(db, {}, nullptr, true);
  a->LockRetry = b->LockRetry = TABSRetryPolicy{3, 1};
  ASSERT_TRUE(a->LockHeader());
  ASSERT_TRUE(a->LockHeader());
  EXPECT_EQ(a->HeaderLockDepth(), 2);
  EXPECT_FALSE(b->LockHeader());
  EXPECT_EQ(CodeOf([&] { b->AddPage(kSession, ptTableRecord); }), 20231);
  EXPECT_EQ(CodeOf([&] { b->GetTotalPageCount(); }), 20236);
  a->UnlockHeader();
  EXPECT_FALSE(b->LockHeader());
  a->UnlockHeader();
  EXPECT_TRUE(b->LockHeader());
  b->UnlockHeader();
  // The tables lock is a byte of its own.
  a->LockTables();
  EXPECT_EQ(CodeOf([&] { b->LockTables(); }), 20210);
  EXPECT_TRUE(b->LockHeader());
  b->UnlockHeader();
  a->UnlockTables();
  EXPECT_EQ(CodeOf([&] { a->UnlockTables(); }), 20211);
  b->LockTables();
  b->UnlockTables();
}

TEST(DiskPageManager, SecondOpenAndBadPageNumbers) {
  TempFolder dir;
  const std::string db = dir.File("x.dat");
  auto pm = CreateDatabase(db);
  bool read_only = false, repair = false;
  EXPECT_EQ(MessageOf([&] { pm->OpenDatabase(db, {}, read_only, false, false, repair); }),
            "Error - database file " + db + " is in use. - Native error: 10462");
  EXPECT_EQ(CodeOf([&] { pm->CreateDatabase(db, 4096, 8, {}); }), 10461);
  EXPECT_EQ(MessageOf([&] { pm->PageOffset(-1); }), "Invalid PageNo = -1 - Native error: 10471");
  EXPECT_EQ(pm->PageOffset(3), 380 + 3 * 4096);
  TABSDiskPageManager other(10);
  EXPECT_EQ(CodeOf([&] { other.OpenDatabase(db, {}, read_only, false, false, repair); }), 30364);
  // Direct byte access stays inside its page.
  AddFilledPages(*pm, 1, 0);
  uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  pm->WritePageBytes(2, 4088, bytes, 8);
  uint8_t back[8] = {};
  pm->ReadPageBytes(2, 4088, back, 8);
  EXPECT_EQ(std::memcmp(back, bytes, 8), 0);
  EXPECT_EQ(MessageOf([&] { pm->ReadPageBytes(2, 4090, back, 8); }),
            "Error - invalid page offset = 4090, page size = 4096 - Native error: 10476");
  EXPECT_EQ(CodeOf([&] { pm->WritePageBytes(2, 4089, bytes, 8); }), 10477);
}

// ---- Encryption on disk -------------------------------------------------------------

class EncryptedDatabase : public ::testing::TestWithParam<uint8_t> {};

TEST_P(EncryptedDatabase, PagesAreEncryptedOnDiskAndPlainInTheCache) {
  const uint8_t code = GetParam();
  TempFolder dir;
  const std::string db = dir.File("enc.dat");
  auto pm = CreateDatabase(db, {"41736285", code});
  AddFilledPages(*pm, 3, 9);
  TABSPageHandle cached = pm->GetPage(kSession, 3, false, ptTableRecord);
  EXPECT_TRUE(PageHolds(cached, 9 + 3));
  cached.Release();
  pm->CloseDatabase();
  const Bytes f = ReadWholeFile(db);
  const size_t p3 = static_cast<size_t>(page_at(3));
  EXPECT_EQ(f[p3 + 20], code);
  Bytes data(f.begin() + static_cast<ptrdiff_t>(p3) + 40, f.begin() + static_cast<ptrdiff_t>(p3) + 4096);
  DecryptBuffer(code, data.data(), data.size(), "41736285");
  EXPECT_EQ(static_cast<uint32_t>(le32(f, p3 + 14)), BufferChecksum(0, data.data(), data.size()));
  TABSPage probe(pm.get());
  probe.AllocBuffer();
  FillPage(&probe, 9 + 3);
  EXPECT_EQ(std::memcmp(data.data(), probe.Data(), data.size()), 0);
  EXPECT_NE(std::memcmp(&f[p3 + 40], probe.Data(), data.size()), 0);
  // Map pages stay plain.
  EXPECT_EQ(f[static_cast<size_t>(page_at(0)) + 40], 0x1F);  // pages 0 … 4 in use
  EXPECT_EQ(f[static_cast<size_t>(page_at(1)) + 40], 0x01);
  // Reopened with the password, the pages read back.
  auto again = OpenDatabase(db, {"41736285", 0});
  for (int32_t no = 2; no <= 4; ++no) {
    TABSPageHandle page = again->GetPage(kSession, no, false, ptTableRecord);
    EXPECT_TRUE(PageHolds(page, 9 + static_cast<uint32_t>(no)));
    page.Release();
  }
}

TEST_P(EncryptedDatabase, WrongPasswordFailsBeforeAnyPageIsRead) {
  const uint8_t code = GetParam();
  TempFolder dir;
  const std::string db = dir.File("enc.dat");
  auto pm = CreateDatabase(db, {"right", code});
  AddFilledPages(*pm, 1, 0);
  pm->CloseDatabase();
  // Damage page 2 so that any page read would fail with a different code.
  Bytes f = ReadWholeFile(db);
  f[static_cast<size_t>(page_at(2)) + 100] ^= 0x55;
  WriteWholeFile(db, f);
  for (const char* wrong : {"wrong", "", "Right", "right "}) {
    TABSDiskPageManager other(10);
    bool read_only = false, repair = false;
    EXPECT_EQ(MessageOf([&] { other.OpenDatabase(db, {wrong, code}, read_only, false, false, repair); }),
              "Cannot open database because incorrect password - Native error: 30445");
    EXPECT_FALSE(other.IsOpened());
  }
}

TEST_P(EncryptedDatabase, AFlippedByteFailsThatPageAndNothingElse) {
  const uint8_t code = GetParam();
  TempFolder dir;
  const std::string db = dir.File("enc.dat");
  auto pm = CreateDatabase(db, {"pw", code});
  AddFilledPages(*pm, 3, 4);
  pm->CloseDatabase();
  Bytes f = ReadWholeFile(db);
  f[static_cast<size_t>(page_at(3)) + 40 + 1234] ^= 0x01;
  WriteWholeFile(db, f);
  auto again = OpenDatabase(db, {"pw", code});
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(MessageOf([&] { again->GetPage(kSession, 3, false, ptTableRecord); }),
              "Decrypt page error. Check CRC failed. PageNo: 3 - Native error: 30446");
  }
  for (int32_t no : {2, 4}) {
    TABSPageHandle page = again->GetPage(kSession, no, false, ptTableRecord);
    EXPECT_TRUE(PageHolds(page, 4 + static_cast<uint32_t>(no)));
    page.Release();
  }
  AddFilledPages(*again, 1, 50);  // allocation and commit still work
  EXPECT_EQ(CodeOf([&] { again->CommitPages(kSession); }), 0);
}

INSTANTIATE_TEST_SUITE_P(Ciphers, EncryptedDatabase, ::testing::Range<uint8_t>(0, kCipherCount),
                         [](const auto& info) { return std::string(CipherName(info.param)); });

TEST(DiskPageManager, PageWithAnotherCipherIsReadAndRewrittenWithTheDatabasesCipher) {
  TempFolder dir;
  const std::string db = dir.File("mixed.dat");
  auto pm = CreateDatabase(db, {"pw", caRijndael_128});
  AddFilledPages(*pm, 1, 3);
  pm->CloseDatabase();
  // Re-encrypt page 2 on disk with Blowfish, as an older write might have left it.
  Bytes f = ReadWholeFile(db);
  uint8_t* data = &f[static_cast<size_t>(page_at(2)) + 40];
  DecryptBuffer(caRijndael_128, data, 4056, "pw");
  EncryptBuffer(caBlowfish, data, 4056, "pw");
  f[static_cast<size_t>(page_at(2)) + 20] = caBlowfish;
  WriteWholeFile(db, f);
  auto again = OpenDatabase(db, {"pw", 0});
  TABSPageHandle page = again->GetPage(kSession, 2, false, ptTableRecord);
  EXPECT_TRUE(PageHolds(page, 3 + 2));
  page.MarkDirty();
  page.Release();
  again->CommitPages(kSession);
  again->CloseDatabase();
  EXPECT_EQ(ReadWholeFile(db)[static_cast<size_t>(page_at(2)) + 20], caRijndael_128);
  auto third = OpenDatabase(db, {"pw", 0});
  page = third->GetPage(kSession, 2, false, ptTableRecord);
  EXPECT_TRUE(PageHolds(page, 3 + 2));
  page.Release();
}

}  // namespace
}  // namespace dadoveri

namespace dadoveri {
namespace {

// A transaction that adds many more pages than the cache holds writes the oldest of them
// to the file ahead of its commit and reads them back when they are used again; the
// commit keeps every page's last bytes, a rollback frees every page it added.
TEST(DiskPageManager, PagesAddedPastTheCacheGoAheadToTheFileAndBack) {
  struct Case {
    const char* name;
    bool encrypted;
    bool commit;
  };
  const Case cases[] = {
      {"plain, committed", false, true},
      {"encrypted, committed", true, true},
      {"plain, rolled back", false, false},
      {"encrypted, rolled back", true, false},
  };
  const TABSPassword key{"41736285", 0};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder dir;
    const std::string db = dir.File("ahead.dat");
    const TABSPassword password = c.encrypted ? key : TABSPassword{};
    auto pm = CreateDatabase(db, password, 4096, 8, 16);
    std::map<int32_t, uint32_t> seeds;
    for (int i = 0; i < 300; ++i) {
      // Index pages, and now and then a page of another kind, which stays in memory.
      TABSPageHandle page = pm->AddPage(kSession, i % 50 == 7 ? ptTableMetaData : ptTableIndex);
      seeds[page.PageNo()] = 1000 + static_cast<uint32_t>(page.PageNo());
      FillPage(page, seeds[page.PageNo()]);
    }
    const int32_t first = seeds.begin()->first;
    if (!c.encrypted) {
      const Bytes early = ReadWholeFile(db);
      ASSERT_GE(early.size(), static_cast<size_t>(page_at(first + 1)));
      EXPECT_TRUE(testing::DataHolds(&early[static_cast<size_t>(page_at(first)) + 40], 4096 - 40, seeds[first]))
          << "the first page added is not in the file before the commit";
    }
    // Pages written ahead are read back; some are read only, some changed again.
    for (auto& [no, seed] : seeds) {
      if ((no - first) % 3 != 0) continue;
      TABSPageHandle page = pm->GetPage(kSession, no);
      EXPECT_TRUE(PageHolds(page, seed)) << "page " << no;
      if ((no - first) % 2 == 0) {
        seed += 7;
        FillPage(page, seed);
      }
    }
    if (c.commit) {
      pm->CommitPages(kSession);
      pm->CloseDatabase();
      bool repair = true;
      auto again = OpenDatabase(db, password, &repair);
      EXPECT_FALSE(repair);
      for (const auto& [no, seed] : seeds) {
        TABSPageHandle page = again->GetPage(kSession, no);
        EXPECT_TRUE(PageHolds(page, seed)) << "page " << no;
        EXPECT_TRUE(again->FreeSpace().IsPageUsed(no)) << "page " << no;
      }
    } else {
      pm->RollbackPages(kSession);
      for (const auto& [no, seed] : seeds) EXPECT_FALSE(pm->FreeSpace().IsPageUsed(no)) << "page " << no;
      // The numbers are handed out again, and a commit keeps the new bytes.
      TABSPageHandle page = pm->AddPage(kSession, ptTableIndex);
      EXPECT_TRUE(seeds.count(page.PageNo())) << "page " << page.PageNo();
      FillPage(page, 77);
      const int32_t no = page.PageNo();
      page.Release();
      pm->CommitPages(kSession);
      TABSPageHandle back = pm->GetPage(kSession, no);
      EXPECT_TRUE(PageHolds(back, 77));
    }
  }
}

TEST(MultiUser, TwoHandlesAllocateFreeAndCommitWithoutCollisions) {
  testing::TempFolder dir;
  const std::string name = dir.File("two.dat");
  testing::CreateDatabase(name)->CloseDatabase();
  auto a = testing::OpenDatabase(name, {}, nullptr, true);
  auto b = testing::OpenDatabase(name, {}, nullptr, true);
  std::set<int32_t> pages;
  std::vector<std::pair<TABSDiskPageManager*, int32_t>> owned;
  for (int round = 0; round < 60; ++round) {
    TABSDiskPageManager& pm = round % 2 ? *b : *a;
    for (int i = 0; i < 3; ++i) {
      TABSPageHandle page = pm.AddPage(testing::kSession, ptTableRecord);
      EXPECT_TRUE(pages.insert(page.PageNo()).second) << "page " << page.PageNo() << " handed out twice";
      testing::FillPage(page, static_cast<uint32_t>(page.PageNo()));
      owned.emplace_back(&pm, page.PageNo());
      page.Release();
    }
    if (round % 5 == 4) {  // give some back through the other handle's view of the maps
      const auto [owner, no] = owned[owned.size() / 2];
      owner->FreePage(testing::kSession, no);
      owned.erase(owned.begin() + static_cast<ptrdiff_t>(owned.size() / 2));
      pages.erase(no);
    }
    pm.CommitPages(testing::kSession);
  }
  const int32_t total = a->GetTotalPageCount();
  EXPECT_EQ(total, b->GetTotalPageCount());
  for (const auto& [owner, no] : owned) {
    EXPECT_TRUE(a->FreeSpace().IsPageUsed(no));
    TABSPageHandle page = b->GetPage(testing::kSession, no, false, ptTableRecord);
    EXPECT_TRUE(testing::PageHolds(page, static_cast<uint32_t>(no))) << no;
    page.Release();
  }
  EXPECT_EQ(a->MainHeader().CommitCounter() + 0, b->MainHeader().CommitCounter() + 0);
}

}  // namespace
}  // namespace dadoveri
