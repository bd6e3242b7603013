// B-tree indexes next to SQLite: building an index of 1 000 000 random integer keys and of
// 1 000 000 random 12-character string keys in one transaction, then 1 000 000 point
// lookups and walks of 1 000 keys from a prefix. Both sides keep their pages in a database
// file in the temporary folder, with a page cache large enough for the whole index, and
// answer the record identifier (SQLite: the rowid) of each key.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/storage/disk_page_manager.h"
#include "engine/table/btree_record_index.h"
#include "engine/table/field_def.h"

namespace dadoveri {
namespace {

constexpr int32_t kSession = 0;
constexpr int kKeys = 1000000;
constexpr int kWalk = 1000;

std::string temp_name(const std::string& stem) {
  return (std::filesystem::temp_directory_path() / ("dadoveri-bench-" + std::to_string(getpid()) + "-" + stem))
      .string();
}

struct Keys {
  std::vector<int32_t> ints;
  std::vector<std::string> strings;
  std::vector<int> lookup_order;  // a random permutation of the keys
};

const Keys& keys() {
  static const Keys k = [] {
    Keys k;
    std::mt19937 rng(20261210);
    k.ints.resize(kKeys);
    k.strings.resize(kKeys);
    for (int i = 0; i < kKeys; ++i) {
      k.ints[static_cast<size_t>(i)] = static_cast<int32_t>(rng());
      std::string s(12, 'a');
      for (char& c : s) c = static_cast<char>('a' + rng() % 26);
      k.strings[static_cast<size_t>(i)] = s;
    }
    k.lookup_order.resize(kKeys);
    for (int i = 0; i < kKeys; ++i) k.lookup_order[static_cast<size_t>(i)] = i;
    std::shuffle(k.lookup_order.begin(), k.lookup_order.end(), rng);
    return k;
  }();
  return k;
}

TABSRecordID record_id(int i) { return {i / 1000 + 1, static_cast<uint16_t>(i % 1000)}; }
int record_no(const TABSRecordID& id) { return (id.PageNo - 1) * 1000 + id.SlotNo; }

// The records of the bench table in memory (field N integer, field T 12 characters).
class BenchRecords final : public TABSIndexRecordSource {
 public:
  explicit BenchRecords(const TABSRecordLayout& layout) : layout_(layout) {}
  bool ReadRecord(int32_t, const TABSRecordID& id, void* memory_record) override {
    Fill(record_no(id), memory_record);
    return true;
  }
  bool ReadNextRecord(int32_t, TABSRecordID& id, bool from_first, void* memory_record) override {
    const int next = from_first ? 0 : record_no(id) + 1;
    if (next >= kKeys) return false;
    id = record_id(next);
    Fill(next, memory_record);
    return true;
  }
  int32_t TableChangeCounter() const override { return 0; }

  void Fill(int i, void* memory_record) const {
    auto* r = static_cast<uint8_t*>(memory_record);
    layout_.InitRecord(r);
    layout_.ClearNull(0, r);
    layout_.ClearNull(1, r);
    std::memcpy(r + layout_.Field(0).MemoryOffset, &keys().ints[static_cast<size_t>(i)], 4);
    std::memcpy(r + layout_.Field(1).MemoryOffset, keys().strings[static_cast<size_t>(i)].data(), 12);
  }
  void FillText(const std::string& text, void* memory_record) const {
    auto* r = static_cast<uint8_t*>(memory_record);
    layout_.InitRecord(r);
    layout_.ClearNull(1, r);
    std::memcpy(r + layout_.Field(1).MemoryOffset, text.data(), text.size());
  }

