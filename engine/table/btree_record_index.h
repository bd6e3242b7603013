// TABSIndex, the abstract open index of a table, and TABSBTreeRecordIndex, the B-tree
// index whose entries hold keys built from records (TABSRecordKeyRef) and point at them by
// record identifier. Records are read through a TABSIndexRecordSource (the seam that table
// data operations fill).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/table/btree.h"
#include "engine/table/btree_record_source.h"
#include "engine/table/index_def.h"
#include "engine/table/record_bitmap.h"
#include "engine/table/record_key_ref.h"

namespace dadoveri {

class TABSFieldDefs;

// The last path found for one record, so that repeated steps from it skip the search.
struct TABSIndexPositionCache {
  int32_t IndexID = -1;
  TABSRecordID RecordID;
  int32_t ChangeCounter = 0;
  TABSKeyPath Path;
  bool Valid = false;
};

enum TABSGetRecordMode : uint8_t { grmCurrent = 0, grmNext = 1, grmPrior = 2 };
enum TABSGetRecordResult : uint8_t { grrFound = 0, grrBeginReached = 1, grrEndReached = 2, grrNotFound = 3 };

// One step through an index or a record manager (the one get request of both): the mode,
// the begin and end flags, the current record and the buffer the record found is read
// into.
struct TABSIndexGetRecordRequest {
  TABSGetRecordMode Mode = grmNext;
  bool GoToFirst = false;
  bool GoToLast = false;
  TABSRecordID RecordID;
  void* RecordBuffer = nullptr;
  TABSIndexPositionCache* PositionCache = nullptr;
  TABSGetRecordResult Result = grrNotFound;
};

// Search condition kinds.
enum TABSIndexConditionKind : int32_t {
  ickNone = 0, ickEqual = 1, ickLess = 2, ickGreater = 3, ickLessOrEqual = 4, ickGreaterOrEqual = 5,
};

// A key condition on an index (what a scan search condition hands the index, see
// ToIndexKeyCondition): a memory record holding the key values in the index fields, the
// number of leading key parts used, and whether the text value of the last part used is a
// prefix: the condition then compares only that many first characters of the entry's
// text (so entries beginning with it compare equal), which in a collation selects no
// contiguous run of entries (TABSIndexRange).
struct TABSIndexKeyCondition {
  int32_t Kind = ickNone;
  const void* KeyRecord = nullptr;
  int32_t KeyFieldCount = -1;
  bool Partial = false;
};

// An index entry tested against conditions on its stored key alone.
enum TABSIndexEntryTest : uint8_t {
  ietIn = 0,           // the entry satisfies every condition
  ietOut = 1,          // it fails one
  ietNeedsRecord = 2,  // the stored key is cut where a condition looks: the record decides
};

class TABSBTreeRecordIndex;

// A range of one B-tree record index given by up to two conditions (in any order; an
// equality bounds both sides), whole or partial, for the table's range scans and costs.
//
// Scan bounds: entries outside them satisfy no condition; entries inside them may still
// fail one, so a scan tests each entry (Test, then Accepts on the record when the stored
// key cannot tell). Whole-valued conditions give exact bounds. A partial condition (the
// text of its last field is a prefix) is bounded by the collation's primary-level bounds
// of the prefix: under a tertiary collation the texts beginning with a prefix are not
// contiguous in an index ("aBa" lies between "aba" and "abz"), so the bounds enclose them
// together with texts that only sort alike. A partial "before"/"after" condition bounds
// only its earlier fields (the texts whose first n characters come before a prefix form
// no range of an index either). The bounds of a partial condition are never exact.
//
// Texts longer than a column's MaxIndexedSize are cut in the stored keys: the bounds then
// use the stored part of the prefix, and Test answers ietNeedsRecord for entries the cut
// key cannot decide.
//
// The range borrows the conditions' key records and the index; both must outlive it.
class TABSIndexRange {
 public:
  TABSIndexRange(TABSBTreeRecordIndex& index, const TABSIndexKeyCondition* first,
                 const TABSIndexKeyCondition* second = nullptr);

