// SQL text run by the engine's processor next to SQLite on the same rows, in the same run.
//
// Tables on both sides: t (id, uid, g, v, s) with 1 000 000 rows — id 1..N in order, uid
// a random id of u, g one of 1 000 values, v a float, s a 12-letter text — with indexes on
// id and uid (g is not indexed); u (id, w) with 100 000 rows and an index on id. Neither
// side makes id a primary key: SQLite's tables are rowid tables with separate indexes,
// like ours.
//
// Each iteration hands SQL text to the engine (a TABSSQLProcessor over one file database
// and one session, SetSQL then Execute; the result's rows are read with GetRecord and every
// visible field fetched) and to SQLite (sqlite3_prepare_v2 from the text every time — no
// statement cache — then every row stepped and every column fetched). The engine's query
// asks for a read-only result (RequestLive off), as a query dataset does by default; the
// "live" variants ask for a live one.
//
// Statements: a point SELECT by id; a range SELECT of 10 000 ids; SELECT g, COUNT(*),
// SUM(v) FROM t GROUP BY g; the join on t.uid = u.id, whole and restricted to one u.id;
// 100 000 parameterised INSERTs into an empty copy of u's shape in one transaction (the
// table emptied again outside the timing).
//
// Before timing, the setup checks that both sides answer the point, range, grouping and
// restricted join queries with the same row counts and sums.
//
// The engine's connection is a multi-user one; DADOVERI_BENCH_EXCLUSIVE set makes it
// exclusive (no file locks), as SQLite's single connection effectively is.
//
// DADOVERI_BENCH_ROWS sets t's row count (default 1 000 000; u has a tenth of it); the
// files are made once per run in the temporary folder and removed at the end.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/database/disk_database_data.h"
#include "engine/database/local_cursor.h"
#include "engine/query/sql_processor.h"
#include "engine/query/sql_query.h"
#include "engine/table/cursor.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"

namespace dadoveri {
namespace {

int64_t row_count() {
  const char* v = std::getenv("DADOVERI_BENCH_ROWS");
  return v ? std::max<int64_t>(1000, std::atoll(v)) : 1000000;
}
int64_t u_count() { return row_count() / 10; }

std::string temp_name(const std::string& stem) {
  return (std::filesystem::temp_directory_path() / ("dadoveri-bench-" + std::to_string(getpid()) + "-" + stem)).string();
}

std::u16string wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

void check(int rc, sqlite3* db, int expected = SQLITE_OK) {
  if (rc != expected) throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db));
}

struct Row {
  int32_t id, uid, g;
  double v;
  std::string s;
};

std::vector<Row> make_rows(int64_t rows) {
  std::mt19937_64 rng(20261211);
  std::uniform_int_distribution<int32_t> uid(1, static_cast<int32_t>(rows / 10)), g(0, 999), letter(0, 25);
  std::uniform_real_distribution<double> v(0, 1000);
  std::vector<Row> out(static_cast<size_t>(rows));
  for (size_t i = 0; i < out.size(); ++i) {
    Row& r = out[i];
    r.id = static_cast<int32_t>(i + 1);
    r.uid = uid(rng);
    r.g = g(rng);
    r.v = static_cast<double>(static_cast<int64_t>(v(rng) * 4)) / 4;  // exact in binary: sums agree
    r.s.resize(12);
    for (char& c : r.s) c = static_cast<char>('a' + letter(rng));
  }
  return out;
}

// Checksums of a result: rows, and the sum of the first numeric column.
struct Sums {
  int64_t rows = 0;
  double first = 0;
  bool operator==(const Sums& o) const { return rows == o.rows && first == o.first; }
};

// ---- the engine's side ----

class EngineSide {
 public:
  explicit EngineSide(const std::string& file, bool live = false) : db_(file) {
    TABSConnectOptions options;
    options.DurableCommits = false;
    options.Exclusive = std::getenv("DADOVERI_BENCH_EXCLUSIVE") != nullptr;
    session_ = std::make_unique<TABSBaseSession>(db_.Connect(options));
    query_ = std::make_unique<TABSSQLConnectionQuery>(db_, *session_);
    query_->SetRequestLive(live);
    processor_ = std::make_unique<TABSSQLProcessor>(*query_);
  }
  ~EngineSide() {
    processor_.reset();
    query_.reset();
    db_.Disconnect(session_->SessionID);
  }
  TABSSQLProcessor& processor() { return *processor_; }

