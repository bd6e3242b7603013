#include "engine/table/scan_search_condition.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/table/field_def.h"
#include "engine/table/record_key_ref.h"
#include "tests/engine/table/btree_test_support.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

TEST(ScanSearchConditionArray, CopiesIndexConditionsAndRefusesBadOnes) {
  TABSScanSearchConditionArray list;
  TABSScanSearchCondition c;
  c.Kind = sckEqual;
  c.IndexID = 7;
  c.KeyFieldCount = 1;
  c.KeyBuffer = {1, 2, 3};
  EXPECT_EQ(list.AddIndexCondition(c), 0);
  c.KeyBuffer[0] = 9;  // the list holds its own copy
  EXPECT_EQ(list.Item(0).KeyBuffer[0], 1);
  EXPECT_EQ(list.Item(0).KeyBufferSize(), 3);

  TABSScanSearchCondition no_index = c;
  no_index.IndexID = -1;
  EXPECT_EQ(testing::CodeOf([&] { list.AddIndexCondition(no_index); }), 10388);
  TABSScanSearchCondition no_columns = c;
  no_columns.KeyFieldCount = 0;
  EXPECT_EQ(testing::CodeOf([&] { list.AddIndexCondition(no_columns); }), 10388);

  EXPECT_EQ(list.AddExpressionCondition(nullptr), 1);
  EXPECT_FALSE(list.Item(1).IsIndexCondition());
  EXPECT_EQ(testing::CodeOf([&] { list.Delete(2); }), 10413);
  EXPECT_EQ(testing::CodeOf([&] { list.Delete(-1); }), 10413);
  list.Delete(0);
  EXPECT_EQ(list.Count(), 1);
}

}  // namespace
}  // namespace dadoveri

namespace dadoveri {
namespace {

// A small key universe: records over fields N, M (integers 1, 2 and NULL) and T (short
// texts of a, b and A, and NULL), and an index over some of
// them. Conditions are built over every key of the universe.
class MergeUniverse {
 public:
  explicit MergeUniverse(std::vector<TABSKeyColumn> columns) {
    testing::AddField(fields_, "N", ctInteger);
    testing::AddField(fields_, "M", ctInteger);
    testing::AddField(fields_, "T", ctString, 4);
    layout_ = fields_.RecordLayout();
    keys_ = std::make_unique<TABSRecordKeyRef>(layout_, columns);
    std::vector<std::vector<Value>> per_part;
    for (const TABSKeyColumn& c : columns) per_part.push_back(c.FieldName == "T" ? texts() : integers());
    // Every combination of the indexed fields' values.
    std::vector<size_t> at(per_part.size(), 0);
    for (;;) {
      std::vector<uint8_t> r(static_cast<size_t>(layout_.MemoryRecordSize()));
      layout_.InitRecord(r.data());
      for (size_t i = 0; i < at.size(); ++i) set(r, columns[i].FieldName, per_part[i][at[i]]);
      records_.push_back(r);
      // The last field varies fastest, so records come in order of their first field.
      size_t i = at.size();
      while (i > 0 && ++at[i - 1] == per_part[i - 1].size()) at[--i] = 0;
      if (i == 0) break;
    }
    // Conditions: every kind, leading field count, key and partial flag.
    for (uint8_t kind = sckEqual; kind <= sckAfterOrEqual; ++kind)
      for (int32_t k = 1; k <= keys_->PartCount(); ++k)
        for (const std::vector<uint8_t>& r : records_)
          for (const bool partial : {false, true}) {
            TABSScanSearchCondition c;
            c.Kind = kind;
            c.IndexID = 1;
            c.KeyFieldCount = k;
            c.Partial = partial;
            c.KeyBuffer = r;
            // Keys that differ only beyond the used fields are the same key: the records
            // come in order of their first field, so the same key was the last one kept.
            bool seen = false;
            for (auto o = conditions_.rbegin(); !seen && o != conditions_.rend() && o->Kind == kind &&
                                                o->KeyFieldCount == k && o->Partial == partial;
                 ++o)
              seen = keys_->CompareRecords(o->KeyBuffer.data(), r.data(), k) == 0;
            if (!seen) conditions_.push_back(c);
          }
  }

