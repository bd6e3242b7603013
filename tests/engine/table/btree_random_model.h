// The randomized differential test of the record index against a sorted model: inserts,
// deletes, key changes, searches of every kind in both directions (whole and partial keys),
// range walks, record numbers and counts, with commits (the tree's invariants checked after
// each) and rollbacks. The records and pages it works over come from an IndexBacking:
// records in a map with pages in a database file, or a real table.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/table/btree_record_index.h"
#include "engine/table/index_def.h"
#include "tests/engine/table/btree_test_support.h"

namespace dadoveri::testing {

inline constexpr int32_t S = kIndexSession;

using RecordMap = std::map<TABSRecordID, std::vector<uint8_t>, RecordIDLess>;

// What the index test runs over.
class IndexBacking {
 public:
  virtual ~IndexBacking() = default;
  virtual TABSPageManager* Pages() = 0;
  virtual TABSIndexRecordSource* Source() = 0;
  virtual TABSRecordID Add(const std::vector<uint8_t>& record) = 0;
  virtual void Put(const TABSRecordID& id, const std::vector<uint8_t>& record) = 0;
  virtual void Remove(const TABSRecordID& id) = 0;
  virtual std::vector<uint8_t> Get(const TABSRecordID& id) = 0;
  // Whether a rollback of the pages may be followed by putting the records back.
  virtual bool CanRollBack() const { return true; }
  virtual void Restore(const RecordMap& records) = 0;
};

// Records in a map, pages in a database file.
class DiskBacking final : public IndexBacking {
 public:
  DiskBacking(const std::string& file, uint16_t page_size, int32_t record_size)
      : records_(record_size), pm_(CreateIndexDatabase(file, page_size, 20000)) {}
  ~DiskBacking() override {
    pm_->RollbackPages(S);
    CloseIndexDatabase(pm_);
  }
  TABSPageManager* Pages() override { return pm_.get(); }
  TABSIndexRecordSource* Source() override { return &records_; }
  TABSRecordID Add(const std::vector<uint8_t>& record) override { return records_.Add(record); }
  void Put(const TABSRecordID& id, const std::vector<uint8_t>& record) override { records_.Put(id, record); }
  void Remove(const TABSRecordID& id) override { records_.Remove(id); }
  std::vector<uint8_t> Get(const TABSRecordID& id) override { return records_.Get(id); }
  void Restore(const RecordMap& records) override { records_.Restore(records); }

 private:
  MemoryRecords records_;
  std::unique_ptr<TABSDiskPageManager> pm_;
};

using MakeBacking = std::function<std::unique_ptr<IndexBacking>(const TABSFieldDefs& fields, uint16_t page_size)>;

enum class Keys { Integer, Ansi, Wide, MultiPart };

struct Config {
  Keys keys;
  uint16_t page_size;  // 0: the smallest the key allows
  int operations;
};

// Printed in test names, so CTest's names stay the same from run to run.
void PrintTo(const Config& config, std::ostream* out) {
  *out << static_cast<int>(config.keys) << "/" << config.page_size << "/" << config.operations;
}

class RandomIndex {
 public:
  // `make_backing`: the records and pages the index works over; null for records in a map
  // and pages in a database file.
  RandomIndex(const Config& config, uint32_t seed, const MakeBacking& make_backing = nullptr)
      : config_(config), rng_(seed) {
    AddField(fields_, "N", ctInteger);
    AddField(fields_, "T", ctString, 40);
    AddField(fields_, "W", ctWideString, 24);
    AddField(fields_, "C", ctString, 8);
    layout_ = fields_.RecordLayout();
    switch (config.keys) {
      case Keys::Integer: def_.Columns = {{"N"}}; break;
      case Keys::Ansi: def_.Columns = {{"T"}}; break;
      case Keys::Wide: def_.Columns = {{"W", true}}; break;
      case Keys::MultiPart: def_.Columns = {{"C", false, true}, {"N", true}, {"T"}}; break;
    }
    def_.ObjectID = 3;
    // The smallest page the key allows: a node holds three entries, a leaf two.
    TABSRecordKeyRef probe(layout_, columns());
    const int key = probe.PageKeySize();
    page_size_ = config.page_size
                     ? config.page_size
                     : static_cast<uint16_t>(40 + kIndexPageHeaderSize + std::max(3 * (key + 4), 2 * (key + 6)));
    backing_ = make_backing ? make_backing(fields_, page_size_)
                            : std::make_unique<DiskBacking>(folder_.File("r.db"), page_size_, layout_.MemoryRecordSize());
    index_ = std::make_unique<TABSBTreeRecordIndex>(backing_->Pages(), &fields_, backing_->Source());
    index_->Create(S, false, def_);
  }
  ~RandomIndex() {
    index_.reset();
    backing_.reset();
  }

