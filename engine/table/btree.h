// The generic B+-tree of index pages: the index page layout (TABSBTreePage), the leaf and
// node controllers, key paths, and TABSBTree, which searches, inserts with splits, deletes
// with merges, navigates and counts over any key reference (record keys or page numbers).
//
// Index page data area (behind the 40-byte storage page header), little-endian:
//   0 IsRoot | 1 IsLeaf | 2 PrevPageNo int32 | 6 NextPageNo int32 | 10 root-leaf mark |
//   11 HasEntryRef | 12 KeySize uint16 | 14 EntryCount uint16 | 16 ExtraHeaderSize uint16 |
//   18 + ExtraHeaderSize: entries, each its key followed by its link.
// Links: in a node the int32 page number of a child; in a leaf of a record index the
// 6-byte record identifier, in a leaf of a page-number index a uint16 count.
// In a node, entry i (i >= 1) holds the smallest key child i had when the entry was made;
// the key of entry 0 is all zero bytes and stands below every key. Pages of one level are
// chained in key order through PrevPageNo and NextPageNo.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "engine/base/little_endian.h"
#include "engine/storage/page_manager.h"

namespace dadoveri {

inline constexpr int32_t kIndexPageHeaderSize = 18;
inline constexpr int kMaxKeyPathDepth = 32;
inline constexpr int32_t kRecordIDSize = 6;
inline constexpr int32_t kNodeLinkSize = 4;

// A record's identity: the page that holds it and its slot there. Index entries store it
// as a signed 32-bit and a signed 16-bit integer and order by them in that order.
struct TABSRecordID {
  int32_t PageNo = -1;
  uint16_t SlotNo = 0;
  bool operator==(const TABSRecordID&) const = default;
};
// -1, 0 or 1.
int CompareRecordIDs(const TABSRecordID& a, const TABSRecordID& b);
inline void StoreRecordID(uint8_t* p, const TABSRecordID& id) {
  StoreLE<int32_t>(p, id.PageNo);
  StoreLE<int16_t>(p + 4, static_cast<int16_t>(id.SlotNo));
}
inline TABSRecordID LoadRecordID(const uint8_t* p) {
  return {LoadLE<int32_t>(p), static_cast<uint16_t>(LoadLE<int16_t>(p + 4))};
}

// The way from the root to one entry: per level the page, the entry number in it and the
// page's entry count. Level 0 is the root.
struct TABSKeyPathLevel {
  int32_t PageNo = -1;
  int32_t EntryNo = 0;
  int32_t EntryCount = 0;
};
struct TABSKeyPath {
  int32_t Depth = 0;
  TABSKeyPathLevel Levels[kMaxKeyPathDepth];
  bool IsEmpty() const { return Depth == 0; }
  TABSKeyPathLevel& Leaf() { return Levels[Depth - 1]; }
  const TABSKeyPathLevel& Leaf() const { return Levels[Depth - 1]; }
  void Clear() { Depth = 0; }
};
// Compares two paths of one index level by level by entry number (-1, 0, 1); paths of
// different depths or pages are refused with "Invalid index key path" (20051, 20052).
int CompareKeyPaths(const TABSKeyPath& a, const TABSKeyPath& b);

// A bound for the last key part a target compares, which the key reference interprets (a
// collation bound of a text prefix for record keys).
struct TABSKeyBound;

// What a search, an insertion or a deletion compares entries with.
struct TABSBTreeTarget {
  const uint8_t* Key = nullptr;     // a page key
  const void* Record = nullptr;     // the memory record the key was built from, if any
  bool HasRecordID = false;         // equal keys are then ordered by record identifier
  TABSRecordID RecordID;
  int32_t PartCount = -1;           // key parts compared; -1 for all
  const int32_t* PrefixLengths = nullptr;  // per part: -1 or a prefix length for text
  const TABSKeyBound* Bound = nullptr;     // when set, the last part compared is this bound
};

// A key comparison that cannot be decided without the entry's record (a tie on a cut
// text part between a node key, which carries no record identifier, and the target).
inline constexpr int kCompareNeedsEntry = 2;

class TABSBTreeKeyRef {
 public:
  virtual ~TABSBTreeKeyRef() = default;
  // Slot 0.
  virtual void SetKeyPartCount(int32_t count) = 0;
  // Slot 1: the target against an entry's page key: -1 target lower, 0 equal, 1 target
  // higher. `entry_id` is the entry's record identifier (null in nodes); without it a tie
  // that only the records can break answers kCompareNeedsEntry.
  virtual int ComparePageKeys(int32_t session, const TABSBTreeTarget& target, const uint8_t* entry_key,
                              const TABSRecordID* entry_id) = 0;
  // Slot 2: two full keys, every part.
  virtual int CompareFullKeys(const uint8_t* a, const uint8_t* b) = 0;

