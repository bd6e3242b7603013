// Creating and opening a database file: the system directory, the active-sessions file,
// the table list and the catalog of tables; failures on open leave nothing open.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/database/disk_database_data.h"
#include "engine/database/table_locks_file.h"
#include "engine/table/table_metadata.h"
#include "tests/engine/storage/write_recorder.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

using testing::ReadWholeFile;
using testing::CodeOf;
using testing::TempFolder;
using testing::WriteWholeFile;

void MakeDatabase(const std::string& name, int32_t max_connections = 500, const TABSPassword& password = {}) {
  TABSDiskDatabaseData db(name);
  db.CreateSettings.MaxConnections = max_connections;
  db.CreateSettings.Password = password;
  db.CreateDatabase();
}

void SimpleTable(TABSTableMetadata& m) {
  TABSFieldDef* id = m.Fields.AddFieldDef();
  id->Name = "Id";
  id->SetType(ctAutoincInteger);
  id->InitialValue = 10;
  TABSFieldDef* word = m.Fields.AddFieldDef();
  word->Name = "Word";
  word->SetType(ctString, 40);
  TABSIndexDef* pk = m.Indexes.AddIndexDef();
  pk->Name = "PK";
  pk->Primary = pk->Unique = true;
  TABSIndexDefs::BuildColumns(*pk, {"Id"}, {"ASC"}, {""});
  m.Constraints.AddConstraint(DeriveConstraintFromIndex(*pk));
  m.Constraints.AddNotNull("", "Word");
}

TEST(DiskDatabase, CreateLaysOutSystemFilesAndOpenReadsThemBack) {
  TempFolder folder;
  const std::string name = folder.File("a.dat");
  MakeDatabase(name, 7);
  TABSDiskDatabaseData db(name);
  const int32_t session = db.Connect({});
  EXPECT_EQ(session, 0);
  EXPECT_EQ(db.SystemDirectory().Entries().size(), 2u);
  const int32_t sessions_page = db.SystemDirectory().StartPageNo(sfActiveSessions);
  const int32_t tables_page = db.SystemDirectory().StartPageNo(sfTableList);
  EXPECT_GT(sessions_page, 2);
  EXPECT_GT(tables_page, 2);
  EXPECT_EQ(db.SystemDirectory().StartPageNo(9), -1);
  EXPECT_EQ(db.SessionsFile().SlotCount(), 7);
  EXPECT_TRUE(db.TableList().Entries().empty());
  EXPECT_FALSE(db.ReadOnly());
  EXPECT_FALSE(db.NeedsRepair());
  TABSPageHandle page = db.DiskPageManager().GetPage(kSystemSession, 2);
  EXPECT_EQ(page.PageType(), ptFileSystemDirectory);
  page.Release();
  db.Disconnect(session);
  EXPECT_FALSE(db.IsOpened());
}

