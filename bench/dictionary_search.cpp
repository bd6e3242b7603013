// The dictionary's search step on its own file, next to SQLite on the same rows in the
// same run.
//
// Rows: the eng2per table of a data.dat of one million generated headwords (written by
// mkdict in key order, as the real dictionary is), opened through the database and table
// components as the window opens it (exclusive, not multi-user, no active index: storage
// order). One step: the filter text `Eng = 'p*'` set anew with Filtered on (which moves to
// the first record), the record count, and the Eng values of the first 8 rows. Prefixes
// of 1 to 4 characters, all beginning with "p".
// SQLite: the same Eng values in the same order (rowid = storage position) with an index
// on Eng; `WHERE Eng GLOB 'p*'` as count(*) and as the first 8 rows, both statements
// prepared anew every iteration.
//
// Before timing, the setup checks that both sides find the same rows: equal counts and
// the same first 8 values in the same order.
//
// The dictionary file is the keystroke benchmark's: $NILVAR_BENCH_DATA/data.dat (default
// /tmp/nilvar-bench-keystroke-1000000; run bench_window_keystroke once, or
// `mkdict --synthetic 1000000 data.dat` there). The SQLite copy is made beside it once.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/dataset/database.h"
#include "engine/dataset/field.h"
#include "engine/dataset/table.h"
#include "tools/mkdict/dictionary_file.h"

namespace dadoveri {
namespace {

constexpr int kRows = 8;

std::string data_folder() {
  const char* env = std::getenv("NILVAR_BENCH_DATA");
  return env ? env : "/tmp/nilvar-bench-keystroke-1000000";
}

void check(int rc, sqlite3* db, int expected = SQLITE_OK) {
  if (rc != expected) throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db));
}

// The dictionary's database component and its eng2per table, as the window has them.
class EngineSide {
 public:
  explicit EngineSide(const std::string& file) {
    db_.SetDatabaseName("bench_dictionary");
    db_.SetDatabaseFileName(file);
    db_.Password = mkdict::kDefaultPassword;
    db_.Exclusive = true;
    db_.MultiUser = false;
    db_.SilentMode = true;
    db_.DisableTempFiles = true;
    db_.Connect();
    table_.SetDatabaseName("bench_dictionary");
    table_.SetTableName("eng2per");
    table_.Open();
  }
  ~EngineSide() {
    table_.Close();
    db_.Disconnect();
  }
  // Every Eng value in storage order.
  std::vector<std::string> all() {
    std::vector<std::string> out;
    TField* eng = table_.FieldByName("Eng");
    for (table_.First(); !table_.Eof(); table_.Next()) out.push_back(eng->AsString());
    return out;
  }
  // One search step: the filter set anew (two spellings of the same filter take turns,
  // so that it is compiled and run again each time), the count and the first rows.
  int64_t step(const std::string& prefix, std::vector<std::string>* rows = nullptr) {
    turn_ = !turn_;
    const std::string text = (turn_ ? "Eng = '" : "Eng='") + prefix + "*'";
    table_.SetFilterText(std::u16string(text.begin(), text.end()));
    if (!table_.Filtered()) table_.SetFiltered(true);
    const int64_t count = table_.RecordCount();
    TField* eng = table_.FieldByName("Eng");
    table_.First();
    for (int k = 0; k < kRows && !table_.Eof(); ++k, table_.Next()) {
      const std::string value = eng->AsString();
      if (rows) rows->push_back(value);
      benchmark::DoNotOptimize(value.data());
    }
    return count;
  }

 private:
  TABSDatabase db_;
  TABSTable table_;
  bool turn_ = false;
};

