// TABSBitmapMemo: the filter bitmaps of a table's recently closed cursors, each kept under
// a key that names the restrictions it was built for and the session that built it. A
// cursor opened again with the same restrictions on the unchanged table takes the kept
// bitmap instead of searching the table again: a live query that is closed and run anew
// with the same statement and parameters (as a search box does for each key event) then
// costs no walk of its index range.
//
// A kept bitmap counts only while the table's change counter is the one it was built at;
// any change to the table (by any session or process, or a rollback) moves that counter on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/table/record_bitmap.h"

namespace dadoveri {

class TABSBitmapMemo {
 public:
  // Keeps a copy of `bitmap` (built and current) under `key` for `session`, replacing an
  // entry of the same key and session; the least recently used entry goes when full.
  void Remember(const std::string& key, int32_t session, const TABSRecordBitmap& bitmap);
  // Copies the bitmap kept under `key` for `session` into `bitmap` when it was built at
  // `change_counter`; false (and `bitmap` untouched) otherwise. Entries built at another
  // counter are dropped on the way.
  bool Recall(const std::string& key, int32_t session, int32_t change_counter, TABSRecordBitmap& bitmap);
  void Clear() { entries_.clear(); }
  size_t Count() const { return entries_.size(); }

  // Entries kept at most: the last few searches of a box typed into and erased again.
  static constexpr size_t kEntries = 8;

 private:
  struct Entry {
    std::string Key;
    int32_t Session = 0;
    TABSRecordBitmap Bitmap;
  };
  std::vector<Entry> entries_;  // least recently used first
};

}  // namespace dadoveri
