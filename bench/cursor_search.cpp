// The dictionary's keystroke search: a prefix filter on a file table next to SQLite on the
// same rows, in the same run.
//
// Rows: an INTEGER Id and `Eng`, a single-byte text of up to 40 characters: one random
// word of 3 to 40 lower-case letters, one word in ten capitalised (about 1 300 of a
// million begin with "ab"). Two files on each side: one with an index on Eng, one without.
//
// "First screen": the filter `Eng = 'ab*'` is set anew and the first 20 records are read
// (their Eng values), once with no active index (the dictionary's case: storage order)
// and once with the Eng index active. The connection is multi-user (DADOVERI_BENCH_EXCLUSIVE
// set: exclusive); a screen is read in one read scope of the cursor. "Count": the filter set anew and the record count.
// SQLite (PRAGMA case_sensitive_like=ON, the statements prepared anew every iteration):
// `WHERE Eng LIKE 'ab%'` and `WHERE Eng >= 'ab' AND Eng < 'ac'`, with LIMIT 20 and as
// count(*). Without indexes the same runs face SQLite's full scan. Prefixes "a", "ab"
// and "abc".
//
// Before timing, the setup checks that both sides find the same rows: equal counts, and
// the same first 20 Ids in the same order (index order against SQLite's indexed query,
// storage order against its full scan).
//
// DADOVERI_BENCH_ROWS sets the row count (default 1 000 000); the files are made once per
// run in the temporary folder and removed at the end.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/database/disk_database_data.h"
#include "engine/database/disk_table_data.h"
#include "engine/database/local_cursor.h"
#include "engine/query/cursor_filter_expression.h"
#include "engine/table/cursor.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"
#include "engine/table/table_metadata.h"

namespace dadoveri {
namespace {

constexpr int kScreen = 20;
const char* const kPrefixes[] = {"a", "ab", "abc"};

int64_t row_count() {
  const char* v = std::getenv("DADOVERI_BENCH_ROWS");
  return v ? std::max<int64_t>(1, std::atoll(v)) : 1000000;
}

std::string temp_name(const std::string& stem) {
  return (std::filesystem::temp_directory_path() / ("dadoveri-bench-" + std::to_string(getpid()) + "-" + stem)).string();
}

std::vector<std::string> make_words(int64_t rows) {
  std::mt19937_64 rng(20261210);
  std::uniform_int_distribution<int> length(3, 40), letter(0, 25), tenth(0, 9);
  std::vector<std::string> words(static_cast<size_t>(rows));
  for (std::string& w : words) {
    w.resize(static_cast<size_t>(length(rng)));
    for (char& c : w) c = static_cast<char>('a' + letter(rng));
    if (tenth(rng) == 0) w[0] = static_cast<char>(w[0] - 'a' + 'A');
  }
  return words;
}

void check(int rc, sqlite3* db, int expected = SQLITE_OK) {
  if (rc != expected) throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db));
}

// ---- the engine's side ----

