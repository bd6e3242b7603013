// Building the dictionary file next to SQLite on a file, in the same run and with the same
// rows: the made-up dictionary of `mkdict --synthetic` (eng2per Eng/Far, per2en Per/En, an
// empty flashcard table) with ascending indexes on Eng and Per, every row inserted in one
// transaction that is flushed at its commit. The engine side is mkdict's own writer; SQLite
// gets the same tables and indexes (its indexes compare bytes, the engine's collate) with
// synchronous=FULL in its default rollback-journal mode. Each side creates its file, its
// tables and indexes and loads the rows; generating and sorting the words is the same work
// for both and runs once, outside the timing, as does the UTF-8 form SQLite is given.
//
// Sides: 0 the engine with the dictionary's password (Rijndael_128 pages, as mkdict writes
// data.dat), 1 the engine without encryption, 2 SQLite.
// DADOVERI_BENCH_ROWS sets the headword count (default 1 000 000), DADOVERI_BENCH_SEED
// the seed (default 1).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/base/utf8.h"
#include "engine/platform/code_page.h"
#include "tools/mkdict/dictionary_file.h"
#include "tools/mkdict/word_list.h"

namespace dadoveri {
namespace {

int64_t env_number(const char* name, int64_t fallback) {
  const char* v = std::getenv(name);
  return v ? std::max<int64_t>(1, std::atoll(v)) : fallback;
}

std::string temp_name(const std::string& stem) {
  return (std::filesystem::temp_directory_path() / ("dadoveri-bench-" + std::to_string(getpid()) + "-" + stem)).string();
}

// The rows both sides load: the engine's own records and their UTF-8 text for SQLite.
struct Rows {
  mkdict::Dictionary Dictionary;
  std::vector<std::pair<std::string, std::string>> Eng2Per, Per2En;
};

const Rows& rows() {
  static const Rows r = [] {
    mkdict::UseFixedCollationAndCodePage();
    Rows out;
    out.Dictionary = mkdict::BuildDictionary(
        mkdict::SyntheticSenses(env_number("DADOVERI_BENCH_ROWS", 1000000), env_number("DADOVERI_BENCH_SEED", 1)));
    for (const mkdict::Eng2PerRecord& e : out.Dictionary.Eng2Per)
      out.Eng2Per.emplace_back(Utf16ToUtf8(AnsiCodePage().ToWide(e.Eng)), Utf16ToUtf8(e.Far));
    for (const mkdict::Per2EnRecord& p : out.Dictionary.Per2En)
      out.Per2En.emplace_back(Utf16ToUtf8(p.Per), Utf16ToUtf8(p.En));
    return out;
  }();
  return r;
}

void engine_build(const std::string& file, bool encrypted) {
  std::filesystem::remove(file);
  mkdict::WriteOptions options;
  options.RowsPerCommit = 0;
  options.DurableCommits = true;
  mkdict::WriteDictionaryFile(file, encrypted ? mkdict::kDefaultPassword : "", rows().Dictionary, {}, options);
}

void check(int rc, sqlite3* db, int expected = SQLITE_OK) {
  if (rc != expected) throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db));
}

void exec(sqlite3* db, const char* sql) { check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db); }

void sqlite_load(sqlite3* db, const char* insert_sql, const std::vector<std::pair<std::string, std::string>>& table) {
  sqlite3_stmt* insert = nullptr;
  check(sqlite3_prepare_v2(db, insert_sql, -1, &insert, nullptr), db);
  for (const auto& [a, b] : table) {
    sqlite3_bind_text(insert, 1, a.data(), static_cast<int>(a.size()), SQLITE_STATIC);
    sqlite3_bind_text(insert, 2, b.data(), static_cast<int>(b.size()), SQLITE_STATIC);
    check(sqlite3_step(insert), db, SQLITE_DONE);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
}

void sqlite_build(const std::string& file) {
  std::filesystem::remove(file);
  sqlite3* db = nullptr;
  check(sqlite3_open(file.c_str(), &db), db);
  exec(db, "PRAGMA synchronous=FULL");
  exec(db, "CREATE TABLE eng2per(Eng TEXT, Far TEXT)");
  exec(db, "CREATE INDEX IX_Eng ON eng2per(Eng)");
  exec(db, "CREATE TABLE per2en(Per TEXT, En TEXT)");
  exec(db, "CREATE INDEX IX_Per ON per2en(Per)");
  exec(db, "CREATE TABLE flashcard(word TEXT, meaning TEXT)");
  exec(db, "BEGIN");
  sqlite_load(db, "INSERT INTO eng2per VALUES(?, ?)", rows().Eng2Per);
  sqlite_load(db, "INSERT INTO per2en VALUES(?, ?)", rows().Per2En);
  exec(db, "COMMIT");
  sqlite3_close(db);
}

constexpr const char* kSides[] = {"dadoveri Rijndael_128 (as mkdict writes it)", "dadoveri plain",
                                  "sqlite synchronous=FULL"};

void BM_BuildDictionary(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const Rows& r = rows();
  const std::string file = temp_name("dictionary-" + std::to_string(side) + ".dat");
  for (auto _ : state) {
    if (side == 2)
      sqlite_build(file);
    else
      engine_build(file, side == 0);
  }
  state.counters["file_MB"] = static_cast<double>(std::filesystem::file_size(file)) / 1e6;
  std::filesystem::remove(file);
  state.SetLabel(kSides[side]);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(r.Eng2Per.size() + r.Per2En.size()));
  state.counters["eng2per"] = static_cast<double>(r.Eng2Per.size());
  state.counters["per2en"] = static_cast<double>(r.Per2En.size());
}

BENCHMARK(BM_BuildDictionary)->DenseRange(0, 2)->ArgName("side")->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace dadoveri

BENCHMARK_MAIN();