TEST(DiskDatabase, CatalogSurvivesReopen) {
  TempFolder folder;
  const std::string name = folder.File("c.dat");
  MakeDatabase(name, 5, {"secret", 4});
  const std::string long_name(255, 'T');
  {
    TABSDiskDatabaseData db(name);
    TABSConnectOptions options;
    options.Password = {"secret", 4};
    const int32_t s = db.Connect(options);
    TABSTableMetadata words;
    SimpleTable(words);
    const TABSTableListEntry e = db.CreateTable(s, "Words", words);
    EXPECT_GT(e.ObjectID, 0);
    EXPECT_GT(words.Fields.Item(0)->ObjectID, 0);
    EXPECT_EQ(words.Constraints.Item(1)->Name, "$C_NotNull$Words$Word");
    TABSTableMetadata other;
    SimpleTable(other);
    db.CreateTable(s, long_name, other);
    TABSTableMetadata dup;
    SimpleTable(dup);
    EXPECT_EQ(CodeOf([&] { db.CreateTable(s, "WORDS", dup); }), 30395);
    TABSTableMetadata empty;
    EXPECT_EQ(CodeOf([&] { db.CreateTable(s, "Empty", empty); }), 10131);
    TABSTableMetadata gone;
    SimpleTable(gone);
    db.CreateTable(s, "Gone", gone);
    db.DropTable(s, "gONE");
    EXPECT_EQ(CodeOf([&] { db.DropTable(s, "Gone"); }), 30396);
    db.RenameTable(s, "words", "Words2");
    EXPECT_EQ(CodeOf([&] { db.RenameTable(s, "nothing", "x"); }), 30397);
    db.Disconnect(s);
  }
  TABSDiskDatabaseData db(name);
  TABSConnectOptions options;
  options.Password = {"secret", 4};
  const int32_t s = db.Connect(options);
  std::vector<std::string> names;
  db.GetTableNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"Words2", long_name}));
  EXPECT_TRUE(db.TableExists(std::string(255, 't')));
  EXPECT_FALSE(db.TableExists("Gone"));
  TABSTableMetadata read;
  db.ReadTableMetadata(s, "WORDS2", read);
  ASSERT_EQ(read.Fields.Count(), 2);
  EXPECT_EQ(read.Fields.Item(1)->Name, "Word");
  EXPECT_EQ(read.Indexes.Item(0)->Name, "PK");
  EXPECT_EQ(read.Constraints.Item(0)->Name, "C_PK$Id");
  EXPECT_EQ(read.Constraints.Item(0)->TargetName().ID, read.Indexes.Item(0)->ObjectID);
  EXPECT_EQ(read.Constraints.Item(1)->TargetName().ID, read.Fields.Item(1)->ObjectID);
  // The table's lock file has 12 bytes per session slot.
  TABSTableLocksFile locks(db.DiskPageManager());
  locks.OpenFile(db.TableList().Find("words2").LocksStartPageNo);
  EXPECT_EQ(locks.SlotCount(), 5);
  locks.CloseFile();
  db.Disconnect(s);
}

TEST(DiskDatabase, FailedOpenClosesEverythingAndReraises) {
  TempFolder folder;
  const std::string name = folder.File("f.dat");
  MakeDatabase(name, 3, {"pw", 0});
  TABSDiskDatabaseData db(name);
  TABSConnectOptions wrong;
  wrong.Password = {"nope", 0};
  EXPECT_EQ(CodeOf([&] { db.Connect(wrong); }), 30445);
  EXPECT_FALSE(db.IsOpened());
  TABSConnectOptions right;
  right.Password = {"pw", 0};
  db.Disconnect(db.Connect(right));

  // A damaged system directory (the page at 2 holds another page type).
  const std::string plain = folder.File("p.dat");
  MakeDatabase(plain, 3);
  std::vector<uint8_t> bytes = ReadWholeFile(plain);
  bytes[380 + 2 * 4096 + 8] = ptTableRecord;
  WriteWholeFile(plain, bytes);
  TABSDiskDatabaseData damaged(plain);
  EXPECT_NE(CodeOf([&] { damaged.Connect({}); }), 0);
  EXPECT_FALSE(damaged.IsOpened());
  // Nothing stays locked or open: an exclusive open of the file succeeds.
  bytes[380 + 2 * 4096 + 8] = ptFileSystemDirectory;
  WriteWholeFile(plain, bytes);
  TABSConnectOptions exclusive;
  exclusive.Exclusive = true;
  damaged.Disconnect(damaged.Connect(exclusive));

  TABSDiskDatabaseData missing(folder.File("none.dat"));
  EXPECT_NE(CodeOf([&] { missing.Connect({}); }), 0);
  EXPECT_FALSE(missing.IsOpened());
}

