// Writes the seed corpus of the file-open fuzzer into the folder given: the sample
// database, plain and encrypted, with small pages so that its B-trees have several levels.
#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/fuzz/fuzz_seeds.h"
#include "tests/tools/dadoveri/damage_support.h"

int main(int argc, char** argv) {
  using namespace dadoveri;
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_seeds FOLDER\n");
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::filesystem::create_directories(folder);
  try {
    testing::BuildSampleDatabase((folder / "plain-512.dat").string(), {}, 512, fuzz::kDictionaryRows,
                                 fuzz::kFlashcardRows);
    testing::BuildSampleDatabase((folder / "secret-512.dat").string(), {"secret", caRijndael_128}, 512,
                                 fuzz::kDictionaryRows, fuzz::kFlashcardRows);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_fuzz_seeds: %s\n", e.what());
    return 1;
  }
  return 0;
}
