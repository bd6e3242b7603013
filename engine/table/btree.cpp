#include "engine/table/btree.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <set>

#include "engine/base/engine_error.h"
#include "engine/base/little_endian.h"

namespace dadoveri {

int CompareRecordIDs(const TABSRecordID& a, const TABSRecordID& b) {
  if (a.PageNo != b.PageNo) return a.PageNo < b.PageNo ? -1 : 1;
  const int16_t sa = static_cast<int16_t>(a.SlotNo), sb = static_cast<int16_t>(b.SlotNo);
  return sa < sb ? -1 : sa > sb ? 1 : 0;
}

int CompareKeyPaths(const TABSKeyPath& a, const TABSKeyPath& b) {
  if (a.Depth != b.Depth) RaiseError(20051);
  for (int32_t l = 0; l < a.Depth; ++l) {
    if (a.Levels[l].EntryNo != b.Levels[l].EntryNo) return a.Levels[l].EntryNo < b.Levels[l].EntryNo ? -1 : 1;
    if (a.Levels[l].PageNo != b.Levels[l].PageNo) RaiseError(20052);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------
// TABSBTreePage

void TABSBTreePage::Initialize(bool root, bool leaf, uint16_t key_size) {
  uint8_t* d = Data();
  std::memset(d, 0, DataSize());
  SetIsRoot(root);
  SetIsLeaf(leaf);
  SetPrevPageNo(-1);
  SetNextPageNo(-1);
  d[10] = root && leaf ? 1 : 0;
  StoreLE<uint16_t>(d + 12, key_size);
}

// ---------------------------------------------------------------------------------------
// Controllers

void TABSBTreePageController::CheckPage(const TABSBTreePage& page) const {
  if (page.IsLeaf() != ForLeaves()) RaiseError(ForLeaves() ? 20020 : 20024);
}

void TABSBTreePageController::InsertEntry(TABSBTreePage& page, int32_t position, const uint8_t* entry) const {
  CheckPage(page);
  const int32_t n = page.EntryCount(), size = page.EntrySize();
  if (position < 0 || position > n || n >= page.Capacity()) RaiseError(20078);
  std::memmove(page.Entry(position + 1), page.Entry(position), static_cast<size_t>((n - position) * size));
  std::memcpy(page.Entry(position), entry, static_cast<size_t>(size));
  page.SetEntryCount(n + 1);
  page.MarkDirty();
}

void TABSBTreePageController::RemoveEntry(TABSBTreePage& page, int32_t position) const {
  CheckPage(page);
  const int32_t n = page.EntryCount(), size = page.EntrySize();
  if (n == 0) RaiseError(20025);
  if (position < 0 || position >= n) RaiseError(20078);
  std::memmove(page.Entry(position), page.Entry(position + 1), static_cast<size_t>((n - position - 1) * size));
  std::memset(page.Entry(n - 1), 0, static_cast<size_t>(size));
  page.SetEntryCount(n - 1);
  page.MarkDirty();
}

void TABSBTreePageController::CopyEntries(const TABSBTreePage& from, int32_t first, int32_t count, TABSBTreePage& to,
                                          int32_t position) const {
  CheckPage(from);
  CheckPage(to);
  const int32_t n = to.EntryCount(), size = to.EntrySize();
  if (count == 0) return;
  if (n + count > to.Capacity() || position > n) RaiseError(20078);
  std::memmove(to.Entry(position + count), to.Entry(position), static_cast<size_t>((n - position) * size));
  std::memcpy(to.Entry(position), from.Entry(first), static_cast<size_t>(count * size));
  to.SetEntryCount(n + count);
  to.MarkDirty();
}

void TABSBTreeNodeController::ClearFirstKey(TABSBTreePage& page) const {
  if (page.EntryCount() > 0) std::memset(page.Entry(0), 0, page.KeySize());
  page.MarkDirty();
}

// ---------------------------------------------------------------------------------------
// TABSBTree

TABSBTree::TABSBTree(TABSPageManager* pages, TABSBTreeKeyRef* key_ref, uint16_t leaf_link_size)
    : pages_(pages), key_ref_(key_ref), leaf_link_size_(leaf_link_size) {
  if (!pages_ || !key_ref_) RaiseError(20076);
}

bool TABSBTreePage::IsConsistent() const {
  // Entries carrying references are never written by this engine: their size would differ
  // from the entries the tree copies in and out.
  if (HasEntryRef()) return false;
  const int64_t entries_end =
      static_cast<int64_t>(EntriesOffset()) + static_cast<int64_t>(EntryCount()) * EntrySize();
  return entries_end <= static_cast<int64_t>(DataSize());
}

TABSBTreePage TABSBTree::get(int32_t session, int32_t page_no) {
  if (page_no < 0) RaiseError(20070);
  // A multi-user file's cached pages are checked against the file (another process may
  // have changed them); other page managers trust their cache.
  TABSPageHandle page = pages_->GetPage(session, page_no, pages_->MultiUser(), ptTableIndex);
  const bool index_page = page.PageType() == ptTableIndex;
  TABSBTreePage result(std::move(page), leaf_link_size_);
  // Every search, insertion and removal reads the page's layout from its header: a header
  // of another tree, or one whose entries would run past the data area, is refused here.
  if (!index_page || result.KeySize() != KeySize() || !result.IsConsistent() ||
      result.IsRoot() != (page_no == root_page_no_))
    RaiseError(20087);
  return result;
}

TABSBTreePage TABSBTree::add(int32_t session, bool leaf) {
  TABSBTreePage page(pages_->AddPage(session, ptTableIndex), leaf_link_size_);
  page.Initialize(false, leaf, KeySize());
  page.MarkDirty();
  return page;
}

void TABSBTree::require_root() const {
  if (root_page_no_ < 0) RaiseError(20119);
}

const TABSBTreePageController& TABSBTree::controller(const TABSBTreePage& page) const {
  if (page.IsLeaf()) return leaf_controller_;
  return node_controller_;
}

void TABSBTree::CheckKeySize() const {
  const int32_t room = pages_->DataSize() - kIndexPageHeaderSize;
  // Nodes split into halves of at least two entries so that every level stays at least
  // twice as wide as the one above it: a node of room for two could make a tree that
  // takes turns of inserts and deletes ever deeper.
  if (KeySize() == 0 || 3 * (KeySize() + kNodeLinkSize) > room || 2 * LeafEntrySize() > room)
    RaiseError(20296, KeySize(), pages_->PageSize());
}

void TABSBTree::CreateRoot(int32_t session) {
  ++modifications_;
  CheckKeySize();
  TABSBTreePage root(pages_->AddPage(session, ptTableIndex), leaf_link_size_);
  root.Initialize(true, true, KeySize());
  root.MarkDirty();
  root_page_no_ = root.PageNo();
}

void TABSBTree::free_subtree_levels(int32_t session, bool keep_root) {
  ++modifications_;
  require_root();
  // Level by level from the leftmost page of each level along the chain. A page met twice,
  // on one level or on two, means links that loop.
  int32_t leftmost = root_page_no_;
  std::set<int32_t> seen;
  while (leftmost != -1) {
    int32_t next_level = -1;
    int32_t page_no = leftmost;
    while (page_no != -1) {
      if (!seen.insert(page_no).second) RaiseError(20032, page_no, 0);
      TABSBTreePage page = get(session, page_no);
      if (page_no == leftmost && !page.IsLeaf() && page.EntryCount() > 0) next_level = page.ChildPageNo(0);
      const int32_t next = page.NextPageNo();
      page.Release();
      if (!(keep_root && page_no == root_page_no_)) pages_->FreePage(session, page_no);
      page_no = next;
    }
    leftmost = next_level;
  }
}

void TABSBTree::Drop(int32_t session) {
  free_subtree_levels(session, false);
  root_page_no_ = -1;
}

void TABSBTree::Empty(int32_t session) {
  free_subtree_levels(session, true);
  TABSBTreePage root = get(session, root_page_no_);
  root.Initialize(true, true, KeySize());
  root.MarkDirty();
}

int32_t TABSBTree::Depth(int32_t session) {
  require_root();
  int32_t depth = 1;
  TABSBTreePage page = get(session, root_page_no_);
  while (!page.IsLeaf()) {
    if (page.EntryCount() == 0) RaiseError(20087);
    const int32_t child = page.ChildPageNo(0);
    page = get(session, child);
    if (++depth > kMaxKeyPathDepth) RaiseError(20078);
  }
  return depth;
}

// ---------------------------------------------------------------------------------------
// Comparison and descent

int TABSBTree::compare_leaf(int32_t session, const TABSBTreeTarget& target, const TABSBTreePage& page, int32_t i) {
  return compare_leaf_entry(session, target, page.Entry(i), KeySize());
}

int TABSBTree::compare_leaf_entry(int32_t session, const TABSBTreeTarget& target, const uint8_t* entry,
                                  int32_t key_size) {
  TABSRecordID id;
  const bool ids = LeafLinksAreRecordIDs();
  if (ids) id = LoadRecordID(entry + key_size);
  int c = key_ref_->ComparePageKeys(session, target, entry, ids ? &id : nullptr);
  if (c == 0 && target.HasRecordID && ids) c = CompareRecordIDs(target.RecordID, id);
  return c;
}

void TABSBTree::first_entry_of(int32_t session, int32_t page_no, std::vector<uint8_t>& key, TABSRecordID& id) {
  TABSBTreePage page = get(session, page_no);
  int32_t depth = 0;
  while (!page.IsLeaf()) {
    if (page.EntryCount() == 0 || ++depth > kMaxKeyPathDepth) RaiseError(20087);
    const int32_t child = page.ChildPageNo(0);
    page = get(session, child);
  }
  if (page.EntryCount() == 0) RaiseError(20087);
  key.assign(page.Entry(0), page.Entry(0) + KeySize());
  id = LeafLinksAreRecordIDs() ? LoadRecordID(page.Link(0)) : TABSRecordID{};
}

int TABSBTree::settle_node_compare(int32_t session, const TABSBTreeTarget& target, const TABSBTreePage& page,
                                   int32_t i, int c) {
  const bool ids = LeafLinksAreRecordIDs();
  if (c == kCompareNeedsEntry || (c == 0 && target.HasRecordID && ids)) {
    std::vector<uint8_t> key;
    TABSRecordID id;
    first_entry_of(session, page.ChildPageNo(i), key, id);
    c = key_ref_->ComparePageKeys(session, target, key.data(), ids ? &id : nullptr);
    if (c == 0 && target.HasRecordID && ids) c = CompareRecordIDs(target.RecordID, id);
  }
  return c;
}

bool TABSBTree::at_right_end(const TABSKeyPath& path) {
  if (path.Depth <= 0) return false;
  for (int32_t i = 0; i + 1 < path.Depth; ++i)
    if (path.Levels[i].EntryNo != path.Levels[i].EntryCount - 1) return false;
  return path.Leaf().EntryCount > 0 && path.Leaf().EntryNo == path.Leaf().EntryCount;
}

bool TABSBTree::right_end_usable() const { return !pages_->MultiUser() || trust_right_end_; }

void TABSBTree::remember_right_end(int32_t session, const TABSKeyPath& path) {
  if (!right_end_usable() || !at_right_end(path)) {
    right_end_.valid = false;
    return;
  }
  right_end_.path = path;
  right_end_.session = session;
  right_end_.root = root_page_no_;
  right_end_.modifications = modifications_;
  right_end_.rollback_count = pages_->RollbackCount();
  right_end_.valid = true;
}

void TABSBTree::descend(int32_t session, const TABSBTreeTarget& target, bool upper, TABSKeyPath& path,
                        uint8_t* entry) {
  require_root();
  const int32_t key_size = KeySize();
  const RightEnd& end = right_end_;
  if (end.valid && end.session == session && end.root == root_page_no_ && end.modifications == modifications_ &&
      end.rollback_count == pages_->RollbackCount() && right_end_usable()) {
    const TABSKeyPathLevel& cached = end.path.Leaf();
    TABSBTreePage page = get(session, cached.PageNo);
    const int32_t n = page.EntryCount();
    if (page.IsLeaf() && page.NextPageNo() == -1 && n == cached.EntryCount && n > 0) {
      const int c = compare_leaf_entry(session, target, page.Entry(n - 1), key_size);
      if (c > 0 || (c == 0 && upper)) {
        path = end.path;
        return;
      }
    }
  }
  path.Depth = 0;
  int32_t page_no = root_page_no_;
  for (;;) {
    if (path.Depth >= kMaxKeyPathDepth) RaiseError(20078);
    TABSBTreePage page = get(session, page_no);
    const int32_t n = page.EntryCount();
    TABSKeyPathLevel& level = path.Levels[path.Depth++];
    level.PageNo = page_no;
    level.EntryCount = n;
    // Binary search for the first entry the target goes before; the page's layout is read
    // once.
    const bool leaf = page.IsLeaf();
    const uint8_t* entries = page.Entry(0);
    const int32_t size = page.EntrySize();
    int32_t lo = leaf ? 0 : 1, hi = n;
    while (lo < hi) {
      const int32_t mid = lo + (hi - lo) / 2;
      const uint8_t* at = entries + static_cast<ptrdiff_t>(mid) * size;
      const int c = leaf ? compare_leaf_entry(session, target, at, key_size)
                         : settle_node_compare(session, target, page, mid,
                                               key_ref_->ComparePageKeys(session, target, at, nullptr));
      if (c > 0 || (c == 0 && upper)) lo = mid + 1;
      else hi = mid;
    }
    if (leaf) {
      level.EntryNo = lo;
      if (entry && lo < n) std::memcpy(entry, page.Entry(lo), static_cast<size_t>(page.EntrySize()));
      if (lo == n && n > 0 && page.NextPageNo() == -1) remember_right_end(session, path);
      return;
    }
    if (n == 0) RaiseError(20087);
    level.EntryNo = lo - 1;
    page_no = page.ChildPageNo(lo - 1);
  }
}

bool TABSBTree::normalize_forward(int32_t session, TABSKeyPath& path) {
  TABSKeyPathLevel& leaf = path.Leaf();
  if (leaf.EntryNo < leaf.EntryCount) return true;
  if (leaf.EntryCount == 0) return false;
  leaf.EntryNo = leaf.EntryCount - 1;
  return Next(session, path);
}

bool TABSBTree::Find(int32_t session, const TABSBTreeTarget& target, TABSKeyPath& path) {
  descend(session, target, true, path);
  TABSKeyPathLevel& leaf = path.Leaf();
  if (leaf.EntryNo == 0) return false;
  --leaf.EntryNo;
  TABSBTreePage page = get(session, leaf.PageNo);
  return compare_leaf(session, target, page, leaf.EntryNo) == 0;
}

bool TABSBTree::Seek(int32_t session, const TABSBTreeTarget& target, bool after_equal, TABSKeyPath& path) {
  descend(session, target, after_equal, path);
  return normalize_forward(session, path);
}

bool TABSBTree::SeekEntry(int32_t session, const TABSBTreeTarget& target, bool after_equal, TABSKeyPath& path,
                          uint8_t* entry) {
  descend(session, target, after_equal, path, entry);
  if (path.Leaf().EntryNo < path.Leaf().EntryCount) return true;
  if (!normalize_forward(session, path)) return false;
  ReadLeafEntry(session, path, entry);
  return true;
}

bool TABSBTree::edge(int32_t session, TABSKeyPath& path, bool last) {
  require_root();
  path.Depth = 0;
  int32_t page_no = root_page_no_;
  for (;;) {
    if (path.Depth >= kMaxKeyPathDepth) RaiseError(20078);
    TABSBTreePage page = get(session, page_no);
    const int32_t n = page.EntryCount();
    TABSKeyPathLevel& level = path.Levels[path.Depth++];
    level.PageNo = page_no;
    level.EntryCount = n;
    level.EntryNo = last ? std::max(n - 1, 0) : 0;
    if (n == 0) {
      path.Depth = 0;
      return false;
    }
    if (page.IsLeaf()) return true;
    page_no = page.ChildPageNo(level.EntryNo);
  }
}

bool TABSBTree::First(int32_t session, TABSKeyPath& path) { return edge(session, path, false); }
bool TABSBTree::Last(int32_t session, TABSKeyPath& path) { return edge(session, path, true); }

bool TABSBTree::Next(int32_t session, TABSKeyPath& path) {
  if (path.IsEmpty()) RaiseError(20068);
  int32_t l = path.Depth - 1;
  while (l >= 0 && path.Levels[l].EntryNo >= path.Levels[l].EntryCount - 1) --l;
  if (l < 0) return false;
  ++path.Levels[l].EntryNo;
  for (int32_t m = l + 1; m < path.Depth; ++m) {
    TABSBTreePage current = get(session, path.Levels[m].PageNo);
    const int32_t next = current.NextPageNo();
    if (next == -1) RaiseError(20070);
    current = get(session, next);
    path.Levels[m] = {next, 0, current.EntryCount()};
  }
  return true;
}

bool TABSBTree::Prior(int32_t session, TABSKeyPath& path) {
  if (path.IsEmpty()) RaiseError(20069);
  int32_t l = path.Depth - 1;
  while (l >= 0 && path.Levels[l].EntryNo <= 0) --l;
  if (l < 0) return false;
  --path.Levels[l].EntryNo;
  for (int32_t m = l + 1; m < path.Depth; ++m) {
    TABSBTreePage current = get(session, path.Levels[m].PageNo);
    const int32_t prior = current.PrevPageNo();
    if (prior == -1) RaiseError(20071);
    current = get(session, prior);
    path.Levels[m] = {prior, current.EntryCount() - 1, current.EntryCount()};
  }
  return true;
}

void TABSBTree::ReadEntry(int32_t session, const TABSKeyPath& path, uint8_t* destination) {
  require_root();
  if (path.IsEmpty()) RaiseError(20068);
  int32_t page_no = root_page_no_;
  for (int32_t l = 0; l < path.Depth; ++l) {
    TABSBTreePage page = get(session, page_no);
    const int32_t e = path.Levels[l].EntryNo;
    if (e < 0 || e >= page.EntryCount()) RaiseError(20068);
    if (page.IsLeaf() != (l == path.Depth - 1)) RaiseError(l == path.Depth - 1 ? 20020 : 20024);
    if (page.IsLeaf()) {
      std::memcpy(destination, page.Entry(e), static_cast<size_t>(page.EntrySize()));
      return;
    }
    page_no = page.ChildPageNo(e);
  }
}

void TABSBTree::ReadLeafEntry(int32_t session, const TABSKeyPath& path, uint8_t* destination) {
  if (path.IsEmpty()) RaiseError(20068);
  TABSBTreePage page = get(session, path.Leaf().PageNo);
  leaf_controller_.CheckPage(page);
  const int32_t e = path.Leaf().EntryNo;
  if (e < 0 || e >= page.EntryCount()) RaiseError(20068);
  std::memcpy(destination, page.Entry(e), static_cast<size_t>(page.EntrySize()));
}

TABSBTreePage TABSBTree::LeafPage(int32_t session, TABSKeyPath& path) {
  if (path.IsEmpty()) RaiseError(20068);
  TABSBTreePage page = get(session, path.Leaf().PageNo);
  leaf_controller_.CheckPage(page);
  const int32_t e = path.Leaf().EntryNo;
  if (e < 0 || e >= page.EntryCount()) RaiseError(20068);
  path.Leaf().EntryCount = page.EntryCount();
  return page;
}

bool TABSBTree::StepLeaf(int32_t session, bool forward, TABSKeyPath& path) {
  if (path.IsEmpty()) RaiseError(forward ? 20068 : 20069);
  TABSKeyPathLevel& leaf = path.Leaf();
  leaf.EntryNo = forward ? std::max(leaf.EntryCount - 1, 0) : 0;
  return forward ? Next(session, path) : Prior(session, path);
}

void TABSBTree::WriteLeafLink(int32_t session, const TABSKeyPath& path, const uint8_t* link) {
  if (path.IsEmpty()) RaiseError(20068);
  TABSBTreePage page = get(session, path.Leaf().PageNo);
  leaf_controller_.CheckPage(page);
  const int32_t e = path.Leaf().EntryNo;
  if (e < 0 || e >= page.EntryCount()) RaiseError(20068);
  std::memcpy(page.Link(e), link, leaf_link_size_);
  page.MarkDirty();
}

// ---------------------------------------------------------------------------------------
// Insertion

void TABSBTree::Insert(int32_t session, const TABSBTreeTarget& target, const uint8_t* link) {
  TABSKeyPath path;
  descend(session, target, true, path);
  TABSKeyPathLevel& leaf = path.Leaf();
  if (leaf.EntryNo > 0) {
    TABSBTreePage page = get(session, leaf.PageNo);
    if (compare_leaf(session, target, page, leaf.EntryNo - 1) == 0) RaiseError(20078);
  }
  std::vector<uint8_t>& entry = scratch_entry_;
  entry.resize(static_cast<size_t>(LeafEntrySize()));
  std::memcpy(entry.data(), target.Key, KeySize());
  std::memcpy(entry.data() + KeySize(), link, leaf_link_size_);
  const bool appended = at_right_end(path);
  if (insert_at(session, path, path.Depth - 1, leaf.EntryNo, entry.data()) && appended) {
    // Still the end of the last leaf, one entry further on: the next ascending key goes
    // there too.
    ++leaf.EntryCount;
    ++leaf.EntryNo;
    remember_right_end(session, path);
  }
}

bool TABSBTree::insert_at(int32_t session, TABSKeyPath& path, int32_t level, int32_t position,
                          const uint8_t* entry) {
  ++modifications_;
  TABSBTreePage page = get(session, path.Levels[level].PageNo);
  const TABSBTreePageController& ctl = controller(page);
  const int32_t n = page.EntryCount(), size = page.EntrySize();
  if (n < page.Capacity()) {
    ctl.InsertEntry(page, position, entry);
    if (!page.IsLeaf() && position == 0) node_controller_.ClearFirstKey(page);
    return true;
  }
  // The page overflows: gather its entries with the new one and split them in two.
  const int32_t total = n + 1;
  std::vector<uint8_t> all(static_cast<size_t>(total * size));
  std::memcpy(all.data(), page.Entry(0), static_cast<size_t>(position * size));
  std::memcpy(all.data() + position * size, entry, static_cast<size_t>(size));
  std::memcpy(all.data() + (position + 1) * size, page.Entry(position), static_cast<size_t>((n - position) * size));
  const int32_t left_count = total / 2, right_count = total - left_count;
  const bool leaf = page.IsLeaf();
  auto fill = [&](TABSBTreePage& p, int32_t first, int32_t count) {
    std::memcpy(p.Entry(0), all.data() + first * size, static_cast<size_t>(count * size));
    p.SetEntryCount(count);
    p.MarkDirty();
  };
  // The separator: the first key of the right half (a node's real key, cleared in the
  // right page afterwards).
  std::vector<uint8_t> separator(static_cast<size_t>(KeySize() + kNodeLinkSize));
  if (page.IsRoot()) {
    TABSBTreePage left = add(session, leaf);
    TABSBTreePage right = add(session, leaf);
    fill(left, 0, left_count);
    fill(right, left_count, right_count);
    left.SetNextPageNo(right.PageNo());
    right.SetPrevPageNo(left.PageNo());
    std::memcpy(separator.data(), right.Entry(0), KeySize());
    if (!leaf) {
      node_controller_.ClearFirstKey(left);
      node_controller_.ClearFirstKey(right);
    }
    page.Initialize(true, false, KeySize());
    std::memset(page.Entry(0), 0, KeySize());
    StoreLE<int32_t>(page.Link(0), left.PageNo());
    std::memcpy(page.Entry(1), separator.data(), KeySize());
    StoreLE<int32_t>(page.Link(1), right.PageNo());
    page.SetEntryCount(2);
    page.MarkDirty();
    return false;
  }
  TABSBTreePage right = add(session, leaf);
  std::memset(page.Entry(0), 0, static_cast<size_t>(n * size));
  fill(page, 0, left_count);
  fill(right, left_count, right_count);
  if (!leaf) node_controller_.ClearFirstKey(page);
  std::memcpy(separator.data(), right.Entry(0), KeySize());
  if (!leaf) node_controller_.ClearFirstKey(right);
  const int32_t old_next = page.NextPageNo();
  right.SetNextPageNo(old_next);
  right.SetPrevPageNo(page.PageNo());
  page.SetNextPageNo(right.PageNo());
  if (old_next != -1) {
    TABSBTreePage next = get(session, old_next);
    next.SetPrevPageNo(right.PageNo());
    next.MarkDirty();
  }
  StoreLE<int32_t>(separator.data() + KeySize(), right.PageNo());
  const int32_t parent_position = path.Levels[level - 1].EntryNo + 1;
  page.Release();
  right.Release();
  insert_at(session, path, level - 1, parent_position, separator.data());
  return false;
}

// ---------------------------------------------------------------------------------------
// Deletion

bool TABSBTree::Delete(int32_t session, const TABSBTreeTarget& target) {
  TABSKeyPath path;
  if (!Find(session, target, path)) return false;
  remove_at(session, path, path.Depth - 1, path.Leaf().EntryNo);
  return true;
}

void TABSBTree::unlink_and_free(int32_t session, TABSBTreePage& page) {
  const int32_t prev = page.PrevPageNo(), next = page.NextPageNo(), page_no = page.PageNo();
  page.Release();
  if (prev != -1) {
    TABSBTreePage p = get(session, prev);
    p.SetNextPageNo(next);
    p.MarkDirty();
  }
  if (next != -1) {
    TABSBTreePage p = get(session, next);
    p.SetPrevPageNo(prev);
    p.MarkDirty();
  }
  pages_->FreePage(session, page_no);
}

void TABSBTree::remove_at(int32_t session, TABSKeyPath& path, int32_t level, int32_t position) {
  ++modifications_;
  TABSBTreePage page = get(session, path.Levels[level].PageNo);
  const TABSBTreePageController& ctl = controller(page);
  ctl.RemoveEntry(page, position);
  if (!page.IsLeaf() && position == 0) node_controller_.ClearFirstKey(page);
  const int32_t n = page.EntryCount(), size = page.EntrySize();
  if (page.IsRoot()) {
    page.Release();
    collapse_root(session);
    return;
  }
  const int32_t room = static_cast<int32_t>(page.DataSize()) - page.EntriesOffset();
  const int32_t parent_entry = path.Levels[level - 1].EntryNo;
  if (n == 0) {
    // An empty page leaves the tree whatever its neighbours hold.
    unlink_and_free(session, page);
    remove_at(session, path, level - 1, parent_entry);
    return;
  }
  if (n * size >= room / 2) return;
  // Merge with a neighbour under the same parent: a merge across parents would leave the
  // separator keys of the ancestors wrong.
  TABSBTreePage parent = get(session, path.Levels[level - 1].PageNo);
  const int32_t parent_count = parent.EntryCount();
  const bool leaf = page.IsLeaf();
  auto fits = [&](int32_t other) {
    return (n + other) * size + page.EntriesOffset() < static_cast<int32_t>(page.DataSize());
  };
  if (parent_entry > 0) {
    TABSBTreePage prev = get(session, parent.ChildPageNo(parent_entry - 1));
    if (prev.PageNo() != page.PrevPageNo()) RaiseError(20033, prev.PageNo(), parent_entry - 1);
    if (fits(prev.EntryCount())) {
      // This page's first entry gets its real lower bound: the parent's key for it.
      if (!leaf) std::memcpy(page.Entry(0), parent.Entry(parent_entry), KeySize());
      ctl.CopyEntries(page, 0, n, prev, prev.EntryCount());
      prev.Release();
      parent.Release();
      unlink_and_free(session, page);
      remove_at(session, path, level - 1, parent_entry);
      return;
    }
  }
  if (parent_entry < parent_count - 1) {
    TABSBTreePage next = get(session, parent.ChildPageNo(parent_entry + 1));
    if (next.PageNo() != page.NextPageNo()) RaiseError(20033, next.PageNo(), parent_entry + 1);
    if (fits(next.EntryCount())) {
      if (!leaf) {
        std::memcpy(next.Entry(0), parent.Entry(parent_entry + 1), KeySize());
        next.MarkDirty();
      }
      ctl.CopyEntries(page, 0, n, next, 0);
      if (!leaf) node_controller_.ClearFirstKey(next);
      // The parent's entry of this page now leads to the next page, whose own entry goes.
      StoreLE<int32_t>(parent.Link(parent_entry), next.PageNo());
      parent.MarkDirty();
      next.Release();
      parent.Release();
      unlink_and_free(session, page);
      remove_at(session, path, level - 1, parent_entry + 1);
      return;
    }
  }
}

void TABSBTree::collapse_root(int32_t session) {
  ++modifications_;
  // Each round removes one level; a tree never has more levels than a key path holds.
  for (int32_t round = 0;; ++round) {
    TABSBTreePage root = get(session, root_page_no_);
    if (root.IsLeaf() || root.EntryCount() > 1) return;
    if (root.EntryCount() == 0) {
      root.Initialize(true, true, KeySize());
      root.MarkDirty();
      return;
    }
    if (round >= kMaxKeyPathDepth) RaiseError(20032, root_page_no_, 0);
    TABSBTreePage child = get(session, root.ChildPageNo(0));
    const int32_t child_no = child.PageNo();
    std::memcpy(root.Data(), child.Data(), root.DataSize());
    root.SetIsRoot(true);
    root.SetPrevPageNo(-1);
    root.SetNextPageNo(-1);
    root.Data()[10] = root.IsLeaf() ? 1 : 0;
    root.MarkDirty();
    child.Release();
    pages_->FreePage(session, child_no);
  }
}

// ---------------------------------------------------------------------------------------
// Positions and counts

int64_t TABSBTree::EntryNumber(int32_t session, const TABSKeyPath& path) {
  if (path.IsEmpty()) RaiseError(20068);
  int64_t number = path.Leaf().EntryNo + 1;
  TABSBTreePage page = get(session, path.Leaf().PageNo);
  std::set<int32_t> seen;
  for (int32_t prev = page.PrevPageNo(); prev != -1;) {
    if (!seen.insert(prev).second) RaiseError(20032, prev, 0);
    page = get(session, prev);
    number += page.EntryCount();
    prev = page.PrevPageNo();
  }
  return number;
}

bool TABSBTree::LeafOfEntryNumber(int32_t session, int64_t n, int32_t& page_no, int32_t& entry_no) {
  TABSKeyPath path;
  if (n < 1 || !First(session, path)) return false;
  int32_t current = path.Leaf().PageNo;
  std::set<int32_t> seen;
  while (current != -1) {
    if (!seen.insert(current).second) RaiseError(20032, current, 0);
    TABSBTreePage page = get(session, current);
    if (n <= page.EntryCount()) {
      page_no = current;
      entry_no = static_cast<int32_t>(n - 1);
      return true;
    }
    n -= page.EntryCount();
    current = page.NextPageNo();
  }
  return false;
}

int64_t TABSBTree::Count(int32_t session) {
  TABSKeyPath path;
  if (!First(session, path)) return 0;
  int64_t count = 0;
  std::set<int32_t> seen;
  for (int32_t current = path.Leaf().PageNo; current != -1;) {
    if (!seen.insert(current).second) RaiseError(20032, current, 0);
    TABSBTreePage page = get(session, current);
    count += page.EntryCount();
    current = page.NextPageNo();
  }
  return count;
}

double TABSBTree::ApproximatePosition(const TABSKeyPath& path) {
  double position = 0, scale = 1;
  for (int32_t l = 0; l < path.Depth; ++l) {
    const int32_t c = std::max(path.Levels[l].EntryCount, 1);
    scale *= c;
    position += path.Levels[l].EntryNo / scale;
  }
  return std::clamp(position, 0.0, 1.0);
}

int32_t TABSBTree::EntriesPerPage() const { return pages_->DataSize() / (KeySize() + 4); }
int32_t TABSBTree::EntriesPerPageRemainder() const { return pages_->DataSize() % (KeySize() + 4); }

int64_t TABSBTree::Ordinal(const TABSKeyPath& path) const {
  const int64_t base = EntriesPerPage() + 1;
  int64_t ordinal = 0;
  for (int32_t l = 0; l < path.Depth; ++l) ordinal = ordinal * base + path.Levels[l].EntryNo + 1;
  return ordinal;
}

bool TABSBTree::PathOfOrdinal(int32_t session, int64_t ordinal, TABSKeyPath& path) {
  const int64_t base = EntriesPerPage() + 1;
  const int32_t depth = Depth(session);
  path.Depth = depth;
  for (int32_t l = depth - 1; l >= 0; --l) {
    path.Levels[l].EntryNo = static_cast<int32_t>(ordinal % base) - 1;
    ordinal /= base;
  }
  if (ordinal != 0) return false;
  int32_t page_no = root_page_no_;
  for (int32_t l = 0; l < depth; ++l) {
    TABSBTreePage page = get(session, page_no);
    TABSKeyPathLevel& level = path.Levels[l];
    level.PageNo = page_no;
    level.EntryCount = page.EntryCount();
    if (level.EntryNo < 0 || level.EntryNo >= level.EntryCount) return false;
    if (!page.IsLeaf()) page_no = page.ChildPageNo(level.EntryNo);
  }
  return true;
}

void TABSBTree::ForEachEntry(int32_t session, const std::function<bool(const uint8_t*)>& fn) {
  TABSKeyPath path;
  if (!First(session, path)) return;
  std::set<int32_t> seen;
  for (int32_t current = path.Leaf().PageNo; current != -1;) {
    if (!seen.insert(current).second) RaiseError(20032, current, 0);
    TABSBTreePage page = get(session, current);
    for (int32_t i = 0; i < page.EntryCount(); ++i)
      if (!fn(page.Entry(i))) return;
    current = page.NextPageNo();
  }
}

// ---------------------------------------------------------------------------------------
// Integrity

int64_t TABSBTree::CheckIntegrity(int32_t session) {
  require_root();
  const bool ids = LeafLinksAreRecordIDs();
  const bool exact_ids = ids && !key_ref_->HasTruncatedParts();
  std::set<int32_t> seen;
  // Pages of each level in key order, as the parents list them.
  std::vector<int32_t> level_pages{root_page_no_};
  std::vector<std::vector<uint8_t>> lower_bounds{{}};  // parent key of each page (empty: none)
  int64_t entries = 0;
  std::vector<uint8_t> previous_last;
  for (int32_t depth = 1;; ++depth) {
    if (depth > kMaxKeyPathDepth) RaiseError(20028, root_page_no_, 0);
    std::vector<int32_t> children;
    std::vector<std::vector<uint8_t>> child_bounds;
    bool leaf_level = false;
    for (size_t k = 0; k < level_pages.size(); ++k) {
      const int32_t page_no = level_pages[k];
      if (!seen.insert(page_no).second) RaiseError(20032, page_no, 0);
      TABSBTreePage page = get(session, page_no);
      const int32_t n = page.EntryCount();
      const bool root = page_no == root_page_no_;
      if (page.IsRoot() != root || page.HasEntryRef() || n > page.Capacity()) RaiseError(20028, page_no, 0);
      if (k == 0) leaf_level = page.IsLeaf();
      if (page.IsLeaf() != leaf_level) RaiseError(20033, page_no, 0);
      if (!root && n == 0) RaiseError(20028, page_no, 0);
      const int32_t expect_prev = k == 0 ? -1 : level_pages[k - 1];
      const int32_t expect_next = k + 1 == level_pages.size() ? -1 : level_pages[k + 1];
      if (page.PrevPageNo() != expect_prev || page.NextPageNo() != expect_next) RaiseError(20033, page_no, 0);
      auto key_order = [&](const uint8_t* a, const uint8_t* b) {
        TABSBTreeTarget t;
        t.Key = a;
        // Page keys alone: ties on cut parts count as equal here.
        return key_ref_->ComparePageKeys(session, t, b, nullptr);
      };
      const std::vector<uint8_t>& bound = lower_bounds[k];
      const int32_t first = page.IsLeaf() ? 0 : 1;
      if (!bound.empty() && n > first) {
        const int c = key_order(bound.data(), page.Entry(first));
        if (c == 1) RaiseError(20028, page_no, first);
      }
      if (!page.IsLeaf()) {
        for (int32_t b = 0; b < KeySize(); ++b)
          if (n > 0 && page.Entry(0)[b] != 0) RaiseError(20028, page_no, 0);
        for (int32_t i = 0; i < n; ++i) {
          children.push_back(page.ChildPageNo(i));
          child_bounds.push_back(i == 0 ? bound : std::vector<uint8_t>(page.Entry(i), page.Entry(i) + KeySize()));
          if (i >= 2) {
            const int c = key_order(page.Entry(i - 1), page.Entry(i));
            if (c == 1) RaiseError(20028, page_no, i);
          }
        }
        continue;
      }
      entries += n;
      for (int32_t i = 1; i < n; ++i) {
        const int c = key_order(page.Entry(i - 1), page.Entry(i));
        if (c == 1) RaiseError(20028, page_no, i);
        if (c == 0 && exact_ids && CompareRecordIDs(LoadRecordID(page.Link(i - 1)), LoadRecordID(page.Link(i))) >= 0)
          RaiseError(20028, page_no, i);
      }
      // Across the leaf boundary the order continues.
      if (!previous_last.empty() && n > 0 && key_order(previous_last.data(), page.Entry(0)) == 1)
        RaiseError(20028, page_no, 0);
      if (n > 0) previous_last.assign(page.Entry(n - 1), page.Entry(n - 1) + KeySize());
    }
    if (leaf_level) {
      if (!children.empty()) RaiseError(20033, root_page_no_, 0);
      return entries;
    }
    level_pages = std::move(children);
    lower_bounds = std::move(child_bounds);
  }
}

}  // namespace dadoveri