 private:
  const TABSRecordLayout& layout_;
};

// One database file with an index over N or over T.
struct OurIndex {
  explicit OurIndex(bool strings) {
    TABSFieldDef* n = fields.AddFieldDef();
    n->Name = std::string("N");
    n->SetType(ctInteger);
    TABSFieldDef* t = fields.AddFieldDef();
    t->Name = std::string("T");
    t->SetType(ctString, 12);
    fields.RecomputeOffsets();
    layout = fields.RecordLayout();
    records = std::make_unique<BenchRecords>(layout);
    file = temp_name(strings ? "btree-s.dat" : "btree-i.dat");
    pm = std::make_unique<TABSDiskPageManager>(400000);
    pm->CreateDatabase(file, 4096, 8, {});
    def.Name = "IX";
    def.Columns = {{strings ? "T" : "N"}};
    index = std::make_unique<TABSBTreeRecordIndex>(pm.get(), &fields, records.get());
  }
  ~OurIndex() {
    index.reset();
    pm->RollbackPages(kSession);
    pm->FreeAllPages();
    pm->CloseDatabase();
    std::filesystem::remove(file);
  }
  void Build() {
    index->Create(kSession, false, def);
    std::vector<uint8_t> record(static_cast<size_t>(layout.MemoryRecordSize()));
    for (int i = 0; i < kKeys; ++i) {
      records->Fill(i, record.data());
      index->Insert(kSession, record.data(), record_id(i));
    }
    pm->CommitPages(kSession);
  }