  virtual uint16_t PageKeySize() const = 0;
  // Whether some part of the page key is cut (equal page keys may then hold different
  // values, so the integrity check cannot demand increasing record identifiers).
  virtual bool HasTruncatedParts() const { return false; }
};

// One index page held from the page manager; given back when the wrapper goes.
class TABSBTreePage {
 public:
  TABSBTreePage() = default;
  TABSBTreePage(TABSPageHandle page, uint16_t leaf_link_size)
      : page_(std::move(page)), data_(page_.DataBytes()), data_size_(page_.DataSize()),
        leaf_link_size_(leaf_link_size) {}
  TABSBTreePage(TABSBTreePage&& other) noexcept = default;
  TABSBTreePage& operator=(TABSBTreePage&& other) noexcept = default;
  void Release() { page_.Release(); }

  int32_t PageNo() const { return page_.PageNo(); }
  void MarkDirty() { page_.MarkDirty(); }
  uint8_t* Data() { return data_; }
  const uint8_t* Data() const { return data_; }
  uint32_t DataSize() const { return data_size_; }

  bool IsRoot() const { return Data()[0] != 0; }
  void SetIsRoot(bool v) { Data()[0] = v ? 1 : 0; }
  bool IsLeaf() const { return Data()[1] != 0; }
  void SetIsLeaf(bool v) { Data()[1] = v ? 1 : 0; }
  int32_t PrevPageNo() const { return LoadLE<int32_t>(data_ + 2); }
  void SetPrevPageNo(int32_t v) { StoreLE<int32_t>(data_ + 2, v); }
  int32_t NextPageNo() const { return LoadLE<int32_t>(data_ + 6); }
  void SetNextPageNo(int32_t v) { StoreLE<int32_t>(data_ + 6, v); }
  bool HasEntryRef() const { return data_[11] != 0; }
  uint16_t KeySize() const { return LoadLE<uint16_t>(data_ + 12); }
  int32_t EntryCount() const { return LoadLE<uint16_t>(data_ + 14); }
  void SetEntryCount(int32_t n) { StoreLE<uint16_t>(data_ + 14, static_cast<uint16_t>(n)); }
  uint16_t ExtraHeaderSize() const { return LoadLE<uint16_t>(data_ + 16); }

  // Sets up an empty page of a tree.
  void Initialize(bool root, bool leaf, uint16_t key_size);

  int32_t LinkSize() const { return IsLeaf() ? leaf_link_size_ : kNodeLinkSize; }
  int32_t EntrySize() const { return KeySize() + LinkSize() + (HasEntryRef() ? 6 : 0); }
  int32_t EntriesOffset() const { return kIndexPageHeaderSize + ExtraHeaderSize(); }
  uint8_t* Entry(int32_t i) { return Data() + EntriesOffset() + i * EntrySize(); }
  const uint8_t* Entry(int32_t i) const { return Data() + EntriesOffset() + i * EntrySize(); }
  uint8_t* Link(int32_t i) { return Entry(i) + KeySize(); }
  const uint8_t* Link(int32_t i) const { return Entry(i) + KeySize(); }
  int32_t ChildPageNo(int32_t i) const { return LoadLE<int32_t>(Link(i)); }
  // Entries that fit in the data area.
  int32_t Capacity() const { return (static_cast<int32_t>(DataSize()) - EntriesOffset()) / EntrySize(); }
  // Whether the header describes entries that lie within the data area: no entry
  // references, and the extra header and EntryCount entries fit the page.
  bool IsConsistent() const;

 private:
  TABSPageHandle page_;
  uint8_t* data_ = nullptr;
  uint32_t data_size_ = 0;
  uint16_t leaf_link_size_ = 0;
};

// The page-level operations of one kind of page.
class TABSBTreePageController {
 public:
  virtual ~TABSBTreePageController() = default;
  virtual bool ForLeaves() const = 0;
  // Refuses a page of the other kind ("Internal index error", 20020 for leaves, 20024 for
  // nodes).
  void CheckPage(const TABSBTreePage& page) const;
  // Inserts an entry at a position; the page must have room.
  void InsertEntry(TABSBTreePage& page, int32_t position, const uint8_t* entry) const;
  // Removes the entry at a position ("Index error: page is empty", 20025, on an empty page).
  void RemoveEntry(TABSBTreePage& page, int32_t position) const;
  // Copies `count` entries from one page to a position of another (which must have room).
  void CopyEntries(const TABSBTreePage& from, int32_t first, int32_t count, TABSBTreePage& to, int32_t position) const;
};
class TABSBTreeLeafController final : public TABSBTreePageController {
 public:
  bool ForLeaves() const override { return true; }
};
class TABSBTreeNodeController final : public TABSBTreePageController {
 public:
  bool ForLeaves() const override { return false; }
  // Zeroes the key of entry 0 (the key below every other).
  void ClearFirstKey(TABSBTreePage& page) const;
};

class TABSBTree {
 public:
  // `leaf_link_size`: 6 for record identifiers (entries then order by them on equal keys),
  // 2 for the counts of page-number indexes.
  TABSBTree(TABSPageManager* pages, TABSBTreeKeyRef* key_ref, uint16_t leaf_link_size);