  void Run() {
    committed_model_ = model_;
    for (int op = 0; op < config_.operations; ++op) {
      const uint32_t dice = rng_() % 100;
      // The table grows to some hundreds of records and then stays about that size.
      const uint32_t inserts = model_.size() < 20 ? 100 : model_.size() < 700 ? 40 : 28;
      if (dice < inserts) Insert();
      else if (dice < 58) Delete();
      else if (dice < 64) Change();
      else if (dice < 82) SearchOnce();
      else if (dice < 92) WalkRange();
      else if (dice < 96) Positions();
      else if (dice < 99) Commit();
      else Rollback();
      if (::testing::Test::HasFatalFailure()) return;
    }
    Commit();
    EXPECT_EQ(index_->Count(S), static_cast<int64_t>(model_.size()));
  }

  int Depth() { return index_->Tree().Depth(S); }

 private:
  struct Entry {
    std::vector<uint8_t> record;
    TABSRecordID id;
  };

  std::vector<TABSKeyColumn> columns() const {
    std::vector<TABSKeyColumn> result;
    for (const TABSIndexColumn& c : def_.Columns)
      result.push_back({c.FieldName, c.Descending, c.CaseInsensitive, c.MaxIndexedSize});
    return result;
  }

  // Values with many duplicates and long shared beginnings.
  std::string text(size_t max) {
    static const char* const stems[] = {"", "a", "ab", "commonprefixcommonpre", "commonprefixcommonprefix",
                                        "commonprefixcommonprefixtail", "zz"};
    std::string s = stems[rng_() % 7];
    const size_t extra = rng_() % 4;
    for (size_t i = 0; i < extra; ++i) s += static_cast<char>('a' + rng_() % 3);
    if (s.size() > max) s.resize(max);
    return s;
  }
  void set_null(std::vector<uint8_t>& r, int f) { layout_.SetNull(f, r.data()); }
  void set_int(std::vector<uint8_t>& r, int32_t v) {
    layout_.ClearNull(0, r.data());
    std::memcpy(r.data() + layout_.Field(0).MemoryOffset, &v, 4);
  }
  void set_text(std::vector<uint8_t>& r, int f, const std::string& s) {
    const TABSFieldLayout& field = layout_.Field(f);
    std::memset(r.data() + field.MemoryOffset, 0, static_cast<size_t>(field.MemoryDataSize));
    if (s.empty()) {
      layout_.SetNull(f, r.data());
      return;
    }
    layout_.ClearNull(f, r.data());
    if (IsWideStringBaseType(field.BaseType)) {
      for (size_t i = 0; i < s.size(); ++i) {
        const char16_t c = static_cast<char16_t>(s[i] == 'a' ? u'\u0627' : s[i]);  // some Persian letters
        std::memcpy(r.data() + field.MemoryOffset + 2 * i, &c, 2);
      }
    } else {
      std::memcpy(r.data() + field.MemoryOffset, s.data(), s.size());
    }
  }
  std::string mixed_case(std::string s) {
    for (char& c : s)
      if (rng_() % 2) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  }

  std::vector<uint8_t> random_record() {
    std::vector<uint8_t> r(static_cast<size_t>(layout_.MemoryRecordSize()));
    layout_.InitRecord(r.data());
    if (rng_() % 12 == 0) set_null(r, 0);
    else set_int(r, static_cast<int32_t>(rng_() % 60) - 20);
    set_text(r, 1, rng_() % 15 == 0 ? "" : text(40));
    set_text(r, 2, rng_() % 15 == 0 ? "" : text(24));
    set_text(r, 3, rng_() % 10 == 0 ? "" : mixed_case(text(8).substr(0, 4)));
    return r;
  }