  TABSFieldDefs fields;
  TABSRecordLayout layout;
  std::unique_ptr<BenchRecords> records;
  std::string file;
  std::unique_ptr<TABSDiskPageManager> pm;
  TABSIndexDef def;
  std::unique_ptr<TABSBTreeRecordIndex> index;
};

struct SqliteIndex {
  explicit SqliteIndex(bool strings) : strings(strings) {
    file = temp_name(strings ? "sqlite-s.db" : "sqlite-i.db");
    sqlite3_open(file.c_str(), &db);
    exec("PRAGMA cache_size = -400000");
    exec(strings ? "CREATE TABLE t(id INTEGER PRIMARY KEY, k TEXT)" : "CREATE TABLE t(id INTEGER PRIMARY KEY, k INTEGER)");
    exec("CREATE INDEX ik ON t(k)");
  }
  ~SqliteIndex() {
    sqlite3_close(db);
    std::filesystem::remove(file);
  }
  void exec(const char* sql) { sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }
  void Build() {
    exec("BEGIN");
    sqlite3_stmt* insert;
    sqlite3_prepare_v2(db, "INSERT INTO t(id, k) VALUES (?, ?)", -1, &insert, nullptr);
    for (int i = 0; i < kKeys; ++i) {
      sqlite3_bind_int(insert, 1, i);
      if (strings) sqlite3_bind_text(insert, 2, keys().strings[static_cast<size_t>(i)].c_str(), 12, SQLITE_STATIC);
      else sqlite3_bind_int(insert, 2, keys().ints[static_cast<size_t>(i)]);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    exec("COMMIT");
  }

  bool strings;
  std::string file;
  sqlite3* db = nullptr;
};

template <typename T>
std::unique_ptr<T>& built(bool strings) {
  static std::unique_ptr<T> index[2];
  std::unique_ptr<T>& slot = index[strings ? 1 : 0];
  if (!slot) {
    slot = std::make_unique<T>(strings);
    slot->Build();
  }
  return slot;
}

void label(benchmark::State& state, bool strings) { state.SetLabel(strings ? "12-character strings" : "integers"); }

// Building: 1 000 000 inserts and the commit.
void BM_BuildDadoveri(benchmark::State& state) {
  const bool strings = state.range(0) != 0;
  keys();
  for (auto _ : state) {
    OurIndex index(strings);
    index.Build();
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
  label(state, strings);
}
void BM_BuildSqlite(benchmark::State& state) {
  const bool strings = state.range(0) != 0;
  keys();
  for (auto _ : state) {
    SqliteIndex index(strings);
    index.Build();
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
  label(state, strings);
}
BENCHMARK(BM_BuildDadoveri)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BuildSqlite)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

// 1 000 000 point lookups of present keys in random order.
void BM_LookupDadoveri(benchmark::State& state) {
  const bool strings = state.range(0) != 0;
  OurIndex& ix = *built<OurIndex>(strings);
  std::vector<uint8_t> key(static_cast<size_t>(ix.layout.MemoryRecordSize()));
  TABSIndexKeyCondition equal{ickEqual, key.data(), 1, false};
  for (auto _ : state) {
    int64_t found = 0;
    for (int i : keys().lookup_order) {
      ix.records->Fill(i, key.data());
      TABSRecordID id;
      if (ix.index->Search(kSession, true, &equal, id)) ++found;
    }
    if (found != kKeys) state.SkipWithError("a key was not found");
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
  label(state, strings);
}
void BM_LookupSqlite(benchmark::State& state) {
  const bool strings = state.range(0) != 0;
  SqliteIndex& ix = *built<SqliteIndex>(strings);
  sqlite3_stmt* select;
  sqlite3_prepare_v2(ix.db, "SELECT id FROM t WHERE k = ?", -1, &select, nullptr);
  ix.exec("BEGIN");  // one read transaction: no file lock and header check per statement
  for (auto _ : state) {
    int64_t found = 0;
    for (int i : keys().lookup_order) {
      if (strings) sqlite3_bind_text(select, 1, keys().strings[static_cast<size_t>(i)].c_str(), 12, SQLITE_STATIC);
      else sqlite3_bind_int(select, 1, keys().ints[static_cast<size_t>(i)]);
      if (sqlite3_step(select) == SQLITE_ROW) {
        benchmark::DoNotOptimize(sqlite3_column_int(select, 0));
        ++found;
      }
      sqlite3_reset(select);
    }
    if (found != kKeys) state.SkipWithError("a key was not found");
  }
  ix.exec("COMMIT");
  sqlite3_finalize(select);
  state.SetItemsProcessed(state.iterations() * kKeys);
  label(state, strings);
}
BENCHMARK(BM_LookupDadoveri)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LookupSqlite)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

// Walks of 1 000 keys in order: for strings from the first key beginning with a two-letter
// prefix (about 1 480 keys share one), for integers from the first key not below a value.
// Each walk starts from a different prefix or value.
std::string prefix_of(int n) { return {static_cast<char>('a' + n % 26), static_cast<char>('a' + n / 26 % 26)}; }

void BM_RangeWalkDadoveri(benchmark::State& state) {
  const bool strings = state.range(0) != 0;
  OurIndex& ix = *built<OurIndex>(strings);
  std::vector<uint8_t> key(static_cast<size_t>(ix.layout.MemoryRecordSize()));
  int n = 0;
  int64_t sum = 0;
  for (auto _ : state) {
    TABSIndexKeyCondition start{ickGreaterOrEqual, key.data(), 1, strings};
    if (strings) {
      ix.records->FillText(prefix_of(n), key.data());
      start.Kind = ickEqual;
    } else {
      ix.records->Fill(n % kKeys, key.data());
    }
    ++n;
    TABSKeyPath path;
    TABSRecordID id;
    if (!ix.index->Search(kSession, true, &start, id, &path)) state.SkipWithError("no start");
    for (int i = 0; i < kWalk; ++i) {
      sum += ix.index->RecordIDAt(kSession, path).SlotNo;
      if (!ix.index->Next(kSession, path)) break;
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kWalk);
  label(state, strings);
}
void BM_RangeWalkSqlite(benchmark::State& state) {
  const bool strings = state.range(0) != 0;
  SqliteIndex& ix = *built<SqliteIndex>(strings);
  sqlite3_stmt* select;
  sqlite3_prepare_v2(ix.db, "SELECT id FROM t WHERE k >= ? ORDER BY k LIMIT 1000", -1, &select, nullptr);
  ix.exec("BEGIN");
  int n = 0;
  int64_t sum = 0;
  for (auto _ : state) {
    const std::string prefix = prefix_of(n);
    if (strings) sqlite3_bind_text(select, 1, prefix.c_str(), 2, SQLITE_TRANSIENT);
    else sqlite3_bind_int(select, 1, keys().ints[static_cast<size_t>(n % kKeys)]);
    ++n;
    while (sqlite3_step(select) == SQLITE_ROW) sum += sqlite3_column_int(select, 0);
    sqlite3_reset(select);
  }
  ix.exec("COMMIT");
  sqlite3_finalize(select);
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kWalk);
  label(state, strings);
}
BENCHMARK(BM_RangeWalkDadoveri)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RangeWalkSqlite)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace dadoveri

BENCHMARK_MAIN();
