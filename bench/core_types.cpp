// Core value types: text comparison (the comparison behind every index search and filter)
// and moving a record of ten mixed fields between values, memory records and stored records.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "engine/platform/code_page.h"
#include "engine/table/comparison.h"
#include "engine/table/date_time.h"
#include "engine/table/record_layout.h"
#include "engine/table/variant.h"

namespace dadoveri {
namespace {

// Twenty characters each, differing in the last one only (the costly case for a comparison).
const char kAnsiA[] = "Dictionary headword1";
const char kAnsiB[] = "Dictionary headworD2";
const char16_t kPersianA[] = u"\u0641\u0631\u0647\u0646\u06af \u0644\u063a\u062a \u0627\u0646\u06af\u0644\u06cc\u0633\u06cc \u0628\u0647\u0627";
const char16_t kPersianB[] = u"\u0641\u0631\u0647\u0646\u06af \u0644\u063a\u062a \u0627\u0646\u06af\u0644\u06cc\u0633\u06cc \u0628\u0647\u06a9";

void BM_CompareAnsi20(benchmark::State& state) {
  const bool ci = state.range(0) != 0;
  for (auto _ : state) benchmark::DoNotOptimize(CompareAnsiText(kAnsiA, kAnsiB, ci));
  state.SetLabel(ci ? "case-insensitive" : "case-sensitive");
}
BENCHMARK(BM_CompareAnsi20)->Arg(0)->Arg(1);

void BM_CompareWideLatin20(benchmark::State& state) {
  const bool ci = state.range(0) != 0;
  const std::u16string a = AnsiCodePage().ToWide(kAnsiA), b = AnsiCodePage().ToWide(kAnsiB);
  for (auto _ : state) benchmark::DoNotOptimize(CompareWideText(a.c_str(), b.c_str(), ci));
  state.SetLabel(ci ? "case-insensitive" : "case-sensitive");
}
BENCHMARK(BM_CompareWideLatin20)->Arg(0)->Arg(1);

void BM_CompareWidePersian20(benchmark::State& state) {
  const bool ci = state.range(0) != 0;
  for (auto _ : state) benchmark::DoNotOptimize(CompareWideText(kPersianA, kPersianB, ci));
  state.SetLabel(ci ? "case-insensitive" : "case-sensitive");
}
BENCHMARK(BM_CompareWidePersian20)->Arg(0)->Arg(1);

// Through the raw comparison every index and filter uses (string fields of 20 characters).
void BM_CompareValuesString20(benchmark::State& state) {
  const bool ci = state.range(0) != 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(CompareValues(kAnsiA, btString, false, kAnsiB, btString, false, ci));
  state.SetLabel(ci ? "case-insensitive" : "case-sensitive");
}
BENCHMARK(BM_CompareValuesString20)->Arg(0)->Arg(1);

TABSFieldLayout field(const char* name, TABSColumnType type, int32_t size = 0) {
  TABSFieldLayout f;
  f.Name = name;
  f.SetType(type, size);
  return f;
}

struct TenFields {
  TABSRecordLayout layout{{field("Id", ctAutoinc), field("Eng", ctString, 40), field("Far", ctWideString, 40),
                           field("Level", ctSmallint), field("Score", ctFloat), field("Seen", ctDateTime),
                           field("Known", ctLogical), field("Price", ctCurrency), field("Count", ctLargeint),
                           field("Day", ctDate)}};
  std::vector<TABSVariant> values;
  TenFields() {
    values.resize(10);
    values[0].SetAsInteger(12345);
    values[1].SetAsString("dictionary");
    values[2].SetAsWideString(u"\u0641\u0631\u0647\u0646\u06af \u0644\u063a\u062a");
    values[3].SetAsSmallint(3);
    values[4].SetAsFloat(0.875);
    values[5].SetAsDateTime({*EncodeDayNumber(2024, 1, 31), 45296789});
    values[6].SetAsLogical(true);
    values[7].SetAsCurrency(19.99);
    values[8].SetAsLargeint(1LL << 40);
    values[9].SetAsDate(*EncodeDayNumber(2024, 2, 29));
  }
};

void BM_EncodeRecord10(benchmark::State& state) {
  TenFields t;
  std::vector<uint8_t> memory(static_cast<size_t>(t.layout.MemoryRecordSize()));
  std::vector<uint8_t> stored(static_cast<size_t>(t.layout.StoredRecordSize()));
  for (auto _ : state) {
    t.layout.InitRecord(memory.data());
    for (int32_t i = 0; i < 10; ++i) t.layout.SetFieldValue(i, t.values[static_cast<size_t>(i)], memory.data());
    t.layout.NormalizeRecord(memory.data());
    t.layout.MemoryToStored(memory.data(), stored.data());
    benchmark::DoNotOptimize(stored.data());
  }
  state.SetLabel("values -> memory record -> stored record");
}
BENCHMARK(BM_EncodeRecord10);

void BM_DecodeRecord10(benchmark::State& state) {
  TenFields t;
  std::vector<uint8_t> memory(static_cast<size_t>(t.layout.MemoryRecordSize()));
  std::vector<uint8_t> stored(static_cast<size_t>(t.layout.StoredRecordSize()));
  t.layout.InitRecord(memory.data());
  for (int32_t i = 0; i < 10; ++i) t.layout.SetFieldValue(i, t.values[static_cast<size_t>(i)], memory.data());
  t.layout.MemoryToStored(memory.data(), stored.data());
  std::vector<TABSVariant> out(10);
  for (auto _ : state) {
    t.layout.StoredToMemory(stored.data(), memory.data());
    for (int32_t i = 0; i < 10; ++i) t.layout.GetFieldValue(i, memory.data(), out[static_cast<size_t>(i)]);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetLabel("stored record -> memory record -> values");
}
BENCHMARK(BM_DecodeRecord10);

// The record images alone, as record storage moves them.
void BM_RecordImages10(benchmark::State& state) {
  TenFields t;
  std::vector<uint8_t> memory(static_cast<size_t>(t.layout.MemoryRecordSize()));
  std::vector<uint8_t> stored(static_cast<size_t>(t.layout.StoredRecordSize()));
  t.layout.InitRecord(memory.data());
  for (auto _ : state) {
    t.layout.MemoryToStored(memory.data(), stored.data());
    t.layout.StoredToMemory(stored.data(), memory.data());
    benchmark::DoNotOptimize(memory.data());
  }
  state.SetLabel("memory -> stored -> memory");
}
BENCHMARK(BM_RecordImages10);

}  // namespace
}  // namespace dadoveri

BENCHMARK_MAIN();
