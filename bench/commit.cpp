// Commits per second: a transaction that rewrites 1 page, or 64 pages, of a 1024-page
// (4 MB) table, with and without write barriers, next to SQLite doing the same work in
// the same run: its table holds one 3000-byte row per 4096-byte page, and a transaction
// updates 1 or 64 rows (1 or 64 leaf pages), with synchronous=FULL and a rollback
// journal, and with synchronous=NORMAL in WAL mode. Both caches hold the whole table.
//
// The files live in the temporary folder (TMPDIR, else /tmp): put it on the disk to be
// measured, where fdatasync really waits for the medium.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/storage/disk_page_manager.h"

namespace dadoveri {
namespace {

constexpr int32_t kSession = 0;
constexpr int kTablePages = 1024;
constexpr int kRowSize = 3000;  // one row per SQLite page

std::string temp_name(const std::string& stem) {
  return (std::filesystem::temp_directory_path() /
          ("dadoveri-bench-" + std::to_string(getpid()) + "-" + stem))
      .string();
}

void remove_with_journals(const std::string& name) {
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) std::filesystem::remove(name + suffix);
}

// The page-cache calls of this benchmark. Adds `count` pages when `first` is -1, else
// rewrites pages first … first + count − 1 (every data byte changes with `salt`), or
// only reads them when `change` is false.
void write_pages(TABSDiskPageManager& pm, int32_t first, int count, uint32_t salt,
                 bool change = true) {
  for (int i = 0; i < count; ++i) {
    TABSPageHandle page = first < 0 ? pm.AddPage(kSession, ptTableRecord)
                                    : pm.GetPage(kSession, first + i, false, ptTableRecord);
    if (change) {
      uint8_t* data = page.MutableData();
      for (uint32_t k = 0; k < page.DataSize(); ++k) data[k] = static_cast<uint8_t>(k * 7 + salt + i);
    }
  }
}

void BM_DadoveriCommit(benchmark::State& state) {
  const int pages = static_cast<int>(state.range(0));
  const bool barriers = state.range(1) != 0;
  const std::string name = temp_name("commit.dat");
  {
    TABSDiskPageManager pm(2 * kTablePages);
    pm.CreateDatabase(name, 4096, 8, {});
    pm.SetCommitBarriers(false);
    write_pages(pm, -1, kTablePages, 0);
    pm.CommitPages(kSession);
    pm.CloseDatabase();
  }
  auto pm = std::make_unique<TABSDiskPageManager>(2 * kTablePages);
  bool read_only = false, repair = false;
  pm->OpenDatabase(name, {}, read_only, false, false, repair);
  pm->SetCommitBarriers(barriers);
  write_pages(*pm, 2, kTablePages, 0, false);  // warms the cache
  uint32_t salt = 2;
  int32_t next = 0;
  for (auto _ : state) {
    write_pages(*pm, 2 + next, pages, ++salt);
    pm->CommitPages(kSession);
    next = (next + pages) % kTablePages;
  }
  state.counters["commits/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate);
  pm->CloseDatabase();
  std::filesystem::remove(name);
}
BENCHMARK(BM_DadoveriCommit)
    ->ArgNames({"pages", "barriers"})
    ->Args({1, 1})
    ->Args({64, 1})
    ->Args({1, 0})
    ->Args({64, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

class SQLite {
 public:
  explicit SQLite(const std::string& name) {
    if (sqlite3_open(name.c_str(), &db_) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db_));
  }
  ~SQLite() { sqlite3_close(db_); }
  void exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      const std::string text = error ? error : "?";
      sqlite3_free(error);
      throw std::runtime_error(text);
    }
  }
  sqlite3* handle() { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

// Updates rows first … first + count − 1 in one transaction.
void update_rows(SQLite& db, sqlite3_stmt* update, int first, int count, uint32_t salt,
                 std::vector<uint8_t>& row) {
  db.exec("BEGIN");
  for (int i = 0; i < count; ++i) {
    for (size_t k = 0; k < row.size(); ++k) row[k] = static_cast<uint8_t>(k * 7 + salt + i);
    sqlite3_bind_blob(update, 1, row.data(), static_cast<int>(row.size()), SQLITE_STATIC);
    sqlite3_bind_int(update, 2, first + i);
    if (sqlite3_step(update) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db.handle()));
    sqlite3_reset(update);
  }
  db.exec("COMMIT");
}

void BM_SQLiteCommit(benchmark::State& state) {
  const int pages = static_cast<int>(state.range(0));
  const bool wal = state.range(1) != 0;
  const std::string name = temp_name("commit.sqlite");
  remove_with_journals(name);
  std::vector<uint8_t> row(kRowSize);
  {
    SQLite db(name);
    db.exec("PRAGMA page_size=4096");
    db.exec("PRAGMA synchronous=OFF");
    db.exec("CREATE TABLE t(id INTEGER PRIMARY KEY, v BLOB)");
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db.handle(), "INSERT INTO t(id, v) VALUES (?, ?)", -1, &insert, nullptr);
    db.exec("BEGIN");
    for (int id = 0; id < kTablePages; ++id) {
      sqlite3_bind_int(insert, 1, id);
      sqlite3_bind_blob(insert, 2, row.data(), kRowSize, SQLITE_STATIC);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    db.exec("COMMIT");
    sqlite3_finalize(insert);
  }
  SQLite db(name);
  db.exec(std::string("PRAGMA cache_size=") + std::to_string(2 * kTablePages));
  if (wal) {
    db.exec("PRAGMA journal_mode=WAL");
    db.exec("PRAGMA synchronous=NORMAL");
  } else {
    db.exec("PRAGMA journal_mode=DELETE");
    db.exec("PRAGMA synchronous=FULL");
  }
  db.exec("SELECT sum(length(v)) FROM t");  // warms the cache
  sqlite3_stmt* update = nullptr;
  sqlite3_prepare_v2(db.handle(), "UPDATE t SET v = ? WHERE id = ?", -1, &update, nullptr);
  uint32_t salt = 2;
  int next = 0;
  for (auto _ : state) {
    update_rows(db, update, next, pages, ++salt, row);
    next = (next + pages) % kTablePages;
  }
  state.counters["commits/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate);
  sqlite3_finalize(update);
  remove_with_journals(name);
}
BENCHMARK(BM_SQLiteCommit)
    ->ArgNames({"pages", "wal_normal"})
    ->Args({1, 0})
    ->Args({64, 0})
    ->Args({1, 1})
    ->Args({64, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace
}  // namespace dadoveri

BENCHMARK_MAIN();
