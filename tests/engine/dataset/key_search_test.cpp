// Key searches of a table dataset on its current index: editing the search key in set-key
// state, GotoKey / GotoNearest, FindKey / FindNearest with whole and partial keys, and the
// failures without an index or with fields outside it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/engine/dataset/table_dataset_fixture.h"

namespace dadoveri::testing {
namespace {

class KeySearchTest : public TableDataSetTest {
 protected:
  // "words" with an index on Word and one on Word;Id, holding the words out of order.
  std::unique_ptr<TABSTable> IndexedWords() {
    {
      auto t = OpenWords();
      AppendWords(*t, {"pear", "apple", "fig", "apple", "kiwi", "banana"});
      t->Close();
      TABSTable maker;
      maker.SetDatabaseName(database_name_);
      maker.SetTableName("words");
      maker.AddIndex("ByWord", "Word");
      maker.AddIndex("ByWordId", "Word;Id");
    }
    auto t = std::make_unique<TABSTable>();
    t->SetName("Words");
    t->SetDatabaseName(database_name_);
    t->SetTableName("words");
    t->SetIndexName("ByWordId");
    t->Open();
    return t;
  }
  static std::string Current(TABSTable& t) {
    return t.FieldByName("Word")->AsString() + "/" + std::to_string(t.FieldByName("Id")->AsInteger());
  }
};

TEST_P(KeySearchTest, SearchesLandOnTheMatchingOrNextKey) {
  auto t = IndexedWords();
  struct Case {
    const char* what;
    std::vector<TFieldValue> key;
    bool nearest;
    bool found;
    std::string lands_on;  // the current record afterwards
  };
  const Case cases[] = {
      {"whole key", {std::string("apple"), int64_t{4}}, false, true, "apple/4"},
      {"leading field: the first of its equals", {std::string("apple")}, false, true, "apple/2"},
      {"absent key: no move", {std::string("cherry")}, false, false, "kiwi/5"},
      {"whole key absent: no move", {std::string("apple"), int64_t{3}}, false, false, "kiwi/5"},
      {"nearest to an absent key", {std::string("cherry")}, true, true, "fig/3"},
      {"nearest to an existing key", {std::string("fig")}, true, true, "fig/3"},
      {"nearest inside equal leading keys", {std::string("apple"), int64_t{3}}, true, true, "apple/4"},
      {"nearest past every key: the last", {std::string("zebra")}, true, true, "pear/1"},
      {"nearest before every key: the first", {std::string("a")}, true, true, "apple/2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    t->Last();
    t->Prior();  // kiwi/5
    if (c.nearest) {
      t->FindNearest(c.key);
    } else {
      EXPECT_EQ(t->FindKey(c.key), c.found);
    }
    EXPECT_EQ(Current(*t), c.lands_on);
    EXPECT_EQ(t->State(), TDataSetState::dsBrowse);
  }
}

TEST_P(KeySearchTest, KeyEditedInSetKeyStateLeavesTheRecordsAlone) {
  auto t = IndexedWords();
  t->First();
  t->SetKey();
  EXPECT_EQ(t->State(), TDataSetState::dsSetKey);
  // Fields read and written in set-key state are the key's.
  EXPECT_TRUE(t->FieldByName("Word")->IsNull());
  t->FieldByName("Word")->SetAsString("fig");
  EXPECT_EQ(t->FieldByName("Word")->AsString(), "fig");
  t->KeyFieldCount = 1;
  EXPECT_TRUE(t->GotoKey());
  EXPECT_EQ(Current(*t), "fig/3");
  // EditKey goes on with the last key; Cancel ends the editing without a search.
  t->EditKey();
  EXPECT_EQ(t->FieldByName("Word")->AsString(), "fig");
  t->FieldByName("Word")->SetAsString("pear");
  t->Cancel();
  EXPECT_EQ(t->State(), TDataSetState::dsBrowse);
  EXPECT_EQ(Current(*t), "fig/3");
  // SetKey starts empty again; GotoNearest moves on the key as edited.
  t->SetKey();
  EXPECT_TRUE(t->FieldByName("Word")->IsNull());
  t->FieldByName("Word")->SetAsString("c");
  t->GotoNearest();
  EXPECT_EQ(Current(*t), "fig/3");
  // Nothing was written into the table.
  t->SetIndexName("");
  EXPECT_EQ(Words(*t), (std::vector<std::string>{"pear", "apple", "fig", "apple", "kiwi", "banana"}));
}

TEST_P(KeySearchTest, FailuresGiveTheirMessagesAndCodes) {
  auto t = IndexedWords();
  struct Case {
    const char* what;
    std::function<void()> act;
    int32_t code;
    std::string message;
  };
  const Case cases[] = {
      {"a field outside the index in set-key state",
       [&] {
         t->SetKey();
         t->FieldByName("Far")->SetAsWideString(u"x");
       },
       20019, "Field Far is not in the current index"},
      {"more values than the index has fields",
       [&] { t->FindKey(std::vector<TFieldValue>{std::string("a"), int64_t{1}, std::string("b")}); }, 30112,
       "Count of FieldNames (2) not equal counts of KeyValues (3)"},
      {"GotoKey without an index",
       [&] {
         t->SetIndexName("");
         t->GotoKey();
       },
       20258, "No active index is set for Key search. Set Table.IndexName to the index on search fields."},
      {"FindKey without an index",
       [&] {
         t->SetIndexName("");
         t->FindKey(std::vector<TFieldValue>{std::string("fig")});
       },
       20258, "No active index is set for Key search. Set Table.IndexName to the index on search fields."},
      {"GotoKey on a closed table",
       [&] {
         TABSTable closed;
         closed.GotoKey();
       },
       10029, "Dataset is not opened"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    t->SetIndexName("ByWordId");
    const auto [code, message] = RaisedBy(c.act);
    EXPECT_EQ(code, c.code);
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
    if (t->State() == TDataSetState::dsSetKey) t->Cancel();
    EXPECT_EQ(t->State(), TDataSetState::dsBrowse);
  }
}

INSTANTIATE_TEST_SUITE_P(DiskAndMemory, KeySearchTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Disk" : "Memory"; });

}  // namespace
}  // namespace dadoveri::testing