class SqliteSide {
 public:
  explicit SqliteSide(const std::string& file) {
    check(sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr), db_);
  }
  ~SqliteSide() { sqlite3_close(db_); }
  static void make(const std::string& file, const std::vector<std::string>& values) {
    std::filesystem::remove(file);
    sqlite3* db = nullptr;
    check(sqlite3_open(file.c_str(), &db), db);
    check(sqlite3_exec(db, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr), db);
    check(sqlite3_exec(db, "CREATE TABLE eng2per(Eng TEXT)", nullptr, nullptr, nullptr), db);
    check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
    sqlite3_stmt* insert = nullptr;
    check(sqlite3_prepare_v2(db, "INSERT INTO eng2per(rowid, Eng) VALUES(?, ?)", -1, &insert, nullptr), db);
    for (size_t i = 0; i < values.size(); ++i) {
      sqlite3_bind_int64(insert, 1, static_cast<int64_t>(i + 1));
      sqlite3_bind_text(insert, 2, values[i].data(), static_cast<int>(values[i].size()), SQLITE_STATIC);
      check(sqlite3_step(insert), db, SQLITE_DONE);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
    check(sqlite3_exec(db, "CREATE INDEX IX_Eng ON eng2per(Eng)", nullptr, nullptr, nullptr), db);
    check(sqlite3_exec(db, "ANALYZE", nullptr, nullptr, nullptr), db);
    sqlite3_close(db);
  }
  // Both statements prepared anew, as a keystroke would.
  int64_t step(const std::string& prefix, std::vector<std::string>* rows = nullptr) {
    const std::string pattern = prefix + "*";
    sqlite3_stmt* count = nullptr;
    check(sqlite3_prepare_v2(db_, "SELECT count(*) FROM eng2per WHERE Eng GLOB ?1", -1, &count, nullptr), db_);
    sqlite3_bind_text(count, 1, pattern.data(), static_cast<int>(pattern.size()), SQLITE_TRANSIENT);
    check(sqlite3_step(count), db_, SQLITE_ROW);
    const int64_t n = sqlite3_column_int64(count, 0);
    sqlite3_finalize(count);
    sqlite3_stmt* first = nullptr;
    check(sqlite3_prepare_v2(db_, "SELECT Eng FROM eng2per WHERE Eng GLOB ?1 LIMIT 8", -1, &first, nullptr), db_);
    sqlite3_bind_text(first, 1, pattern.data(), static_cast<int>(pattern.size()), SQLITE_TRANSIENT);
    while (sqlite3_step(first) == SQLITE_ROW) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(first, 0));
      const std::string value(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(first, 0)));
      if (rows) rows->push_back(value);
      benchmark::DoNotOptimize(value.data());
    }
    sqlite3_finalize(first);
    return n;
  }
  // The first value of at least 4 characters beginning with "p".
  std::string a_p_word() {
    sqlite3_stmt* s = nullptr;
    check(sqlite3_prepare_v2(db_, "SELECT Eng FROM eng2per WHERE Eng GLOB 'p[a-z][a-z][a-z]*' LIMIT 1 OFFSET 1000",
                             -1, &s, nullptr),
          db_);
    std::string word;
    if (sqlite3_step(s) == SQLITE_ROW) word = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
    return word;
  }

 private:
  sqlite3* db_ = nullptr;
};

struct Fixture {
  std::unique_ptr<EngineSide> engine;
  std::unique_ptr<SqliteSide> sqlite;
  std::vector<std::string> prefixes;
  std::string error;
};

Fixture& fixture() {
  static Fixture f = [] {
    Fixture x;
    const std::string folder = data_folder();
    const std::string dat = folder + "/data.dat";
    const std::string lite = folder + "/eng2per.sqlite";
    try {
      if (!std::filesystem::exists(dat)) throw std::runtime_error("no " + dat + " (run bench_window_keystroke once)");
      x.engine = std::make_unique<EngineSide>(dat);
      if (!std::filesystem::exists(lite)) {
        std::fprintf(stderr, "making %s...\n", lite.c_str());
        SqliteSide::make(lite + ".part", x.engine->all());
        std::filesystem::rename(lite + ".part", lite);
      }
      x.sqlite = std::make_unique<SqliteSide>(lite);
      const std::string word = x.sqlite->a_p_word();
      if (word.size() < 4) throw std::runtime_error("no word of 4 letters beginning with p");
      for (size_t n = 1; n <= 4; ++n) x.prefixes.push_back(word.substr(0, n));
      // Both sides find the same rows.
      for (const std::string& p : x.prefixes) {
        std::vector<std::string> ours, theirs;
        const int64_t a = x.engine->step(p, &ours), b = x.sqlite->step(p, &theirs);
        std::fprintf(stderr, "prefix %-5s %8lld rows\n", p.c_str(), static_cast<long long>(a));
        if (a != b || ours != theirs)
          throw std::runtime_error("prefix " + p + ": " + std::to_string(a) + " rows against SQLite's " +
                                   std::to_string(b) + (ours != theirs ? ", first rows differ" : ""));
      }
    } catch (const std::exception& e) {
      x.error = e.what();
    }
    return x;
  }();
  return f;
}

void Dictionary_Step(benchmark::State& state) {
  Fixture& f = fixture();
  if (!f.error.empty()) return state.SkipWithError(f.error.c_str());
  const std::string& prefix = f.prefixes[static_cast<size_t>(state.range(0))];
  int64_t n = 0;
  for (auto _ : state) n = f.engine->step(prefix);
  state.SetLabel("'" + prefix + "*' " + std::to_string(n) + " rows");
}

void SQLite_Step(benchmark::State& state) {
  Fixture& f = fixture();
  if (!f.error.empty()) return state.SkipWithError(f.error.c_str());
  const std::string& prefix = f.prefixes[static_cast<size_t>(state.range(0))];
  int64_t n = 0;
  for (auto _ : state) n = f.sqlite->step(prefix);
  state.SetLabel("'" + prefix + "*' " + std::to_string(n) + " rows");
}

BENCHMARK(Dictionary_Step)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(SQLite_Step)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace dadoveri

BENCHMARK_MAIN();
