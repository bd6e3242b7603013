// B-tree indexes over a database file: page layout, ordering of keys (duplicates, cut text
// keys, NULLs, descending parts), splits and merges, record numbers, messages, rollback and
// reopening, and the page-number indexes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/base/little_endian.h"
#include "engine/table/btree.h"
#include "engine/table/btree_page_index.h"
#include "engine/table/btree_record_index.h"
#include "engine/table/index_def.h"
#include "tests/engine/table/btree_test_support.h"

namespace dadoveri {
namespace {

using testing::CodeOf;
using testing::kIndexSession;
using testing::MemoryRecords;
using testing::TempFolder;

constexpr int32_t S = kIndexSession;

// A table of one integer field "N" and one text field "T" (40 characters) with records in
// memory and one index over the given columns.
class IndexFixture : public ::testing::Test {
 protected:
  void Open(uint16_t page_size, std::vector<TABSIndexColumn> columns, bool unique = false) {
    pm = testing::CreateIndexDatabase(folder.File("t.db"), page_size);
    testing::AddField(fields, "N", ctInteger);
    testing::AddField(fields, "T", ctString, 40);
    testing::AddField(fields, "W", ctWideString, 30);
    layout = fields.RecordLayout();
    records = std::make_unique<MemoryRecords>(layout.MemoryRecordSize());
    def.Name = "IX";
    def.ObjectID = 7;
    def.Columns = std::move(columns);
    def.Unique = unique;
    index = std::make_unique<TABSBTreeRecordIndex>(pm.get(), &fields, records.get());
    index->Create(S, false, def);
  }
  void TearDown() override {
    index.reset();
    if (pm) {
      pm->RollbackPages(S);
      testing::CloseIndexDatabase(pm);
    }
  }

  std::vector<uint8_t> Make(const int32_t* n, const char* t, const char16_t* w = nullptr) {
    std::vector<uint8_t> r(static_cast<size_t>(layout.MemoryRecordSize()));
    layout.InitRecord(r.data());
    if (n) {
      layout.ClearNull(0, r.data());
      std::memcpy(r.data() + layout.Field(0).MemoryOffset, n, 4);
    }
    if (t && *t) {
      layout.ClearNull(1, r.data());
      std::memcpy(r.data() + layout.Field(1).MemoryOffset, t, std::strlen(t));
    }
    if (w && *w) {
      layout.ClearNull(2, r.data());
      std::u16string s(w);
      std::memcpy(r.data() + layout.Field(2).MemoryOffset, s.data(), s.size() * 2);
    }
    return r;
  }
  std::vector<uint8_t> Int(int32_t n) { return Make(&n, nullptr); }
  std::vector<uint8_t> Text(const std::string& t) { return Make(nullptr, t.c_str()); }

  TABSRecordID Insert(const std::vector<uint8_t>& r) {
    const TABSRecordID id = records->Add(r);
    index->Insert(S, r.data(), id);
    return id;
  }
  // Record identifiers in index order, walked forward.
  std::vector<TABSRecordID> Walk() {
    std::vector<TABSRecordID> ids;
    TABSKeyPath path;
    if (!index->First(S, path)) return ids;
    do ids.push_back(index->RecordIDAt(S, path));
    while (index->Next(S, path));
    return ids;
  }
  TABSBTreePage Root() {
    return TABSBTreePage(pm->GetPage(S, index->RootPageNo()), kRecordIDSize);
  }

