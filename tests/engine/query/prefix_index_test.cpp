// The index conditions filters hand out for prefixes ('abc*', LIKE 'abc%' and the partial
// forms of the other operators), run as range scans of real B-tree indexes over the same
// rows: the records a scan yields (evaluating what the condition does not cover) are
// exactly those the filter accepts, in index order. ctest runs this again under a Persian
// locale with code page 1256 and under a Czech locale.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/platform/code_page.h"
#include "engine/platform/locale.h"
#include "engine/query/expression.h"
#include "engine/table/btree_record_index.h"
#include "engine/table/scan_search_condition.h"
#include "tests/engine/query/expr_test_rows.h"
#include "tests/engine/table/btree_test_support.h"

namespace dadoveri {
namespace {

using testing::TestRows;

constexpr int32_t S = testing::kIndexSession;

// The rows of a TestRows table as table records behind real indexes.
class IndexedRows {
 public:
  explicit IndexedRows(TestRows& rows) : rows_(rows) {
    pm_ = testing::CreateIndexDatabase(folder_.File("x.db"), 1024);
    const TABSRecordLayout& layout = rows.RecordLayout();
    for (int32_t i = 0; i < layout.FieldCount(); ++i)
      testing::AddField(fields_, layout.Field(i).Name, layout.Field(i).ColumnType, layout.Field(i).Size);
    records_ = std::make_unique<testing::MemoryRecords>(layout.MemoryRecordSize());
    for (int32_t r = 0; r < rows.RowCount(); ++r) {
      const uint8_t* row = rows.Row(r);
      const TABSRecordID id = records_->Add(std::vector<uint8_t>(row, row + layout.MemoryRecordSize()));
      row_of_[id.PageNo * 100 + id.SlotNo] = r;
    }
    for (int32_t i = 0; i < rows.Indexes().Count(); ++i) {
      TABSIndexDef def;
      def.Assign(*rows.Indexes().GetItem(i));
      auto index = std::make_unique<TABSBTreeRecordIndex>(pm_.get(), &fields_, records_.get());
      index->Create(S, true, def);
      indexes_[def.ObjectID] = std::move(index);
    }
  }
  ~IndexedRows() {
    indexes_.clear();
    pm_->RollbackPages(S);
    testing::CloseIndexDatabase(pm_);
  }
  bool LayoutsAgree() const {
    const TABSRecordLayout& a = rows_.RecordLayout();
    const TABSRecordLayout b = fields_.RecordLayout();
    if (a.MemoryRecordSize() != b.MemoryRecordSize() || a.FieldCount() != b.FieldCount()) return false;
    for (int32_t i = 0; i < a.FieldCount(); ++i)
      if (a.Field(i).MemoryOffset != b.Field(i).MemoryOffset || a.Field(i).BaseType != b.Field(i).BaseType) return false;
    return true;
  }
  TABSBTreeRecordIndex& Index(int32_t object_id) { return *indexes_.at(object_id); }
  int32_t RowOf(const TABSRecordID& id) const { return row_of_.at(id.PageNo * 100 + id.SlotNo); }
  // Rows in the index's order.
  std::vector<int32_t> Walk(TABSBTreeRecordIndex& index) {
    std::vector<int32_t> out;
    TABSKeyPath path;
    for (bool at = index.First(S, path); at; at = index.Next(S, path)) out.push_back(RowOf(index.RecordIDAt(S, path)));
    return out;
  }
  const uint8_t* Record(const TABSRecordID& id) const { return records_->Get(id).data(); }

