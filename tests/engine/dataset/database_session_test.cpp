// Sessions, the session list and database components on real database files: lookups,
// automatic session names, each operation in each wrong state, sharing one open file,
// passwords, temporary components and the repair.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine/database/database_list.h"
#include "engine/database/local_cursor.h"
#include "engine/dataset/database.h"
#include "engine/dataset/database_error.h"
#include "engine/dataset/session.h"
#include "engine/dataset/user_prompts.h"
#include "engine/table/table_metadata.h"
#include "engine/table/variant.h"
#include "tests/engine/dataset/rows_dataset.h"
#include "tests/engine/test_support.h"

namespace dadoveri::testing {
namespace {

// The code and message of the database or engine error `fn` raises.
template <typename Fn>
std::pair<int32_t, std::string> ErrorOf(Fn&& fn) {
  try {
    fn();
  } catch (const EDatabaseError& e) {
    return {e.Code, e.what()};
  } catch (const VODIDivodavir& e) {
    return {e.NativeError, e.what()};
  }
  return {0, "<nothing raised>"};
}

// A file with table "words" (Id, Word) holding rows 1 … n.
void MakeFile(const std::string& file, const std::string& password, int n) {
  TABSDatabase db;
  db.SetDatabaseName("maker");
  db.SetDatabaseFileName(file);
  db.Password = password;
  db.CreateDatabase();
  db.Connect();
  TABSLocalSession* s = db.Handle();
  TABSTableMetadata m;
  TABSFieldDef* id = m.Fields.AddFieldDef();
  id->Name = "Id";
  id->SetType(ctInteger, 0);
  TABSFieldDef* word = m.Fields.AddFieldDef();
  word->Name = "Word";
  word->SetType(ctString, 20);
  m.Fields.RecomputeOffsets();
  s->DiskDatabase()->CreateTable(s->SessionID, "words", m);
  TABSLocalCursor c(s, "words");
  c.Open(*s->DatabaseData());
  db.StartTransaction();
  for (int i = 1; i <= n; ++i) {
    c.NewRecord();
    TABSVariant v;
    v.SetAsInteger(i);
    c.SetFieldValue(0, true, v);
    TABSVariant w;
    w.SetAsString("word" + std::to_string(i));
    c.SetFieldValue(1, true, w);
    ASSERT_EQ(c.PostInsert(), 0);
  }
  db.Commit();
  c.Close();
}

std::vector<std::string> ReadWords(const std::string& file, const std::string& password) {
  TABSDatabase db;
  db.SetDatabaseName("reader");
  db.SetDatabaseFileName(file);
  db.Password = password;
  db.SilentMode = true;
  db.Connect();
  TABSLocalCursor c(db.Handle(), "words");
  c.Open(*db.Handle()->DatabaseData());
  std::vector<std::string> out;
  c.GoToBegin();
  while (c.GetRecord(1) == 0) {
    TABSVariant v;
    c.GetFieldValue(1, true, v);
    out.push_back(v.GetAsString());
  }
  c.Close();
  return out;
}

// Marks a file as left in the middle of a commit.
void MarkNotClosedCleanly(const std::string& file) {
  std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(42);
  f.put(1);
}

std::vector<std::string> FilesIn(const std::string& folder_file) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(folder_file).parent_path()))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Prompts that answer from fields and remember what they were asked.
class ScriptedPrompts : public TABSUserPrompts {
 public:
  struct Wait : TABSWaitWindow {
    ScriptedPrompts& owner;
    explicit Wait(ScriptedPrompts& o) : owner(o) {}
    void SetProgress(int32_t p) override { owner.Progress.push_back(p); }
    bool Aborted() const override { return owner.AbortWait; }
    void Finish() override { owner.Asked.push_back("finish"); }
  };
  std::vector<std::string> Asked;
  std::vector<int32_t> Progress;
  std::string PasswordAnswer;
  bool PasswordOk = false;
  bool YesAnswer = false;
  bool AbortWait = false;
  bool AskPassword(const std::string& component, std::string& password) override {
    Asked.push_back("password " + component);
    password = PasswordAnswer;
    return PasswordOk;
  }
  bool AskYesNo(const std::string& question) override {
    Asked.push_back(question);
    return YesAnswer;
  }
  void ShowInformation(const std::string& text) override { Asked.push_back("info " + text); }
  void ShowWarning(const std::string& text) override { Asked.push_back("warning " + text); }
  std::unique_ptr<TABSWaitWindow> StartWait(const std::string& message) override {
    Asked.push_back("wait " + message);
    return std::make_unique<Wait>(*this);
  }
};