TEST(DiskDatabase, EveryConnectionProvesItsPassword) {
  TempFolder folder;
  const std::string name = folder.File("pw.dat");
  MakeDatabase(name, 2, {"pw", caBlowfish});
  auto db = TABSDiskDatabaseData::Attach(name);
  TABSConnectOptions right;
  right.Password = {"pw", 0};
  const int32_t a = db->Connect(right);
  // The file is open already: sharing it spares no connection the check.
  for (const char* wrong : {"nope", "", "PW", "pw "}) {
    TABSConnectOptions options;
    options.Password = {wrong, caBlowfish};
    EXPECT_EQ(CodeOf([&] { db->Connect(options); }), 30445) << wrong;
  }
  // The refused connections took no slot and left the first one working.
  EXPECT_TRUE(db->IsOpened());
  TABSTableMetadata m;
  SimpleTable(m);
  db->CreateTable(a, "words", m);
  const int32_t b = db->Connect(right);
  EXPECT_NE(a, b);
  std::vector<std::string> names;
  db->GetTableNames(names);
  EXPECT_EQ(names, std::vector<std::string>{"words"});
  db->Disconnect(b);
  db->Disconnect(a);
  EXPECT_FALSE(db->IsOpened());

  // An unencrypted file asks no password of the first connection, nor of the others.
  const std::string plain = folder.File("plain.dat");
  MakeDatabase(plain, 2);
  auto open = TABSDiskDatabaseData::Attach(plain);
  const int32_t c = open->Connect({});
  TABSConnectOptions any;
  any.Password = {"anything", 0};
  const int32_t d = open->Connect(any);
  open->Disconnect(d);
  open->Disconnect(c);
}

TEST(DiskDatabase, ConnectionsShareTheObjectAndItsMode) {
  TempFolder folder;
  const std::string name = folder.File("m.dat");
  MakeDatabase(name, 2);
  auto db = TABSDiskDatabaseData::Attach(name);
  EXPECT_EQ(TABSDiskDatabaseData::Attach(name), db);
  const int32_t a = db->Connect({});
  const int32_t b = db->Connect({});
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 1);
  EXPECT_EQ(CodeOf([&] { db->Connect({}); }), 20094);
  TABSConnectOptions single;
  single.MultiUser = false;
  EXPECT_EQ(CodeOf([&] { db->Connect(single); }), 20235);
  db->Disconnect(a);
  EXPECT_EQ(db->Connect({}), 0);
  db->Disconnect(0);
  db->Disconnect(b);
  EXPECT_FALSE(db->IsOpened());
}

TEST(DiskDatabase, CommitBarriersStayOnWhileAnyConnectionAsksForThem) {
  TempFolder folder;
  const std::string name = folder.File("bulk.dat");
  MakeDatabase(name);
  struct Case {
    const char* name;
    bool multi_user;
  };
  for (const Case& c : {Case{"multi-user", true}, Case{"single-user", false}}) {
    SCOPED_TRACE(c.name);
    TABSDiskDatabaseData db(name);
    TABSConnectOptions durable;
    durable.MultiUser = c.multi_user;
    TABSConnectOptions fast = durable;
    fast.DurableCommits = false;
    const int32_t a = db.Connect(fast);
    EXPECT_FALSE(db.DiskPageManager().CommitBarriers());
    const int32_t b = db.Connect(durable);
    EXPECT_TRUE(db.DiskPageManager().CommitBarriers());
    const int32_t c2 = db.Connect(fast);
    EXPECT_TRUE(db.DiskPageManager().CommitBarriers());
    db.Disconnect(b);
    // Single-user connections share a session number: which one left is not known, and
    // the barriers stay on.
    EXPECT_EQ(db.DiskPageManager().CommitBarriers(), !c.multi_user);
    db.Disconnect(c2);
    db.Disconnect(a);
    EXPECT_FALSE(db.IsOpened());
    TABSConnectOptions plain;
    plain.MultiUser = c.multi_user;
    const int32_t d = db.Connect(plain);
    EXPECT_TRUE(db.DiskPageManager().CommitBarriers());  // the default
    db.Disconnect(d);
  }
}

TEST(DiskDatabase, ABulkLoadIsSyncedWhenTheFileClosesAndAFailureIsReported) {
  TempFolder folder;
  const std::string name = folder.File("bulk.dat");
  MakeDatabase(name);
  TABSDiskDatabaseData db(name);
  TABSConnectOptions fast;
  fast.DurableCommits = false;
  const int32_t s = db.Connect(fast);
  testing::FailingBarriers failing(db.DiskPageManager().File().Platform());
  db.DiskPageManager().File().SetWriter(&failing);
  TABSTableMetadata words;
  SimpleTable(words);
  db.CreateTable(s, "Words", words);  // commits without a barrier
  EXPECT_EQ(CodeOf([&] { db.Disconnect(s); }), 30379);
  EXPECT_FALSE(db.IsOpened());
}

}  // namespace
}  // namespace dadoveri
