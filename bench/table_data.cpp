// Table data next to SQLite :memory:, doing equal work on equal columns: an INTEGER
// primary key, an indexed STRING(12) and a FLOAT.
//   - 1 000 000 inserts in one transaction;
//   - a storage-order scan of the 1 000 000 records;
//   - 100 000 updates of the indexed string of random records;
//   - 100 000 deletes of random records.
// Records are reached by their identifier on our side and by rowid on SQLite's.
// Then a temporary table's append and scan of 1 000 000 records, kept in memory
// (memory-only) and spilled to a temporary file (a 64 MiB engine memory limit: a tenth of
// it in memory), next to SQLite appending to and scanning an unindexed table.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/database/local_cursor.h"
#include "engine/base/memory_manager.h"
#include "engine/database/memory_database_data.h"
#include "engine/database/temporary_database_data.h"
#include "engine/table/cursor.h"
#include "engine/table/session.h"

namespace dadoveri {
namespace {

constexpr int kRecords = 1000000;
constexpr int kChanges = 100000;

struct Data {
  std::vector<std::string> strings;
  std::vector<std::string> new_strings;
  std::vector<int> victims;  // distinct random records
};

const Data& data() {
  static const Data d = [] {
    Data d;
    std::mt19937 rng(20261210);
    auto text = [&] {
      std::string s(12, 'a');
      for (char& c : s) c = static_cast<char>('a' + rng() % 26);
      return s;
    };
    for (int i = 0; i < kRecords; ++i) d.strings.push_back(text());
    for (int i = 0; i < kChanges; ++i) d.new_strings.push_back(text());
    std::vector<int> all(kRecords);
    std::iota(all.begin(), all.end(), 0);
    std::shuffle(all.begin(), all.end(), rng);
    d.victims.assign(all.begin(), all.begin() + kChanges);
    return d;
  }();
  return d;
}

void add_field(TABSFieldDefs& fields, const char* name, TABSColumnType type, int32_t size = 0) {
  TABSFieldDef* f = fields.AddFieldDef();
  f->Name = name;
  f->SetType(type, size);
  fields.RecomputeOffsets();
}

// One table "B" with its cursor, on a registry of its own.
struct Ours {
  explicit Ours(TABSDatabaseData& db, bool indexed) : cursor(&session, "B") {
    cursor.Temporary = !indexed;
    cursor.Open(db);
    TABSFieldDefs fields;
    TABSIndexDefs indexes;
    TABSConstraintDefs constraints;
    add_field(fields, "ID", ctInteger);
    add_field(fields, "S", ctString, 12);
    add_field(fields, "F", ctFloat);
    if (indexed) {
      TABSIndexDef* pk = indexes.AddIndexDef();
      pk->Name = "PK";
      pk->Primary = pk->Unique = true;
      pk->Columns = {{"ID"}};
      TABSIndexDef* s = indexes.AddIndexDef();
      s->Name = "IS";
      s->Columns = {{"S"}};
    }
    cursor.TableData()->CreateTable(&cursor, fields, indexes, constraints);
    cursor.RefreshDefinitions();
  }
  void set(int32_t field, const TABSVariant& v) {
    cursor.TableData()->FieldManager().Layout().SetFieldValue(field, v, cursor.CurrentRecord);
  }
  void insert_all() {
    TABSVariant id, s, f;
    for (int i = 0; i < kRecords; ++i) {
      cursor.NewRecord();
      id.SetAsInteger(i);
      s.SetAsString(data().strings[static_cast<size_t>(i)]);
      f.SetAsFloat(i * 0.25);
      set(0, id);
      set(1, s);
      set(2, f);
      if (cursor.PostInsert() != roOK) std::abort();
    }
  }
  int64_t scan() {
    int64_t n = 0;
    cursor.GoToBegin();
    while (cursor.Step(grmNext) == grrFound) ++n;
    return n;
  }
  TABSBaseSession session{0};
  TABSLocalCursor cursor;
};

struct Sqlite {
  explicit Sqlite(bool indexed) {
    sqlite3_open(":memory:", &db);
    exec(indexed ? "CREATE TABLE b(id INTEGER PRIMARY KEY, s TEXT, f REAL)" : "CREATE TABLE b(id INTEGER, s TEXT, f REAL)");
    if (indexed) exec("CREATE INDEX b_s ON b(s)");
  }
  ~Sqlite() { sqlite3_close(db); }
  void exec(const char* sql) { sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }
  void insert_all() {
    exec("BEGIN");
    sqlite3_stmt* st;
    sqlite3_prepare_v2(db, "INSERT INTO b(id, s, f) VALUES (?, ?, ?)", -1, &st, nullptr);
    for (int i = 0; i < kRecords; ++i) {
      sqlite3_bind_int(st, 1, i);
      sqlite3_bind_text(st, 2, data().strings[static_cast<size_t>(i)].c_str(), 12, SQLITE_STATIC);
      sqlite3_bind_double(st, 3, i * 0.25);
      sqlite3_step(st);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    exec("COMMIT");
  }
  int64_t scan() {
    sqlite3_stmt* st;
    sqlite3_prepare_v2(db, "SELECT id, s, f FROM b", -1, &st, nullptr);
    int64_t n = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
      benchmark::DoNotOptimize(sqlite3_column_int(st, 0));
      benchmark::DoNotOptimize(sqlite3_column_text(st, 1));
      benchmark::DoNotOptimize(sqlite3_column_double(st, 2));
      ++n;
    }
    sqlite3_finalize(st);
    return n;
  }
  sqlite3* db = nullptr;
};

void ours_table(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto db = std::make_unique<TABSMemoryDatabaseData>();
    auto t = std::make_unique<Ours>(*db, true);
    t->session.InTransaction = true;
    state.ResumeTiming();
    switch (state.range(0)) {
      case 0:
        t->insert_all();
        break;
      default:
        state.PauseTiming();
        t->insert_all();
        state.ResumeTiming();
        if (state.range(0) == 1) {
          if (t->scan() != kRecords) std::abort();
        } else if (state.range(0) == 2) {
          TABSVariant s;
          for (int i = 0; i < kChanges; ++i) {
            t->cursor.Position = {data().victims[static_cast<size_t>(i)], 0};
            t->cursor.AtBegin = t->cursor.AtEnd = false;
            if (t->cursor.BeginEdit() != roOK) std::abort();
            s.SetAsString(data().new_strings[static_cast<size_t>(i)]);
            t->set(1, s);
            if (t->cursor.PostEdit() != roOK) std::abort();
          }
        } else {
          for (int i = 0; i < kChanges; ++i) {
            t->cursor.Position = {data().victims[static_cast<size_t>(i)], 0};
            t->cursor.AtBegin = t->cursor.AtEnd = false;
            if (t->cursor.ReadCurrent() != grrFound || t->cursor.DeleteCurrent() != roOK) std::abort();
          }
        }
    }
    state.PauseTiming();
    t->session.InTransaction = false;
    t->cursor.Close();
    t.reset();
    db.reset();
    state.ResumeTiming();
  }
}

void sqlite_table(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto t = std::make_unique<Sqlite>(true);
    state.ResumeTiming();
    switch (state.range(0)) {
      case 0:
        t->insert_all();
        break;
      default:
        state.PauseTiming();
        t->insert_all();
        state.ResumeTiming();
        if (state.range(0) == 1) {
          if (t->scan() != kRecords) std::abort();
        } else {
          sqlite3_stmt* st;
          const bool update = state.range(0) == 2;
          sqlite3_prepare_v2(t->db, update ? "UPDATE b SET s = ? WHERE id = ?" : "DELETE FROM b WHERE id = ?", -1, &st,
                             nullptr);
          for (int i = 0; i < kChanges; ++i) {
            if (update) {
              sqlite3_bind_text(st, 1, data().new_strings[static_cast<size_t>(i)].c_str(), 12, SQLITE_STATIC);
              sqlite3_bind_int(st, 2, data().victims[static_cast<size_t>(i)]);
            } else {
              sqlite3_bind_int(st, 1, data().victims[static_cast<size_t>(i)]);
            }
            sqlite3_step(st);
            sqlite3_reset(st);
          }
          sqlite3_finalize(st);
        }
    }
    state.PauseTiming();
    t.reset();
    state.ResumeTiming();
  }
}