void engine_make(const std::string& file, const std::vector<std::string>& words, bool indexed) {
  std::filesystem::remove(file);
  TABSDiskDatabaseData db(file);
  db.CreateDatabase();
  TABSConnectOptions options;
  options.DurableCommits = false;
  TABSBaseSession session(db.Connect(options));
  TABSTableMetadata m;
  TABSFieldDef* id = m.Fields.AddFieldDef();
  id->Name = "Id";
  id->SetType(ctInteger, 0);
  TABSFieldDef* eng = m.Fields.AddFieldDef();
  eng->Name = "Eng";
  eng->SetType(ctString, 40);
  if (indexed) {
    TABSIndexDef* ix = m.Indexes.AddIndexDef();
    ix->Name = "IX_Eng";
    TABSIndexDefs::BuildColumns(*ix, {"Eng"}, {"ASC"}, {""});
  }
  db.CreateTable(session.SessionID, "Words", m);
  {
    TABSLocalCursor cursor(&session, "Words");
    cursor.Open(db);
    const TABSRecordLayout& layout = cursor.TableData()->FieldManager().Layout();
    session.InTransaction = true;
    TABSVariant id_value, eng_value;
    for (size_t i = 0; i < words.size(); ++i) {
      cursor.NewRecord();
      id_value.SetAsInteger(static_cast<int32_t>(i + 1));
      layout.SetFieldValue(0, id_value, cursor.CurrentRecord);
      eng_value.SetAsString(words[i]);
      layout.SetFieldValue(1, eng_value, cursor.CurrentRecord);
      if (cursor.PostInsert() != roOK) throw std::runtime_error("insert failed");
      if ((i + 1) % 100000 == 0) {
        session.InTransaction = false;
        db.CommitSession(session.SessionID, true);
        session.InTransaction = true;
      }
    }
    session.InTransaction = false;
    db.CommitSession(session.SessionID, true);
  }
  db.Disconnect(session.SessionID);
}

// One connection and one cursor over the Words table, as the dictionary keeps them.
class EngineSide {
 public:
  explicit EngineSide(const std::string& file) : db_(file) {
    TABSConnectOptions options;
    options.Exclusive = std::getenv("DADOVERI_BENCH_EXCLUSIVE") != nullptr;
    session_ = std::make_unique<TABSBaseSession>(db_.Connect(options));
    cursor_ = std::make_unique<TABSLocalCursor>(session_.get(), "Words");
    cursor_->SetFilterFactory(&CursorExpressionFilterFactory());
    cursor_->Open(db_);
  }
  ~EngineSide() {
    cursor_.reset();
    db_.Disconnect(session_->SessionID);
  }
  void set_index(bool active) { cursor_->SetIndexName(active ? "IX_Eng" : ""); }
  void set_prefix(const std::string& prefix) {
    const std::string text = "Eng = '" + prefix + "*'";
    cursor_->SetFilter(std::u16string(text.begin(), text.end()), false, true);
  }
  // The first screen: Ids into `ids`, answers the total length of the Eng values read.
  // In a multi-user connection the screen is one read scope, as the dataset reads a
  // buffer of rows: one table lock and one reread of the counters for the screen.
  int64_t first_screen(const std::string& prefix, std::vector<int64_t>* ids = nullptr) {
    TABSTableReadScope scope(*cursor_);
    set_prefix(prefix);
    cursor_->GoToBegin();
    const TABSRecordLayout& layout = cursor_->TableData()->FieldManager().Layout();
    int64_t sum = 0;
    for (int k = 0; k < kScreen && cursor_->Step(grmNext) == grrFound; ++k) {
      layout.GetFieldValue(1, cursor_->CurrentRecord, eng_, false);
      sum += static_cast<int64_t>(eng_.GetAsString().size());
      if (ids) {
        layout.GetFieldValue(0, cursor_->CurrentRecord, id_, false);
        ids->push_back(id_.GetAsLargeint());
      }
    }
    return sum;
  }
  int64_t count(const std::string& prefix) {
    set_prefix(prefix);
    return cursor_->GetRecordCount();
  }

 private:
  TABSDiskDatabaseData db_;
  std::unique_ptr<TABSBaseSession> session_;
  std::unique_ptr<TABSLocalCursor> cursor_;
  TABSVariant eng_, id_;
};

// ---- SQLite's side ----