 private:
  TestRows& rows_;
  testing::TempFolder folder_;
  std::unique_ptr<TABSDiskPageManager> pm_;
  TABSFieldDefs fields_;
  std::unique_ptr<testing::MemoryRecords> records_;
  std::map<int32_t, int32_t> row_of_;
  std::map<int32_t, std::unique_ptr<TABSBTreeRecordIndex>> indexes_;
};

std::u16string random_text(std::mt19937& rng, const std::u16string& letters, size_t max_length) {
  std::u16string s;
  const size_t n = std::uniform_int_distribution<size_t>(0, max_length)(rng);
  for (size_t i = 0; i < n; ++i) s += letters[std::uniform_int_distribution<size_t>(0, letters.size() - 1)(rng)];
  return s;
}

TEST(PrefixIndexConditions, RangeScansYieldWhatTheFilterAccepts) {
  SCOPED_TRACE("locale '" + UserLocale().Name() + "', code page " + std::to_string(AnsiCodePage().Number()));
  TestRows rows("Words", {{"Eng", ctString, 40}, {"Far", ctWideString, 30}, {"Num", ctInteger}});
  rows.AddIndex("ix_eng", {{"Eng", false, false, 20}});
  rows.AddIndex("ix_eng_ci_desc", {{"Eng", true, true, 20}});
  rows.AddIndex("ix_eng_cut", {{"Eng", false, false, 6}});
  rows.AddIndex("ix_far", {{"Far", false, false, 60}});
  rows.AddIndex("ix_far_ci_cut", {{"Far", false, true, 8}});
  rows.AddIndex("ix_num_eng", {{"Num", false, false, 20}, {"Eng", false, false, 20}});

  // Mixed case, accents, Czech "ch", Persian and Arabic yeh and kaf, alef and waw with the
  // combining hamza and madda that make contractions with them (and their precomposed
  // letters), digits, punctuation and blanks; single-byte text only of what the code page
  // holds.
  const std::u16string letters =
      u"aabbAB\u00e1\u00c1\u00e9cChH\u064a\u06cc\u0643\u06a9\u0627\u0627\u0628\u0648\u0654\u0653\u0622\u0624"
      u"01- .";
  std::u16string ansi_letters;
  for (char16_t ch : letters)
    if (AnsiCodePage().Contains(ch)) ansi_letters += ch;
  std::mt19937 rng(1210);
  std::vector<std::u16string> stems;
  for (int i = 0; i < 10; ++i) stems.push_back(random_text(rng, letters, 3));
  auto text = [&](const std::u16string& alphabet) {
    std::u16string s;
    for (char16_t ch : stems[std::uniform_int_distribution<size_t>(0, stems.size() - 1)(rng)])
      if (alphabet.find(ch) != std::u16string::npos) s += ch;
    return (s + random_text(rng, alphabet, 26)).substr(0, 28);
  };
  for (int i = 0; i < 160; ++i) {
    const std::u16string eng = text(ansi_letters), far = text(letters);
    rows.AddRow({eng.empty() ? testing::Null() : testing::Str(AnsiCodePage().ToAnsi(eng)),
                 far.empty() ? testing::Null() : testing::Wide(far), testing::Int(i % 3)});
  }
  IndexedRows indexed(rows);
  ASSERT_TRUE(indexed.LayoutsAgree());

  int conditions_seen = 0;
  for (int round = 0; round < 12; ++round) {
    const bool wide = round % 2 == 1;
    const std::u16string source = text(wide ? letters : ansi_letters);
    if (source.empty()) continue;
    const size_t length = std::uniform_int_distribution<size_t>(1, std::min<size_t>(25, source.size()))(rng);
    const std::u16string prefix = source.substr(0, length);
    const std::u16string field = wide ? u"Far" : u"Eng";
    std::vector<std::u16string> filters;
    for (const char16_t* op : {u"=", u"<>", u"<", u">", u"<=", u">="})
      filters.push_back(field + u" " + op + u" '" + prefix + u"*'");
    filters.push_back(field + u" LIKE '" + prefix + u"%'");
    filters.push_back(u"Num = 1 AND " + field + u" = '" + prefix + u"*'");
    for (const std::u16string& filter : filters)
      for (const bool ci : {false, true}) {
        SCOPED_TRACE(ExprUtf8(filter) + (ci ? " without case" : ""));
        TABSExpression full;
        full.ParseFilter(&rows, filter, ci, true);
        std::vector<bool> accepted(static_cast<size_t>(rows.RowCount()));
        for (int32_t r = 0; r < rows.RowCount(); ++r) {
          rows.SetCurrent(r);
          accepted[static_cast<size_t>(r)] = full.GetBooleanValue();
        }
        TABSScanSearchConditionArray conditions;
        full.AddSearchConditions(rows.Indexes(), conditions);
        for (int32_t i = 0; i < conditions.Count(); ++i) {
          ++conditions_seen;
          TABSExpression rest;
          rest.ParseFilter(&rows, filter, ci, true);
          TABSScanSearchConditionArray own;
          rest.AddSearchConditions(rows.Indexes(), own);
          const TABSScanSearchCondition& c = own.Item(i);
          TABSBTreeRecordIndex& index = indexed.Index(c.IndexID);
          SCOPED_TRACE("index " + index.Definition().Name);
          EXPECT_TRUE(c.KeyFieldCount == 1 || !c.Partial);  // a prefix extends nothing
          const TABSIndexKeyCondition key = ToIndexKeyCondition(c);
          TABSIndexRange range(index, &key);
          // A condition that covers its nodes must have an exact range: the scan then
          // trusts the range alone.
          if (!c.CoveredNodes.empty()) {
            EXPECT_TRUE(range.Exact());
          }
          rest.RemoveCoveredNodes(c);
          std::vector<int32_t> got;
          TABSKeyPath path;
          for (bool at = range.Seek(S, true, path); at; at = range.Step(S, true, path)) {
            const TABSRecordID id = range.RecordIDAt(S, path);
            if (!range.Exact()) {
              const TABSIndexEntryTest test = range.Test(S, path);
              if (test == ietOut || (test == ietNeedsRecord && !range.Accepts(indexed.Record(id)))) continue;
            }
            rows.SetCurrent(indexed.RowOf(id));
            if (rest.IsEmpty() || rest.GetBooleanValue()) got.push_back(indexed.RowOf(id));
          }
          std::vector<int32_t> expected;
          for (int32_t r : indexed.Walk(index))
            if (accepted[static_cast<size_t>(r)]) expected.push_back(r);
          EXPECT_EQ(got, expected);
        }
      }
  }
  EXPECT_GT(conditions_seen, 0);
}

}  // namespace
}  // namespace dadoveri
