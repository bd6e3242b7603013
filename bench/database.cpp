// Database files: create + open + close of an empty database (plain and encrypted), open
// + close of an existing one, and uncontended table and record lock/unlock pairs. SQLite
// creating, opening and closing an empty database file is the comparison.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "engine/database/disk_database_data.h"
#include "engine/database/table_locks_file.h"
#include "engine/table/table_metadata.h"

namespace dadoveri {
namespace {

std::string temp_name(const std::string& stem) {
  return (std::filesystem::temp_directory_path() / ("dadoveri-bench-" + std::to_string(getpid()) + "-" + stem)).string();
}

TABSPassword password_for(int cipher) {
  return cipher < 0 ? TABSPassword{} : TABSPassword{"41736285", static_cast<uint8_t>(cipher)};
}

void label(benchmark::State& state, int cipher) {
  state.SetLabel(cipher < 0 ? std::string("plain") : std::string(CipherName(static_cast<uint8_t>(cipher))));
}

void BM_CreateOpenClose(benchmark::State& state) {
  const int cipher = static_cast<int>(state.range(0));
  const std::string name = temp_name("create.dat");
  TABSConnectOptions options;
  options.Password = password_for(cipher);
  for (auto _ : state) {
    TABSDiskDatabaseData db(name);
    db.CreateSettings.Password = password_for(cipher);
    db.CreateDatabase();
    db.Disconnect(db.Connect(options));
  }
  std::filesystem::remove(name);
  label(state, cipher);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CreateOpenClose)->Arg(-1)->Arg(0)->Arg(4)->Unit(benchmark::kMicrosecond);

void BM_OpenClose(benchmark::State& state) {
  const int cipher = static_cast<int>(state.range(0));
  const std::string name = temp_name("open.dat");
  {
    TABSDiskDatabaseData db(name);
    db.CreateSettings.Password = password_for(cipher);
    db.CreateDatabase();
  }
  TABSConnectOptions options;
  options.Password = password_for(cipher);
  for (auto _ : state) {
    TABSDiskDatabaseData db(name);
    db.Disconnect(db.Connect(options));
  }
  std::filesystem::remove(name);
  label(state, cipher);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpenClose)->Arg(-1)->Arg(0)->Arg(4)->Unit(benchmark::kMicrosecond);

void BM_SQLiteCreateOpenClose(benchmark::State& state) {
  const std::string name = temp_name("sqlite.db");
  for (auto _ : state) {
    std::filesystem::remove(name);
    sqlite3* db = nullptr;
    sqlite3_open_v2(name.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    // An empty SQLite file is written on its first change.
    sqlite3_exec(db, "PRAGMA user_version = 1", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  std::filesystem::remove(name);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SQLiteCreateOpenClose)->Unit(benchmark::kMicrosecond);

// A database with one table, connected in multi-user mode, with the table's lock file.
struct LockSetup {
  explicit LockSetup(bool multi_user = true) : name(temp_name("locks.dat")), db(name) {
    db.CreateDatabase();
    TABSConnectOptions options;
    options.MultiUser = multi_user;
    session = db.Connect(options);
    TABSTableMetadata m;
    TABSFieldDef* f = m.Fields.AddFieldDef();
    f->Name = std::string("A");  // a move: GCC 12 misreads the inlined literal copy (-Wrestrict)
    f->SetType(ctInteger);
    db.CreateTable(session, "T", m);
    file = std::make_unique<TABSTableLocksFile>(db.DiskPageManager());
    file->OpenFile(db.TableList().Find("T").LocksStartPageNo);
  }
  ~LockSetup() {
    file->CloseFile();
    db.Disconnect(session);
    std::filesystem::remove(name);
  }
  std::string name;
  TABSDiskDatabaseData db;
  int32_t session = -1;
  std::unique_ptr<TABSTableLocksFile> file;
};

void BM_TableLockUnlock(benchmark::State& state) {
  const auto type = static_cast<int32_t>(state.range(0));
  LockSetup s;
  TABSDatabaseTableLockManager& m = s.db.LockManager();
  for (auto _ : state) {
    if (!m.LockTable(s.session, type, *s.file, kReadLockAttempts)) state.SkipWithError("lock refused");
    m.UnlockTable(s.session, type, *s.file);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TableLockUnlock)->Arg(ltRead)->Arg(ltWrite)->Arg(ltExclusive);

// The re-entrant path: the session already holds the lock, only the count moves.
void BM_TableLockUnlockHeld(benchmark::State& state) {
  LockSetup s;
  TABSDatabaseTableLockManager& m = s.db.LockManager();
  m.LockTable(s.session, ltTableOpen, *s.file);
  for (auto _ : state) {
    m.LockTable(s.session, ltTableOpen, *s.file);
    m.UnlockTable(s.session, ltTableOpen, *s.file);
  }
  m.UnlockTable(s.session, ltTableOpen, *s.file);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TableLockUnlockHeld);

void BM_RecordLockUnlock(benchmark::State& state) {
  LockSetup s;
  TABSDatabaseTableLockManager& m = s.db.LockManager();
  uint16_t slot = 0;
  for (auto _ : state) {
    m.LockRecord(s.session, *s.file, 7, ++slot);
    m.UnlockRecord(s.session, *s.file);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordLockUnlock);

}  // namespace
}  // namespace dadoveri

BENCHMARK_MAIN();
