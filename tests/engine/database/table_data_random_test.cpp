// A randomized differential test of table data on an in-memory table against a simple
// model: mixed inserts, updates, deletes, empties and index adds and drops on a table with
// an autoincrement field, a primary key, a case-insensitive unique string index, a
// descending two-part index, a NOT NULL and a check constraint. A refused step must raise
// the code the model expects and change nothing. The storage-order walk (both ways), every
// index walk and the count are compared with the model every kCompareEvery steps and at
// the end; the count and the record touched after every step.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/database/memory_database_data.h"
#include "engine/table/comparison.h"
#include "engine/table/session.h"
#include "tests/engine/database/memory_table_schema.h"

namespace dadoveri {
namespace {

using testing::Fields;
using testing::Row;
using testing::StandardTable;

constexpr int kSteps = 50000;
constexpr int kCompareEvery = 50;

struct ModelRow {
  int64_t id;
  Row row;
};

std::string lower(const std::string& s) {
  std::string r = s;
  for (char& ch : r) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return r;
}

// NULL sorts below every value; -1, 0, 1.
template <typename T, typename Cmp>
int order(const std::optional<T>& a, const std::optional<T>& b, Cmp cmp) {
  if (!a || !b) return a ? 1 : b ? -1 : 0;
  return cmp(*a, *b);
}
int int_order(const std::optional<int64_t>& a, const std::optional<int64_t>& b) {
  return order(a, b, [](int64_t x, int64_t y) { return x < y ? -1 : x > y ? 1 : 0; });
}
int text_order(const std::optional<std::string>& a, const std::optional<std::string>& b, bool no_case) {
  return order(a, b, [&](const std::string& x, const std::string& y) {
    return CompareAnsiText(x.c_str(), y.c_str(), no_case);
  });
}

class RandomTable {
 public:
  explicit RandomTable(uint32_t seed) : rng_(seed), table_(db_, session_), c_(*table_.cursor), data_(*c_.TableData()) {}

  void Run() {
    for (step_ = 0; step_ < kSteps; ++step_) {
      const uint32_t dice = rng_() % 1000;
      const uint32_t inserts = rows_.size() < 150 ? 500 : rows_.size() < 300 ? 380 : 250;
      if (dice < inserts) Insert();
      else if (dice < 700) Update();
      else if (dice < 985) Delete();
      else if (dice < 999) ToggleIndex();
      else Empty();
      if (::testing::Test::HasFailure()) return;
      ASSERT_EQ(data_.GetRecordCount(0), static_cast<int64_t>(rows_.size())) << "step " << step_;
      if (step_ % kCompareEvery == 0) Compare();
    }
    Compare();
    EXPECT_GT(refused_, kSteps / 20);
  }

 private:
  template <typename T>
  std::optional<T> maybe(T v, uint32_t null_per_hundred) {
    if (rng_() % 100 < null_per_hundred) return std::nullopt;
    return v;
  }
  std::string letters(const char* alphabet, size_t n, size_t max_len) {
    std::string s;
    const size_t len = 1 + rng_() % max_len;
    for (size_t i = 0; i < len; ++i) s += alphabet[rng_() % n];
    return s;
  }
  std::optional<int32_t> random_q() {
    const uint32_t d = rng_() % 100;
    if (d < 3) return std::nullopt;
    if (d < 6) return static_cast<int32_t>(rng_() % 10);
    if (d < 9) return static_cast<int32_t>(1001 + rng_() % 50);
    return static_cast<int32_t>(10 + rng_() % 991);
  }
  Row random_row() {
    Row r;
    r.code = maybe(static_cast<int32_t>(rng_() % 600), 2);
    r.name = maybe(letters("abcABC", 6, 5), 4);
    r.a = maybe(static_cast<int32_t>(rng_() % 6), 10);
    r.b = maybe(letters("abA", 3, 3), 10);
    r.q = random_q();
    return r;
  }

  // The code the constraint check must raise for `row`, written over `self` (none for an
  // insert): the constraints in list order.
  int32_t expected_code(const Row& row, const ModelRow* self) const {
    if (!row.q) return 30026;
    if (*row.q < 10) return 30029;
    if (*row.q > 1000) return 30030;
    if (!row.code) return 30330;
    if (rows_.empty()) return 0;
    auto name_key = [](const std::optional<std::string>& n) { return n ? std::optional<std::string>(lower(*n)) : n; };
    const bool code_changed = !self || self->row.code != row.code;
    const bool name_changed = !self || name_key(self->row.name) != name_key(row.name);
    for (const auto& [slot, other] : rows_)
      if (&other != self && code_changed && other.row.code == row.code) return 30319;
    for (const auto& [slot, other] : rows_)
      if (&other != self && name_changed && name_key(other.row.name) == name_key(row.name)) return 30320;
    return 0;
  }

