// libFuzzer target: any bytes, taken as a database file, are opened by the engine, read
// through every table's metadata and every index, and surveyed as `dadoveri check` and
// `dadoveri info` survey them. Engine errors are the expected end of a damaged file;
// anything else (another exception, a crash, a sanitizer report, a leak) is a finding.
//
// The password "secret" opens the encrypted seeds; a plain file ignores it.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "tests/fuzz/fuzz_seeds.h"
#include "tests/tools/dadoveri/damage_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dadoveri;
  static const std::string file = "/tmp/dadoveri-fuzz-" + std::to_string(getpid()) + ".dat";
  static testing::SampleBook book = testing::SampleRows(fuzz::kDictionaryRows, fuzz::kFlashcardRows);
  if (FILE* f = std::fopen(file.c_str(), "wb")) {
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
  } else {
    return 0;
  }
  const TABSPassword password{"secret", 0};
  testing::SurveyFile(file, password);
  testing::ReadThroughEngine(file, password, &book, 500);
  return 0;
}
