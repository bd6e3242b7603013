// libFuzzer target: any bytes, taken as UTF-8, run as SQL over a few small in-memory tables
// and every result row is read. Anything but a finished run or the engine's own positioned
// failure (a crash, a sanitizer report, a leak, another exception, a position outside the
// text) is a finding.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/fuzz/sql_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 2048) return 0;
  const std::string problem = dadoveri::testing::FuzzSQLInput(data, size);
  if (!problem.empty()) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