void sqlite_make(const std::string& file, const std::vector<std::string>& words, bool indexed) {
  std::filesystem::remove(file);
  sqlite3* db = nullptr;
  check(sqlite3_open(file.c_str(), &db), db);
  check(sqlite3_exec(db, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr), db);
  check(sqlite3_exec(db, "CREATE TABLE Words(Id INTEGER PRIMARY KEY, Eng TEXT)", nullptr, nullptr, nullptr), db);
  check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
  sqlite3_stmt* insert = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT INTO Words VALUES(?, ?)", -1, &insert, nullptr), db);
  for (size_t i = 0; i < words.size(); ++i) {
    sqlite3_bind_int64(insert, 1, static_cast<int64_t>(i + 1));
    sqlite3_bind_text(insert, 2, words[i].data(), static_cast<int>(words[i].size()), SQLITE_STATIC);
    check(sqlite3_step(insert), db, SQLITE_DONE);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  if (indexed) check(sqlite3_exec(db, "CREATE INDEX IX_Eng ON Words(Eng)", nullptr, nullptr, nullptr), db);
  check(sqlite3_exec(db, "ANALYZE", nullptr, nullptr, nullptr), db);
  sqlite3_close(db);
}

class SqliteSide {
 public:
  explicit SqliteSide(const std::string& file) {
    check(sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr), db_);
    check(sqlite3_exec(db_, "PRAGMA case_sensitive_like=ON", nullptr, nullptr, nullptr), db_);
  }
  ~SqliteSide() { sqlite3_close(db_); }
  // `range`: Eng >= prefix AND Eng < the next prefix; else LIKE 'prefix%'.
  static std::string where(const std::string& prefix, bool range) {
    if (!range) return "Eng LIKE '" + prefix + "%'";
    std::string next = prefix;
    ++next.back();
    return "Eng >= '" + prefix + "' AND Eng < '" + next + "'";
  }
  int64_t first_screen(const std::string& prefix, bool range, std::vector<int64_t>* ids = nullptr) {
    const std::string sql = "SELECT Id, Eng FROM Words WHERE " + where(prefix, range) + " LIMIT 20";
    sqlite3_stmt* s = nullptr;
    check(sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr), db_);
    int64_t sum = 0;
    while (sqlite3_step(s) == SQLITE_ROW) {
      sum += static_cast<int64_t>(std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, 1))).size());
      if (ids) ids->push_back(sqlite3_column_int64(s, 0));
    }
    sqlite3_finalize(s);
    return sum;
  }
  int64_t count(const std::string& prefix, bool range) {
    const std::string sql = "SELECT count(*) FROM Words WHERE " + where(prefix, range);
    sqlite3_stmt* s = nullptr;
    check(sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr), db_);
    check(sqlite3_step(s), db_, SQLITE_ROW);
    const int64_t n = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return n;
  }

 private:
  sqlite3* db_ = nullptr;
};

// ---- the files, made once ----

struct Files {
  std::string engine[2], sqlite[2];  // [0] without an index, [1] with the Eng index
  Files() {
    const std::vector<std::string> words = make_words(row_count());
    for (int indexed = 0; indexed < 2; ++indexed) {
      const std::string suffix = indexed ? "-indexed" : "-plain";
      engine[indexed] = temp_name("cursor-search" + suffix + ".dat");
      sqlite[indexed] = temp_name("cursor-search" + suffix + ".sqlite");
      engine_make(engine[indexed], words, indexed);
      sqlite_make(sqlite[indexed], words, indexed);
    }
    verify();
  }
  ~Files() {
    for (int i = 0; i < 2; ++i) {
      std::filesystem::remove(engine[i]);
      std::filesystem::remove(sqlite[i]);
    }
  }

