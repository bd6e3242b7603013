// A filtered table against a plain model: for random prefix filters "Eng = 'prefix*'"
// (1-25 characters, past the index's MaxIndexedSize, mixed case, Windows-1252 accents, an
// inner '*' that is an ordinary character) the visible records, RecordCount, moves and
// record numbers equal the records whose first N characters equal the prefix
// (case-sensitive), in the table's default order. Run with and without an index on Eng:
// under a multi-level collation case variants of a prefix are not contiguous in the index
// ("abc" < "Abc" < "abd"), which an index range must not miss.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "engine/platform/code_page.h"
#include "tests/engine/dataset/table_dataset_fixture.h"

namespace dadoveri::testing {
namespace {

std::vector<std::string> Headwords() {
  std::vector<std::string> words = {"abc", "Abc", "abd", "abe", "ab\xe9", "ABC", "abc'd", "ab*c", "ab*cd", "a"};
  std::mt19937 rng(20261211);
  const std::string letters = "aabbcde'ABE\xe9\xc9*";
  std::set<std::string> seen(words.begin(), words.end());
  while (words.size() < 3000) {
    const size_t len = 1 + rng() % 30;
    std::string w = rng() % 2 ? "ab" : "";
    while (w.size() < len) w += letters[rng() % letters.size()];
    if (seen.insert(w).second) words.push_back(w);
  }
  std::shuffle(words.begin(), words.end(), rng);
  return words;
}

class FilterDifferentialTest : public ::testing::TestWithParam<bool> {};

TEST_P(FilterDifferentialTest, FilteredTableEqualsPlainModel) {
  const bool indexed = GetParam();
  TempFolder folder;
  TABSDatabase db;
  db.SetDatabaseName("diff");
  db.SetDatabaseFileName(folder.File("diff.abs"));
  db.SilentMode = true;
  db.CreateDatabase();
  db.Connect();
  TABSTable t;
  t.SetDatabaseName("diff");
  t.SetTableName("eng2per");
  AddField(t.TableFieldDefs, "Eng", ctString, 40);
  t.CreateTable();
  if (indexed) t.AddIndex("Eng", "Eng");
  const std::vector<std::string> words = Headwords();
  t.Open();
  db.StartTransaction();
  for (const std::string& w : words) {
    t.Append();
    t.FieldByName("Eng")->SetAsString(w);
    t.Post();
  }
  db.Commit();
  ASSERT_EQ(t.RecordCount(), static_cast<int64_t>(words.size()));
  // The default order: read it once unfiltered.
  std::vector<std::string> order;
  for (t.First(); !t.Eof(); t.Next()) order.push_back(t.FieldByName("Eng")->AsString());
  ASSERT_EQ(order.size(), words.size());

  std::mt19937 rng(indexed ? 7 : 8);
  std::vector<std::string> prefixes = {"abc", "Abc", "ab", "ab\xe9", "abe", "ab*", "ab*c", "A", "'"};
  while (prefixes.size() < 60) {
    std::string p = order[rng() % order.size()];
    p.resize(std::min<size_t>(p.size(), 1 + rng() % 25));
    // Mixed case now and then; a prefix past the stored key length sometimes.
    if (rng() % 4 == 0) p[rng() % p.size()] ^= 0x20;
    if (rng() % 5 == 0) p += std::string(21 - std::min<size_t>(p.size(), 20), 'a');
    prefixes.push_back(p);
  }
  for (const std::string& prefix : prefixes) {
    std::vector<std::string> model;
    for (const std::string& w : order)
      if (w.compare(0, prefix.size(), prefix) == 0 && w.size() >= prefix.size()) model.push_back(w);
    std::u16string filter = u"Eng = '" + AnsiCodePage().ToWide(prefix);
    // A quote in the text is doubled.
    for (size_t i = 7; i < filter.size(); ++i)
      if (filter[i] == u'\'') filter.insert(i++, 1, u'\'');
    filter += u"*'";
    t.SetFilterText(filter);
    t.SetFiltered(true);
    SCOPED_TRACE("prefix '" + prefix + "'");
    EXPECT_EQ(t.RecordCount(), static_cast<int64_t>(model.size()));
    std::vector<std::string> seen;
    int64_t expected_no = 1;
    for (t.First(); !t.Eof(); t.Next()) {
      seen.push_back(t.FieldByName("Eng")->AsString());
      EXPECT_EQ(t.RecNo(), expected_no++);
      if (seen.size() > model.size() + 5) break;
    }
    EXPECT_EQ(seen, model);
    if (model.empty()) {
      EXPECT_TRUE(t.Bof() && t.Eof());
      continue;
    }
    // Moves and record numbers.
    t.Last();
    EXPECT_EQ(t.RecNo(), static_cast<int64_t>(model.size()));
    EXPECT_EQ(t.FieldByName("Eng")->AsString(), model.back());
    const int64_t k = 1 + static_cast<int64_t>(rng() % model.size());
    t.SetRecNo(k);
    EXPECT_EQ(t.FieldByName("Eng")->AsString(), model[static_cast<size_t>(k - 1)]);
    const int32_t step = static_cast<int32_t>(rng() % 7) - 3;
    const int64_t target = std::clamp<int64_t>(k + step, 1, static_cast<int64_t>(model.size()));
    EXPECT_EQ(t.MoveBy(step), target - k);
    EXPECT_EQ(t.RecNo(), target);
    EXPECT_EQ(t.FieldByName("Eng")->AsString(), model[static_cast<size_t>(target - 1)]);
    std::vector<TFieldValue> row;
    ASSERT_TRUE(t.ReadRecordValues(static_cast<int64_t>(model.size()), row));
    EXPECT_EQ(std::get<std::string>(row[0]), model.back());
    EXPECT_EQ(t.RecNo(), target);
  }
  t.SetFiltered(false);
  EXPECT_EQ(t.RecordCount(), static_cast<int64_t>(words.size()));
  t.Close();
  db.Disconnect();
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutIndex, FilterDifferentialTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "EngIndex" : "NoIndex"; });

}  // namespace
}  // namespace dadoveri::testing