const char* const kPhase[] = {"1000000 inserts", "scan 1000000", "100000 updates of the string", "100000 deletes"};

void label(benchmark::State& state) { state.SetLabel(kPhase[state.range(0)]); }

void BM_OurMemoryTable(benchmark::State& state) {
  label(state);
  ours_table(state);
}
void BM_SqliteMemory(benchmark::State& state) {
  label(state);
  sqlite_table(state);
}

// A temporary table: append then scan; range(0) 1 spills.
void BM_OurTemporaryTable(benchmark::State& state) {
  const bool spill = state.range(0) != 0;
  state.SetLabel(spill ? "append+scan 1000000, spilled" : "append+scan 1000000, memory-only");
  for (auto _ : state) {
    state.PauseTiming();
    MemoryManager().SetMemoryLimit(spill ? int64_t{64} << 20 : 0);
    auto db = std::make_unique<TABSTemporaryDatabaseData>(!spill);
    auto t = std::make_unique<Ours>(*db, false);
    state.ResumeTiming();
    t->insert_all();
    if (t->scan() != kRecords) std::abort();
    state.PauseTiming();
    if (spill && !static_cast<TABSTemporaryTableData*>(t->cursor.TableData())->Records().HasFile()) std::abort();
    t->cursor.Close();
    t.reset();
    db.reset();
    MemoryManager().SetMemoryLimit(0);
    state.ResumeTiming();
  }
}

void BM_SqliteAppendScan(benchmark::State& state) {
  state.SetLabel("append+scan 1000000");
  for (auto _ : state) {
    state.PauseTiming();
    auto t = std::make_unique<Sqlite>(false);
    state.ResumeTiming();
    t->insert_all();
    if (t->scan() != kRecords) std::abort();
    state.PauseTiming();
    t.reset();
    state.ResumeTiming();
  }
}

BENCHMARK(BM_OurMemoryTable)->DenseRange(0, 3)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteMemory)->DenseRange(0, 3)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OurTemporaryTable)->DenseRange(0, 1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteAppendScan)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace dadoveri

BENCHMARK_MAIN();
