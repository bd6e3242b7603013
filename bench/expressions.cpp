// Filter expressions next to SQLite: 1 000 000 in-memory records (`Eng` STRING(30) of
// seeded random words, `Far` WIDESTRING(60) with one in ten NULL, `Num` INTEGER).
//
// Ours: parsing and binding `Eng = 'ab*'` to a record source over the rows, evaluating it
// per record, and evaluating the compound condition below per record (GetBooleanValue on
// each record; the source's current record is one pointer change).
// SQLite: the same rows in an in-memory table without an index, `SELECT count(*)` with the
// equivalent WHERE (`Eng GLOB 'ab*'`, case-sensitive LIKE), time per row.
// Both sides count the qualifying records; the counts must agree.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/query/expression.h"
#include "tests/engine/query/expr_test_rows.h"

namespace dadoveri {
namespace {

constexpr int kRows = 1000000;

const char* const kCompoundOurs =
    "(Eng = 'ab*' OR Eng LIKE '%ing' OR Eng LIKE 'c_t%') AND Num * 3 - 7 > 1000 AND Far IS NOT NULL";
const char* const kCompoundSqlite =
    "(Eng GLOB 'ab*' OR Eng LIKE '%ing' OR Eng LIKE 'c_t%') AND Num * 3 - 7 > 1000 AND Far IS NOT NULL";

struct Row {
  std::string eng;
  std::string far;  // UTF-8; empty: NULL
  int32_t num;
};

// Words of 3 to 12 letters with common English beginnings and endings, so that the prefix,
// suffix and wildcard patterns each select a few per cent of the rows.
const std::vector<Row>& rows() {
  static const std::vector<Row> data = [] {
    std::mt19937 rng(20261210);
    static const char* const kStarts[] = {"ab", "c", "ca", "co", "st", "tr", "in", "re", "un", "pro"};
    static const char* const kEnds[] = {"ing", "ed", "s", "ly", "tion", "er", "", "", "", "t"};
    std::vector<Row> out(kRows);
    for (Row& r : out) {
      std::string w = kStarts[rng() % 10];
      const int middle = 1 + static_cast<int>(rng() % 6);
      for (int i = 0; i < middle; ++i) w += static_cast<char>('a' + rng() % 26);
      w += kEnds[rng() % 10];
      r.eng = w.substr(0, 30);
      if (rng() % 10 != 0) r.far = "\xD9\xBE" + w.substr(0, 8);  // پ + the word
      r.num = static_cast<int32_t>(rng() % 2000);
    }
    return out;
  }();
  return data;
}

// --- ours --------------------------------------------------------------------------------

testing::TestRows& table() {
  static testing::TestRows* t = [] {
    auto* source = new testing::TestRows(
        "t", {{"Eng", ctString, 30}, {"Far", ctWideString, 60}, {"Num", ctInteger, 0}});
    std::vector<TABSVariant> values(3);
    for (const Row& r : rows()) {
      values[0].SetAsString(r.eng);
      if (r.far.empty()) {
        values[1].SetNull();
      } else {
        std::u16string far = u"\u067E";
        far.append(r.far.begin() + 2, r.far.end());  // the ASCII rest of the UTF-8 text
        values[1].SetAsWideString(far);
      }
      values[2].SetAsInteger(r.num);
      source->AddRow(values);
    }
    return source;
  }();
  return *t;
}

int64_t count_ours(TABSExpression& e) {
  testing::TestRows& t = table();
  int64_t n = 0;
  for (int32_t i = 0; i < t.RowCount(); ++i) {
    t.SetCurrent(i);
    if (e.GetBooleanValue()) ++n;
  }
  return n;
}

void BM_OursParseAndBind(benchmark::State& state) {
  testing::TestRows& t = table();
  for (auto _ : state) {
    TABSExpression e;
    e.ParseFilter(&t, u"Eng = 'ab*'", false, true);
    benchmark::DoNotOptimize(e.IsEmpty());
  }
}

void BM_OursFilter(benchmark::State& state, const char* text) {
  testing::TestRows& t = table();
  TABSExpression e;
  const std::string narrow(text);
  e.ParseFilter(&t, std::u16string(narrow.begin(), narrow.end()), false, true);
  int64_t n = 0;
  for (auto _ : state) n = count_ours(e);
  state.counters["rows"] = static_cast<double>(n);
  state.counters["ns_per_record"] =
      benchmark::Counter(static_cast<double>(kRows), benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
}

// --- SQLite ------------------------------------------------------------------------------

sqlite3* sqlite_table() {
  static sqlite3* db = [] {
    sqlite3* d = nullptr;
    if (sqlite3_open(":memory:", &d) != SQLITE_OK) throw std::runtime_error("sqlite open");
    sqlite3_exec(d, "PRAGMA case_sensitive_like = ON", nullptr, nullptr, nullptr);
    sqlite3_exec(d, "CREATE TABLE t(Eng TEXT, Far TEXT, Num INTEGER)", nullptr, nullptr, nullptr);
    sqlite3_exec(d, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(d, "INSERT INTO t VALUES(?, ?, ?)", -1, &ins, nullptr);
    for (const Row& r : rows()) {
      sqlite3_bind_text(ins, 1, r.eng.c_str(), -1, SQLITE_STATIC);
      if (r.far.empty())
        sqlite3_bind_null(ins, 2);
      else
        sqlite3_bind_text(ins, 2, r.far.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_int(ins, 3, r.num);
      sqlite3_step(ins);
      sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    sqlite3_exec(d, "COMMIT", nullptr, nullptr, nullptr);
    return d;
  }();
  return db;
}

void BM_SqliteFilter(benchmark::State& state, const char* where) {
  sqlite3* db = sqlite_table();
  sqlite3_stmt* st = nullptr;
  const std::string sql = std::string("SELECT count(*) FROM t WHERE ") + where;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    state.SkipWithError(sqlite3_errmsg(db));
    return;
  }
  int64_t n = 0;
  for (auto _ : state) {
    sqlite3_reset(st);
    if (sqlite3_step(st) == SQLITE_ROW) n = sqlite3_column_int64(st, 0);
  }
  sqlite3_finalize(st);
  state.counters["rows"] = static_cast<double>(n);
  state.counters["ns_per_record"] =
      benchmark::Counter(static_cast<double>(kRows), benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
}

BENCHMARK(BM_OursParseAndBind);
BENCHMARK_CAPTURE(BM_OursFilter, prefix, "Eng = 'ab*'")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SqliteFilter, prefix, "Eng GLOB 'ab*'")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OursFilter, suffix_like, "Eng LIKE '%ing'")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SqliteFilter, suffix_like, "Eng LIKE '%ing'")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OursFilter, wildcard_like, "Eng LIKE 'c_t%'")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SqliteFilter, wildcard_like, "Eng LIKE 'c_t%'")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OursFilter, arithmetic, "Num * 3 - 7 > 1000")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SqliteFilter, arithmetic, "Num * 3 - 7 > 1000")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OursFilter, not_null, "Far IS NOT NULL")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SqliteFilter, not_null, "Far IS NOT NULL")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OursFilter, compound, kCompoundOurs)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SqliteFilter, compound, kCompoundSqlite)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace dadoveri
BENCHMARK_MAIN();
