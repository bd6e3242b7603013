// Record storage of file tables next to SQLite on a file, in the same run and with the same
// rows: an INTEGER primary key, a STRING(12), a WIDESTRING(40) and, in the cases with the
// second argument 1, a MEMO of about 200 bytes (both sides get the column), inserted in one transaction and then read back in a
// full scan that reads every field. Both sides flush the file at the commit: the engine
// with its commit barriers (DurableCommits), SQLite with synchronous=FULL in its default
// rollback-journal mode. The engine runs plain and with Rijndael_128 page encryption, each
// in a multi-user connection (a table lock and a header reread around every step, as the
// file format asks when other processes may share the file) and in an exclusive one (no
// other process; no byte locks). The plain multi-user scan runs a second time with the
// steps in read scopes of 100 rows, as a dataset fills its buffer of rows: one table lock
// and one header reread per 100 rows.
//
// DADOVERI_BENCH_ROWS sets the row count (default 1 000 000).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/database/local_cursor.h"
#include "engine/database/disk_database_data.h"
#include "engine/database/disk_table_data.h"
#include "engine/table/cursor.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"
#include "engine/table/table_metadata.h"

namespace dadoveri {
namespace {

int64_t row_count() {
  const char* v = std::getenv("DADOVERI_BENCH_ROWS");
  return v ? std::max<int64_t>(1, std::atoll(v)) : 1000000;
}

std::string temp_name(const std::string& stem) {
  return (std::filesystem::temp_directory_path() / ("dadoveri-bench-" + std::to_string(getpid()) + "-" + stem)).string();
}

// Row i: the same text on both sides.
std::string word_of(int64_t i) { return "w" + std::to_string(i * 7919 % 100000000); }
std::u16string wide_of(int64_t i) {
  std::u16string s = u"\u0648\u0627\u0698\u0647 ";
  for (const char c : std::to_string(i)) s.push_back(static_cast<char16_t>(c));
  s.resize(30, u'\u06CC');
  return s;
}
std::string wide_utf8_of(int64_t i) {
  std::string s = "\xD9\x88\xD8\xA7\xDA\x98\xD9\x87 " + std::to_string(i);
  size_t units = 5 + std::to_string(i).size();
  for (; units < 30; ++units) s += "\xDB\x8C";
  return s;
}
std::string memo_of(int64_t i) {
  std::string s = "memo " + std::to_string(i) + " ";
  while (s.size() < 200) s += "lorem ipsum dolor sit amet ";
  s.resize(200);
  return s;
}

TABSPassword password_for(bool encrypted) {
  return encrypted ? TABSPassword{"41736285", caRijndael_128} : TABSPassword{};
}

void make_table(TABSDiskDatabaseData& db, int32_t s, bool memo) {
  TABSTableMetadata m;
  const char* names[] = {"Id", "Word", "Wide", "Memo"};
  const TABSColumnType types[] = {ctInteger, ctString, ctWideString, ctMemo};
  const int32_t sizes[] = {0, 12, 40, 0};
  for (int i = 0; i < (memo ? 4 : 3); ++i) {
    TABSFieldDef* f = m.Fields.AddFieldDef();
    f->Name = names[i];
    f->SetType(types[i], sizes[i]);
  }
  TABSIndexDef* pk = m.Indexes.AddIndexDef();
  pk->Name = "PK";
  pk->Primary = pk->Unique = true;
  TABSIndexDefs::BuildColumns(*pk, {"Id"}, {"ASC"}, {""});
  m.Constraints.AddConstraint(DeriveConstraintFromIndex(*pk));
  db.CreateTable(s, "Rows", m);
}

// Creates the file and inserts the rows in one transaction; the commit flushes.
void engine_insert(const std::string& file, bool encrypted, bool exclusive, bool memo, int64_t rows) {
  std::filesystem::remove(file);
  TABSDiskDatabaseData db(file);
  db.CreateSettings.Password = password_for(encrypted);
  db.CreateDatabase();
  TABSConnectOptions options;
  options.Password = password_for(encrypted);
  options.Exclusive = exclusive;
  TABSBaseSession session(db.Connect(options));
  make_table(db, session.SessionID, memo);
  {
    TABSLocalCursor cursor(&session, "Rows");
    cursor.Open(db);
    const TABSRecordLayout& layout = cursor.TableData()->FieldManager().Layout();
    session.InTransaction = true;
    TABSVariant id, word, wide;
    for (int64_t i = 0; i < rows; ++i) {
      cursor.NewRecord();
      id.SetAsInteger(static_cast<int32_t>(i));
      word.SetAsString(word_of(i));
      wide.SetAsWideString(wide_of(i));
      layout.SetFieldValue(0, id, cursor.CurrentRecord);
      layout.SetFieldValue(1, word, cursor.CurrentRecord);
      layout.SetFieldValue(2, wide, cursor.CurrentRecord);
      if (memo) {
        // A BLOB field takes its bytes through the table.
        const std::string text = memo_of(i);
        cursor.TableData()->SetBlobValue(session.SessionID, 3, cursor.CurrentRecord, text.data(),
                                         static_cast<int64_t>(text.size()));
      }
      if (cursor.PostInsert() != roOK) throw std::runtime_error("insert failed");
    }
    session.InTransaction = false;
    db.CommitSession(session.SessionID, true);
  }
  db.Disconnect(session.SessionID);
}

// Reads every field of every row; answers a sum so that nothing is optimised away.
// `rows_per_scope` > 0: the steps go in read scopes of that many rows.
int64_t engine_scan(const std::string& file, bool encrypted, bool exclusive, bool memo, int rows_per_scope) {
  TABSDiskDatabaseData db(file);
  TABSConnectOptions options;
  options.Password = password_for(encrypted);
  options.Exclusive = exclusive;
  TABSBaseSession session(db.Connect(options));
  int64_t sum = 0;
  {
    TABSLocalCursor cursor(&session, "Rows");
    cursor.Open(db);
    const TABSRecordLayout& layout = cursor.TableData()->FieldManager().Layout();
    TABSVariant v;
    std::vector<uint8_t> note;
    cursor.GoToBegin();
    std::optional<TABSTableReadScope> scope;
    int in_scope = 0;
    for (;;) {
      if (rows_per_scope > 0 && in_scope == 0) scope.emplace(cursor);
      if (cursor.Step(grmNext) != grrFound) break;
      if (rows_per_scope > 0 && ++in_scope == rows_per_scope) {
        scope.reset();
        in_scope = 0;
      }
      layout.GetFieldValue(0, cursor.CurrentRecord, v, false);
      sum += v.GetAsInteger();
      layout.GetFieldValue(1, cursor.CurrentRecord, v, false);
      sum += static_cast<int64_t>(v.GetAsString().size());
      layout.GetFieldValue(2, cursor.CurrentRecord, v, false);
      sum += static_cast<int64_t>(v.GetAsWideString().size());
      if (memo) {
        cursor.TableData()->GetBlobValue(session.SessionID, 3, cursor.CurrentRecord, note);
        sum += static_cast<int64_t>(note.size());
      }
    }
  }
  db.Disconnect(session.SessionID);
  return sum;
}

void check(int rc, sqlite3* db, int expected = SQLITE_OK) {
  if (rc != expected) throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db));
}

