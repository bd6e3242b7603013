#include "engine/storage/database_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>

#include "tests/engine/storage/write_recorder.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

using testing::CodeOf;
using testing::MessageOf;
using testing::FailingBarriers;
using testing::TempFolder;

TEST(DatabaseFile, OperationsCheckTheOpenState) {
  TempFolder dir;
  TABSDatabaseFile f;
  uint8_t b[4];
  const std::pair<const char*, std::function<void()>> closed_ops[] = {
      {"CloseFile", [&] { f.CloseFile(); }},
      {"Seek", [&] { f.Seek(0); }},
      {"SetPosition", [&] { f.SetPosition(0); }},
      {"GetPosition", [&] { f.GetPosition(); }},
      {"SetSize", [&] { f.SetSize(0); }},
      {"GetSize", [&] { f.GetSize(); }},
      {"ReadBuffer", [&] { f.ReadBuffer(b, 1, 0, 1); }},
      {"WriteBuffer", [&] { f.WriteBuffer(b, 1, 0, 1); }},
      {"FlushFileBuffers", [&] { f.FlushFileBuffers(); }},
      {"SyncData", [&] { f.SyncData(); }},
      {"LockByte", [&] { f.LockByte(1, 0); }},
      {"UnlockByte", [&] { f.UnlockByte(1, 0); }},
      {"IsByteLocked", [&] { f.IsByteLocked(0); }},
      {"IsRegionLocked", [&] { f.IsRegionLocked(1, 0); }},
  };
  for (const auto& [name, op] : closed_ops) {
    EXPECT_EQ(MessageOf(op), std::string("Cannot perform this operation (") + name +
                                 ") on a closed file - Native error: 30376");
  }
  f.CreateFile(dir.File("x"));
  EXPECT_EQ(MessageOf([&] { f.CreateFile(dir.File("y")); }),
            "Cannot perform this operation (CreateFile) on a opened file - Native error: 30377");
  EXPECT_EQ(CodeOf([&] { f.OpenFile(dir.File("x"), 1, 1); }), 30377);
}

TEST(DatabaseFile, CreateAndOpenFailures) {
  TempFolder dir;
  TABSDatabaseFile f;
  EXPECT_EQ(CodeOf([&] { f.CreateFile(""); }), 30374);
  EXPECT_EQ(MessageOf([&] { f.OpenFile(dir.File("x"), 2, 1); }),
            "Unknown Access mode: '2' - Native error: 30366");
  EXPECT_EQ(MessageOf([&] { f.OpenFile(dir.File("x"), 1, 3); }),
            "Unknown Share mode: '3' - Native error: 30367");
  const std::string missing = dir.File("missing");
  EXPECT_EQ(MessageOf([&] { f.OpenFile(missing, 1, 1); }),
            "Cannot open file:'" + missing + "' Error code: 2. ErrorMessage: No such file or directory - Native error: 30364");
  EXPECT_FALSE(f.IsOpened());
  EXPECT_EQ(CodeOf([&] { f.CreateFile(dir.File("no-such-folder/x")); }), 30361);
}