  // Runs SQL text and reads every field of every row.
  Sums run(const std::string& sql) {
    processor_->SetSQL(wide(sql));
    TABSCursor* c = processor_->Execute();
    Sums sums;
    if (!c) return sums;
    const int32_t fields = c->VisibleFields.Count();
    for (bool more = !c->AtEnd && c->ReadCurrent() == grrFound; more; more = c->GetRecord(grmNext) == grrFound) {
      ++sums.rows;
      for (int32_t i = 0; i < fields; ++i) c->GetFieldValue(i, false, value_);
      c->GetFieldValue(0, false, value_);
      if (!value_.IsNull() && value_.ValueType() != btString) sums.first += value_.GetAsFloat();
    }
    return sums;
  }

  // Fills t and u through a cursor per table, committing every 100 000 rows.
  void fill(const std::vector<Row>& rows) {
    run("CREATE TABLE t (id INTEGER NOT NULL, uid INTEGER NOT NULL, g INTEGER NOT NULL, v FLOAT, s VARCHAR(12))");
    run("CREATE TABLE u (id INTEGER NOT NULL, w INTEGER)");
    run("CREATE TABLE ins (id INTEGER NOT NULL, w INTEGER)");
    run("CREATE INDEX ins_id ON ins (id)");
    TABSVariant value;
    auto commit = [&] {
      session_->InTransaction = false;
      db_.CommitSession(session_->SessionID, true);
      session_->InTransaction = true;
    };
    {
      TABSLocalCursor cursor(session_.get(), "t");
      cursor.Open(db_);
      const TABSRecordLayout& layout = cursor.TableData()->FieldManager().Layout();
      session_->InTransaction = true;
      for (size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        cursor.NewRecord();
        value.SetAsInteger(r.id);
        layout.SetFieldValue(0, value, cursor.CurrentRecord);
        value.SetAsInteger(r.uid);
        layout.SetFieldValue(1, value, cursor.CurrentRecord);
        value.SetAsInteger(r.g);
        layout.SetFieldValue(2, value, cursor.CurrentRecord);
        value.Clear();
        value.SetAsFloat(r.v);
        layout.SetFieldValue(3, value, cursor.CurrentRecord);
        value.Clear();
        value.SetAsString(r.s);
        layout.SetFieldValue(4, value, cursor.CurrentRecord);
        value.Clear();
        if (cursor.PostInsert() != roOK) throw std::runtime_error("insert into t failed");
        if ((i + 1) % 100000 == 0) commit();
      }
      commit();
    }
    {
      TABSLocalCursor cursor(session_.get(), "u");
      cursor.Open(db_);
      const TABSRecordLayout& layout = cursor.TableData()->FieldManager().Layout();
      for (int32_t id = 1; id <= static_cast<int32_t>(u_count()); ++id) {
        cursor.NewRecord();
        value.SetAsInteger(id);
        layout.SetFieldValue(0, value, cursor.CurrentRecord);
        value.SetAsInteger(id % 97);
        layout.SetFieldValue(1, value, cursor.CurrentRecord);
        if (cursor.PostInsert() != roOK) throw std::runtime_error("insert into u failed");
      }
      commit();
    }
    session_->InTransaction = false;
    run("CREATE INDEX t_id ON t (id)");
    run("CREATE INDEX t_uid ON t (uid)");
    run("CREATE INDEX u_id ON u (id)");
  }

  // 100 000 parameterised INSERTs in one transaction.
  void inserts(int64_t count) {
    run("START TRANSACTION");
    TABSSQLParams& params = processor_->Params();
    params.Clear();
    TABSSQLParam& id = params.Add();
    id.Name = u"id";
    TABSSQLParam& w = params.Add();
    w.Name = u"w";
    for (int32_t i = 1; i <= count; ++i) {
      id.Clear();
      id.SetAsInteger(i);
      w.Clear();
      w.SetAsInteger(i % 97);
      processor_->SetSQL(u"INSERT INTO ins (id, w) VALUES (:id, :w)");
      processor_->Execute();
    }
    params.Clear();
    run("COMMIT");
  }

 private:
  TABSDiskDatabaseData db_;
  std::unique_ptr<TABSBaseSession> session_;
  std::unique_ptr<TABSSQLConnectionQuery> query_;
  std::unique_ptr<TABSSQLProcessor> processor_;
  TABSVariant value_;
};

