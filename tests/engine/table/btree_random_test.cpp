// A randomized differential test of the record index against a sorted model: inserts,
// deletes, key changes, searches of every kind in both directions (whole and partial keys),
// range walks, record numbers and counts, with commits (the tree's invariants checked after
// each) and rollbacks, over several page sizes and key types.
#include <gtest/gtest.h>

#include <string>

#include "tests/engine/table/btree_random_model.h"

namespace dadoveri {
namespace {

using testing::Config;
using testing::Keys;
using testing::RandomIndex;

std::string ConfigName(const ::testing::TestParamInfo<Config>& info) {
  static const char* const names[] = {"Integer", "Ansi", "Wide", "MultiPart"};
  return std::string(names[static_cast<int>(info.param.keys)]) + "_" +
         (info.param.page_size ? std::to_string(info.param.page_size) : std::string("Smallest"));
}

class BTreeRandomTest : public ::testing::TestWithParam<Config> {};

TEST_P(BTreeRandomTest, MatchesASortedModel) {
  RandomIndex run(GetParam(), 12345);
  run.Run();
  // The smallest pages make deep trees, so that splits and merges reach every level.
  if (GetParam().page_size == 0) {
    EXPECT_GE(run.Depth(), 5);
  }
}

// 100 000 operations in all; the smallest pages make deep trees.
INSTANTIATE_TEST_SUITE_P(
    PagesAndKeys, BTreeRandomTest,
    ::testing::Values(Config{Keys::Integer, 0, 8000}, Config{Keys::Integer, 512, 12000},
                      Config{Keys::Integer, 4096, 16000}, Config{Keys::Ansi, 0, 6000}, Config{Keys::Ansi, 1024, 14000},
                      Config{Keys::Wide, 0, 6000}, Config{Keys::Wide, 2048, 12000},
                      Config{Keys::MultiPart, 0, 6000}, Config{Keys::MultiPart, 4096, 20000}),
    ConfigName);

}  // namespace
}  // namespace dadoveri