class Installed {
 public:
  explicit Installed(TABSUserPrompts* p) { InstallUserPrompts(p); }
  ~Installed() { InstallUserPrompts(nullptr); }
};

class DatabaseFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = folder_.File("a.dat");
    MakeFile(file_, "pw", 40);
  }
  // A component named DB1 on the file.
  std::unique_ptr<TABSDatabase> Component(const std::string& password = "pw", const std::string& name = "db1",
                                          bool shared = false) {
    auto db = std::make_unique<TABSDatabase>();
    db->SetName("DB1");
    db->HandleShared = shared;
    db->SetDatabaseName(name);
    db->SetDatabaseFileName(file_);
    db->Password = password;
    return db;
  }
  TempFolder folder_;
  std::string file_;
};

TEST(SessionList, DefaultSessionAndLookups) {
  TABSSession& def = Sessions().Default();
  EXPECT_EQ(def.SessionName(), "Default");
  EXPECT_TRUE(def.IsDefault());
  EXPECT_EQ(&Sessions().FindSession(""), &def);
  EXPECT_EQ(&Sessions().FindSession("DEFAULT"), &def);
  const auto [code, message] = ErrorOf([] { Sessions().FindSession("Nowhere"); });
  EXPECT_EQ(code, 20002);
  EXPECT_EQ(message, "Invalid session name 'Nowhere' - Native error: 20002");

  TABSSession work;
  work.SetName("WorkSession");
  work.SetSessionName("Work");
  EXPECT_EQ(&Sessions().FindSession("work"), &work);
  EXPECT_FALSE(work.IsDefault());
  TABSSession other;
  EXPECT_EQ(ErrorOf([&] { other.SetSessionName("WORK"); }).first, kMsgDuplicateSessionName);
  EXPECT_EQ(ErrorOf([&] { other.SetActive(true); }),
            std::make_pair(int32_t{kMsgSessionNameMissing}, std::string("Session name missing")));
  bool started = false;
  work.OnStartup = [&](TABSSession&) { started = true; };
  work.SetActive(true);
  EXPECT_TRUE(started);
  EXPECT_TRUE(def.Active());  // the default session comes first
  EXPECT_EQ(ErrorOf([&] { work.SetSessionName("Elsewhere"); }),
            std::make_pair(int32_t{kMsgSessionActive}, std::string("WorkSession: Cannot perform this operation on an active session")));
}

TEST(SessionList, AutomaticSessionNames) {
  TComponent form;
  auto* s1 = new TABSSession(&form);
  s1->SetName("Session1");
  auto* db = new TABSDatabase(&form);
  s1->SetAutoSessionName(true);
  EXPECT_EQ(s1->SessionName(), "Session1_1");
  EXPECT_EQ(db->SessionName(), "Session1_1");  // moved with it
  EXPECT_EQ(&Sessions().FindSession("session1_1"), s1);
  EXPECT_EQ(ErrorOf([&] { s1->SetSessionName("x"); }).first, kMsgAutoSessionNameRename);
  EXPECT_EQ(ErrorOf([&] { new TABSSession(&form); }),
            std::make_pair(int32_t{kMsgAutoSessionNameAddSession},
                           std::string("Cannot add a session to the form or data-module while session 'Session1_1' has AutoSessionName enabled")));
  EXPECT_EQ(form.ComponentCount(), 2);  // the refused one left again

  TComponent form2;
  auto* s2 = new TABSSession(&form2);
  s2->SetName("S");
  s2->SetAutoSessionName(true);
  EXPECT_EQ(s2->SessionName(), "S_2");
  delete s1;  // number 1 is free again; the database falls back to no session
  EXPECT_EQ(db->SessionName(), "");
  TComponent form3;
  auto* s3 = new TABSSession(&form3);
  s3->SetName("T");
  s3->SetAutoSessionName(true);
  EXPECT_EQ(s3->SessionName(), "T_1");

  TComponent form4;
  new TABSSession(&form4);
  auto* s5 = new TABSSession(&form4);
  EXPECT_EQ(ErrorOf([&] { s5->SetAutoSessionName(true); }).first, kMsgAutoSessionNameTwoSessions);
}