  // Whether a record satisfies a condition: its first k key fields against the key, the
  // text of the last one only as long as the key's text when the condition is partial.
  bool Accepts(const std::vector<uint8_t>& record, const TABSScanSearchCondition& c) const {
    std::vector<int32_t> prefixes(static_cast<size_t>(keys_->PartCount()), -1);
    const TABSRecordKeyPart& last = keys_->Part(c.KeyFieldCount - 1);
    if (c.Partial && IsStringBaseType(last.BaseType) && !layout_.IsNull(last.FieldNo, c.KeyBuffer.data()))
      prefixes[static_cast<size_t>(c.KeyFieldCount - 1)] =
          static_cast<int32_t>(std::strlen(reinterpret_cast<const char*>(c.KeyBuffer.data() + last.MemoryOffset)));
    const int order = keys_->CompareRecords(record.data(), c.KeyBuffer.data(), c.KeyFieldCount, prefixes.data());
    switch (c.Kind) {
      case sckEqual: return order == 0;
      case sckBefore: return order < 0;
      case sckAfter: return order > 0;
      case sckBeforeOrEqual: return order <= 0;
      default: return order >= 0;
    }
  }
  std::vector<bool> AcceptedBy(const TABSScanSearchCondition& c) const {
    std::vector<bool> out;
    for (const auto& r : records_) out.push_back(Accepts(r, c));
    return out;
  }

  // A key record with N = n and T = t (NULL when empty).
  std::vector<uint8_t> Key(int32_t n, const char* t) const {
    std::vector<uint8_t> r(static_cast<size_t>(layout_.MemoryRecordSize()));
    layout_.InitRecord(r.data());
    set(r, "N", {false, n, ""});
    set(r, "T", {*t == 0, 0, t});
    return r;
  }
  const std::vector<TABSScanSearchCondition>& Conditions() const { return conditions_; }
  TABSScanKeyCompare Compare() const {
    return [this](const TABSScanSearchCondition& a, const TABSScanSearchCondition& b, int32_t n) {
      return CompareScanConditionKeys(*keys_, a, b, n);
    };
  }

 private:
  struct Value {
    bool null = false;
    int32_t n = 0;
    std::string t;
  };
  static std::vector<Value> integers() { return {{true, 0, ""}, {false, 1, ""}, {false, 2, ""}}; }
  // Texts where prefixes and case interleave in the collation ("aB" between "aa" and "ab"
  // at the primary level, "A" after "a").
  static std::vector<Value> texts() {
    std::vector<Value> out{{true, 0, ""}};
    for (const char* t : {"a", "A", "b", "aa", "ab", "aB", "Ab", "ba"}) out.push_back({false, 0, t});
    return out;
  }
  void set(std::vector<uint8_t>& r, const std::string& field, const Value& v) const {
    const int32_t no = field == "N" ? 0 : field == "M" ? 1 : 2;
    if (v.null) return;
    layout_.ClearNull(no, r.data());
    uint8_t* p = r.data() + layout_.Field(no).MemoryOffset;
    if (field == "T")
      std::memcpy(p, v.t.data(), v.t.size());
    else
      std::memcpy(p, &v.n, 4);
  }