  std::string describe(const std::vector<uint8_t>& r) {
    std::string d;
    for (int f = 0; f < 4; ++f) {
      if (layout_.IsNull(f, r.data())) {
        d += "NULL|";
        continue;
      }
      const TABSFieldLayout& field = layout_.Field(f);
      if (f == 0) {
        int32_t v;
        std::memcpy(&v, r.data() + field.MemoryOffset, 4);
        d += std::to_string(v) + "|";
      } else if (f == 2) {
        d += "<wide>|";
      } else {
        d += std::string(reinterpret_cast<const char*>(r.data() + field.MemoryOffset)) + "|";
      }
    }
    return d;
  }

  // Model order: the full key, then the record identifier.
  int compare(const Entry& a, const Entry& b) {
    const int c = index_->CompareRecords(a.record.data(), b.record.data(), -1);
    return c != 0 ? c : CompareRecordIDs(a.id, b.id);
  }
  size_t lower(const Entry& e) {
    return static_cast<size_t>(std::partition_point(model_.begin(), model_.end(),
                                                    [&](const Entry& x) { return compare(x, e) < 0; }) -
                               model_.begin());
  }

  void Insert() {
    Entry e{random_record(), {}};
    e.id = backing_->Add(e.record);
    index_->Insert(S, e.record.data(), e.id);
    model_.insert(model_.begin() + static_cast<ptrdiff_t>(lower(e)), e);
  }
  void Delete() {
    if (model_.empty()) return;
    const size_t i = rng_() % model_.size();
    const Entry e = model_[i];
    index_->Delete(S, e.record.data(), e.id);
    backing_->Remove(e.id);
    model_.erase(model_.begin() + static_cast<ptrdiff_t>(i));
  }
  void Change() {
    if (model_.empty()) return;
    const size_t i = rng_() % model_.size();
    Entry e = model_[i];
    const std::vector<uint8_t> old = e.record;
    e.record = random_record();
    index_->Update(S, old.data(), e.record.data(), e.id, false);
    backing_->Put(e.id, e.record);
    index_->Update(S, old.data(), e.record.data(), e.id, true);
    model_.erase(model_.begin() + static_cast<ptrdiff_t>(i));
    model_.insert(model_.begin() + static_cast<ptrdiff_t>(lower(e)), e);
  }

  void SearchOnce() {
    TABSIndexKeyCondition c;
    std::vector<uint8_t> key = !model_.empty() && rng_() % 3 ? model_[rng_() % model_.size()].record : random_record();
    c.KeyRecord = key.data();
    c.Kind = static_cast<int32_t>(rng_() % 6);
    c.KeyFieldCount = 1 + static_cast<int32_t>(rng_() % def_.Columns.size());
    std::vector<int32_t> prefixes(def_.Columns.size(), -1);
    // Partial keys: shorten the text of the last part used, which then matches as a prefix.
    if (rng_() % 3 == 0) {
      c.Partial = true;
      TABSRecordKeyRef& ref = index_->KeyRef();
      for (int32_t p = c.KeyFieldCount - 1; p < c.KeyFieldCount; ++p) {
        const TABSRecordKeyPart& part = ref.Part(p);
        if (!IsStringBaseType(part.BaseType) || layout_.IsNull(part.FieldNo, key.data())) continue;
        uint8_t* v = key.data() + part.MemoryOffset;
        const int unit = IsWideStringBaseType(part.BaseType) ? 2 : 1;
        int32_t n = 0;
        while (n * unit < part.MemoryDataSize - unit && (v[n * unit] | (unit == 2 ? v[n * unit + 1] : 0)) != 0) ++n;
        const int32_t keep = n == 0 ? 0 : 1 + static_cast<int32_t>(rng_() % static_cast<uint32_t>(n));
        std::memset(v + keep * unit, 0, static_cast<size_t>(part.MemoryDataSize - keep * unit));
        if (keep == 0) layout_.SetNull(part.FieldNo, key.data());
        prefixes[static_cast<size_t>(p)] = keep;
      }
    }
    const bool forward = rng_() % 2;
    TABSRecordID found;
    const bool ok = index_->Search(S, forward, &c, found);
    // The model: entries qualifying for the kind, the first (forward) or last (backward).
    auto qualifies = [&](const Entry& e) {
      const int r = index_->KeyRef().CompareRecords(e.record.data(), key.data(), c.KeyFieldCount,
                                                    c.Partial ? prefixes.data() : nullptr);
      switch (c.Kind) {
        case ickEqual: return r == 0;
        case ickLess: return r < 0;
        case ickGreater: return r > 0;
        case ickLessOrEqual: return r <= 0;
        case ickGreaterOrEqual: return r >= 0;
        default: return true;
      }
    };
    const Entry* expected = nullptr;
    if (forward) {
      for (const Entry& e : model_)
        if (qualifies(e)) {
          expected = &e;
          break;
        }
    } else {
      for (auto it = model_.rbegin(); it != model_.rend(); ++it)
        if (qualifies(*it)) {
          expected = &*it;
          break;
        }
    }
    ASSERT_EQ(ok, expected != nullptr) << "kind " << c.Kind << " forward " << forward;
    if (ok) {
      ASSERT_EQ(found, expected->id) << "kind " << c.Kind << " forward " << forward << " parts " << c.KeyFieldCount
                                     << " partial " << c.Partial << " key " << describe(key) << " found "
                                     << describe(backing_->Get(found)) << " expected " << describe(expected->record);
    }
  }