  // Positions `path` on the first entry (forward) or the last (backward) inside the scan
  // bounds; false when there is none.
  bool Seek(int32_t session, bool forward, TABSKeyPath& path);
  // Moves `path` to the next (forward) or prior entry; false when the index ends or the
  // entry there lies outside the bounds (the path is then unspecified).
  bool Step(int32_t session, bool forward, TABSKeyPath& path);
  // Where the entry at `path` lies against the scan bounds: -1 below them, 0 inside, 1
  // above them.
  int Where(int32_t session, const TABSKeyPath& path);
  // The entry at `path` against every condition, on its stored key.
  TABSIndexEntryTest Test(int32_t session, const TABSKeyPath& path);
  // A memory record against every condition (its full values).
  bool Accepts(const void* record) const;
  // Walks from the entry at `path` (inside the bounds, as Seek and Step leave it) in one
  // direction through every entry inside the bounds, as Step would, handing each to
  // `visit`. A leaf page is fetched once and its entries read in place; the far bound,
  // which entries meet in index order, is tested once on the page's far entry and entry by
  // entry only in the page where the range ends. False when the range (or the index) ended,
  // true when `visit` stopped the walk (the path then on that entry). The visitor is
  // called as visit(const TABSKeyPath& path, const TABSRecordID& id, TABSIndexEntryTest
  // test) for each entry (the path on it, its record identifier, its Test) and answers
  // false to stop there.
  template <class Visitor>
  bool Walk(int32_t session, bool forward, TABSKeyPath& path, Visitor&& visit);
  // The record identifier of the entry at `path`.
  TABSRecordID RecordIDAt(int32_t session, const TABSKeyPath& path);
  // The approximate number of entries inside the bounds: the distance between the
  // positions of the first and the last entry inside them times `total`; 0 when empty.
  int64_t ApproximateCount(int32_t session, int64_t total);
  // Whether every entry inside the bounds satisfies every condition (no partial text
  // condition).
  bool Exact() const { return exact_; }

 private:
  struct Side {
    TABSBTreeTarget Target;
    std::vector<uint8_t> Key;
    std::vector<int32_t> Prefixes;
    std::unique_ptr<TABSKeyBound> Bound;
    bool Inclusive = true;
  };
  struct Condition {
    TABSIndexKeyCondition Key;
    int32_t PartCount = 0;
    std::vector<int32_t> Prefixes;  // the prefix length of the partial part, -1 elsewhere
    int32_t PrefixPart = -1;        // the partial part, -1 when none
    std::vector<uint8_t> PageKey;   // the key as entries store it
    // For an equality with a prefix: the page key's bytes up to the prefix's end (earlier
    // parts, the part's not-NULL flag, the prefix as stored). An entry that begins with
    // these bytes satisfies the condition under any collation; empty when bytes cannot
    // decide (a prefix longer than a cut part stores, earlier parts whose equal values may
    // differ in bytes or whose equal bytes may still need the records).
    std::vector<uint8_t> MatchingBytes;
    // The comparison of an entry whose first bytes differ reads those bytes and no more
    // (the earlier parts and the prefix's characters): its answer for the last few such
    // beginnings (kRememberedBeginnings of MatchingBytes.size() bytes each) is kept, as a
    // range's entries share a few beginnings ("P" among "p").
    std::vector<uint8_t> Beginnings;
    std::vector<uint8_t> BeginningIn;
    size_t NextBeginning = 0;
  };
  // One of the disjoint intervals a prefix's texts lie in (TUserLocale::PrefixSortKeyRanges):
  // its sides in index order.
  struct Piece {
    std::unique_ptr<Side> Low, High;
  };
  static constexpr size_t kRememberedBeginnings = 4;
  void add(const TABSIndexKeyCondition& condition);
  // With pieces: moves `path` from an entry inside the bounds to the nearest entry in the
  // direction that lies inside a piece, seeking over the entries between pieces, and makes
  // that piece the current one; false when no piece holds one.
  bool enter_piece(int32_t session, bool forward, TABSKeyPath& path);
  // Whether an entry lies short of the current piece's far side (always without pieces).
  bool within_piece(int32_t session, bool forward, const uint8_t* entry);
  Side& new_side(bool lower, const TABSIndexKeyCondition& condition, int32_t part_count, bool inclusive);
  // The entry at `path` against a side: -1 below it, 0 inside, 1 above it (lower sides
  // answer -1 or 0, upper ones 0 or 1).
  int entry_vs_side(int32_t session, const Side& side, bool lower, const uint8_t* entry);
  bool inside(int32_t session, const uint8_t* entry, bool check_lower, bool check_upper);
  bool seek_side(int32_t session, const Side& side, bool lower, TABSKeyPath& path);
  TABSBTree& index_tree();
  // The conditions against an entry's stored key (Test on the entry's bytes).
  TABSIndexEntryTest test_entry(int32_t session, const uint8_t* entry);
  // Keeps the answer of a condition with MatchingBytes for the entry's beginning.
  static void remember_beginning(Condition& condition, const uint8_t* entry, bool in);
  // Reads the entry at `path` into entry_ unless it holds that entry already.
  void load_entry(int32_t session, const TABSKeyPath& path);