TEST(DatabaseFile, CreateReplacesAReadOnlyFileAndKeepsOthersOut) {
  TempFolder dir;
  const std::string name = dir.File("db");
  testing::WriteWholeFile(name, std::vector<uint8_t>(100, 7));
  ASSERT_EQ(chmod(name.c_str(), 0444), 0);
  TABSDatabaseFile f;
  f.CreateFile(name);
  EXPECT_EQ(f.GetSize(), 0);
  f.WriteBuffer("abc", 10462, 0, 3);
  TABSDatabaseFile other;
  EXPECT_EQ(CodeOf([&] { other.OpenFile(name, 0, 1); }), 30364);  // created without sharing
  f.CloseFile();
  other.OpenFile(name, 0, 1);
  char buf[3];
  other.ReadBufferWithError(buf, 10464, 0, 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
}

TEST(DatabaseFile, ReadAndWriteErrorsCarryTheCallersCode) {
  TempFolder dir;
  const std::string name = dir.File("db");
  TABSDatabaseFile f;
  f.CreateFile(name);
  f.WriteBuffer("0123456789", 30438, 0, 10);
  f.CloseFile();
  f.OpenFile(name, 0, 1);
  char buf[8];
  EXPECT_FALSE(f.ReadBuffer(buf, 30439, 6, 8));
  EXPECT_EQ(MessageOf([&] { f.ReadBufferWithError(buf, 30439, 6, 8); }),
            "Cannot Read from file: '" + name +
                "' Position = 6, Count = 8, FilePosition = 6, FileSize = 10, ErrorCode:61. "
                "ErrorMessage: No data available - Native error: 30439");
  EXPECT_EQ(CodeOf([&] { f.WriteBuffer("x", 10469, 0, 1); }), 10469);  // opened for reading
  EXPECT_TRUE(f.Seek(4));
  EXPECT_EQ(f.GetPosition(), 4);
  EXPECT_FALSE(f.Seek(-5));
  EXPECT_EQ(MessageOf([&] { f.SetPosition(-5); }),
            "Cannot Set File Position to -5. FileName='" + name +
                "'. FilePosition = 4, FileSize = 10 - Native error: 30372");
  EXPECT_EQ(CodeOf([&] { f.SetSize(0); }), 30370);
}

TEST(DatabaseFile, ByteLocksAndTheirProbes) {
  TempFolder dir;
  const std::string name = dir.File("db");
  TABSDatabaseFile a, b;
  a.CreateFile(name);
  a.CloseFile();
  a.OpenFile(name, 1, 1);
  b.OpenFile(name, 1, 1);
  EXPECT_FALSE(b.IsByteLocked(360));
  EXPECT_TRUE(a.LockByte(1, 360));
  EXPECT_TRUE(b.IsByteLocked(360));
  EXPECT_TRUE(a.IsByteLocked(360));  // its own handle cannot take it either
  EXPECT_TRUE(b.IsRegionLocked(10, 355));
  EXPECT_FALSE(b.IsRegionLocked(10, 361));
  EXPECT_FALSE(b.LockByte(1, 360));  // a real conflict reports failure
  EXPECT_FALSE(b.LostConnection());
  EXPECT_TRUE(a.UnlockByte(1, 360));
  EXPECT_FALSE(a.UnlockByte(1, 360));
  EXPECT_TRUE(b.LockByte(1, 360));
  // The probe left nothing behind.
  EXPECT_TRUE(a.LockByte(1, 361));
}

TEST(DatabaseFile, ReconnectsWhenTheHandleIsLost) {
  TempFolder dir;
  const std::string name = dir.File("db");
  TABSDatabaseFile f;
  f.SetReconnectPause(1);
  f.CreateFile(name);
  f.WriteBuffer("data", 10462, 0, 4);
  f.Platform().Close();  // the handle dies, as with a dropped network share
  char buf[4];
  f.ReadBufferWithError(buf, 10464, 0, 4);
  EXPECT_EQ(std::string(buf, 4), "data");
  EXPECT_TRUE(f.Platform().IsOpen());

  // When the file cannot be reopened, a lock call on the dead handle reports failure,
  // never success, and marks the lost connection; the file comes back once it can be
  // reopened, since the handle held no lock that could have been lost.
  f.Platform().Close();
  const std::string gone = name + ".gone";
  ASSERT_EQ(rename(name.c_str(), gone.c_str()), 0);
  EXPECT_FALSE(f.LockByte(1, 10));
  EXPECT_TRUE(f.LostConnection());
  EXPECT_FALSE(f.UnlockByte(1, 10));
  EXPECT_EQ(CodeOf([&] { f.GetSize(); }), 30371);
  EXPECT_FALSE(f.Lost());
  ASSERT_EQ(rename(gone.c_str(), name.c_str()), 0);
  EXPECT_TRUE(f.LockByte(1, 10));
  EXPECT_FALSE(f.LostConnection());
  EXPECT_TRUE(f.UnlockByte(1, 10));
}

// Two handles on one file, the first of which loses its connection while it holds locks.
class LostConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = dir_.File("db");
    a_.SetReconnectPause(1);
    a_.CreateFile(name_);
    a_.WriteBuffer("0123456789", 10462, 0, 10);
    a_.CloseFile();
    a_.OpenFile(name_, 1, 1);
    b_.OpenFile(name_, 1, 1);
    ASSERT_TRUE(a_.LockByte(1, 360));
    ASSERT_TRUE(a_.LockByte(10, 100));
    a_.Platform().DropConnection();
  }
  TempFolder dir_;
  std::string name_;
  TABSDatabaseFile a_, b_;
};

