// libFuzzer target: any bytes, taken as UTF-8, are lexed, parsed as a filter and as an SQL
// condition over a small fixture and evaluated; bytes holding 0x01 are a date format and a
// text read with it. Anything but an expression or the engine's own positioned failure (a
// crash, a sanitizer report, a leak, another exception, a position outside the text) is a
// finding.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/engine/query/expression_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const std::string problem = dadoveri::testing::FuzzExpressionInput(data, size);
  if (!problem.empty()) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