void engine_make(const std::string& file, const std::vector<Row>& rows) {
  std::filesystem::remove(file);
  {
    TABSDiskDatabaseData maker(file);
    maker.CreateDatabase();
  }
  EngineSide side(file);
  side.fill(rows);
}

// ---- SQLite's side ----

class SqliteSide {
 public:
  explicit SqliteSide(const std::string& file) {
    check(sqlite3_open(file.c_str(), &db_), db_);
    check(sqlite3_exec(db_, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr), db_);
  }
  ~SqliteSide() { sqlite3_close(db_); }
  sqlite3* db() { return db_; }

  Sums run(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    check(sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr), db_);
    Sums sums;
    int rc;
    const int columns = sqlite3_column_count(st);
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      ++sums.rows;
      for (int i = 0; i < columns; ++i) {
        switch (sqlite3_column_type(st, i)) {
          case SQLITE_INTEGER: benchmark::DoNotOptimize(sqlite3_column_int64(st, i)); break;
          case SQLITE_FLOAT: benchmark::DoNotOptimize(sqlite3_column_double(st, i)); break;
          case SQLITE_TEXT: benchmark::DoNotOptimize(sqlite3_column_text(st, i)); break;
          default: break;
        }
      }
      if (sqlite3_column_type(st, 0) != SQLITE_TEXT) sums.first += sqlite3_column_double(st, 0);
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) check(rc, db_);
    return sums;
  }

  void fill(const std::vector<Row>& rows) {
    run("CREATE TABLE t (id INTEGER NOT NULL, uid INTEGER NOT NULL, g INTEGER NOT NULL, v REAL, s TEXT)");
    run("CREATE TABLE u (id INTEGER NOT NULL, w INTEGER)");
    run("CREATE TABLE ins (id INTEGER NOT NULL, w INTEGER)");
    run("CREATE INDEX ins_id ON ins (id)");
    run("BEGIN");
    sqlite3_stmt* st = nullptr;
    check(sqlite3_prepare_v2(db_, "INSERT INTO t VALUES (?, ?, ?, ?, ?)", -1, &st, nullptr), db_);
    for (const Row& r : rows) {
      sqlite3_bind_int(st, 1, r.id);
      sqlite3_bind_int(st, 2, r.uid);
      sqlite3_bind_int(st, 3, r.g);
      sqlite3_bind_double(st, 4, r.v);
      sqlite3_bind_text(st, 5, r.s.data(), static_cast<int>(r.s.size()), SQLITE_STATIC);
      check(sqlite3_step(st), db_, SQLITE_DONE);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    check(sqlite3_prepare_v2(db_, "INSERT INTO u VALUES (?, ?)", -1, &st, nullptr), db_);
    for (int32_t id = 1; id <= static_cast<int32_t>(u_count()); ++id) {
      sqlite3_bind_int(st, 1, id);
      sqlite3_bind_int(st, 2, id % 97);
      check(sqlite3_step(st), db_, SQLITE_DONE);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    run("COMMIT");
    run("CREATE INDEX t_id ON t (id)");
    run("CREATE INDEX t_uid ON t (uid)");
    run("CREATE INDEX u_id ON u (id)");
    run("ANALYZE");
  }

  // 100 000 INSERTs, each prepared from its text, bound, stepped and finalised.
  void inserts(int64_t count) {
    run("BEGIN");
    for (int32_t i = 1; i <= count; ++i) {
      sqlite3_stmt* st = nullptr;
      check(sqlite3_prepare_v2(db_, "INSERT INTO ins (id, w) VALUES (:id, :w)", -1, &st, nullptr), db_);
      sqlite3_bind_int(st, 1, i);
      sqlite3_bind_int(st, 2, i % 97);
      check(sqlite3_step(st), db_, SQLITE_DONE);
      sqlite3_finalize(st);
    }
    run("COMMIT");
  }

 private:
  sqlite3* db_ = nullptr;
};

void sqlite_make(const std::string& file, const std::vector<Row>& rows) {
  std::filesystem::remove(file);
  SqliteSide side(file);
  side.fill(rows);
}

// ---- the statements ----

enum Query { kPoint, kRange, kGroup, kJoin, kJoinOne };
const char* const kQueryNames[] = {"point", "range", "group", "join", "join_one"};

// The statement of one kind; `n` varies the id so that neither side answers from a cache.
std::string statement(Query q, int64_t n) {
  const int64_t rows = row_count();
  switch (q) {
    case kPoint: return "SELECT id, uid, g, v, s FROM t WHERE id = " + std::to_string(1 + (n * 7919) % rows);
    case kRange: {
      const int64_t from = 1 + (n * 7919) % (rows - 10000);
      return "SELECT id, v FROM t WHERE id >= " + std::to_string(from) + " AND id < " + std::to_string(from + 10000);
    }
    case kGroup: return "SELECT g, COUNT(*), SUM(v) FROM t GROUP BY g";
    case kJoin: return "SELECT t.id, t.v, u.id, u.w FROM t JOIN u ON t.uid = u.id";
    case kJoinOne:
      return "SELECT t.id, t.v, u.id, u.w FROM t JOIN u ON t.uid = u.id WHERE u.id = " +
             std::to_string(1 + (n * 7919) % u_count());
  }
  return {};
}

struct Files {
  std::string engine, sqlite;
  Files() {
    const std::vector<Row> rows = make_rows(row_count());
    engine = temp_name("sql.dat");
    sqlite = temp_name("sql.sqlite");
    engine_make(engine, rows);
    sqlite_make(sqlite, rows);
    verify();
  }
  ~Files() {
    std::filesystem::remove(engine);
    std::filesystem::remove(sqlite);
  }
  void verify() {
    EngineSide e(engine);
    SqliteSide q(sqlite);
    for (Query kind : {kPoint, kRange, kGroup, kJoinOne}) {
      for (int64_t n = 0; n < 3; ++n) {
        const std::string sql = statement(kind, n);
        const Sums ours = e.run(sql), theirs = q.run(sql);
        if (!(ours == theirs))
          throw std::runtime_error("the sides differ on " + sql + ": " + std::to_string(ours.rows) + " rows, sum " +
                                   std::to_string(ours.first) + " against " + std::to_string(theirs.rows) + ", " +
                                   std::to_string(theirs.first));
      }
    }
    std::fprintf(stderr, "both sides give the same rows\n");
  }
};

Files& files() {
  static Files f;
  return f;
}

void BM_Engine(benchmark::State& state) {
  const auto kind = static_cast<Query>(state.range(0));
  EngineSide e(files().engine, state.range(1) != 0);
  int64_t n = 0, rows = 0;
  for (auto _ : state) rows = e.run(statement(kind, n++)).rows;
  state.counters["rows"] = static_cast<double>(rows);
  state.SetLabel(std::string(kQueryNames[kind]) + (state.range(1) ? ", live" : ""));
}

void BM_Sqlite(benchmark::State& state) {
  const auto kind = static_cast<Query>(state.range(0));
  SqliteSide q(files().sqlite);
  int64_t n = 0, rows = 0;
  for (auto _ : state) rows = q.run(statement(kind, n++)).rows;
  state.counters["rows"] = static_cast<double>(rows);
  state.SetLabel(kQueryNames[kind]);
}

constexpr int64_t kInserts = 100000;

void BM_EngineInserts(benchmark::State& state) {
  EngineSide e(files().engine);
  for (auto _ : state) {
    e.inserts(kInserts);
    state.PauseTiming();
    e.run("DELETE FROM ins");
    state.ResumeTiming();
  }
  state.SetLabel("100000 parameterised INSERTs, one transaction");
}

void BM_SqliteInserts(benchmark::State& state) {
  SqliteSide q(files().sqlite);
  for (auto _ : state) {
    q.inserts(kInserts);
    state.PauseTiming();
    q.run("DELETE FROM ins");
    state.ResumeTiming();
  }
  state.SetLabel("100000 parameterised INSERTs, one transaction");
}

void Queries(benchmark::internal::Benchmark* b) {
  for (int q = kPoint; q <= kJoinOne; ++q) b->Args({q, 0});
  b->Unit(benchmark::kMicrosecond);
}
void LiveQueries(benchmark::internal::Benchmark* b) {
  for (int q : {kPoint, kRange, kJoinOne}) b->Args({q, 1});
  b->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Engine)->Apply(Queries);
BENCHMARK(BM_Engine)->Apply(LiveQueries);
BENCHMARK(BM_Sqlite)->Apply(Queries);
BENCHMARK(BM_EngineInserts)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SqliteInserts)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace dadoveri

BENCHMARK_MAIN();
