#include "engine/table/bitmap_memo.h"

#include <algorithm>
#include <utility>

namespace dadoveri {

void TABSBitmapMemo::Remember(const std::string& key, int32_t session, const TABSRecordBitmap& bitmap) {
  if (!bitmap.Built) return;
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [&](const Entry& e) { return e.Session == session && e.Key == key; }),
                 entries_.end());
  if (entries_.size() >= kEntries) entries_.erase(entries_.begin());
  entries_.push_back(Entry{key, session, bitmap});
}

bool TABSBitmapMemo::Recall(const std::string& key, int32_t session, int32_t change_counter,
                            TABSRecordBitmap& bitmap) {
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [&](const Entry& e) { return !e.Bitmap.IsCurrent(change_counter); }),
                 entries_.end());
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const Entry& e) { return e.Session == session && e.Key == key; });
  if (it == entries_.end()) return false;
  // The most recently used goes last.
  std::rotate(it, it + 1, entries_.end());
  bitmap = entries_.back().Bitmap;
  return true;
}

}  // namespace dadoveri