  int32_t RootPageNo() const { return root_page_no_; }
  void SetRootPageNo(int32_t page_no) {
    root_page_no_ = page_no;
    ++modifications_;
  }
  TABSPageManager* Pages() const { return pages_; }
  // Lets the append shortcut (see RightEnd below) run in a multi-user file too. Only for an
  // owner that drops this tree, or calls ForgetRightEnd, whenever it learns that another
  // process has changed the tree: the owner's table header tells it, as every change of a
  // table moves the header's counter on.
  void TrustRightEnd(bool trust) { trust_right_end_ = trust; }
  void ForgetRightEnd() { right_end_.valid = false; }
  TABSBTreeKeyRef* KeyRef() const { return key_ref_; }
  uint16_t KeySize() const { return key_ref_->PageKeySize(); }
  bool LeafLinksAreRecordIDs() const { return leaf_link_size_ == kRecordIDSize; }
  int32_t LeafEntrySize() const { return KeySize() + leaf_link_size_; }

  // Refuses a key too large for the page size: a node must hold three entries and a leaf
  // two ("Index key is too large for the database page size", 20296).
  void CheckKeySize() const;
  // Allocates the root as an empty root leaf.
  void CreateRoot(int32_t session);
  // Frees every page, root included.
  void Drop(int32_t session);
  // Frees every page but the root, which becomes an empty leaf again.
  void Empty(int32_t session);

  // Adds an entry (key of the target, then `link`). Duplicates of key and record
  // identifier are refused with "Index error: invalid params" (20078).
  void Insert(int32_t session, const TABSBTreeTarget& target, const uint8_t* link);
  // Removes the entry equal to the target (key and, when given, record identifier); false
  // when there is none.
  bool Delete(int32_t session, const TABSBTreeTarget& target);
  // The exact position of the entry equal to the target.
  bool Find(int32_t session, const TABSBTreeTarget& target, TABSKeyPath& path);
  // The first entry not lower than the target (`after_equal` false) or higher than it
  // (true); false when there is none.
  bool Seek(int32_t session, const TABSBTreeTarget& target, bool after_equal, TABSKeyPath& path);
  // Seek that also copies the entry found (key and link) into `entry`.
  bool SeekEntry(int32_t session, const TABSBTreeTarget& target, bool after_equal, TABSKeyPath& path,
                 uint8_t* entry);

  bool First(int32_t session, TABSKeyPath& path);
  bool Last(int32_t session, TABSKeyPath& path);
  // False at the last (first) entry, the path unchanged.
  bool Next(int32_t session, TABSKeyPath& path);
  bool Prior(int32_t session, TABSKeyPath& path);

  // Copies the leaf entry at the path (key and link), following the path's entry numbers
  // from the root.
  void ReadEntry(int32_t session, const TABSKeyPath& path, uint8_t* destination);
  // The leaf entry at the path's leaf level, read directly.
  void ReadLeafEntry(int32_t session, const TABSKeyPath& path, uint8_t* destination);
  void WriteLeafLink(int32_t session, const TABSKeyPath& path, const uint8_t* link);

  // The leaf page of the path, held while the result lives, so that a walk reads the
  // page's entries in place: refused as ReadLeafEntry refuses it (a node, 20020; an entry
  // number outside the page, 20068). The path's leaf count is set to the page's.
  TABSBTreePage LeafPage(int32_t session, TABSKeyPath& path);
  // Moves the path from its leaf to the first entry of the next leaf (forward) or the last
  // entry of the prior one, through the parents as Next and Prior do; false when the
  // path's leaf is the last (first), the path then on the leaf's last (first) entry.
  bool StepLeaf(int32_t session, bool forward, TABSKeyPath& path);

