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
// The Persian step: the query of the Persian–English view (TABSQuery, live, the view's
// statement "SELECT *   FROM per2en WHERE per LIKE :Name" with the parameter bound to the
// prefix and '%'), closed, given its statement and parameter and opened anew each step, then
// the record count and the Per values of the first 8 rows. Prefixes of 1 to 3 letters of a
// headword that begins with alef. A run of the same prefix again finds the filter bitmap the
// table kept from the last run (as the view's repeated runs for one key do); the "New"
// forms take the prefixes of the same length of 12 headwords in turn, so that each run
// searches the table. A table on per2en stays open meanwhile, as in the window (the table
// keeps the bitmaps only while it is open). SQLite: a per2en copy (Per TEXT, rowid = storage position, index on
// Per), `WHERE Per >= ?1 AND Per < ?2` (?2: the prefix with its last character raised by
// one) as count(*) and as the first 8 rows in storage order, prepared anew every step.
//
// Before timing, the setup checks that both sides find the same rows: equal counts and
// the same first 8 values in the same order.
//
// The dictionary file is the keystroke benchmark's: $NILVAR_BENCH_DATA/data.dat (default
// /tmp/nilvar-bench-keystroke-1000000; run bench_window_keystroke once, or
// `mkdict --synthetic 1000000 data.dat` there). The SQLite copies are made beside it once.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/base/utf8.h"
#include "engine/dataset/database.h"
#include "engine/dataset/field.h"
#include "engine/dataset/query.h"
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
    // The window keeps per2en open through a table of its own while the query runs.
    per2en_.SetDatabaseName("bench_dictionary");
    per2en_.SetTableName("per2en");
    per2en_.Open();
    query_.SetDatabaseName("bench_dictionary");
    query_.SetRequestLive(true);
  }
  ~EngineSide() {
    query_.Close();
    per2en_.Close();
    table_.Close();
    db_.Disconnect();
  }
  // Every Per value of per2en in storage order, as UTF-8.
  std::vector<std::string> all_persian() {
    std::vector<std::string> out;
    TField* per = per2en_.FieldByName("Per");
    for (per2en_.First(); !per2en_.Eof(); per2en_.Next()) out.push_back(Utf16ToUtf8(per->AsWideString()));
    return out;
  }
  // One Persian step as the view runs it: close, the statement, the parameter, open; then
  // the count and the first rows.
  int64_t persian_step(const std::u16string& prefix, std::vector<std::string>* rows = nullptr) {
    query_.Close();
    query_.ClearSQL();
    query_.AddSQL(u"SELECT *   FROM per2en WHERE per LIKE :Name");
    TParam& name = query_.ParamByName("Name");
    name.DataType = ftWideString;
    name.SetAsWideString(prefix + u'%');
    query_.Open();
    const int64_t count = query_.RecordCount();
    TField* per = query_.FieldByName("Per");
    query_.First();
    for (int k = 0; k < kRows && !query_.Eof(); ++k, query_.Next()) {
      const std::u16string value = per->AsWideString();
      if (rows) rows->push_back(Utf16ToUtf8(value));
      benchmark::DoNotOptimize(value.data());
    }
    return count;
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
  TABSTable per2en_;
  TABSQuery query_;
  bool turn_ = false;
};

