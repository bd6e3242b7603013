// The SQL fuzz target's seeds replayed under the sanitizers, then a fixed-seed batch of
// byte and token mutations of them: every text runs or fails with the engine's own
// positioned error; no crash, leak, hang or other exception.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "tests/fuzz/sql_fuzz_entry.h"

namespace dadoveri {
namespace {

std::string Fuzz(const std::string& text) {
  return testing::FuzzSQLInput(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::vector<std::string> Seeds() {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(NILVAR_SQL_SEEDS)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::vector<std::string> seeds;
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return seeds;
}

TEST(SQLFuzzReplay, SeedsRunOrFailWithTheEnginesError) {
  const std::vector<std::string> seeds = Seeds();
  ASSERT_GE(seeds.size(), 20u);
  for (const std::string& text : seeds) ASSERT_EQ(Fuzz(text), "") << text;
}

TEST(SQLFuzzReplay, MutatedSeedsRunOrFailWithTheEnginesError) {
  const std::vector<std::string> seeds = Seeds();
  const std::vector<std::string> pieces = {
      "(", ")", "'", "\"", "[", "]", ",", ";", "*", ".", ":N", ":Name", "?", "--", "/*", "\n", " ",
      "SELECT", "FROM", "WHERE", "JOIN", "LEFT", "FULL", "ON", "USING", "GROUP BY", "HAVING", "ORDER BY",
      "DISTINCT", "TOP 2,", "UNION", "ALL", "EXCEPT", "INTERSECT", "CORRESPONDING", "IN", "EXISTS", "NULL",
      "COUNT(*)", "SUM(", "MAX(", "ta", "tb", "tc", "a.k", "id", "s", "f", "=", "<>", "+", "/", "0", "-1",
      "99999999999", "1e308", "'ab'", "INTO", "MEMORY", "VALUES", "SET", "\xD9\xBE", "\xFF"};
  std::mt19937 random(20261211);
  auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
  for (int round = 0; round < 3000; ++round) {
    std::string text = seeds[pick(seeds.size())];
    for (int e = 1 + static_cast<int>(pick(3)); e > 0; --e) {
      const size_t at = text.empty() ? 0 : pick(text.size() + 1);
      switch (pick(5)) {
        case 0: text.resize(at); break;
        case 1: text.insert(at, " " + pieces[pick(pieces.size())] + " "); break;
        case 2: if (at < text.size()) text.erase(at, 1 + pick(6)); break;
        case 3: text.insert(at, seeds[pick(seeds.size())].substr(0, pick(40))); break;
        case 4: if (at < text.size()) text[at] = static_cast<char>(pick(256)); break;
      }
    }
    ASSERT_EQ(Fuzz(text), "") << "input: " << text;
  }
}

}  // namespace
}  // namespace dadoveri