// Each operation in a state that does not allow it, with its message and code.
TEST_F(DatabaseFiles, OperationsInWrongStatesGiveTheirMessages) {
  struct Case {
    const char* what;
    std::function<void(TABSDatabase&)> action;
    int32_t code;
    std::string message;
  };
  const std::string missing = folder_.File("missing.dat");
  const Case cases[] = {
      {"connect without a name", [](TABSDatabase& d) { d.SetDatabaseName(""); d.Connect(); }, kMsgDatabaseNameMissing,
       "DB1: Database name missing"},
      {"connect to a missing file", [&](TABSDatabase& d) { d.SetDatabaseFileName(missing); d.Connect(); },
       kMsgDatabaseFileMissing, "DB1: Database file '" + missing + "' does not exist"},
      {"connect in an unknown session", [](TABSDatabase& d) { d.SetSessionName("nosuch"); }, 20002,
       "Invalid session name 'nosuch' - Native error: 20002"},
      {"start a transaction when closed", [](TABSDatabase& d) { d.StartTransaction(); }, kMsgDatabaseClosed,
       "DB1: Cannot perform this operation on a closed database"},
      {"commit when closed", [](TABSDatabase& d) { d.Commit(); }, kMsgDatabaseClosed,
       "DB1: Cannot perform this operation on a closed database"},
      {"roll back when closed", [](TABSDatabase& d) { d.Rollback(); }, kMsgDatabaseClosed,
       "DB1: Cannot perform this operation on a closed database"},
      {"a second transaction", [](TABSDatabase& d) { d.Connect(); d.StartTransaction(); d.StartTransaction(); },
       kMsgDatabaseInTransaction, "DB1: Database already in transaction"},
      {"commit without a transaction", [](TABSDatabase& d) { d.Connect(); d.Commit(); }, 20229,
       "Database is not in transaction. Cannot perform operation - Native error: 20229"},
      {"roll back without a transaction", [](TABSDatabase& d) { d.Connect(); d.Rollback(); }, 20229,
       "Database is not in transaction. Cannot perform operation - Native error: 20229"},
      {"rename when connected", [](TABSDatabase& d) { d.Connect(); d.SetDatabaseName("other"); }, kMsgDatabaseOpen,
       "DB1: Cannot perform this operation on an open database"},
      {"move session when connected", [](TABSDatabase& d) { d.Connect(); d.SetSessionName("Default"); },
       kMsgDatabaseOpen, "DB1: Cannot perform this operation on an open database"},
      {"create when connected", [](TABSDatabase& d) { d.Connect(); d.CreateDatabase(); }, kMsgDatabaseOpen,
       "DB1: Cannot perform this operation on an open database"},
      {"delete when connected", [](TABSDatabase& d) { d.Connect(); d.DeleteDatabase(); }, kMsgDatabaseOpen,
       "DB1: Cannot perform this operation on an open database"},
      {"create without a name", [](TABSDatabase& d) { d.SetDatabaseName(""); d.CreateDatabase(); },
       kMsgDatabaseNameMissing, "DB1: Database name missing"},
      {"create a file another component holds open",
       [&](TABSDatabase& d) {
         auto holder = Component("pw", "holder");
         holder->Connect();
         d.CreateDatabase();
       },
       20092, "Cannot create database. Database is already open - Native error: 20092"},
      {"a duplicate name in the session",
       [&](TABSDatabase& d) {
         TABSDatabase other;
         other.SetDatabaseName("twin");
         other.SetSessionName("");
         d.SetSessionName("");
         d.SetDatabaseName("TWIN");
       },
       kMsgDuplicateDatabaseName, "DB1: Duplicate database name 'TWIN'"},
      {"a wrong password with nobody to ask", [](TABSDatabase& d) { d.Password = "bad"; d.Connect(); }, 30445,
       "Cannot open database because incorrect password - Native error: 30445"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto db = Component();
    const auto [code, message] = ErrorOf([&] { c.action(*db); });
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(message, c.message);
    if (c.code != kMsgDatabaseInTransaction && c.code != 20229 && c.code != kMsgDatabaseOpen) {
      // After a failed connect nothing stays connected.
      EXPECT_FALSE(db->Connected());
      EXPECT_EQ(db->Handle(), nullptr);
    }
  }
  EXPECT_EQ(TABSDatabaseList::Instance().FileCount(), 0);
  // The file is intact after all that.
  EXPECT_EQ(ReadWords(file_, "pw").size(), 40u);
}

TEST_F(DatabaseFiles, ComponentsOnOneFileShareItAndPasswordsMustAgree) {
  auto a = Component();
  auto b = Component("pw", "db2");
  a->Connect();
  b->Connect();
  ASSERT_TRUE(a->Connected() && b->Connected());
  EXPECT_EQ(a->Handle()->DiskDatabase(), b->Handle()->DiskDatabase());
  EXPECT_EQ(TABSDatabaseList::Instance().FileCount(), 1);
  std::vector<std::string> names;
  b->GetTableNames(names);
  EXPECT_EQ(names, std::vector<std::string>{"words"});
  EXPECT_TRUE(b->TableExists("WORDS"));

  auto c = Component("other", "db3");
  EXPECT_EQ(ErrorOf([&] { c->Connect(); }),
            std::make_pair(int32_t{20298}, std::string("Database password is invalid. - Native error: 20298")));
  EXPECT_FALSE(c->Connected());
  // A name differing in letter case is another file on this system.
  auto d = Component("pw", "db4");
  const std::string upper = folder_.File("A.dat");
  d->SetDatabaseFileName(upper);
  EXPECT_EQ(ErrorOf([&] { d->Connect(); }).first, kMsgDatabaseFileMissing);

  // Components sharing their handle use one engine connection.
  auto e = Component("pw", "shared", true);
  auto f = Component("pw", "shared", true);
  e->Connect();
  f->Connect();
  EXPECT_EQ(e->Handle(), f->Handle());
  EXPECT_TRUE(f->HandleIsShared());
  e->Disconnect();  // the sharer loses it too
  EXPECT_FALSE(f->Connected());

  a->Disconnect();
  EXPECT_EQ(TABSDatabaseList::Instance().FileCount(), 1);
  b->Disconnect();
  EXPECT_EQ(TABSDatabaseList::Instance().FileCount(), 0);
}

TEST_F(DatabaseFiles, PasswordIsAskedForAndTheAnswerUsed) {
  struct Case {
    const char* what;
    bool handler;         // OnPassword assigned
    bool handler_goes_on; // its answer
    bool prompts;         // prompts installed
    bool prompt_ok;       // OK in the dialog
    bool silent;
    bool connects;
    bool dialog_shown;
  };
  const Case cases[] = {
      {"handler gives the password", true, true, false, false, false, true, false},
      {"handler declines", true, false, true, true, false, false, false},
      {"dialog OK with the right password", false, false, true, true, false, true, true},
      {"dialog cancelled", false, false, true, false, false, false, true},
      {"silent: nobody asked", false, false, true, true, true, false, false},
      {"nothing installed", false, false, false, false, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedPrompts prompts;
    prompts.PasswordAnswer = "pw";
    prompts.PasswordOk = c.prompt_ok;
    Installed installed(c.prompts ? &prompts : nullptr);
    auto db = Component("wrong");
    db->SilentMode = c.silent;
    int calls = 0;
    if (c.handler)
      db->OnPassword = [&](TABSDatabase& d, bool& go_on) {
        ++calls;
        d.Password = "pw";
        go_on = c.handler_goes_on;
      };
    const auto [code, message] = ErrorOf([&] { db->Connect(); });
    EXPECT_EQ(db->Connected(), c.connects);
    EXPECT_EQ(code, c.connects ? 0 : 30445);
    EXPECT_EQ(calls, c.handler ? 1 : 0);
    EXPECT_EQ(prompts.Asked, c.dialog_shown ? std::vector<std::string>{"password DB1"} : std::vector<std::string>{});
    if (c.connects) {
      EXPECT_EQ(db->Password, "pw");
      EXPECT_EQ(db->PageSize, 4096);
      EXPECT_EQ(db->MaxConnections, 500);
      EXPECT_FALSE(db->ReadOnly);
    }
  }
}

TEST_F(DatabaseFiles, TemporaryComponentLivesWhileDatasetsHoldIt) {
  TABSSession session;
  session.SetSessionName("Temporary");
  session.KeepConnections = false;
  // A component made for a dataset asks nobody for a password: a file without one.
  const std::string open_file = folder_.File("open.dat");
  MakeFile(open_file, "", 3);
  TABSDatabase* db = session.OpenDatabase(open_file);
  ASSERT_NE(db, nullptr);
  EXPECT_TRUE(db->Temporary());
  EXPECT_TRUE(db->Connected());
  EXPECT_TRUE(db->SilentMode);
  EXPECT_EQ(db->RefCount(), 1);
  EXPECT_EQ(session.OpenDatabase(open_file), db);  // a second dataset finds it
  session.CloseDatabase(db);
  EXPECT_EQ(session.Databases().size(), 1u);
  session.CloseDatabase(db);  // freed
  EXPECT_TRUE(session.Databases().empty());
  EXPECT_EQ(TABSDatabaseList::Instance().FileCount(), 0);

  // A failed connect of a new temporary component frees it again.
  EXPECT_EQ(ErrorOf([&] { session.OpenDatabase(file_); }).first, 30445);
  EXPECT_TRUE(session.Databases().empty());

  // A registered component is used as it is; with KeepConnections it stays connected.
  TABSSession keeping;
  keeping.SetSessionName("Keeping");
  auto named = Component();
  named->SetSessionName("Keeping");
  TABSDatabase* found = keeping.OpenDatabase("DB1");
  EXPECT_EQ(found, named.get());
  keeping.CloseDatabase(found);
  EXPECT_TRUE(named->Connected());
  named->SetKeepConnection(false);  // nobody holds it: disconnects at once
  EXPECT_FALSE(named->Connected());
  keeping.SetActive(false);
}

TEST_F(DatabaseFiles, FileNameChangeAndDeactivationCloseDatasets) {
  auto db = Component();
  db->Connect();
  RowsDataSet rows({{"N", ftInteger}});
  rows.AddRow({int64_t{1}});
  rows.Open();
  db->AttachDataSet(&rows);
  db->SetDatabaseFileName(folder_.File("b.dat"));
  EXPECT_FALSE(db->Connected());
  EXPECT_FALSE(rows.Active());
  // Loading stores Connected; the end of loading connects.
  db->SetDatabaseFileName(file_);
  db->BeginLoading();
  db->SetConnected(true);
  EXPECT_FALSE(db->Connected());
  db->EndLoading();
  EXPECT_TRUE(db->Connected());
  // A dataset that hands the database back while it is being closed by it.
  EXPECT_EQ(Sessions().Default().OpenDatabase("DB1"), db.get());
  db->SetKeepConnection(false);
  rows.Open();
  db->AttachDataSet(&rows);
  rows.AfterClose = [&](TDataSet&) { Sessions().Default().CloseDatabase(db.get()); };
  db->Disconnect();
  EXPECT_FALSE(db->Connected());
  EXPECT_FALSE(rows.Active());
  rows.AfterClose = nullptr;
  db->DetachDataSet(&rows);
  db->SetKeepConnection(true);
  db->Connect();
  // Deactivating the session disconnects its databases.
  Sessions().Default().SetActive(false);
  EXPECT_FALSE(db->Connected());
}

TEST_F(DatabaseFiles, ExclusiveOpenRefusesAnotherProcess) {
  auto db = Component();
  db->Exclusive = true;
  db->Connect();
  const pid_t child = fork();
  if (child == 0) {
    // A fresh registry of the file: the process's list would share the parent's.
    int status = 1;
    try {
      TABSDiskDatabaseData other(file_);
      TABSConnectOptions options;
      options.Password.Password = "pw";
      other.Connect(options);
    } catch (...) {
      status = 0;
    }
    _exit(status);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "another process opened the exclusively held file";
}

TEST_F(DatabaseFiles, RepairKeepsRowsAndReplacesFileInOneStep) {
  const std::vector<std::string> before = ReadWords(file_, "pw");
  ScriptedPrompts prompts;
  Installed installed(&prompts);
  auto db = Component();
  std::string error;
  ASSERT_TRUE(db->RepairDatabase(error)) << error;
  EXPECT_EQ(error, "");
  EXPECT_FALSE(db->Connected());
  EXPECT_EQ(ReadWords(file_, "pw"), before);
  EXPECT_EQ(FilesIn(file_), std::vector<std::string>{"a.dat"});
  // The wait window follows the component's own SilentMode.
  ASSERT_FALSE(prompts.Asked.empty());
  EXPECT_EQ(prompts.Asked.front(), "wait Repairing Database...");
  EXPECT_EQ(prompts.Asked.back(), "finish");
  ASSERT_FALSE(prompts.Progress.empty());
  EXPECT_EQ(prompts.Progress.back(), 100);
  prompts.Asked.clear();
  db->SilentMode = true;
  ASSERT_TRUE(db->RepairDatabase(error)) << error;
  EXPECT_TRUE(prompts.Asked.empty());
}

TEST_F(DatabaseFiles, FailedOrStoppedRepairLeavesDatabaseUntouched) {
  const std::vector<uint8_t> original = ReadWholeFile(file_);
  struct Case {
    const char* what;
    std::function<void(TABSDatabase&)> arrange;
    std::string error_part;
  };
  const Case cases[] = {
      {"wrong password", [](TABSDatabase& d) { d.Password = "bad"; }, "incorrect password"},
      {"stopped by the progress event",
       [](TABSDatabase& d) { d.OnRepairProgress = [](TABSDatabase&, double p, bool& go_on) { go_on = p < 1; }; },
       "Terminated by User."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto db = Component();
    c.arrange(*db);
    std::string error;
    EXPECT_FALSE(db->RepairDatabase(error));
    EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
    EXPECT_EQ(ReadWholeFile(file_), original);
    EXPECT_EQ(FilesIn(file_), std::vector<std::string>{"a.dat"});
  }
  // A file that is no database: the failure is reported, nothing is left behind.
  const std::string junk = folder_.File("junk.dat");
  WriteWholeFile(junk, std::vector<uint8_t>(5000, 0x5A));
  auto db = Component();
  db->SetDatabaseFileName(junk);
  std::string error;
  EXPECT_FALSE(db->RepairDatabase(error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(ReadWholeFile(junk), std::vector<uint8_t>(5000, 0x5A));
  EXPECT_EQ(FilesIn(file_), (std::vector<std::string>{"a.dat", "junk.dat"}));
}

TEST_F(DatabaseFiles, FileNotClosedCleanlyAsksForRepair) {
  MarkNotClosedCleanly(file_);
  struct Case {
    const char* what;
    bool use_event;
    bool answer;
    bool silent;
    bool asked;
    bool repaired;
  };
  const Case cases[] = {
      {"question answered No", false, false, false, true, false},
      {"event answers No", true, false, false, true, false},
      {"silent: nobody asked", false, true, true, false, false},
      {"question answered Yes", false, true, false, true, true},
  };
  const std::string question = "Database file was not correctly closed last time. Do you want to repair it?";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedPrompts prompts;
    prompts.YesAnswer = c.answer;
    Installed installed(&prompts);
    auto db = Component();
    db->SilentMode = c.silent;
    int events = 0;
    if (c.use_event)
      db->OnNeedRepair = [&](TABSDatabase&, bool& repair) {
        ++events;
        repair = c.answer;
      };
    db->Connect();
    EXPECT_TRUE(db->Connected());
    const bool question_asked = std::find(prompts.Asked.begin(), prompts.Asked.end(), question) != prompts.Asked.end();
    EXPECT_EQ(question_asked || events > 0, c.asked);
    EXPECT_EQ(db->Handle()->NeedsRepair(), !c.repaired);
    db->Disconnect();
    if (c.repaired) {
      EXPECT_EQ(ReadWords(file_, "pw").size(), 40u);
      EXPECT_EQ(FilesIn(file_), std::vector<std::string>{"a.dat"});
    } else {
      MarkNotClosedCleanly(file_);
    }
  }
}

}  // namespace
}  // namespace dadoveri::testing