  TABSBTreeRecordIndex& index_;
  std::vector<Condition> conditions_;
  std::vector<std::unique_ptr<Side>> lower_, upper_;
  // The intervals of a single prefix condition in index order, when it has more than one
  // (the bounds then enclose them all); empty otherwise.
  std::vector<Piece> pieces_;
  size_t piece_ = 0;  // the piece the walk is in
  std::vector<uint8_t> entry_;
  // Where entry_ was read from: its leaf page and entry number; -1 while it holds none.
  int32_t entry_page_ = -1;
  int32_t entry_no_ = -1;
  bool exact_ = true;
};

template <class Visitor>
bool TABSIndexRange::Walk(int32_t session, bool forward, TABSKeyPath& path, Visitor&& visit) {
  TABSBTree& tree = index_tree();
  const int32_t key_size = tree.KeySize();
  const int32_t step = forward ? 1 : -1;
  if (!pieces_.empty() && !enter_piece(session, forward, path)) return false;
  for (;;) {
    bool left_piece = false;
    {
      TABSBTreePage page = tree.LeafPage(session, path);
      TABSKeyPathLevel& leaf = path.Leaf();
      const int32_t far_end = forward ? page.EntryCount() - 1 : 0;
      const int32_t entry_size = page.EntrySize();
      // In index order the entries meet the far bound (and the current piece's far side)
      // in turn: when the page's far entry is inside it, so is every entry before it.
      const bool whole_page = inside(session, page.Entry(far_end), !forward, forward) &&
                              within_piece(session, forward, page.Entry(far_end));
      const uint8_t* entry = page.Entry(leaf.EntryNo);
      for (;; leaf.EntryNo += step, entry += step * entry_size) {
        if (!whole_page) {
          if (!inside(session, entry, !forward, forward)) return false;
          if (!within_piece(session, forward, entry)) {
            left_piece = true;
            break;
          }
        }
        if (!visit(static_cast<const TABSKeyPath&>(path), LoadRecordID(entry + key_size), test_entry(session, entry)))
          return true;
        if (leaf.EntryNo == far_end) break;
      }
    }
    // Past the current piece: on to the next one that holds an entry.
    if (left_piece) {
      if (!enter_piece(session, forward, path)) return false;
      continue;
    }
    if (!tree.StepLeaf(session, forward, path)) return false;
  }
}

class TABSIndex {
 public:
  TABSIndex() = default;
  virtual ~TABSIndex() = default;
  TABSIndex(const TABSIndex&) = delete;
  TABSIndex& operator=(const TABSIndex&) = delete;