  void expect_record(const ModelRow& m, const std::string& where) {
    Fields f(c_);
    EXPECT_EQ(f.Int("ID"), m.id) << where;
    EXPECT_EQ(f.Int("Code"), m.row.code) << where;
    EXPECT_EQ(f.Text("Name"), m.row.name) << where;
    EXPECT_EQ(f.Int("A"), m.row.a) << where;
    EXPECT_EQ(f.Text("B"), m.row.b) << where;
    EXPECT_EQ(f.Int("Q"), m.row.q) << where;
  }

  // Positions the cursor on the k-th record in storage order (0-based) and answers its
  // model entry.
  std::map<int32_t, ModelRow>::iterator pick() {
    const size_t k = rng_() % rows_.size();
    auto it = std::next(rows_.begin(), static_cast<std::ptrdiff_t>(k));
    EXPECT_TRUE(data_.SetRecordNoInStorageOrder(&c_, static_cast<int64_t>(k) + 1));
    EXPECT_EQ(c_.Position.PageNo, it->first);
    EXPECT_EQ(c_.ReadCurrent(), grrFound);
    expect_record(it->second, "picked at step " + std::to_string(step_));
    return it;
  }

  void Insert() {
    const Row row = random_row();
    const int32_t want = expected_code(row, nullptr);
    const int64_t id = ++autoinc_;
    StandardTable::Fill(c_, row);
    const int32_t outcome = c_.PostInsert();
    if (want != 0) {
      ASSERT_EQ(outcome, roConstraintFailed) << "step " << step_;
      ASSERT_EQ(c_.LastNativeError, want) << "step " << step_ << " " << c_.LastMessage;
      ++refused_;
      return;
    }
    ASSERT_EQ(outcome, roOK) << "step " << step_ << " " << c_.LastMessage;
    const int32_t slot = rows_.empty() ? 0 : rows_.rbegin()->first + 1;
    ASSERT_EQ(c_.Position.PageNo, slot) << "step " << step_;
    rows_[slot] = ModelRow{id, row};
  }

  void Update() {
    if (rows_.empty()) return;
    auto it = pick();
    ASSERT_EQ(c_.BeginEdit(), roOK);
    Row row = it->second.row;
    const Row fresh = random_row();
    const uint32_t which = rng_() % 32;
    if (which & 1) row.code = fresh.code;
    if (which & 2) row.name = fresh.name;
    if (which & 4) row.a = fresh.a;
    if (which & 8) row.b = fresh.b;
    if (which & 16) row.q = fresh.q;
    const int32_t want = expected_code(row, &it->second);
    Fields f(c_);
    f.SetInt("Code", row.code);
    f.SetText("Name", row.name);
    f.SetInt("A", row.a);
    f.SetText("B", row.b);
    f.SetInt("Q", row.q);
    const int32_t outcome = c_.PostEdit();
    if (want != 0) {
      ASSERT_EQ(outcome, roConstraintFailed) << "step " << step_;
      ASSERT_EQ(c_.LastNativeError, want) << "step " << step_ << " " << c_.LastMessage;
      ++refused_;
    } else {
      ASSERT_EQ(outcome, roOK) << "step " << step_ << " " << c_.LastMessage;
      it->second.row = row;
    }
    ASSERT_EQ(c_.ReadCurrent(), grrFound);
    expect_record(it->second, "updated at step " + std::to_string(step_));
  }

  void Delete() {
    if (rows_.empty()) return;
    auto it = pick();
    ASSERT_EQ(c_.DeleteCurrent(), roOK) << "step " << step_;
    const auto next = rows_.erase(it);
    if (next != rows_.end()) {
      ASSERT_EQ(c_.Position.PageNo, next->first);
    } else if (!rows_.empty()) {
      ASSERT_EQ(c_.Position.PageNo, rows_.rbegin()->first);
    } else {
      ASSERT_TRUE(c_.AtBegin);
    }
  }

  void Empty() {
    data_.EmptyTable(&c_);
    rows_.clear();
    autoinc_ = 0;
  }

  void ToggleIndex() {
    TABSIndexDefs& defs = data_.IndexManager().IndexDefs;
    const bool unique = rng_() % 2 == 0;
    const char* name = unique ? "UID" : "IQ";
    if (const TABSIndexDef* existing = defs.Find(name)) {
      data_.DropIndex(&c_, existing->ObjectID);
      return;
    }
    TABSIndexDef definition;
    definition.Name = name;
    definition.Unique = unique;
    definition.Columns = {unique ? TABSIndexColumn{"ID"} : TABSIndexColumn{"Q", true}};
    data_.AddIndex(&c_, definition);
  }