  TABSFieldDefs fields_;
  TABSRecordLayout layout_;
  std::unique_ptr<TABSRecordKeyRef> keys_;
  std::vector<std::vector<uint8_t>> records_;
  std::vector<TABSScanSearchCondition> conditions_;
};

const char* result_name(TABSScanMergeResult r) {
  return r == smrFirst ? "first" : r == smrSecond ? "second" : r == smrBoth ? "both" : "none";
}

// For every pair of conditions: the survivors accept exactly what both conditions accept,
// none meaning that nothing does.
TEST(MergeScanSearchConditions, SurvivorsAcceptExactlyWhatBothAccept) {
  struct Case {
    const char* name;
    std::vector<TABSKeyColumn> columns;
  };
  const std::vector<Case> cases = {
      {"one integer", {{"N"}}},
      {"two integers", {{"N"}, {"M"}}},
      {"integer and descending integer", {{"N"}, {"M", true}}},
      {"text", {{"T"}}},
      {"descending text", {{"T", true}}},
      {"text without case", {{"T", false, true}}},
      {"integer and text", {{"N"}, {"T"}}},
      {"text and integer", {{"T"}, {"N"}}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const MergeUniverse u(test.columns);
    const TABSScanKeyCompare compare = u.Compare();
    int failures = 0;
    int merged = 0;
    const std::vector<TABSScanSearchCondition>& conditions = u.Conditions();
    std::vector<std::vector<bool>> accepted;
    for (const TABSScanSearchCondition& c : conditions) accepted.push_back(u.AcceptedBy(c));
    // A survivor that was changed is checked on its own.
    auto accepted_by = [&](const TABSScanSearchCondition& survivor, size_t original) {
      return survivor.Kind == conditions[original].Kind ? accepted[original] : u.AcceptedBy(survivor);
    };
    for (size_t ia = 0; ia < conditions.size(); ++ia)
      for (size_t ib = 0; ib < conditions.size(); ++ib) {
        const TABSScanSearchCondition& a = conditions[ia];
        const TABSScanSearchCondition& b = conditions[ib];
        std::vector<bool> both = accepted[ia];
        for (size_t i = 0; i < both.size(); ++i) both[i] = both[i] && accepted[ib][i];
        TABSScanSearchCondition first = a, second = b;
        const TABSScanMergeResult r = MergeScanSearchConditions(first, second, compare);
        std::vector<bool> survivors;
        switch (r) {
          case smrNone: survivors.assign(both.size(), false); break;
          case smrFirst: survivors = accepted_by(first, ia); break;
          case smrSecond: survivors = accepted_by(second, ib); break;
          case smrBoth: {
            // Both stay as they were.
            EXPECT_EQ(first.Kind, a.Kind);
            EXPECT_EQ(second.Kind, b.Kind);
            survivors = both;
            break;
          }
        }
        if (r != smrBoth) ++merged;
        if (survivors != both && ++failures <= 5)
          ADD_FAILURE() << "kinds " << int(a.Kind) << "/" << int(b.Kind) << ", fields " << a.KeyFieldCount << "/"
                        << b.KeyFieldCount << ", partial " << a.Partial << "/" << b.Partial << ": "
                        << result_name(r);
      }
    EXPECT_EQ(failures, 0);
    EXPECT_GT(merged, 0);  // the universe does reach the merging cells
  }
}

// The examples of the merge rules: x >= 5 with x <= 5 is x = 5; x > 5 with x < 3 is
// none; prefixes are no points: "ab*" with "abc*" and "ab*" with "abc" both stay.
TEST(MergeScanSearchConditions, NamedCases) {
  const MergeUniverse u({{"N"}, {"T"}});
  auto make = [&](uint8_t kind, int32_t k, int32_t n, const char* t, bool partial = false) {
    TABSScanSearchCondition c;
    c.Kind = kind;
    c.IndexID = 1;
    c.KeyFieldCount = k;
    c.Partial = partial;
    c.KeyBuffer = u.Key(n, t);
    return c;
  };
  struct Case {
    TABSScanSearchCondition first, second;
    TABSScanMergeResult result;
    uint8_t survivor_kind;
  };
  const std::vector<Case> cases = {
      {make(sckAfterOrEqual, 1, 5, ""), make(sckBeforeOrEqual, 1, 5, ""), smrFirst, sckEqual},
      {make(sckBeforeOrEqual, 1, 5, ""), make(sckAfterOrEqual, 1, 5, ""), smrFirst, sckEqual},
      {make(sckAfter, 1, 5, ""), make(sckBefore, 1, 3, ""), smrNone, 0},
      {make(sckEqual, 2, 5, "ab", true), make(sckEqual, 2, 5, "abc", true), smrBoth, 0},
      {make(sckEqual, 2, 5, "ab", true), make(sckEqual, 2, 5, "abc"), smrBoth, 0},
      {make(sckEqual, 2, 5, "ab", true), make(sckEqual, 2, 5, "ab", true), smrFirst, sckEqual},
      {make(sckEqual, 1, 5, ""), make(sckEqual, 2, 5, "ab", true), smrSecond, sckEqual},
      {make(sckEqual, 1, 5, ""), make(sckBefore, 2, 5, "ab"), smrBoth, 0},  // equality shorter
  };
  for (const Case& c : cases) {
    TABSScanSearchCondition first = c.first, second = c.second;
    const TABSScanMergeResult r = MergeScanSearchConditions(first, second, u.Compare());
    EXPECT_EQ(result_name(r), std::string(result_name(c.result)));
    if (r == smrFirst) {
      EXPECT_EQ(first.Kind, c.survivor_kind);
    } else if (r == smrSecond) {
      EXPECT_EQ(second.Kind, c.survivor_kind);
    }
  }
}

}  // namespace
}  // namespace dadoveri
