#include "engine/table/btree_page_index.h"

#include "engine/base/engine_error.h"
#include "engine/base/little_endian.h"

namespace dadoveri {

namespace {

// The search target of one page number: its 4-byte key, and the target that points at it.
struct PageNoTarget {
  explicit PageNoTarget(int32_t page_no) {
    StoreLE<int32_t>(key, page_no);
    target.Key = key;
  }
  PageNoTarget(const PageNoTarget&) = delete;
  PageNoTarget& operator=(const PageNoTarget&) = delete;

  uint8_t key[4];
  TABSBTreeTarget target;
};

}  // namespace

int TABSPageKeyRef::ComparePageKeys(int32_t, const TABSBTreeTarget& target, const uint8_t* entry_key,
                                    const TABSRecordID*) {
  return CompareFullKeys(target.Key, entry_key);
}

int TABSPageKeyRef::CompareFullKeys(const uint8_t* a, const uint8_t* b) {
  const int32_t x = LoadLE<int32_t>(a), y = LoadLE<int32_t>(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

TABSBTreePageIndex::TABSBTreePageIndex(TABSPageManager* pages) : tree_(pages, &key_ref_, 2) {}

void TABSBTreePageIndex::Create(int32_t session) { tree_.CreateRoot(session); }

void TABSBTreePageIndex::Drop(int32_t session) {
  if (tree_.RootPageNo() < 0) RaiseError(20120);
  tree_.Drop(session);
}

void TABSBTreePageIndex::Empty(int32_t session) {
  if (tree_.RootPageNo() < 0) RaiseError(20121);
  tree_.Empty(session);
}

bool TABSBTreePageIndex::find(int32_t session, int32_t page_no, TABSKeyPath& path) {
  if (tree_.RootPageNo() < 0) RaiseError(20122);
  const PageNoTarget seek(page_no);
  return tree_.Find(session, seek.target, path);
}

int32_t TABSBTreePageIndex::count_at(int32_t session, const TABSKeyPath& path, int32_t* page_no) {
  uint8_t entry[6];
  tree_.ReadLeafEntry(session, path, entry);
  if (page_no) *page_no = LoadLE<int32_t>(entry);
  return LoadLE<uint16_t>(entry + 4);
}

void TABSBTreePageIndex::write_count(int32_t session, const TABSKeyPath& path, int32_t count) {
  uint8_t link[2];
  StoreLE<uint16_t>(link, static_cast<uint16_t>(count));
  tree_.WriteLeafLink(session, path, link);
}

int32_t TABSBTreePageIndex::First(int32_t session) {
  if (tree_.RootPageNo() < 0) RaiseError(20123);
  TABSKeyPath path;
  int32_t page_no = -1;
  if (tree_.First(session, path)) count_at(session, path, &page_no);
  return page_no;
}

int32_t TABSBTreePageIndex::Last(int32_t session) {
  if (tree_.RootPageNo() < 0) RaiseError(20124);
  TABSKeyPath path;
  int32_t page_no = -1;
  if (tree_.Last(session, path)) count_at(session, path, &page_no);
  return page_no;
}

int32_t TABSBTreePageIndex::Next(int32_t session, int32_t page_no) {
  if (tree_.RootPageNo() < 0) RaiseError(20125);
  const PageNoTarget seek(page_no);
  TABSKeyPath path;
  int32_t next = -1;
  if (tree_.Seek(session, seek.target, true, path)) count_at(session, path, &next);
  return next;
}

int32_t TABSBTreePageIndex::Prior(int32_t session, int32_t page_no) {
  if (tree_.RootPageNo() < 0) RaiseError(20126);
  const PageNoTarget seek(page_no);
  TABSKeyPath path;
  int32_t prior = -1;
  // The first page not below page_no; the one before it is the answer.
  if (tree_.Seek(session, seek.target, false, path)) {
    if (tree_.Prior(session, path)) count_at(session, path, &prior);
  } else if (tree_.Last(session, path)) {
    count_at(session, path, &prior);
  }
  return prior;
}

int32_t TABSBTreePageIndex::Find(int32_t session, int32_t page_no) {
  TABSKeyPath path;
  if (!find(session, page_no, path)) return -1;
  return count_at(session, path);
}

int32_t TABSBTreePageIndex::FindPageWithRoom(int32_t session, int32_t amount) {
  if (tree_.RootPageNo() < 0) RaiseError(20127);
  TABSKeyPath path;
  // Walks from the path's entry over at most as many entries as its leaf holds, across
  // the leaf chain. Each leaf is fetched once and its entries read in place: the same
  // entries in the same order as stepping the path entry by entry.
  auto walk = [&](bool forward) -> int32_t {
    const int32_t limit = path.Leaf().EntryCount;
    int32_t walked = 0;
    for (bool first_leaf = true;; first_leaf = false) {
      TABSBTreePage page = tree_.LeafPage(session, path);
      const int32_t n = page.EntryCount();
      const int32_t step = forward ? 1 : -1;
      for (int32_t e = first_leaf ? path.Leaf().EntryNo : forward ? 0 : n - 1; e >= 0 && e < n && walked < limit;
           e += step, ++walked) {
        const uint8_t* entry = page.Entry(e);
        if (HasRoom(LoadLE<uint16_t>(entry + 4), amount)) return LoadLE<int32_t>(entry);
      }
      if (walked >= limit) return -1;
      const int32_t next = forward ? page.NextPageNo() : page.PrevPageNo();
      if (next == -1) return -1;
      path.Leaf().PageNo = next;
      path.Leaf().EntryNo = 0;
    }
  };
  if (!tree_.Last(session, path)) return -1;
  const int32_t found = walk(false);
  if (found >= 0) return found;
  tree_.First(session, path);
  return walk(true);
}

void TABSBTreePageIndex::Add(int32_t session, int32_t page_no, int32_t amount) {
  TABSKeyPath path;
  if (find(session, page_no, path)) {
    const int32_t count = count_at(session, path);
    if (!HasRoom(count, amount) || count + amount > 0xFFFF) RaiseError(20106);
    write_count(session, path, count + amount);
    return;
  }
  if (amount <= 0 || amount > 0xFFFF) RaiseError(20078);
  uint8_t link[2];
  StoreLE<uint16_t>(link, static_cast<uint16_t>(amount));
  const PageNoTarget seek(page_no);
  tree_.Insert(session, seek.target, link);
}

void TABSBTreePageIndex::SetCount(int32_t session, int32_t page_no, int32_t count) {
  TABSKeyPath path;
  if (!find(session, page_no, path)) RaiseError(20111);
  if (count < 0 || count > 0xFFFF) RaiseError(20078);
  if (count == 0) {
    const PageNoTarget seek(page_no);
    tree_.Delete(session, seek.target);
    return;
  }
  write_count(session, path, count);
}

void TABSBTreePageIndex::Decrease(int32_t session, int32_t page_no, int32_t amount) {
  TABSKeyPath path;
  if (!find(session, page_no, path)) RaiseError(20111);
  const int32_t count = count_at(session, path);
  if (count == 0 || amount > count) RaiseError(20112);
  SetCount(session, page_no, count - amount);
}

void TABSBTreePageIndex::ItemAt(int32_t session, int64_t n, int32_t& page_no, int32_t& position) {
  if (tree_.RootPageNo() < 0) RaiseError(20293);
  TABSKeyPath path;
  if (n >= 1 && tree_.First(session, path)) {
    do {
      const int32_t count = count_at(session, path, &page_no);
      if (n <= count) {
        position = static_cast<int32_t>(n - 1);
        return;
      }
      n -= count;
    } while (tree_.Next(session, path));
  }
  RaiseError(20113);
}

int64_t TABSBTreePageIndex::ItemNumber(int32_t session, int32_t page_no, int32_t position) {
  if (tree_.RootPageNo() < 0) RaiseError(20293);
  int64_t before = 0;
  tree_.ForEachEntry(session, [&](const uint8_t* entry) {
    if (LoadLE<int32_t>(entry) >= page_no) return false;
    before += LoadLE<uint16_t>(entry + 4);
    return true;
  });
  return before + position + 1;
}

int64_t TABSBTreePageIndex::TotalCount(int32_t session) {
  if (tree_.RootPageNo() < 0) RaiseError(20293);
  int64_t total = 0;
  tree_.ForEachEntry(session, [&](const uint8_t* entry) {
    total += LoadLE<uint16_t>(entry + 4);
    return true;
  });
  return total;
}

void TABSBTreePageIndex::CheckTotal(int32_t session, int64_t expected) {
  const int64_t total = TotalCount(session);
  if (total != expected) RaiseError(20292, total, expected);
}

}  // namespace dadoveri