  // Both sides find the same rows: counts, and the first screen's Ids in order.
  void verify() {
    for (int indexed = 0; indexed < 2; ++indexed) {
      EngineSide e(engine[indexed]);
      SqliteSide q(sqlite[indexed]);
      for (const char* prefix : kPrefixes) {
        for (int active = 0; active <= indexed; ++active) {
          e.set_index(active != 0);
          const int64_t n = e.count(prefix);
          for (const bool range : {false, true}) {
            if (n != q.count(prefix, range))
              throw std::runtime_error(std::string("counts differ for '") + prefix + "': " + std::to_string(n) + " and " +
                                       std::to_string(q.count(prefix, range)));
          }
          // SQLite's indexed query comes in index order, its full scan in rowid order:
          // compare the engine's order of the same kind.
          if (active != indexed) continue;
          std::vector<int64_t> ours, theirs;
          e.first_screen(prefix, &ours);
          for (const bool range : {false, true}) {
            theirs.clear();
            q.first_screen(prefix, range, &theirs);
            if (ours != theirs) throw std::runtime_error(std::string("first screens differ for '") + prefix + "'");
          }
        }
      }
      std::fprintf(stderr, "%s file: both sides find the same rows (ab: %lld)\n", indexed ? "indexed" : "plain",
                   static_cast<long long>(q.count("ab", false)));
    }
  }
};

Files& files() {
  static Files f;
  return f;
}

// Arguments: prefix number; for the engine whether the file is indexed and the index
// active, for SQLite whether the file is indexed and the statement a range.
void BM_EngineFirstScreen(benchmark::State& state) {
  const std::string prefix = kPrefixes[state.range(0)];
  const bool indexed = state.range(1) != 0, active = state.range(2) != 0;
  EngineSide e(files().engine[indexed]);
  e.set_index(active);
  for (auto _ : state) benchmark::DoNotOptimize(e.first_screen(prefix));
  state.SetLabel("'" + prefix + "*' " + (indexed ? "indexed file, " : "no index, ") +
                 (active ? "index active" : "storage order"));
}

void BM_EngineCount(benchmark::State& state) {
  const std::string prefix = kPrefixes[state.range(0)];
  const bool indexed = state.range(1) != 0, active = state.range(2) != 0;
  EngineSide e(files().engine[indexed]);
  e.set_index(active);
  int64_t n = 0;
  for (auto _ : state) benchmark::DoNotOptimize(n = e.count(prefix));
  state.counters["rows"] = static_cast<double>(n);
  state.SetLabel("'" + prefix + "*' " + (indexed ? "indexed file, " : "no index, ") +
                 (active ? "index active" : "storage order"));
}

void BM_SqliteFirstScreen(benchmark::State& state) {
  const std::string prefix = kPrefixes[state.range(0)];
  const bool indexed = state.range(1) != 0, range = state.range(2) != 0;
  SqliteSide q(files().sqlite[indexed]);
  for (auto _ : state) benchmark::DoNotOptimize(q.first_screen(prefix, range));
  state.SetLabel(SqliteSide::where(prefix, range) + (indexed ? ", indexed" : ", no index"));
}

void BM_SqliteCount(benchmark::State& state) {
  const std::string prefix = kPrefixes[state.range(0)];
  const bool indexed = state.range(1) != 0, range = state.range(2) != 0;
  SqliteSide q(files().sqlite[indexed]);
  int64_t n = 0;
  for (auto _ : state) benchmark::DoNotOptimize(n = q.count(prefix, range));
  state.counters["rows"] = static_cast<double>(n);
  state.SetLabel(SqliteSide::where(prefix, range) + (indexed ? ", indexed" : ", no index"));
}

void engine_arguments(benchmark::internal::Benchmark* b) {
  for (int p = 0; p < 3; ++p) {
    b->Args({p, 1, 0});
    b->Args({p, 1, 1});
    b->Args({p, 0, 0});
  }
}
void sqlite_arguments(benchmark::internal::Benchmark* b) {
  for (int p = 0; p < 3; ++p)
    for (int indexed = 1; indexed >= 0; --indexed)
      for (int range = 0; range < 2; ++range) b->Args({p, indexed, range});
}

BENCHMARK(BM_EngineFirstScreen)->Apply(engine_arguments)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SqliteFirstScreen)->Apply(sqlite_arguments)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EngineCount)->Apply(engine_arguments)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SqliteCount)->Apply(sqlite_arguments)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace dadoveri

BENCHMARK_MAIN();