  // 1-based position of the path's entry in key order (walking the leaves before it).
  int64_t EntryNumber(int32_t session, const TABSKeyPath& path);
  // The leaf page and entry number of the n-th entry (1-based); false past the end.
  bool LeafOfEntryNumber(int32_t session, int64_t n, int32_t& page_no, int32_t& entry_no);
  // Number of entries (walking the leaves).
  int64_t Count(int32_t session);
  // Mixed-radix fraction of the path in [0, 1).
  static double ApproximatePosition(const TABSKeyPath& path);
  // Index ordinals: entry numbers + 1 as digits in base F + 1, the root most significant.
  int64_t Ordinal(const TABSKeyPath& path) const;
  bool PathOfOrdinal(int32_t session, int64_t ordinal, TABSKeyPath& path);
  // Data size div (page key size + 4).
  int32_t EntriesPerPage() const;
  int32_t EntriesPerPageRemainder() const;

  // Walks the leaf entries in key order: fn(entry bytes) answers false to stop.
  void ForEachEntry(int32_t session, const std::function<bool(const uint8_t*)>& fn);

  // Checks the structure: page kinds, chains at every level, separator keys, order of
  // entries; raises the integrity messages (20028, 20032, 20033). Answers the entry count.
  // Every page is read through the same check as any other operation: a header whose
  // entries would not fit the page, or a root mark on the wrong page, is "Invalid index
  // page" (20087).
  int64_t CheckIntegrity(int32_t session);
  // Depth of the tree (1 for a root leaf).
  int32_t Depth(int32_t session);

 private:
  TABSBTreePage get(int32_t session, int32_t page_no);
  TABSBTreePage add(int32_t session, bool leaf);
  void require_root() const;
  const TABSBTreePageController& controller(const TABSBTreePage& page) const;

  // Target against leaf entry i, the record identifier deciding equal keys when given.
  int compare_leaf(int32_t session, const TABSBTreeTarget& target, const TABSBTreePage& page, int32_t i);
  int compare_leaf_entry(int32_t session, const TABSBTreeTarget& target, const uint8_t* entry, int32_t key_size);
  // Target against node entry i (i >= 1) given `c`, the comparison with the entry's page
  // key: reads the child's first entry on ties.
  int settle_node_compare(int32_t session, const TABSBTreeTarget& target, const TABSBTreePage& page, int32_t i,
                          int c);
  // The first leaf entry of a subtree: its key into `key`, its record identifier into `id`.
  void first_entry_of(int32_t session, int32_t page_no, std::vector<uint8_t>& key, TABSRecordID& id);
  // Descends to the leaf; the leaf's entry number is the first entry not lower than the
  // target (`upper` false) or higher than it (`upper` true).
  void descend(int32_t session, const TABSBTreeTarget& target, bool upper, TABSKeyPath& path,
               uint8_t* entry = nullptr);
  // Moves a path that points past the end of its leaf to the next leaf's first entry.
  bool normalize_forward(int32_t session, TABSKeyPath& path);
  bool edge(int32_t session, TABSKeyPath& path, bool last);

  // False when the page at `level` had to split.
  bool insert_at(int32_t session, TABSKeyPath& path, int32_t level, int32_t position, const uint8_t* entry);
  // Whether a path leads along the last entry of every node to the end of the last leaf.
  static bool at_right_end(const TABSKeyPath& path);
  void remember_right_end(int32_t session, const TABSKeyPath& path);
  void remove_at(int32_t session, TABSKeyPath& path, int32_t level, int32_t position);
  void collapse_root(int32_t session);
  void unlink_and_free(int32_t session, TABSBTreePage& page);
  void free_subtree_levels(int32_t session, bool keep_root);

  TABSPageManager* pages_;
  TABSBTreeKeyRef* key_ref_;
  uint16_t leaf_link_size_;
  int32_t root_page_no_ = -1;
  TABSBTreeLeafController leaf_controller_;
  TABSBTreeNodeController node_controller_;
  std::vector<uint8_t> scratch_key_;
  std::vector<uint8_t> scratch_entry_;
  // Every change of the tree's shape or keys moves this on.
  uint64_t modifications_ = 0;
  // The path to the end of the last leaf, as the last descent there found it. Keys that
  // ascend (a counter, a page number) all go there: while the tree has not changed since,
  // in the same session and with no rollback between, a target after the last leaf's last
  // entry takes this path without descending. Not in a multi-user file, whose pages other
  // processes change, unless the owner trusts it (TrustRightEnd).
  struct RightEnd {
    TABSKeyPath path;
    int32_t session = -1;
    int32_t root = -1;
    uint64_t modifications = 0;
    uint64_t rollback_count = 0;
    bool valid = false;
  } right_end_;
  bool trust_right_end_ = false;
  bool right_end_usable() const;
};

}  // namespace dadoveri