  // Slots, in order. The base implements 0 and 3: taking the copy of the definition.
  virtual void Create(int32_t session, bool from_records, TABSIndexDef& definition);          // 0
  virtual void Drop(int32_t session) = 0;                                                     // 1
  virtual void Empty(int32_t session) = 0;                                                    // 2
  virtual void Open(const TABSIndexDef& definition);                                          // 3
  virtual void Rebuild(int32_t session, bool from_records) = 0;                               // 4
  virtual void GetRecord(int32_t session, TABSIndexGetRecordRequest& request) = 0;            // 5
  virtual void GetRecordNextToKey(int32_t session, TABSIndexGetRecordRequest& request) = 0;   // 6
  virtual std::unique_ptr<TABSKeyPath> NewKeyPath() = 0;                                      // 7
  virtual void FreeKeyPath(std::unique_ptr<TABSKeyPath>& path) = 0;                           // 8
  virtual bool FindRecord(int32_t session, const TABSRecordID& id, TABSKeyPath& path,
                          const void* record) = 0;                                           // 9
  virtual int CompareKeyPaths(const TABSKeyPath& a, const TABSKeyPath& b) = 0;                // 10
  virtual int64_t RecordNumberOf(int32_t session, const TABSRecordID& id, const void* record) = 0;  // 11
  virtual TABSRecordID RecordAtNumber(int32_t session, int64_t n) = 0;                        // 12
  // Clears the bit of every entry whose first k key parts equal those of the previous set
  // entry in index order (the bitmap is in index order).
  virtual void ReduceToDistinctKeys(int32_t session, TABSRecordBitmap& bitmap, int32_t k) = 0;  // 13
  virtual std::unique_ptr<TABSIndexPositionCache> NewPositionCache() = 0;                    // 14
  virtual void FreePositionCache(std::unique_ptr<TABSIndexPositionCache>& cache) = 0;         // 15
  virtual bool Search(int32_t session, bool forward, const TABSIndexKeyCondition* condition, TABSRecordID& id,
                      TABSKeyPath* path = nullptr) = 0;                                      // 16
  virtual int CompareRecords(const void* a, const void* b, int32_t k) = 0;                    // 17
  virtual int BoundSide(int32_t kind) = 0;                                                    // 18
  virtual int64_t ApproximateCountBetween(int32_t session, const TABSIndexKeyCondition& a,
                                          const TABSIndexKeyCondition& b, int64_t total) = 0;  // 19
  virtual bool IsUnique(int32_t session, const void* record) = 0;                             // 20
  virtual bool UniqueAfterChange(int32_t session, const void* old_record, const void* new_record) = 0;  // 21
  virtual void Insert(int32_t session, const void* record, const TABSRecordID& id) = 0;       // 22
  virtual void Delete(int32_t session, const void* record, const TABSRecordID& id) = 0;       // 23
  virtual void Update(int32_t session, const void* old_record, const void* new_record, const TABSRecordID& id,
                      bool second_call) = 0;                                                  // 24
  virtual int32_t EntriesPerPage(int32_t* remainder = nullptr) = 0;                           // 25
  virtual void ReadEntryAt(int32_t session, const TABSKeyPath& path, uint8_t* destination) = 0;  // 26

  const TABSIndexDef& Definition() const { return definition_; }

 protected:
  TABSIndexDef definition_;
};

class TABSBTreeRecordIndex final : public TABSIndex {
 public:
  // `fields`: the table's field list ("Pointer is nil", 20044, when missing); `pages`: the
  // table's page manager, or the temporary one for a temporary index.
  TABSBTreeRecordIndex(TABSPageManager* pages, const TABSFieldDefs* fields, TABSIndexRecordSource* source);
  ~TABSBTreeRecordIndex() override;