TEST_F(LostConnection, ReconnectTakesBackTheLocksTheHandleHeld) {
  EXPECT_FALSE(b_.IsByteLocked(360)) << "the dropped handle's locks are gone meanwhile";
  EXPECT_TRUE(a_.LockByte(1, 500));  // reconnects, retakes 360 and 100..109, locks 500
  EXPECT_FALSE(a_.LostConnection());
  EXPECT_TRUE(b_.IsByteLocked(360));
  EXPECT_TRUE(b_.IsRegionLocked(10, 100));
  EXPECT_TRUE(b_.IsByteLocked(500));
  for (int64_t offset : {360, 500}) EXPECT_TRUE(a_.UnlockByte(1, offset));
  EXPECT_TRUE(a_.UnlockByte(10, 100));
  EXPECT_TRUE(b_.LockByte(1, 360));
}

TEST_F(LostConnection, UnlockingAfterTheDropReconnectsFirst) {
  EXPECT_TRUE(a_.UnlockByte(1, 360));
  EXPECT_TRUE(b_.LockByte(1, 360));
  EXPECT_TRUE(b_.IsRegionLocked(10, 100)) << "the other lock was taken back";
}

TEST_F(LostConnection, ALockTakenMeanwhileMakesTheFileUnusable) {
  ASSERT_TRUE(b_.LockByte(1, 360));
  const std::string lost = "Connection to database file '" + name_ +
                           "' was lost together with its locks. Close the database and open it "
                           "again - Native error: 40207";
  EXPECT_EQ(MessageOf([&] { a_.LockByte(1, 500); }), lost);
  EXPECT_TRUE(a_.Lost());
  EXPECT_FALSE(a_.Platform().IsOpen());
  EXPECT_FALSE(b_.IsRegionLocked(10, 100)) << "nothing half-taken is left behind";
  // Every operation refuses from now on, reads that report failure included.
  char buf[4];
  const std::function<void()> ops[] = {
      [&] { a_.ReadBuffer(buf, 10464, 0, 4); },  [&] { a_.ReadBufferWithError(buf, 10464, 0, 4); },
      [&] { a_.WriteBuffer("x", 10462, 0, 1); }, [&] { a_.GetSize(); },
      [&] { a_.UnlockByte(1, 360); },            [&] { a_.IsByteLocked(360); },
      [&] { a_.FlushFileBuffers(); },            [&] { a_.Seek(0); },
  };
  for (const auto& op : ops) EXPECT_EQ(CodeOf(op), 40207);
  a_.CloseFile();
  EXPECT_FALSE(a_.Lost());
  a_.OpenFile(name_, 1, 1);
  a_.ReadBufferWithError(buf, 10464, 0, 4);
  EXPECT_EQ(std::string(buf, 4), "0123");
}

TEST_F(LostConnection, AFileThatCannotBeReopenedLosesTheLocksForGood) {
  ASSERT_EQ(rename(name_.c_str(), (name_ + ".gone").c_str()), 0);
  char buf[4];
  EXPECT_EQ(CodeOf([&] { a_.ReadBufferWithError(buf, 10464, 0, 4); }), 40207);
  EXPECT_TRUE(a_.Lost());
  ASSERT_EQ(rename((name_ + ".gone").c_str(), name_.c_str()), 0);
  EXPECT_EQ(CodeOf([&] { a_.GetSize(); }), 40207) << "the file stays lost until closed";
}

TEST(DatabaseFile, AFailedBarrierIsReportedAndNeverRetried) {
  // The system reports lost write-back once: a second attempt would succeed although the
  // data never reached the disk.
  TempFolder dir;
  TABSDatabaseFile f;
  f.CreateFile(dir.File("db"));
  FailingBarriers failing(f.Platform());
  f.SetWriter(&failing);
  f.WriteBuffer("data", 10462, 0, 4);
  EXPECT_EQ(CodeOf([&] { f.SyncData(); }), 30379);
  EXPECT_EQ(failing.Calls, 1);
  EXPECT_EQ(CodeOf([&] { f.FlushFileBuffers(); }), 30379);
  EXPECT_EQ(failing.Calls, 2);
  f.SetWriter(nullptr);
  f.SyncData();
  f.FlushFileBuffers();
}

}  // namespace
}  // namespace dadoveri