void sqlite_insert(const std::string& file, bool memo, int64_t rows) {
  std::filesystem::remove(file);
  sqlite3* db = nullptr;
  check(sqlite3_open(file.c_str(), &db), db);
  check(sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr), db);
  check(sqlite3_exec(db,
                     memo ? "CREATE TABLE Rows(Id INTEGER PRIMARY KEY, Word TEXT, Wide TEXT, Memo TEXT)"
                          : "CREATE TABLE Rows(Id INTEGER PRIMARY KEY, Word TEXT, Wide TEXT)",
                     nullptr, nullptr, nullptr),
        db);
  check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
  sqlite3_stmt* insert = nullptr;
  check(sqlite3_prepare_v2(db, memo ? "INSERT INTO Rows VALUES(?, ?, ?, ?)" : "INSERT INTO Rows VALUES(?, ?, ?)", -1,
                           &insert, nullptr),
        db);
  for (int64_t i = 0; i < rows; ++i) {
    const std::string word = word_of(i), wide = wide_utf8_of(i);
    sqlite3_bind_int64(insert, 1, i);
    sqlite3_bind_text(insert, 2, word.data(), static_cast<int>(word.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 3, wide.data(), static_cast<int>(wide.size()), SQLITE_TRANSIENT);
    std::string note;
    if (memo) {
      note = memo_of(i);
      sqlite3_bind_text(insert, 4, note.data(), static_cast<int>(note.size()), SQLITE_TRANSIENT);
    }
    check(sqlite3_step(insert), db, SQLITE_DONE);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  sqlite3_close(db);
}

int64_t sqlite_scan(const std::string& file, bool memo) {
  sqlite3* db = nullptr;
  check(sqlite3_open(file.c_str(), &db), db);
  sqlite3_stmt* select = nullptr;
  check(sqlite3_prepare_v2(db, "SELECT * FROM Rows", -1, &select, nullptr), db);
  int64_t sum = 0;
  while (sqlite3_step(select) == SQLITE_ROW) {
    sum += sqlite3_column_int64(select, 0);
    sum += sqlite3_column_bytes(select, 1);
    sum += sqlite3_column_bytes(select, 2);
    if (memo) sum += sqlite3_column_bytes(select, 3);
  }
  sqlite3_finalize(select);
  sqlite3_close(db);
  return sum;
}

// Sides: 0 and 1 the engine plain and with Rijndael_128 in a multi-user connection, 2 and 3
// the same in an exclusive one, 4 SQLite; the second argument adds the MEMO column.
// Side 5 is side 0 with the scan's steps in read scopes of 100 rows.
struct Side {
  const char* name;
  bool sqlite, encrypted, exclusive;
  int rows_per_scope = 0;
};
constexpr Side kSides[] = {
    {"dadoveri plain, multi-user", false, false, false},
    {"dadoveri Rijndael_128, multi-user", false, true, false},
    {"dadoveri plain, exclusive", false, false, true},
    {"dadoveri Rijndael_128, exclusive", false, true, true},
    {"sqlite synchronous=FULL", true, false, false},
    {"dadoveri plain, multi-user, read scopes of 100 rows", false, false, false, 100},
};

void insert_rows(const Side& side, const std::string& file, bool memo, int64_t rows) {
  if (side.sqlite)
    sqlite_insert(file, memo, rows);
  else
    engine_insert(file, side.encrypted, side.exclusive, memo, rows);
}

void BM_InsertOneTransaction(benchmark::State& state) {
  const Side& side = kSides[state.range(0)];
  const bool memo = state.range(1) != 0;
  const int64_t rows = row_count();
  const std::string file = temp_name("insert-" + std::to_string(state.range(0)) + ".dat");
  for (auto _ : state) insert_rows(side, file, memo, rows);
  state.counters["file_MB"] = static_cast<double>(std::filesystem::file_size(file)) / 1e6;
  std::filesystem::remove(file);
  state.SetLabel(std::string(side.name) + (memo ? ", with MEMO" : ", no MEMO"));
  state.SetItemsProcessed(state.iterations() * rows);
}

void BM_FullScan(benchmark::State& state) {
  const Side& side = kSides[state.range(0)];
  const bool memo = state.range(1) != 0;
  const int64_t rows = row_count();
  const std::string file = temp_name("scan-" + std::to_string(state.range(0)) + ".dat");
  insert_rows(side, file, memo, rows);
  int64_t sum = 0;
  for (auto _ : state) {
    sum = side.sqlite ? sqlite_scan(file, memo)
                      : engine_scan(file, side.encrypted, side.exclusive, memo, side.rows_per_scope);
    benchmark::DoNotOptimize(sum);
  }
  std::filesystem::remove(file);
  state.SetLabel(std::string(side.name) + (memo ? ", with MEMO" : ", no MEMO"));
  state.SetItemsProcessed(state.iterations() * rows);
}

// Inserts do not read in scopes: side 5 would repeat side 0.
void arguments(benchmark::internal::Benchmark* b, int sides) {
  for (int memo = 0; memo <= 1; ++memo)
    for (int side = 0; side < sides; ++side) b->Args({side, memo});
  b->ArgNames({"side", "memo"});
}

BENCHMARK(BM_InsertOneTransaction)
    ->Apply([](benchmark::internal::Benchmark* b) { arguments(b, 5); })
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullScan)
    ->Apply([](benchmark::internal::Benchmark* b) { arguments(b, 6); })
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace dadoveri

BENCHMARK_MAIN();