  void Create(int32_t session, bool from_records, TABSIndexDef& definition) override;
  void Drop(int32_t session) override;
  void Empty(int32_t session) override;
  void Open(const TABSIndexDef& definition) override;
  void Rebuild(int32_t session, bool from_records) override;
  void GetRecord(int32_t session, TABSIndexGetRecordRequest& request) override;
  void GetRecordNextToKey(int32_t session, TABSIndexGetRecordRequest& request) override;
  std::unique_ptr<TABSKeyPath> NewKeyPath() override { return std::make_unique<TABSKeyPath>(); }
  void FreeKeyPath(std::unique_ptr<TABSKeyPath>& path) override { path.reset(); }
  bool FindRecord(int32_t session, const TABSRecordID& id, TABSKeyPath& path, const void* record) override;
  int CompareKeyPaths(const TABSKeyPath& a, const TABSKeyPath& b) override;
  int64_t RecordNumberOf(int32_t session, const TABSRecordID& id, const void* record) override;
  TABSRecordID RecordAtNumber(int32_t session, int64_t n) override;
  void ReduceToDistinctKeys(int32_t session, TABSRecordBitmap& bitmap, int32_t k) override;
  std::unique_ptr<TABSIndexPositionCache> NewPositionCache() override {
    return std::make_unique<TABSIndexPositionCache>();
  }
  void FreePositionCache(std::unique_ptr<TABSIndexPositionCache>& cache) override { cache.reset(); }
  // The first (forward) or last entry that satisfies the condition (any entry when none
  // is given). A partial condition walks its TABSIndexRange, reading records where a cut
  // key cannot tell.
  bool Search(int32_t session, bool forward, const TABSIndexKeyCondition* condition, TABSRecordID& id,
              TABSKeyPath* path = nullptr) override;
  int CompareRecords(const void* a, const void* b, int32_t k) override;
  int BoundSide(int32_t kind) override;
  // The approximate number of entries inside the bounds of both conditions (the
  // TABSIndexRange of the two).
  int64_t ApproximateCountBetween(int32_t session, const TABSIndexKeyCondition& a, const TABSIndexKeyCondition& b,
                                  int64_t total) override;
  bool IsUnique(int32_t session, const void* record) override;
  bool UniqueAfterChange(int32_t session, const void* old_record, const void* new_record) override;
  void Insert(int32_t session, const void* record, const TABSRecordID& id) override;
  void Delete(int32_t session, const void* record, const TABSRecordID& id) override;
  void Update(int32_t session, const void* old_record, const void* new_record, const TABSRecordID& id,
              bool second_call) override;
  int32_t EntriesPerPage(int32_t* remainder = nullptr) override;
  void ReadEntryAt(int32_t session, const TABSKeyPath& path, uint8_t* destination) override;

  // Navigation on a path.
  bool First(int32_t session, TABSKeyPath& path);
  bool Last(int32_t session, TABSKeyPath& path);
  bool Next(int32_t session, TABSKeyPath& path);
  bool Prior(int32_t session, TABSKeyPath& path);
  // The record identifier of the entry at a path.
  TABSRecordID RecordIDAt(int32_t session, const TABSKeyPath& path);
  double ApproximatePosition(const TABSKeyPath& path) const { return TABSBTree::ApproximatePosition(path); }
  int64_t IndexOrdinal(const TABSKeyPath& path) const;
  bool PathOfOrdinal(int32_t session, int64_t ordinal, TABSKeyPath& path);
  // Checks the tree and answers its entry count.
  int64_t CheckIntegrity(int32_t session);
  int64_t Count(int32_t session);

  TABSRecordKeyRef& KeyRef() { return *key_ref_; }
  const TABSRecordKeyRef& KeyRef() const { return *key_ref_; }
  TABSBTree& Tree() { return *tree_; }
  // The definition the index writes its root page into (the caller's copy at create).
  int32_t RootPageNo() const { return definition_.RootPageNo; }

 private:
  friend class TABSIndexRange;
  void build_key_ref();
  void require_open() const;
  // A target over a memory record: its page key into key_, all parts or the first k.
  TABSBTreeTarget target_of(const void* record, int32_t k = -1, const int32_t* prefixes = nullptr);
  bool keys_differ(const void* a, const void* b);
  void fetch(int32_t session, const TABSRecordID& id, void* buffer);
  void fill_cache(TABSIndexGetRecordRequest& request, const TABSKeyPath& path, const TABSRecordID& id);

  TABSPageManager* pages_;
  const TABSFieldDefs* fields_;
  TABSIndexRecordSource* source_;
  std::unique_ptr<TABSRecordKeyRef> key_ref_;
  std::unique_ptr<TABSBTree> tree_;
  std::vector<uint8_t> key_;
  std::vector<uint8_t> record_;
  std::vector<uint8_t> entry_;
};

}  // namespace dadoveri