  void WalkRange() {
    if (model_.empty()) return;
    size_t i = rng_() % model_.size();
    const bool forward = rng_() % 2;
    // Through the get-record steps, with the position cache kept or forgotten.
    std::vector<uint8_t> buffer(static_cast<size_t>(layout_.MemoryRecordSize()));
    TABSIndexPositionCache cache;
    TABSIndexGetRecordRequest r;
    r.Mode = forward ? grmNext : grmPrior;
    r.RecordID = model_[i].id;
    r.RecordBuffer = buffer.data();
    r.PositionCache = &cache;
    for (int step = 0; step < 40; ++step) {
      if (rng_() % 4 == 0) cache.Valid = false;
      index_->GetRecord(S, r);
      if (forward ? i + 1 == model_.size() : i == 0) {
        ASSERT_EQ(r.Result, forward ? grrEndReached : grrBeginReached);
        return;
      }
      i = forward ? i + 1 : i - 1;
      ASSERT_EQ(r.Result, grrFound);
      ASSERT_EQ(r.RecordID, model_[i].id);
      ASSERT_EQ(buffer, model_[i].record);
    }
  }

  void Positions() {
    if (model_.empty()) {
      EXPECT_EQ(index_->Count(S), 0);
      return;
    }
    const size_t i = rng_() % model_.size();
    ASSERT_EQ(index_->RecordNumberOf(S, model_[i].id, model_[i].record.data()), static_cast<int64_t>(i + 1));
    ASSERT_EQ(index_->RecordAtNumber(S, static_cast<int64_t>(i + 1)), model_[i].id);
    ASSERT_EQ(index_->Count(S), static_cast<int64_t>(model_.size()));
  }

  void Commit() {
    backing_->Pages()->CommitPages(S);
    ASSERT_EQ(index_->CheckIntegrity(S), static_cast<int64_t>(model_.size()));
    committed_model_ = model_;
  }
  void Rollback() {
    // Records that are not pages are not undone: such a store commits every change.
    if (!backing_->CanRollBack()) {
      Commit();
      return;
    }
    backing_->Pages()->RollbackPages(S);
    model_ = committed_model_;
    // The table's records are those of the model.
    RecordMap records;
    for (const Entry& e : model_) records[e.id] = e.record;
    backing_->Restore(records);
    ASSERT_EQ(index_->CheckIntegrity(S), static_cast<int64_t>(model_.size()));
  }

  Config config_;
  std::mt19937 rng_;
  TempFolder folder_;
  TABSFieldDefs fields_;
  TABSRecordLayout layout_;
  TABSIndexDef def_;
  uint16_t page_size_ = 0;
  std::unique_ptr<IndexBacking> backing_;
  std::unique_ptr<TABSBTreeRecordIndex> index_;
  std::vector<Entry> model_;
  std::vector<Entry> committed_model_;
};

}  // namespace dadoveri::testing