class SqliteSide {
 public:
  explicit SqliteSide(const std::string& file) {
    check(sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr), db_);
  }
  ~SqliteSide() { sqlite3_close(db_); }
  // A one-column copy: `column` of `table` holds the values in storage order (rowid =
  // position), with an index IX_<column> on it.
  static void make_table(const std::string& file, const std::string& table, const std::string& column,
                         const std::vector<std::string>& values) {
    std::filesystem::remove(file);
    sqlite3* db = nullptr;
    check(sqlite3_open(file.c_str(), &db), db);
    auto run = [&](const std::string& sql) { check(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), db); };
    run("PRAGMA synchronous=OFF");
    run("CREATE TABLE " + table + "(" + column + " TEXT)");
    run("BEGIN");
    sqlite3_stmt* insert = nullptr;
    const std::string insert_sql = "INSERT INTO " + table + "(rowid, " + column + ") VALUES(?, ?)";
    check(sqlite3_prepare_v2(db, insert_sql.c_str(), -1, &insert, nullptr), db);
    for (size_t i = 0; i < values.size(); ++i) {
      sqlite3_bind_int64(insert, 1, static_cast<int64_t>(i + 1));
      sqlite3_bind_text(insert, 2, values[i].data(), static_cast<int>(values[i].size()), SQLITE_STATIC);
      check(sqlite3_step(insert), db, SQLITE_DONE);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    run("COMMIT");
    run("CREATE INDEX IX_" + column + " ON " + table + "(" + column + ")");
    run("ANALYZE");
    sqlite3_close(db);
  }
  static void make(const std::string& file, const std::vector<std::string>& values) {
    make_table(file, "eng2per", "Eng", values);
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
  // A per2en copy: the Per values in storage order (rowid = position) with an index on Per.
  static void make_persian(const std::string& file, const std::vector<std::string>& values) {
    make_table(file, "per2en", "Per", values);
  }
  // The Persian step: the rows whose Per begins with `prefix` (UTF-8), by the range of
  // texts from the prefix to the prefix with its last character raised by one; both
  // statements prepared anew.
  int64_t persian_step(const std::u16string& prefix, std::vector<std::string>* rows = nullptr) {
    std::u16string above = prefix;
    above.back() = static_cast<char16_t>(above.back() + 1);
    const std::string low = Utf16ToUtf8(prefix), high = Utf16ToUtf8(above);
    sqlite3_stmt* count = nullptr;
    check(sqlite3_prepare_v2(db_, "SELECT count(*) FROM per2en WHERE Per >= ?1 AND Per < ?2", -1, &count, nullptr),
          db_);
    sqlite3_bind_text(count, 1, low.data(), static_cast<int>(low.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(count, 2, high.data(), static_cast<int>(high.size()), SQLITE_TRANSIENT);
    check(sqlite3_step(count), db_, SQLITE_ROW);
    const int64_t n = sqlite3_column_int64(count, 0);
    sqlite3_finalize(count);
    sqlite3_stmt* first = nullptr;
    check(sqlite3_prepare_v2(db_, "SELECT Per FROM per2en WHERE Per >= ?1 AND Per < ?2 ORDER BY rowid LIMIT 8", -1,
                             &first, nullptr),
          db_);
    sqlite3_bind_text(first, 1, low.data(), static_cast<int>(low.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(first, 2, high.data(), static_cast<int>(high.size()), SQLITE_TRANSIENT);
    while (sqlite3_step(first) == SQLITE_ROW) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(first, 0));
      const std::string value(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(first, 0)));
      if (rows) rows->push_back(value);
      benchmark::DoNotOptimize(value.data());
    }
    sqlite3_finalize(first);
    return n;
  }
  // Per values of at least 3 letters at `count` positions spread evenly through storage,
  // and (first) one that begins with alef.
  std::vector<std::u16string> persian_words(int count) {
    std::vector<std::u16string> words;
    auto add_first = [&](const char* sql, int64_t arg) {
      sqlite3_stmt* s = nullptr;
      check(sqlite3_prepare_v2(db_, sql, -1, &s, nullptr), db_);
      sqlite3_bind_int64(s, 1, arg);
      if (sqlite3_step(s) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        words.push_back(Utf8ToUtf16(std::string(text, static_cast<size_t>(sqlite3_column_bytes(s, 0)))));
      }
      sqlite3_finalize(s);
    };
    // Alef is U+0627, beh the next code point.
    add_first("SELECT Per FROM per2en WHERE Per >= '\u0627' AND Per < '\u0628' AND length(Per) >= 3 "
              "ORDER BY rowid LIMIT 1 OFFSET ?1",
              1000);
    sqlite3_stmt* rows = nullptr;
    check(sqlite3_prepare_v2(db_, "SELECT max(rowid) FROM per2en", -1, &rows, nullptr), db_);
    check(sqlite3_step(rows), db_, SQLITE_ROW);
    const int64_t total = sqlite3_column_int64(rows, 0);
    sqlite3_finalize(rows);
    for (int i = 0; i < count; ++i)
      add_first("SELECT Per FROM per2en WHERE rowid >= ?1 AND length(Per) >= 3 ORDER BY rowid LIMIT 1",
                total * i / count + 1);
    return words;
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

// Prefix lengths of the Persian steps, and the headwords whose prefixes the "New" steps
// take in turn.
constexpr int kPersianLengths = 3;
constexpr int kSpreadWords = 12;

struct Fixture {
  std::unique_ptr<EngineSide> engine;
  std::unique_ptr<SqliteSide> sqlite;
  std::unique_ptr<SqliteSide> persian;
  std::vector<std::string> prefixes;
  // By length - 1: the alef headword's prefix, and the distinct prefixes of the spread words.
  std::vector<std::u16string> persian_prefixes;
  std::vector<std::vector<std::u16string>> spread_prefixes;
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
      const std::string per = folder + "/per2en.sqlite";
      if (!std::filesystem::exists(per)) {
        std::fprintf(stderr, "making %s...\n", per.c_str());
        SqliteSide::make_persian(per + ".part", x.engine->all_persian());
        std::filesystem::rename(per + ".part", per);
      }
      x.persian = std::make_unique<SqliteSide>(per);
      const std::vector<std::u16string> words = x.persian->persian_words(kSpreadWords);
      if (words.size() < 2 || words.front().size() < 3 || words.front()[0] != u'\u0627')
        throw std::runtime_error("no Persian headword of 3 letters beginning with alef");
      x.spread_prefixes.resize(kPersianLengths);
      for (size_t n = 1; n <= kPersianLengths; ++n) {
        x.persian_prefixes.push_back(words.front().substr(0, n));
        for (size_t w = 1; w < words.size(); ++w) {
          const std::u16string p = words[w].substr(0, n);
          auto& list = x.spread_prefixes[n - 1];
          if (std::find(list.begin(), list.end(), p) == list.end()) list.push_back(p);
        }
      }
      std::vector<std::u16string> all = x.persian_prefixes;
      for (const auto& list : x.spread_prefixes) all.insert(all.end(), list.begin(), list.end());
      for (const std::u16string& p : all) {
        std::vector<std::string> ours, theirs;
        const int64_t a = x.engine->persian_step(p, &ours), b = x.persian->persian_step(p, &theirs);
        if (a != b || ours != theirs)
          throw std::runtime_error("Persian prefix " + Utf16ToUtf8(p) + ": " + std::to_string(a) +
                                   " rows against SQLite's " + std::to_string(b) +
                                   (ours != theirs ? ", first rows differ" : ""));
      }
      for (const std::u16string& p : x.persian_prefixes) {
        std::vector<std::string> rows;
        std::fprintf(stderr, "Persian prefix %-8s %8lld rows\n", Utf16ToUtf8(p).c_str(),
                     static_cast<long long>(x.engine->persian_step(p, &rows)));
      }
      for (size_t n = 0; n < x.spread_prefixes.size(); ++n)
        std::fprintf(stderr, "Persian prefixes of %zu letters taken in turn: %zu\n", n + 1,
                     x.spread_prefixes[n].size());
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

// The Persian step with the alef headword's prefix of range(0) + 1 letters, run again and
// again (`fresh` false), or with the spread prefixes of that length in turn.
template <typename Side>
void persian(benchmark::State& state, Side& (*side)(Fixture&), bool fresh) {
  Fixture& f = fixture();
  if (!f.error.empty()) return state.SkipWithError(f.error.c_str());
  const size_t n = static_cast<size_t>(state.range(0));
  const std::vector<std::u16string>& turn = f.spread_prefixes[n];
  size_t next = 0;
  int64_t rows = 0;
  for (auto _ : state) {
    const std::u16string& prefix = fresh ? turn[next++ % turn.size()] : f.persian_prefixes[n];
    rows += side(f).persian_step(prefix);
  }
  const std::string label = fresh ? std::to_string(turn.size()) + " prefixes in turn"
                                  : "'" + Utf16ToUtf8(f.persian_prefixes[n]) + "%'";
  state.SetLabel(label + ", " + std::to_string(state.iterations() ? rows / state.iterations() : 0) + " rows");
}

EngineSide& engine_side(Fixture& f) { return *f.engine; }
SqliteSide& persian_sqlite_side(Fixture& f) { return *f.persian; }

void Dictionary_PersianStep(benchmark::State& state) { persian(state, engine_side, false); }
void SQLite_PersianStep(benchmark::State& state) { persian(state, persian_sqlite_side, false); }
void Dictionary_PersianNewStep(benchmark::State& state) { persian(state, engine_side, true); }
void SQLite_PersianNewStep(benchmark::State& state) { persian(state, persian_sqlite_side, true); }

BENCHMARK(Dictionary_PersianStep)->DenseRange(0, kPersianLengths - 1)->Unit(benchmark::kMicrosecond);
BENCHMARK(SQLite_PersianStep)->DenseRange(0, kPersianLengths - 1)->Unit(benchmark::kMicrosecond);
BENCHMARK(Dictionary_PersianNewStep)->DenseRange(0, kPersianLengths - 1)->Unit(benchmark::kMicrosecond);
BENCHMARK(SQLite_PersianNewStep)->DenseRange(0, kPersianLengths - 1)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace dadoveri

BENCHMARK_MAIN();
