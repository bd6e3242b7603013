// Filters over memo and wide memo fields read the value from the table's BLOB storage,
// in memory and in a database file, before and after the values change.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "engine/base/utf8.h"
#include "engine/database/disk_database_data.h"
#include "engine/database/local_cursor.h"
#include "engine/database/memory_database_data.h"
#include "engine/query/cursor_filter_expression.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"
#include "tests/engine/database/table_fixture.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

struct Row {
  int32_t k;
  std::optional<std::string> notes;     // code-page text
  std::optional<std::u16string> wide;   // UTF-16
};

// Long enough that a value spans several compressed blocks of a small block size.
std::string long_text(const std::string& middle) { return std::string(3000, 'q') + middle + std::string(500, 'r'); }

const std::vector<Row> kRows = {
    {1, "a dog and a cat", u"\u0633\u06AF \u0648 \u06AF\u0631\u0628\u0647"},
    {2, "the cat sat", std::nullopt},
    {3, std::nullopt, u"\u06CC\u06A9 \u0633\u06AF"},
    {4, "Catalogue", u"dog"},
    {5, long_text("cat"), u"\u0643\u062A\u0627\u0628"},
    {6, "", u""},
};

class MemoFilter : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) {
      const std::string name = folder.File("m.dat");
      {
        TABSDiskDatabaseData maker(name);
        maker.CreateDatabase();
      }
      auto disk = std::make_unique<TABSDiskDatabaseData>(name);
      TABSConnectOptions options;
      options.DurableCommits = false;
      session.SessionID = disk->Connect(options);
      db = std::move(disk);
    } else {
      db = std::make_unique<TABSMemoryDatabaseData>();
    }
    writer = std::make_unique<TABSLocalCursor>(&session, "M");
    writer->Open(*db);
    TABSFieldDefs fields;
    TABSIndexDefs indexes;
    TABSConstraintDefs constraints;
    testing::AddField(fields, "K", ctInteger);
    testing::AddField(fields, "Notes", ctMemo);
    testing::AddField(fields, "Wide", ctWideMemo);
    testing::AddIndex(indexes, "IK", {{"K"}}, true);
    writer->CreateTable(fields, indexes, constraints);
    for (const Row& r : kRows) {
      writer->NewRecord();
      testing::Fields(*writer).SetInt("K", r.k);
      set_memo(*writer, r.notes, r.wide);
      ASSERT_EQ(writer->PostInsert(), roOK);
    }
    cursor = std::make_unique<TABSLocalCursor>(&session, "M");
    cursor->SetFilterFactory(&CursorExpressionFilterFactory());
    cursor->Open(*db);
  }
  void TearDown() override {
    cursor.reset();
    writer.reset();
    if (auto* disk = dynamic_cast<TABSDiskDatabaseData*>(db.get())) disk->Disconnect(session.SessionID);
  }

  void set_memo(TABSLocalCursor& c, const std::optional<std::string>& notes, const std::optional<std::u16string>& wide) {
    TABSTableData& t = *c.TableData();
    const int32_t notes_no = t.FieldDefs().IndexOf("Notes"), wide_no = t.FieldDefs().IndexOf("Wide");
    if (notes) t.SetBlobValue(session.SessionID, notes_no, c.CurrentRecord, notes->data(), static_cast<int64_t>(notes->size()));
    if (wide) {
      std::string bytes;
      for (const char16_t u : *wide) {
        bytes.push_back(static_cast<char>(u & 0xFF));
        bytes.push_back(static_cast<char>(u >> 8));
      }
      t.SetBlobValue(session.SessionID, wide_no, c.CurrentRecord, bytes.data(), static_cast<int64_t>(bytes.size()));
    }
  }

  // The keys the filter accepts, in index order, and the cursor's count.
  std::vector<int64_t> accepted(const std::u16string& filter, bool case_insensitive = false) {
    cursor->SetIndexName("IK");
    cursor->SetFilter(filter, case_insensitive, false);
    std::vector<int64_t> keys = testing::WalkInts(*cursor, "K");
    EXPECT_EQ(cursor->GetRecordCount(), static_cast<int64_t>(keys.size()));
    return keys;
  }

  testing::TempFolder folder;
  std::unique_ptr<TABSDatabaseData> db;
  TABSBaseSession session{0};
  std::unique_ptr<TABSLocalCursor> writer, cursor;
};

TEST_P(MemoFilter, ComparisonsReadTheStoredText) {
  struct Case {
    std::u16string filter;
    bool case_insensitive;
    std::vector<int64_t> keys;
  };
  const std::vector<Case> cases = {
      {u"Notes LIKE '%cat%'", false, {1, 2, 5}},
      {u"Notes LIKE '%cat%'", true, {1, 2, 4, 5}},
      {u"Notes LIKE 'the%'", false, {2}},
      {u"Notes IS NULL", false, {3, 6}},
      {u"Notes IS NOT NULL AND NOT (Notes LIKE '%cat%')", false, {4}},
      {u"Wide LIKE '%\u0633\u06AF%'", false, {1, 3}},
      {u"Wide = 'dog' OR Notes LIKE '%dog%'", false, {1, 4}},
      {u"Wide LIKE '%\u0643%'", false, {5}},
      {u"Wide IS NULL", false, {2, 6}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(accepted(c.filter, c.case_insensitive), c.keys) << Utf16ToUtf8(c.filter);
}

TEST_P(MemoFilter, AnUpdatedValueIsWhatTheFilterSees) {
  // Record 4 gets "cat" in both memos, record 1 loses its "cat".
  for (const auto& [k, notes, wide] : {std::tuple<int32_t, std::string, std::u16string>{4, "tomcat", u"\u0633\u06AF"},
                                       {1, "a dog alone", u"x"}}) {
    writer->SetIndexName("IK");
    std::vector<uint8_t> key(static_cast<size_t>(writer->RecordSize));
    writer->InitRecordBuffer(key.data(), false);
    testing::Fields(*writer).SetInt("K", k, key.data());
    writer->SetSearchKey(key.data(), 1);
    ASSERT_TRUE(writer->FindKey(sckEqual));
    ASSERT_EQ(writer->BeginEdit(), roOK);
    set_memo(*writer, notes, wide);
    ASSERT_EQ(writer->PostEdit(), roOK);
  }
  EXPECT_EQ(accepted(u"Notes LIKE '%cat%'"), (std::vector<int64_t>{2, 4, 5}));
  EXPECT_EQ(accepted(u"Wide LIKE '%\u0633\u06AF%'"), (std::vector<int64_t>{3, 4}));
  // Locate evaluates the same way on the cursor's own records.
  cursor->ClearFilter();
  cursor->GoToBegin();
  TABSVariant v;
  v.SetAsString("tomcat");
  ASSERT_TRUE(cursor->LocateByComparison("Notes", opEqual, v));
  EXPECT_EQ(testing::Fields(*cursor).Int("K"), 4);
}

INSTANTIATE_TEST_SUITE_P(Tables, MemoFilter, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "OnDisk" : "InMemory"; });

}  // namespace
}  // namespace dadoveri