  std::vector<ModelRow> walk(const std::string& index, bool backwards) {
    c_.SetIndexName(index);
    std::vector<ModelRow> result;
    Fields f(c_);
    if (backwards) c_.GoToEnd();
    else c_.GoToBegin();
    while (c_.Step(backwards ? grmPrior : grmNext) == grrFound) {
      ModelRow m{*f.Int("ID"), Row{}};
      auto opt32 = [](std::optional<int64_t> v) {
        return v ? std::optional<int32_t>(static_cast<int32_t>(*v)) : std::nullopt;
      };
      m.row = Row{opt32(f.Int("Code")), f.Text("Name"), opt32(f.Int("A")), f.Text("B"), opt32(f.Int("Q"))};
      result.push_back(m);
    }
    if (backwards) std::reverse(result.begin(), result.end());
    c_.SetIndexName("");
    return result;
  }

  static std::vector<int64_t> ids(const std::vector<ModelRow>& rows) {
    std::vector<int64_t> r;
    for (const ModelRow& m : rows) r.push_back(m.id);
    return r;
  }

  void Compare() {
    const std::string where = "compare at step " + std::to_string(step_);
    std::vector<ModelRow> model;
    for (const auto& [slot, m] : rows_) model.push_back(m);
    for (bool backwards : {false, true}) {
      const std::vector<ModelRow> stored = walk("", backwards);
      ASSERT_EQ(ids(stored), ids(model)) << where << (backwards ? " backwards" : "");
      for (size_t i = 0; i < stored.size(); ++i) {
        EXPECT_EQ(stored[i].row.code, model[i].row.code) << where;
        EXPECT_EQ(stored[i].row.name, model[i].row.name) << where;
        EXPECT_EQ(stored[i].row.a, model[i].row.a) << where;
        EXPECT_EQ(stored[i].row.b, model[i].row.b) << where;
        EXPECT_EQ(stored[i].row.q, model[i].row.q) << where;
      }
    }
    std::vector<int64_t> want = ids(model);
    std::sort(want.begin(), want.end());
    auto as64 = [](const std::optional<int32_t>& v) { return v ? std::optional<int64_t>(*v) : std::nullopt; };
    // Each index: the same records, in the index's order (equal keys in any order).
    struct IndexOrder {
      const char* name;
      std::function<int(const Row&, const Row&, int64_t, int64_t)> compare;  // <= 0 when in order
    };
    const IndexOrder orders[] = {
        {"PK", [&](const Row& x, const Row& y, int64_t, int64_t) { return int_order(as64(x.code), as64(y.code)); }},
        {"UName", [&](const Row& x, const Row& y, int64_t, int64_t) { return text_order(x.name, y.name, true); }},
        {"AB",
         [&](const Row& x, const Row& y, int64_t, int64_t) {
           const int a = -int_order(as64(x.a), as64(y.a));
           return a != 0 ? a : text_order(x.b, y.b, false);
         }},
        {"IQ", [&](const Row& x, const Row& y, int64_t, int64_t) { return -int_order(as64(x.q), as64(y.q)); }},
        {"UID", [&](const Row&, const Row&, int64_t x, int64_t y) { return int_order(x, y); }},
    };
    for (const IndexOrder& o : orders) {
      if (!data_.IndexManager().IndexDefs.Find(o.name)) continue;
      const std::vector<ModelRow> walked = walk(o.name, step_ % 2 == 1);
      std::vector<int64_t> got = ids(walked);
      std::sort(got.begin(), got.end());
      ASSERT_EQ(got, want) << where << " " << o.name;
      for (size_t i = 1; i < walked.size(); ++i) {
        ASSERT_LE(o.compare(walked[i - 1].row, walked[i].row, walked[i - 1].id, walked[i].id), 0)
            << where << " " << o.name << " at " << i;
        // Unique keys never repeat.
        if (std::string(o.name) != "AB" && std::string(o.name) != "IQ") {
          ASSERT_LT(o.compare(walked[i - 1].row, walked[i].row, walked[i - 1].id, walked[i].id), 0)
              << where << " " << o.name << " at " << i;
        }
      }
    }
  }

  std::mt19937 rng_;
  TABSMemoryDatabaseData db_;
  TABSBaseSession session_{0};
  StandardTable table_;
  TABSCursor& c_;
  TABSTableData& data_;
  std::map<int32_t, ModelRow> rows_;  // by slot: storage order
  int64_t autoinc_ = 0;
  int step_ = 0;
  int refused_ = 0;
};

TEST(TableDataRandom, AgreesWithTheModel) {
  RandomTable table(20261210);
  table.Run();
}

}  // namespace
}  // namespace dadoveri