  TempFolder folder;
  std::unique_ptr<TABSDiskPageManager> pm;
  TABSFieldDefs fields;
  TABSRecordLayout layout;
  std::unique_ptr<MemoryRecords> records;
  TABSIndexDef def;
  std::unique_ptr<TABSBTreeRecordIndex> index;
};

TEST_F(IndexFixture, EqualKeysKeepRecordIdentifierOrderAndDeleteOneByOne) {
  Open(4096, {{"N"}});
  std::vector<TABSRecordID> ids;
  for (int i = 0; i < 10; ++i) ids.push_back(records->Add(Int(5)));
  // Inserted out of order, kept in identifier order.
  for (int i : {3, 7, 0, 9, 1, 5, 2, 8, 4, 6}) index->Insert(S, Int(5).data(), ids[static_cast<size_t>(i)]);
  EXPECT_EQ(Walk(), ids);
  for (int i : {4, 0, 9, 5, 1, 8, 2, 7, 3, 6}) {
    index->Delete(S, Int(5).data(), ids[static_cast<size_t>(i)]);
    EXPECT_EQ(CodeOf([&] { index->Delete(S, Int(5).data(), ids[static_cast<size_t>(i)]); }), 20027);
  }
  EXPECT_TRUE(Walk().empty());
  EXPECT_EQ(index->CheckIntegrity(S), 0);
}

TEST_F(IndexFixture, CutTextKeysAreOrderedFromTheRecords) {
  Open(4096, {{"T"}});
  const std::string common = "abcdefghijklmnopqrst";  // 20 bytes: all the entry keeps
  const TABSRecordID z = Insert(Text(common + "zz"));
  const TABSRecordID a = Insert(Text(common + "aa"));
  const TABSRecordID m = Insert(Text(common + "m"));
  const TABSRecordID plain = Insert(Text(common));
  EXPECT_EQ(Walk(), (std::vector<TABSRecordID>{plain, a, m, z}));
  EXPECT_EQ(index->Tree().KeySize(), 23);  // flag + 20 bytes + 2 zero bytes
  // An exact search for a long value finds that value, not another with the same prefix.
  TABSRecordID found;
  const auto key = Text(common + "m");
  TABSIndexKeyCondition equal{ickEqual, key.data(), 1, false};
  ASSERT_TRUE(index->Search(S, true, &equal, found));
  EXPECT_EQ(found, m);
  const auto missing = Text(common + "b");
  equal.KeyRecord = missing.data();
  EXPECT_FALSE(index->Search(S, true, &equal, found));
  // Deleting needs the record to tell the entries apart.
  index->Delete(S, Text(common + "aa").data(), a);
  EXPECT_EQ(Walk(), (std::vector<TABSRecordID>{plain, m, z}));
  // A record that cannot be read while a tie needs it.
  records->Remove(z);
  EXPECT_EQ(CodeOf([&] { index->Insert(S, Text(common + "zz").data(), records->Add(Text(common + "zz"))); }), 20170);
}

TEST_F(IndexFixture, PrefixSearchFindsLongerValuesAsEqual) {
  Open(4096, {{"T"}});
  Insert(Text("abb"));
  const TABSRecordID abcdef = Insert(Text("abcdef"));
  const TABSRecordID abcx = Insert(Text("abcx"));
  Insert(Text("abd"));
  const auto key = Text("abc");
  TABSIndexKeyCondition c{ickEqual, key.data(), 1, true};
  TABSRecordID found;
  ASSERT_TRUE(index->Search(S, true, &c, found));
  EXPECT_EQ(found, abcdef);
  ASSERT_TRUE(index->Search(S, false, &c, found));
  EXPECT_EQ(found, abcx);
  c.Partial = false;
  EXPECT_FALSE(index->Search(S, true, &c, found));
}

TEST_F(IndexFixture, FullRootLeafSplitsIntoARootNodeOfTwoEntries) {
  Open(256, {{"N"}});
  const int32_t root = index->RootPageNo();
  const int32_t capacity = (pm->DataSize() - kIndexPageHeaderSize) / (5 + kRecordIDSize);
  for (int i = 0; i < capacity; ++i) Insert(Int(i));
  {
    TABSBTreePage page = Root();
    EXPECT_TRUE(page.IsRoot());
    EXPECT_TRUE(page.IsLeaf());
    EXPECT_EQ(page.EntryCount(), capacity);
    EXPECT_EQ(page.Data()[10], 1);
  }
  Insert(Int(capacity));
  EXPECT_EQ(index->RootPageNo(), root);
  {
    TABSBTreePage page = Root();
    EXPECT_FALSE(page.IsLeaf());
    EXPECT_EQ(page.EntryCount(), 2);
    EXPECT_EQ(page.KeySize(), 5);
    for (int b = 0; b < 5; ++b) EXPECT_EQ(page.Entry(0)[b], 0);
    EXPECT_EQ(page.Data()[10], 0);
  }
  // Deleting all but one entry merges the leaves and the root becomes a leaf again.
  for (int i = 1; i <= capacity; ++i) index->Delete(S, Int(i).data(), TABSRecordID{1 + i / 40, static_cast<uint16_t>(i % 40)});
  TABSBTreePage page = Root();
  EXPECT_TRUE(page.IsLeaf());
  EXPECT_TRUE(page.IsRoot());
  EXPECT_EQ(page.EntryCount(), 1);
  EXPECT_EQ(index->Tree().Depth(S), 1);
}

TEST_F(IndexFixture, NullsSortFirstAscendingAndLastDescending) {
  for (bool descending : {false, true}) {
    Open(4096, {{"N", descending}});
    const TABSRecordID two = Insert(Int(2));
    const TABSRecordID null = Insert(Make(nullptr, nullptr));
    const TABSRecordID one = Insert(Int(1));
    EXPECT_EQ(Walk(), descending ? (std::vector<TABSRecordID>{two, one, null}) : (std::vector<TABSRecordID>{null, one, two}));
    TearDown();
    fields.Clear();
  }
}

TEST_F(IndexFixture, RecordNumbersAndTheirLimits) {
  Open(128, {{"N"}});
  EXPECT_EQ(CodeOf([&] { index->RecordAtNumber(S, 1); }), 20074);
  std::vector<TABSRecordID> ids;
  for (int i = 0; i < 60; ++i) ids.push_back(Insert(Int(59 - i)));
  std::reverse(ids.begin(), ids.end());
  EXPECT_EQ(index->RecordAtNumber(S, 1), ids[0]);
  for (int i = 0; i < 60; i += 7) {
    EXPECT_EQ(index->RecordAtNumber(S, i + 1), ids[static_cast<size_t>(i)]);
    EXPECT_EQ(index->RecordNumberOf(S, ids[static_cast<size_t>(i)], Int(i).data()), i + 1);
  }
  EXPECT_EQ(CodeOf([&] { index->RecordAtNumber(S, 61); }), 20075);
  EXPECT_EQ(CodeOf([&] { index->RecordNumberOf(S, TABSRecordID{99, 0}, Int(3).data()); }), 10386);
  // Ordinals and paths turn into each other; positions grow along the index.
  TABSKeyPath path, back;
  ASSERT_TRUE(index->First(S, path));
  double last = -1;
  int64_t last_ordinal = 0;
  do {
    ASSERT_TRUE(index->PathOfOrdinal(S, index->IndexOrdinal(path), back));
    EXPECT_EQ(index->CompareKeyPaths(path, back), 0);
    EXPECT_GT(index->IndexOrdinal(path), last_ordinal);
    EXPECT_GT(index->ApproximatePosition(path), last);
    last = index->ApproximatePosition(path);
    last_ordinal = index->IndexOrdinal(path);
  } while (index->Next(S, path));
  EXPECT_LT(last, 1.0);
  const auto lo = Int(10), hi = Int(39);
  const int64_t n = index->ApproximateCountBetween(S, TABSIndexKeyCondition{ickLessOrEqual, hi.data(), 1, false},
                                                    TABSIndexKeyCondition{ickGreaterOrEqual, lo.data(), 1, false}, 60);
  EXPECT_NEAR(static_cast<double>(n), 29.0, 8.0);
  // Either bound without a qualifying entry: no entries between.
  const auto beyond = Int(1000);
  EXPECT_EQ(index->ApproximateCountBetween(S, TABSIndexKeyCondition{ickGreaterOrEqual, beyond.data(), 1, false},
                                           TABSIndexKeyCondition{ickLessOrEqual, hi.data(), 1, false}, 60),
            0);
}

TEST_F(IndexFixture, IntegrityCheckFindsDisorderAndBrokenChains) {
  Open(128, {{"N"}});
  for (int i = 0; i < 40; ++i) Insert(Int(i));
  EXPECT_EQ(index->CheckIntegrity(S), 40);
  TABSKeyPath path;
  ASSERT_TRUE(index->First(S, path));
  const int32_t leaf_no = path.Leaf().PageNo;
  auto leaf = [&] { return TABSBTreePage(pm->GetPage(S, leaf_no), kRecordIDSize); };
  {
    TABSBTreePage page = leaf();
    std::vector<uint8_t> first(page.Entry(0), page.Entry(0) + page.EntrySize());
    std::memcpy(page.Entry(0), page.Entry(1), static_cast<size_t>(page.EntrySize()));
    std::memcpy(page.Entry(1), first.data(), first.size());
    page.MarkDirty();
  }
  EXPECT_EQ(testing::MessageOf([&] { index->CheckIntegrity(S); }),
            "Index integrity violated. PageNo=" + std::to_string(leaf_no) + " EntryNo=1 - Native error: 20028");
  {
    TABSBTreePage page = leaf();
    std::vector<uint8_t> first(page.Entry(0), page.Entry(0) + page.EntrySize());
    std::memcpy(page.Entry(0), page.Entry(1), static_cast<size_t>(page.EntrySize()));
    std::memcpy(page.Entry(1), first.data(), first.size());
    page.SetNextPageNo(leaf_no);  // a chain that leads back to itself
  }
  EXPECT_EQ(CodeOf([&] { index->CheckIntegrity(S); }), 20033);
  EXPECT_EQ(CodeOf([&] { index->Tree().Count(S); }), 20032);
}

// A page whose header describes entries beyond its data area, entries of another size or a
// root mark on the wrong page is refused before any search, insertion or removal reads
// it: the entry count of 60000 on a root page once sent the binary search past the buffer.
TEST_F(IndexFixture, DamagedPageHeadersAreRefusedBeforeUse) {
  Open(256, {{"N"}});
  for (int i = 0; i < 30; ++i) Insert(Int(i));  // a root node over leaves
  TABSKeyPath path;
  ASSERT_TRUE(index->First(S, path));
  const int32_t leaf_no = path.Leaf().PageNo;
  const int32_t root_no = index->RootPageNo();
  ASSERT_NE(leaf_no, root_no);
  struct Case {
    const char* what;
    bool on_root;
    std::function<void(TABSBTreePage&)> damage;
  };
  const Case cases[] = {
      {"entry count 60000 on the root", true, [](TABSBTreePage& p) { p.SetEntryCount(60000); }},
      {"one entry more than the leaf holds", false, [](TABSBTreePage& p) { p.SetEntryCount(p.Capacity() + 1); }},
      {"entry references", false, [](TABSBTreePage& p) { p.Data()[11] = 1; }},
      {"entry references on the root", true, [](TABSBTreePage& p) { p.Data()[11] = 1; }},
      {"an extra header as large as the page", true,
       [](TABSBTreePage& p) { StoreLE<uint16_t>(p.Data() + 16, static_cast<uint16_t>(p.DataSize())); }},
      {"an extra header that pushes the last entry out", false,
       [](TABSBTreePage& p) {
         const int32_t free_bytes =
             static_cast<int32_t>(p.DataSize()) - p.EntriesOffset() - p.EntryCount() * p.EntrySize();
         StoreLE<uint16_t>(p.Data() + 16, static_cast<uint16_t>(free_bytes + 1));
       }},
      {"the root not marked as root", true, [](TABSBTreePage& p) { p.SetIsRoot(false); }},
      {"a leaf marked as root", false, [](TABSBTreePage& p) { p.SetIsRoot(true); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int32_t page_no = c.on_root ? root_no : leaf_no;
    std::vector<uint8_t> saved;
    {
      TABSBTreePage page(pm->GetPage(S, page_no), kRecordIDSize);
      saved.assign(page.Data(), page.Data() + page.DataSize());
      c.damage(page);
      page.MarkDirty();
    }
    const std::vector<uint8_t> five = Int(5);
    TABSIndexKeyCondition equal{ickEqual, five.data(), -1, false};
    TABSRecordID id;
    EXPECT_EQ(CodeOf([&] { index->Search(S, true, &equal, id); }), 20087);
    EXPECT_EQ(CodeOf([&] { Insert(Int(3)); }), 20087);
    EXPECT_EQ(CodeOf([&] { index->Delete(S, five.data(), TABSRecordID{1, 5}); }), 20087);
    EXPECT_EQ(CodeOf([&] { index->Count(S); }), 20087);
    EXPECT_EQ(CodeOf([&] { index->CheckIntegrity(S); }), 20087);
    TABSBTreePage page(pm->GetPage(S, page_no), kRecordIDSize);
    std::memcpy(page.Data(), saved.data(), saved.size());
  }
  EXPECT_EQ(index->CheckIntegrity(S), 30);
}

// Every walk along the leaf chain notices a chain that loops instead of going round it for
// ever; so does dropping a tree whose levels lead back up.
TEST_F(IndexFixture, LoopingLinksEndEveryWalk) {
  Open(256, {{"N"}});
  for (int i = 0; i < 30; ++i) Insert(Int(i));
  TABSKeyPath path;
  ASSERT_TRUE(index->Last(S, path));
  const int32_t last_leaf = path.Leaf().PageNo;
  ASSERT_TRUE(index->First(S, path));
  const int32_t first_leaf = path.Leaf().PageNo;
  {
    TABSBTreePage page(pm->GetPage(S, last_leaf), kRecordIDSize);
    page.SetNextPageNo(first_leaf);
    page.MarkDirty();
  }
  int64_t visited = 0;
  EXPECT_EQ(CodeOf([&] { index->Tree().ForEachEntry(S, [&](const uint8_t*) { return ++visited < 1000000; }); }),
            20032);
  EXPECT_LT(visited, 1000);
  int32_t page_no = -1, entry_no = -1;
  EXPECT_EQ(CodeOf([&] { index->Tree().LeafOfEntryNumber(S, 1000, page_no, entry_no); }), 20032);
  EXPECT_EQ(CodeOf([&] { index->RecordAtNumber(S, 1000); }), 20032);
  EXPECT_EQ(CodeOf([&] { index->Count(S); }), 20032);
  {
    // The first leaf's chain now also leads back to the root, a level up.
    TABSBTreePage page(pm->GetPage(S, first_leaf), kRecordIDSize);
    page.SetNextPageNo(index->RootPageNo());
    page.MarkDirty();
  }
  EXPECT_EQ(CodeOf([&] { index->Drop(S); }), 20032);
}

// What a scan of a range meets: per entry its record identifier, index ordinal (the whole
// path) and stored-key test, in the order met.
struct RangeVisit {
  TABSRecordID id;
  int64_t ordinal = 0;
  TABSIndexEntryTest test = ietIn;
  bool operator==(const RangeVisit&) const = default;
};

std::vector<RangeVisit> step_range(TABSBTreeRecordIndex& index, TABSIndexRange& range, bool forward) {
  std::vector<RangeVisit> out;
  TABSKeyPath path;
  for (bool at = range.Seek(S, forward, path); at; at = range.Step(S, forward, path))
    out.push_back({range.RecordIDAt(S, path), index.IndexOrdinal(path), range.Test(S, path)});
  return out;
}

// The same scan by Walk; `stop_after` entries when given (the walk then answers true and
// leaves the path on the last entry met).
std::vector<RangeVisit> walk_range(TABSBTreeRecordIndex& index, TABSIndexRange& range, bool forward,
                                   size_t stop_after = SIZE_MAX) {
  std::vector<RangeVisit> out;
  TABSKeyPath path;
  if (!range.Seek(S, forward, path)) return out;
  const bool stopped = range.Walk(S, forward, path, [&](const TABSKeyPath& at, const TABSRecordID& id,
                                                         TABSIndexEntryTest test) {
    out.push_back({id, index.IndexOrdinal(at), test});
    return out.size() < stop_after;
  });
  EXPECT_EQ(stopped, out.size() == stop_after);
  if (stopped) {
    EXPECT_EQ(index.RecordIDAt(S, path), out.back().id);
  }
  return out;
}

// A range walked a leaf page at a time meets what steps entry by entry meet, wherever its
// ends fall against the leaves (a leaf's first or last entry, between two entries, before
// or after every entry, an empty range), in both directions, and stops where its visitor
// stops it. A broken leaf chain answers the error a step answers.
TEST_F(IndexFixture, RangeWalkMeetsWhatStepsMeetAtLeafEdges) {
  Open(256, {{"N"}});
  for (int i = 0; i < 150; ++i) Insert(Int(2 * i));  // even keys: odd ones fall between entries
  // The keys at the ends of every leaf, and their neighbours.
  std::vector<int32_t> bounds{-1, 300, 301};
  TABSKeyPath path;
  ASSERT_TRUE(index->First(S, path));
  int32_t leaf = -1, previous_key = -1, leaves = 0;
  do {
    int32_t key;
    std::memcpy(&key, records->Get(index->RecordIDAt(S, path)).data() + layout.Field(0).MemoryOffset, 4);
    if (path.Leaf().PageNo != leaf) {
      ++leaves;
      leaf = path.Leaf().PageNo;
      for (int32_t k : {previous_key, key})
        for (int32_t d : {-1, 0, 1}) bounds.push_back(k + d);
    }
    previous_key = key;
  } while (index->Next(S, path));
  ASSERT_GE(leaves, 5);
  std::sort(bounds.begin(), bounds.end());
  bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());

  int64_t met = 0;
  for (const int32_t lo : bounds) {
    for (const int32_t hi : bounds) {
      for (const bool inclusive : {true, false}) {
        SCOPED_TRACE("from " + std::to_string(lo) + " to " + std::to_string(hi) + (inclusive ? " inclusive" : ""));
        const std::vector<uint8_t> low = Int(lo), high = Int(hi);
        const TABSIndexKeyCondition above{inclusive ? ickGreaterOrEqual : ickGreater, low.data(), 1, false};
        const TABSIndexKeyCondition below{inclusive ? ickLessOrEqual : ickLess, high.data(), 1, false};
        TABSIndexRange range(*index, &above, &below);
        for (const bool forward : {true, false}) {
          const std::vector<RangeVisit> expected = step_range(*index, range, forward);
          ASSERT_EQ(walk_range(*index, range, forward), expected) << (forward ? "forward" : "backward");
          met += static_cast<int64_t>(expected.size());
          if (expected.size() > 2) {
            const std::vector<RangeVisit> part = walk_range(*index, range, forward, 2);
            ASSERT_EQ(part, std::vector<RangeVisit>(expected.begin(), expected.begin() + 2));
          }
        }
      }
    }
  }
  EXPECT_GT(met, 0);

  // A leaf that claims to be the last (forward) or first (backward) while its parent goes
  // on, and one whose chain leads to a node.
  ASSERT_TRUE(index->First(S, path));
  const int32_t first_leaf = path.Leaf().PageNo;
  ASSERT_TRUE(index->Last(S, path));
  const int32_t last_leaf = path.Leaf().PageNo;
  const std::vector<uint8_t> none = Int(-1);
  const TABSIndexKeyCondition all{ickGreater, none.data(), 1, false};
  struct Damage {
    const char* what;
    int32_t page_no;
    bool forward;
    std::function<void(TABSBTreePage&)> damage;
    int32_t code;
  };
  const int32_t root_no = index->RootPageNo();
  const Damage damages[] = {
      {"no next leaf", first_leaf, true, [](TABSBTreePage& p) { p.SetNextPageNo(-1); }, 20070},
      {"no prior leaf", last_leaf, false, [](TABSBTreePage& p) { p.SetPrevPageNo(-1); }, 20071},
      {"a node next", first_leaf, true, [&](TABSBTreePage& p) { p.SetNextPageNo(root_no); }, 20020},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    std::vector<uint8_t> saved;
    {
      TABSBTreePage page(pm->GetPage(S, d.page_no), kRecordIDSize);
      saved.assign(page.Data(), page.Data() + page.DataSize());
      d.damage(page);
      page.MarkDirty();
    }
    TABSIndexRange range(*index, &all);
    EXPECT_EQ(CodeOf([&] { step_range(*index, range, d.forward); }), d.code);
    EXPECT_EQ(CodeOf([&] { walk_range(*index, range, d.forward); }), d.code);
    TABSBTreePage page(pm->GetPage(S, d.page_no), kRecordIDSize);
    std::memcpy(page.Data(), saved.data(), saved.size());
  }
  EXPECT_EQ(index->CheckIntegrity(S), 150);
}

TEST_F(IndexFixture, GetRecordStepsThroughTheIndex) {
  Open(128, {{"N"}});
  std::vector<TABSRecordID> ids;
  for (int i = 0; i < 30; ++i) ids.push_back(Insert(Int(i)));
  std::vector<uint8_t> buffer(static_cast<size_t>(layout.MemoryRecordSize()));
  TABSIndexPositionCache cache;
  TABSIndexGetRecordRequest r;
  r.Mode = grmCurrent;
  EXPECT_EQ(CodeOf([&] { index->GetRecord(S, r); }), 20053);
  r.Mode = grmNext;
  r.GoToFirst = true;
  r.RecordBuffer = buffer.data();
  r.PositionCache = &cache;
  index->GetRecord(S, r);
  ASSERT_EQ(r.Result, grrFound);
  EXPECT_EQ(r.RecordID, ids[0]);
  r.GoToFirst = false;
  for (int i = 1; i < 30; ++i) {
    index->GetRecord(S, r);
    ASSERT_EQ(r.Result, grrFound);
    EXPECT_EQ(r.RecordID, ids[static_cast<size_t>(i)]);
    cache.Valid = i % 2 == 0;  // half the steps search for the record again
  }
  index->GetRecord(S, r);
  EXPECT_EQ(r.Result, grrEndReached);
  r.Mode = grmPrior;
  index->GetRecord(S, r);
  EXPECT_EQ(r.RecordID, ids[28]);
  // Next to a key: the first greater key, the last lower one.
  TABSIndexGetRecordRequest k;
  k.Mode = grmNext;
  auto key = Int(10);
  k.RecordBuffer = key.data();
  index->GetRecordNextToKey(S, k);
  EXPECT_EQ(k.RecordID, ids[11]);
  key = Int(10);
  k.RecordBuffer = key.data();
  k.Mode = grmPrior;
  index->GetRecordNextToKey(S, k);
  EXPECT_EQ(k.RecordID, ids[9]);
  key = Int(0);
  k.RecordBuffer = key.data();
  index->GetRecordNextToKey(S, k);
  EXPECT_EQ(k.Result, grrBeginReached);
  // A record whose entry is missing.
  r.RecordID = TABSRecordID{500, 1};
  cache.Valid = false;
  index->GetRecord(S, r);
  EXPECT_EQ(r.Result, grrNotFound);
}

TEST_F(IndexFixture, UniquenessAndUpdates) {
  Open(4096, {{"N"}}, true);
  const TABSRecordID a = Insert(Int(1));
  Insert(Make(nullptr, nullptr));
  EXPECT_FALSE(index->IsUnique(S, Int(1).data()));
  EXPECT_TRUE(index->IsUnique(S, Int(2).data()));
  EXPECT_FALSE(index->IsUnique(S, Make(nullptr, nullptr).data()));  // NULL equals NULL
  EXPECT_TRUE(index->UniqueAfterChange(S, Int(1).data(), Int(1).data()));
  EXPECT_TRUE(index->UniqueAfterChange(S, Int(1).data(), Int(3).data()));
  index->Update(S, Int(1).data(), Int(3).data(), a, false);
  index->Update(S, Int(1).data(), Int(3).data(), a, true);
  records->Put(a, Int(3));
  EXPECT_EQ(CodeOf([&] { index->Update(S, Int(1).data(), Int(4).data(), a, false); }), 20250);
  EXPECT_EQ(index->RecordNumberOf(S, a, Int(3).data()), 2);
  EXPECT_EQ(CodeOf([&] { index->Insert(S, Int(3).data(), a); }), 20078);
}

TEST_F(IndexFixture, MultiPartKeysWithDescendingAndCaseInsensitiveParts) {
  Open(4096, {{"T", false, true}, {"N", true}});
  const int32_t one = 1, two = 2;
  const TABSRecordID a1 = Insert(Make(&one, "apple"));
  const TABSRecordID A2 = Insert(Make(&two, "APPLE"));
  const TABSRecordID b = Insert(Make(&one, "Banana"));
  EXPECT_EQ(Walk(), (std::vector<TABSRecordID>{A2, a1, b}));
  EXPECT_EQ(index->CompareRecords(Make(&one, "apple").data(), Make(&two, "APPLE").data(), 1), 0);
  EXPECT_EQ(index->CompareRecords(Make(&one, "apple").data(), Make(&two, "APPLE").data(), 2), 1);
  // Distinct on the first part keeps the first record of each run.
  TABSRecordBitmap bitmap;
  bitmap.IndexOrder = true;
  TABSKeyPath path;
  ASSERT_TRUE(index->First(S, path));
  std::vector<int64_t> ordinals;
  do ordinals.push_back(index->IndexOrdinal(path));
  while (index->Next(S, path));
  for (int64_t o : ordinals) bitmap.Bits.SetBit(o, true);
  index->ReduceToDistinctKeys(S, bitmap, 1);
  EXPECT_TRUE(bitmap.Bits.GetBit(ordinals[0]));
  EXPECT_FALSE(bitmap.Bits.GetBit(ordinals[1]));
  EXPECT_TRUE(bitmap.Bits.GetBit(ordinals[2]));
  EXPECT_EQ(bitmap.Bits.SetBitCount(), 2);
}

TEST_F(IndexFixture, RefusedDefinitionsAndRequests) {
  pm = testing::CreateIndexDatabase(folder.File("t.db"), 128);
  testing::AddField(fields, "N", ctInteger);
  testing::AddField(fields, "B", ctBlob);
  testing::AddField(fields, "T", ctString, 200);
  records = std::make_unique<MemoryRecords>(fields.MemoryRecordSize());
  auto make = [&](std::vector<TABSIndexColumn> columns, const TABSFieldDefs* f) {
    TABSIndexDef d;
    d.Columns = std::move(columns);
    TABSBTreeRecordIndex ix(pm.get(), f, records.get());
    ix.Create(S, false, d);
  };
  EXPECT_EQ(testing::MessageOf([&] { make({{"Missing"}}, &fields); }),
            "Cannot find index field 'Missing' - Native error: 20043");
  EXPECT_EQ(CodeOf([&] { make({{"B"}}, &fields); }), 20295);
  EXPECT_EQ(CodeOf([&] { make({{"N"}}, nullptr); }), 20044);
  // 88 bytes of data: a node entry of 124 bytes cannot be split into.
  EXPECT_EQ(CodeOf([&] { make({{"T", false, false, 120}}, &fields); }), 20296);
  TABSBTreeRecordIndex unopened(pm.get(), &fields, records.get());
  TABSKeyPath path;
  EXPECT_EQ(CodeOf([&] { unopened.First(S, path); }), 20045);
  TABSIndexDef d;
  d.Columns = {{"N"}};
  unopened.Open(d);  // RootPageNo -1
  EXPECT_EQ(CodeOf([&] { unopened.First(S, path); }), 20119);
  TABSKeyPath empty;
  EXPECT_EQ(CodeOf([&] { TABSBTree(pm.get(), &unopened.KeyRef(), 6).Next(S, empty); }), 20068);
  EXPECT_EQ(CodeOf([&] { TABSBTree(pm.get(), &unopened.KeyRef(), 6).Prior(S, empty); }), 20069);
  TABSKeyPath a, b;
  a.Depth = 1;
  b.Depth = 2;
  EXPECT_EQ(CodeOf([&] { CompareKeyPaths(a, b); }), 20051);
  b.Depth = 1;
  b.Levels[0].PageNo = 5;
  EXPECT_EQ(CodeOf([&] { CompareKeyPaths(a, b); }), 20052);
}

TEST_F(IndexFixture, RollbackKeepsTheCommittedTreeAndReopeningFindsIt) {
  Open(128, {{"N"}});
  std::vector<TABSRecordID> ids;
  for (int i = 0; i < 200; ++i) ids.push_back(Insert(Int(i * 2)));
  pm->CommitPages(S);
  const auto committed = Walk();
  const int32_t depth = index->Tree().Depth(S);
  // A session that splits (inserts between) and merges (deletes a run).
  auto work = [&] {
    for (int i = 0; i < 150; ++i) index->Insert(S, Int(i * 2 + 1).data(), TABSRecordID{900, static_cast<uint16_t>(i)});
    for (int i = 20; i < 180; ++i) index->Delete(S, Int(i * 2).data(), ids[static_cast<size_t>(i)]);
    EXPECT_EQ(index->CheckIntegrity(S), 200 + 150 - 160);
  };
  work();
  const int32_t pages_used = pm->GetTotalPageCount();
  pm->RollbackPages(S);
  EXPECT_EQ(Walk(), committed);
  EXPECT_EQ(index->CheckIntegrity(S), 200);
  EXPECT_EQ(index->Tree().Depth(S), depth);
  // The pages the rolled-back session took are free again: the same work takes no more.
  work();
  EXPECT_EQ(pm->GetTotalPageCount(), pages_used);
  pm->CommitPages(S);
  // Pages freed by merges are taken again by later splits.
  for (int i = 0; i < 150; ++i) index->Delete(S, Int(i * 2 + 1).data(), TABSRecordID{900, static_cast<uint16_t>(i)});
  pm->CommitPages(S);
  const int32_t after_merges = pm->GetTotalPageCount();
  for (int i = 0; i < 30; ++i) index->Insert(S, Int(i * 2 + 1).data(), TABSRecordID{900, static_cast<uint16_t>(i)});
  pm->CommitPages(S);
  EXPECT_EQ(pm->GetTotalPageCount(), after_merges);
  for (int i = 30; i < 150; ++i) index->Insert(S, Int(i * 2 + 1).data(), TABSRecordID{900, static_cast<uint16_t>(i)});
  pm->CommitPages(S);
  EXPECT_EQ(index->CheckIntegrity(S), 190);
  // Reopen the file and the index from its definition.
  const int32_t root = index->RootPageNo();
  index.reset();
  testing::CloseIndexDatabase(pm);
  pm = testing::OpenIndexDatabase(folder.File("t.db"));
  TABSIndexDef stored;
  stored.Assign(def);
  stored.RootPageNo = root;
  index = std::make_unique<TABSBTreeRecordIndex>(pm.get(), &fields, records.get());
  index->Open(stored);
  EXPECT_EQ(index->CheckIntegrity(S), 190);
  EXPECT_EQ(index->RecordAtNumber(S, 1), ids[0]);
  // Empty keeps the root; drop frees it too.
  index->Empty(S);
  EXPECT_EQ(index->Count(S), 0);
  EXPECT_EQ(index->RootPageNo(), root);
  index->Drop(S);
  EXPECT_EQ(index->RootPageNo(), -1);
  pm->CommitPages(S);
}

TEST_F(IndexFixture, CreateFromRecordsAndRebuild) {
  pm = testing::CreateIndexDatabase(folder.File("t.db"), 256);
  testing::AddField(fields, "N", ctInteger);
  testing::AddField(fields, "T", ctString, 40);
  testing::AddField(fields, "W", ctWideString, 30);
  layout = fields.RecordLayout();
  records = std::make_unique<MemoryRecords>(layout.MemoryRecordSize());
  for (int i = 0; i < 100; ++i) records->Add(Int((i * 37) % 100));
  def.Columns = {{"N"}};
  index = std::make_unique<TABSBTreeRecordIndex>(pm.get(), &fields, records.get());
  index->Create(S, true, def);
  EXPECT_GE(def.RootPageNo, 0);
  EXPECT_EQ(def.RootPageNo, index->RootPageNo());
  EXPECT_EQ(index->CheckIntegrity(S), 100);
  records->Add(Int(1000));
  index->Rebuild(S, true);
  EXPECT_EQ(index->CheckIntegrity(S), 101);
  TABSRecordID id;
  ASSERT_TRUE(index->Search(S, false, nullptr, id));
  EXPECT_EQ(records->Get(id), Int(1000));
}

// Page-number indexes.

class PageIndexFixture : public ::testing::Test {
 protected:
  void SetUp() override { pm = testing::CreateIndexDatabase(folder.File("p.db"), 128); }
  void TearDown() override {
    pm->RollbackPages(S);
    testing::CloseIndexDatabase(pm);
  }
  TempFolder folder;
  std::unique_ptr<TABSDiskPageManager> pm;
};

// Random additions, decreases and settings of counts against a map, committing now and then.
std::map<int32_t, int32_t> ChangeCounts(TABSBTreePageIndex& index, TABSPageManager& pm, int32_t max_amount,
                                        int32_t max_count) {
  std::map<int32_t, int32_t> model;
  uint32_t seed = 7;
  auto rnd = [&](uint32_t n) { return (seed = seed * 1103515245 + 12345) / 65536 % n; };
  for (int step = 0; step < 3000; ++step) {
    const int32_t page = 1000 + static_cast<int32_t>(rnd(300));
    const int32_t amount = 1 + static_cast<int32_t>(rnd(static_cast<uint32_t>(max_amount)));
    const uint32_t op = rnd(4);
    auto it = model.find(page);
    if (op < 2) {
      if (it != model.end() && !index.HasRoom(it->second, amount)) {
        EXPECT_EQ(CodeOf([&] { index.Add(S, page, amount); }), 20106);
      } else {
        index.Add(S, page, amount);
        model[page] += amount;
      }
    } else if (op == 2) {
      if (it == model.end()) {
        EXPECT_EQ(CodeOf([&] { index.Decrease(S, page, amount); }), 20111);
      } else if (amount > it->second) {
        EXPECT_EQ(CodeOf([&] { index.Decrease(S, page, amount); }), 20112);
      } else {
        index.Decrease(S, page, amount);
        if ((it->second -= amount) == 0) model.erase(it);
      }
    } else if (it != model.end()) {
      const int32_t count = static_cast<int32_t>(rnd(static_cast<uint32_t>(max_count + 1)));
      index.SetCount(S, page, count);
      if (count == 0) model.erase(page);
      else it->second = count;
    }
    if (step % 500 == 0) {
      pm.CommitPages(S);
      index.Tree().CheckIntegrity(S);
    }
  }
  for (auto& [page, count] : model) EXPECT_EQ(index.Find(S, page), count);
  return model;
}

TEST_F(PageIndexFixture, BlobPageCountsFollowUpdates) {
  TABSBTreeBlobPageIndex index(pm.get());
  index.Create(S);
  const auto model = ChangeCounts(index, *pm, 30, pm->DataSize() - 3);
  int64_t total = 0;
  for (auto& [page, count] : model) total += count;
  EXPECT_EQ(index.TotalCount(S), total);
  EXPECT_EQ(index.PageCount(S), static_cast<int64_t>(model.size()));
}

TEST_F(PageIndexFixture, RecordPageCountsFollowUpdates) {
  TABSBTreeRecordPageIndex index(pm.get(), 3);
  index.Create(S);
  const auto model = ChangeCounts(index, *pm, 1, 3);
  int64_t total = 0;
  for (auto& [page, count] : model) {
    EXPECT_EQ(index.Find(S, page), count);
    total += count;
  }
  EXPECT_EQ(index.TotalCount(S), total);
  index.CheckTotal(S, total);
  EXPECT_EQ(CodeOf([&] { index.CheckTotal(S, total + 1); }), 20292);
  EXPECT_EQ(index.PageCount(S), static_cast<int64_t>(model.size()));
  EXPECT_EQ(index.First(S), model.begin()->first);
  EXPECT_EQ(index.Last(S), model.rbegin()->first);
  // Record numbers run through the pages in page order.
  int64_t number = 0;
  int32_t prev = -1;
  for (auto& [page, count] : model) {
    if (prev != -1) {
      EXPECT_EQ(index.Next(S, prev), page);
      EXPECT_EQ(index.Prior(S, page), prev);
    }
    prev = page;
    for (int32_t k = 0; k < count; ++k) {
      ++number;
      int32_t p, pos;
      index.ItemAt(S, number, p, pos);
      EXPECT_EQ(p, page);
      EXPECT_EQ(pos, k);
      EXPECT_EQ(index.ItemNumber(S, page, k), number);
    }
  }
  int32_t p, pos;
  EXPECT_EQ(CodeOf([&] { index.ItemAt(S, number + 1, p, pos); }), 20113);
  EXPECT_EQ(index.Next(S, model.rbegin()->first), -1);
  // A page that is not listed cannot shrink.
  EXPECT_EQ(CodeOf([&] { index.Decrease(S, 5, 1); }), 20111);
}

// Ascending keys go to the end of the last leaf without a descent while nothing else
// changed the tree: after a rollback, a removal at the end, or a change by another session,
// the next ascending key must still land in order.
TEST_F(PageIndexFixture, AscendingPagesStayOrderedAcrossRollbackRemovalAndOtherSessions) {
  TABSBTreeRecordPageIndex index(pm.get(), 3);
  index.Create(S);
  std::map<int32_t, int32_t> model, committed;
  auto add = [&](int32_t session, int32_t first, int32_t last) {
    for (int32_t page = first; page <= last; ++page) {
      index.Add(session, page, 1);
      ++model[page];
    }
  };
  auto commit = [&](int32_t session) {
    pm->CommitPages(session);
    committed = model;
  };
  struct Step {
    const char* what;
    std::function<void()> run;
  };
  const Step steps[] = {
      {"ascending pages over several levels", [&] { add(S, 10, 400); commit(S); }},
      {"pages added again on the same last page", [&] { add(S, 400, 400); add(S, 400, 400); }},
      {"a rolled-back run, then another",
       [&] {
         add(S, 401, 600);
         pm->RollbackPages(S);
         model = committed;
         add(S, 401, 700);
       }},
      {"the last pages removed, then pages after the new last",
       [&] {
         for (int32_t page = 690; page <= 700; ++page) {
           index.SetCount(S, page, 0);
           model.erase(page);
         }
         add(S, 695, 695);
         add(S, 1000, 1050);
         commit(S);
       }},
      {"another session's run, then this one's",
       [&] {
         add(S + 1, 1100, 1300);
         commit(S + 1);
         add(S, 1301, 1400);
         commit(S);
       }},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.run();
    EXPECT_EQ(index.Tree().CheckIntegrity(S), static_cast<int64_t>(model.size()));
    std::map<int32_t, int32_t> walked;
    index.Tree().ForEachEntry(S, [&](const uint8_t* entry) {
      walked[LoadLE<int32_t>(entry)] = LoadLE<uint16_t>(entry + 4);
      return true;
    });
    EXPECT_EQ(walked, model);
  }
}

TEST_F(PageIndexFixture, RoomSearchLooksAtTheLastAndFirstLeavesOnly) {
  TABSBTreeRecordPageIndex index(pm.get(), 2);
  index.Create(S);
  for (int32_t page = 1; page <= 200; ++page) index.Add(S, page, 2);
  EXPECT_EQ(index.FindPageWithRoom(S, 1), -1);
  index.Decrease(S, 100, 1);  // room only in a middle leaf
  EXPECT_GT(index.Tree().Depth(S), 2);
  EXPECT_EQ(index.FindPageWithRoom(S, 1), -1);
  index.Decrease(S, 2, 1);
  EXPECT_EQ(index.FindPageWithRoom(S, 1), 2);
  index.Decrease(S, 199, 1);
  EXPECT_EQ(index.FindPageWithRoom(S, 1), 199);
}

TEST_F(PageIndexFixture, BlobPagesTrackBytesInUse) {
  TABSBTreeBlobPageIndex index(pm.get());
  index.Create(S);
  const int32_t ds = pm->DataSize();
  index.Add(S, 10, 40);
  index.Add(S, 11, ds - 3);
  EXPECT_EQ(index.FindPageWithRoom(S, ds - 43), 10);
  EXPECT_EQ(index.FindPageWithRoom(S, ds - 42), -1);
  EXPECT_EQ(CodeOf([&] { index.Add(S, 11, 1); }), 20106);
  index.Add(S, 10, 30);
  EXPECT_EQ(index.Find(S, 10), 70);
  index.Decrease(S, 10, 70);
  EXPECT_EQ(index.Find(S, 10), -1);
  pm->CommitPages(S);
  const int32_t root = index.RootPageNo();
  testing::CloseIndexDatabase(pm);
  pm = testing::OpenIndexDatabase(folder.File("p.db"));
  TABSBTreeBlobPageIndex reopened(pm.get());
  reopened.SetRoot(root);
  EXPECT_EQ(reopened.Find(S, 11), ds - 3);
  EXPECT_EQ(reopened.TotalCount(S), ds - 3);
  reopened.Drop(S);
  EXPECT_EQ(CodeOf([&] { reopened.First(S); }), 20123);
}

}  // namespace
}  // namespace dadoveri
