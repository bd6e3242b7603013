#include "engine/storage/free_space.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/base/engine_error.h"
#include "engine/storage/disk_page_manager.h"
#include "engine/storage/page.h"

namespace dadoveri {

namespace {

// The first byte at or after `from`, before `count`, that is not 0xFF (a map byte with
// room), or `count`: full bytes are skipped eight at a time.
int64_t first_not_full(const uint8_t* bytes, int64_t from, int64_t count) {
  int64_t b = from;
  for (; b + 8 <= count; b += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + b, sizeof word);
    if (word != ~uint64_t{0}) break;
  }
  while (b < count && bytes[b] == 0xFF) ++b;
  return b;
}

}  // namespace

TABSMapGeometry::TABSMapGeometry(uint16_t page_size, uint16_t pages_per_extent)
    : DS(page_size - kPageHeaderSize),
      E(pages_per_extent),
      P(DS * 8),
      X(DS * 4),
      M(X * pages_per_extent) {}

bool TABSMapGeometry::IsMapPage(int64_t n) const {
  if (n < 0) return false;
  // P and M are both multiples of DS, so a map page lies at 0 or 1 past a multiple of
  // DS: one division settles nearly every page (this runs on every uncached page fetch).
  const int64_t r = n <= INT32_MAX ? static_cast<int64_t>(static_cast<uint32_t>(n) % static_cast<uint32_t>(DS))
                                   : n % DS;
  if (r > 1) return false;
  return n % P == 0 || n % M == 0 || ((n - 1) % P == 0 && (n - 1) % M == 0);
}

int64_t TABSMapGeometry::EamPageNo(int64_t index) const {
  const int64_t n = index * M;
  return n % P == 0 ? n + 1 : n;
}

TABSDatabaseFreeSpaceManager::TABSDatabaseFreeSpaceManager(TABSDiskPageManager& pages)
    : pages_(pages),
      geometry_(pages.MainHeader().PageSize(), pages.MainHeader().PagesPerExtent()) {}

int32_t TABSDatabaseFreeSpaceManager::growth_step() const {
  if (total_ == 0) return 6;
  return static_cast<int32_t>(std::max<int64_t>(total_ / 10, geometry_.E));
}

void TABSDatabaseFreeSpaceManager::reload() {
  // Every header write of a file open exclusively comes from the header in memory.
  if (!pages_.Exclusive()) pages_.ReadMainHeader();
  highest_used_ = pages_.MainHeader().HighestUsedPageNo();
  total_ = pages_.MainHeader().TotalPageCount();
}

bool TABSDatabaseFreeSpaceManager::keeps_maps() const { return pages_.Exclusive() || in_operation_; }

class TABSDatabaseFreeSpaceManager::Operation {
 public:
  explicit Operation(TABSDatabaseFreeSpaceManager& manager) : manager_(manager) { manager_.in_operation_ = true; }
  ~Operation() {
    manager_.in_operation_ = false;
    if (!manager_.pages_.Exclusive()) manager_.kept_maps_.clear();
  }
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

 private:
  TABSDatabaseFreeSpaceManager& manager_;
};

uint8_t* TABSDatabaseFreeSpaceManager::read_map(int64_t page_no, std::vector<uint8_t>& buffer,
                                                uint16_t type, int32_t type_error) {
  if (keeps_maps()) {
    const auto kept = kept_maps_.find(page_no);
    if (kept != kept_maps_.end()) {
      CheckPageType(page_header::PageType(kept->second.data()), type, type_error);
      return kept->second.data();
    }
  }
  buffer.resize(pages_.PageSize());
  pages_.ReadMapPage(static_cast<int32_t>(page_no), buffer.data());
  CheckPageType(page_header::PageType(buffer.data()), type, type_error);
  if (!keeps_maps()) return buffer.data();
  std::vector<uint8_t>& copy = kept_maps_[page_no];
  copy = buffer;
  return copy.data();
}

void TABSDatabaseFreeSpaceManager::write_map(int64_t page_no, const uint8_t* bytes) {
  const auto kept = kept_maps_.find(page_no);
  const bool in_place = kept != kept_maps_.end() && kept->second.data() == bytes;
  try {
    pages_.WriteMapPage(static_cast<int32_t>(page_no), bytes);
  } catch (...) {
    // A failed write leaves the file's page unknown: the copy goes.
    if (kept != kept_maps_.end()) kept_maps_.erase(kept);
    throw;
  }
  if (in_place) return;
  if (!keeps_maps()) {
    if (kept != kept_maps_.end()) kept_maps_.erase(kept);
    return;
  }
  std::vector<uint8_t>& copy = kept != kept_maps_.end() ? kept->second : kept_maps_[page_no];
  copy.assign(bytes, bytes + pages_.PageSize());
}

void TABSDatabaseFreeSpaceManager::forget_maps_from(int64_t end) {
  for (auto it = kept_maps_.begin(); it != kept_maps_.end();) {
    if (it->first >= end)
      it = kept_maps_.erase(it);
    else
      ++it;
  }
}

void TABSDatabaseFreeSpaceManager::new_map_page(int64_t page_no, uint16_t type) {
  std::vector<uint8_t> buffer(pages_.PageSize(), 0);
  page_header::Initialize(buffer.data());
  page_header::SetPageType(buffer.data(), type);
  buffer[kPageHeaderSize] = 1;
  write_map(page_no, buffer.data());
}

void TABSDatabaseFreeSpaceManager::mark(int64_t n, bool used, bool pfs_step, bool eam_step) {
  if (pfs_step) {
    if (n < 0 || n >= total_) RaiseError(30430, n, total_);
    const int64_t pfs_no = geometry_.PfsPageOf(n);
    uint8_t* const map = read_map(pfs_no, pfs_, ptPFS, 30424);
    uint8_t* data = map + kPageHeaderSize;
    const int64_t index = n % geometry_.P;
    const uint8_t bit = static_cast<uint8_t>(1u << (index % 8));
    uint8_t& byte = data[index / 8];
    const bool was_used = (byte & bit) != 0;
    if (used && was_used) RaiseError(30425, n);
    if (!used && !was_used) RaiseError(30427, n);
    byte ^= bit;
    write_map(pfs_no, map);
  }
  if (eam_step) {
    if (n < 0 || n >= total_) RaiseError(30431, n, total_);
    recompute_extent(n);
  }
}

void TABSDatabaseFreeSpaceManager::recompute_extent(int64_t n) {
  const TABSMapGeometry& g = geometry_;
  const int64_t eam_no = g.EamPageNo(g.EamIndexOf(n));
  uint8_t* const eam = read_map(eam_no, eam_, ptEAM, 30428);
  const int64_t first = n / g.E * g.E;
  bool used_seen = false;
  bool free_seen = false;
  int64_t counted = 0;
  int64_t loaded_pfs = -1;
  const uint8_t* pfs = nullptr;
  for (int64_t p = first; p < first + g.E && !(used_seen && free_seen); ++p, ++counted) {
    const int64_t pfs_no = g.PfsPageOf(p);
    if (pfs_no > highest_used_) {
      free_seen = true;
      continue;
    }
    if (pfs_no != loaded_pfs) {
      pfs = read_map(pfs_no, scratch_, ptPFS, 30428);
      loaded_pfs = pfs_no;
    }
    const int64_t index = p % g.P;
    if (pfs[kPageHeaderSize + index / 8] & (1u << (index % 8)))
      used_seen = true;
    else
      free_seen = true;
  }
  const uint8_t code = counted == 0 ? 0 : free_seen ? 1 : 3;
  const int64_t extent = (n / g.E) % g.X;
  uint8_t& byte = eam[kPageHeaderSize + extent / 4];
  const int shift = static_cast<int>(2 * (extent % 4));
  const uint8_t updated = static_cast<uint8_t>((byte & ~(3u << shift)) | (code << shift));
  if (updated != byte) {
    byte = updated;
    write_map(eam_no, eam);
  }
}

int64_t TABSDatabaseFreeSpaceManager::search_eam(int64_t k) {
  const TABSMapGeometry& g = geometry_;
  const uint8_t* data = read_map(g.EamPageNo(k), eam_, ptEAM, 30423) + kPageHeaderSize;
  int64_t extent = -1;
  for (int64_t b = first_not_full(data, 0, g.DS); b < g.DS; b = first_not_full(data, b + 1, g.DS)) {
    for (int slot = 0; slot < 4; ++slot) {
      if (((data[b] >> (2 * slot)) & 2) == 0) {
        extent = k * g.X + 4 * b + slot;
        break;
      }
    }
    if (extent >= 0) break;
  }
  if (extent < 0) return -1;
  const int64_t first_pfs = extent * g.E / g.P;
  int64_t last_pfs = ((extent + 1) * g.E - 1) / g.P;
  while (last_pfs >= first_pfs && last_pfs * g.P >= total_) --last_pfs;
  for (int64_t i = first_pfs; i <= last_pfs; ++i) {
    const uint8_t* bits = read_map(i * g.P, pfs_, ptPFS, 30423) + kPageHeaderSize;
    const int64_t b = first_not_full(bits, 0, g.DS);
    if (b < g.DS) {
      int bit = 0;
      while (bits[b] & (1u << bit)) ++bit;
      const int64_t page = i * g.P + 8 * b + bit;
      return page < total_ ? page : -1;
    }
  }
  return -1;
}

int64_t TABSDatabaseFreeSpaceManager::find_free() {
  if (highest_used_ == -1) return -1;
  const int64_t last = std::max<int64_t>(total_ - 1, 0) / geometry_.M;
  int64_t page = search_eam(last);
  for (int64_t k = 0; page < 0 && k < last; ++k) page = search_eam(k);
  return page;
}

bool TABSDatabaseFreeSpaceManager::marked_used(int64_t n) {
  const uint8_t* map = read_map(geometry_.PfsPageOf(n), pfs_, ptPFS, 30424);
  const int64_t index = n % geometry_.P;
  return (map[kPageHeaderSize + index / 8] & (1u << (index % 8))) != 0;
}

// Allocation writes its map pages before the header, with no barrier between them (one
// per allocation would cost too much), so after a power cut the map may mark pages used
// that the header's HighestUsedPageNo or TotalPageCount do not count yet. Such pages
// are lost to allocation until a repair, but must not make it fail: the candidate steps
// over pages marked used, and the pages a growth adds start free (whatever an
// interrupted shrink left in the maps).
int64_t TABSDatabaseFreeSpaceManager::extend() {
  const TABSMapGeometry& g = geometry_;
  int64_t candidate = static_cast<int64_t>(highest_used_) + 1;
  while (g.IsMapPage(candidate) || (candidate < total_ && marked_used(candidate))) ++candidate;
  int64_t n = growth_step();
  if (candidate >= total_ + n) n = candidate - total_ + 1;
  while (g.IsMapPage(total_ + n - 1)) ++n;
  const int64_t old_total = total_;
  // The map pages that do not exist yet are those at or beyond the old end of the file.
  const int64_t first_new_pfs = (old_total + g.P - 1) / g.P;
  int64_t first_new_eam = old_total == 0 ? 0 : (old_total - 1) / g.M;
  if (g.EamPageNo(first_new_eam) < old_total) ++first_new_eam;
  pages_.GrowFile(static_cast<int32_t>(n));
  total_ = pages_.MainHeader().TotalPageCount();
  // The maps already in the file must describe the new pages as free, whatever an
  // interrupted shrink left there.
  clear_beyond(old_total);
  const int64_t last_pfs = (total_ - 1) / g.P;
  const int64_t last_eam = (total_ - 1) / g.M;
  for (int64_t i = first_new_pfs; i <= last_pfs; ++i) new_map_page(i * g.P, ptPFS);
  for (int64_t k = first_new_eam; k <= last_eam; ++k) new_map_page(g.EamPageNo(k), ptEAM);
  for (int64_t k = first_new_eam; k <= last_eam; ++k) mark(g.EamPageNo(k), true, true, false);
  for (int64_t i = first_new_pfs; i <= last_pfs; ++i) mark(i * g.P, true, false, true);
  // The header counts new map pages only once they, and their marks, are on the medium:
  // a missing map page would stop every later allocation, an unmarked one be handed out.
  if (first_new_pfs <= last_pfs || first_new_eam <= last_eam) pages_.WriteBarrier();
  mark(candidate, true, true, true);
  return candidate;
}

void TABSDatabaseFreeSpaceManager::clear_beyond(int64_t end) {
  const TABSMapGeometry& g = geometry_;
  if (end <= 0) return;
  // The PFS page that holds `end`, when it lies before it: clear every bit from `end` on.
  const int64_t pfs_no = g.PfsPageOf(end);
  if (pfs_no < end) {
    uint8_t* const map = read_map(pfs_no, pfs_, ptPFS, 30424);
    uint8_t* bits = map + kPageHeaderSize;
    const int64_t start = end - pfs_no;
    const auto keep = static_cast<uint8_t>((1u << (start % 8)) - 1);  // bits before `end`
    bool changed = (bits[start / 8] & ~keep) != 0;
    bits[start / 8] &= keep;
    for (int64_t b = start / 8 + 1; b < g.DS; ++b) {
      changed = changed || bits[b] != 0;
      bits[b] = 0;
    }
    if (changed) write_map(pfs_no, map);
  }
  // The EAM page that covers `end`, when it lies before it: the extents that start at or
  // after `end` go back to "never computed", as in a new EAM page.
  const int64_t k = g.EamIndexOf(end);
  const int64_t eam_no = g.EamPageNo(k);
  if (eam_no < end) {
    uint8_t* const map = read_map(eam_no, eam_, ptEAM, 30428);
    uint8_t* codes = map + kPageHeaderSize;
    bool changed = false;
    const int64_t first_extent = (end + g.E - 1) / g.E - k * g.X;
    for (int64_t e = first_extent; e < g.X; ++e) {
      uint8_t& byte = codes[e / 4];
      const int shift = static_cast<int>(2 * (e % 4));
      if (byte & (3u << shift)) {
        byte = static_cast<uint8_t>(byte & ~(3u << shift));
        changed = true;
      }
    }
    if (changed) write_map(eam_no, map);
    // The extent that runs across `end` has pages missing: it has room.
    if (end % g.E != 0) recompute_extent(end - 1);
  }
}

int32_t TABSDatabaseFreeSpaceManager::scan_highest_used() {
  const TABSMapGeometry& g = geometry_;
  if (total_ <= 0) return -1;
  for (int64_t i = (total_ - 1) / g.P; i >= 0; --i) {
    const uint8_t* bits = read_map(i * g.P, pfs_, ptPFS, 30432) + kPageHeaderSize;
    for (int64_t b = g.DS - 1; b >= 0; --b) {
      if (bits[b] == 0) continue;
      for (int bit = 7; bit >= 0; --bit) {
        if (!(bits[b] & (1u << bit))) continue;
        const int64_t page = i * g.P + 8 * b + bit;
        if (!g.IsMapPage(page)) return static_cast<int32_t>(page);
      }
    }
  }
  return -1;
}

namespace {

// Writes the header fields the manager changed and releases the header lock, also when
// the operation failed on the way.
class HeaderWriteBack {
 public:
  HeaderWriteBack(TABSDiskPageManager& pages, const int32_t& highest, const int32_t& total)
      : pages_(pages), highest_(highest), total_(total) {}
  void loaded() {
    loaded_highest_ = highest_;
    loaded_total_ = total_;
    armed_ = true;
  }
  void finish() {
    if (armed_ && (highest_ != loaded_highest_ || total_ != loaded_total_ ||
                   pages_.MainHeader().TotalPageCount() != total_)) {
      pages_.MainHeader().SetHighestUsedPageNo(highest_);
      pages_.MainHeader().SetTotalPageCount(total_);
      pages_.WriteMainHeader();
    }
  }
  void finish_and_unlock() {
    try {
      finish();
    } catch (...) {
      pages_.UnlockHeader();
      throw;
    }
    pages_.UnlockHeader();
  }

 private:
  TABSDiskPageManager& pages_;
  const int32_t& highest_;
  const int32_t& total_;
  int32_t loaded_highest_ = 0;
  int32_t loaded_total_ = 0;
  bool armed_ = false;
};

}  // namespace

int32_t TABSDatabaseFreeSpaceManager::AllocatePage() {
  if (!pages_.LockHeader()) RaiseError(20231);
  Operation operation(*this);
  HeaderWriteBack write_back(pages_, highest_used_, total_);
  int64_t page = -1;
  try {
    reload();
    write_back.loaded();
    page = find_free();
    if (page >= 0)
      mark(page, true, true, true);
    else
      page = extend();
    highest_used_ = static_cast<int32_t>(std::max<int64_t>(highest_used_, page));
  } catch (...) {
    try {
      write_back.finish_and_unlock();
    } catch (...) {
    }
    throw;
  }
  write_back.finish_and_unlock();
  return static_cast<int32_t>(page);
}

void TABSDatabaseFreeSpaceManager::ReleasePage(int32_t page_no) {
  if (!pages_.LockHeader()) RaiseError(20232);
  Operation operation(*this);
  HeaderWriteBack write_back(pages_, highest_used_, total_);
  try {
    reload();
    write_back.loaded();
    mark(page_no, false, true, true);
    highest_used_ = scan_highest_used();
    const int32_t step = growth_step();
    const int32_t spare = total_ - highest_used_ - 1;
    if (spare >= step) {
      int32_t cut = spare / step * step;
      // The last page kept must not be a map page: an EAM page that follows a PFS page
      // at the same position would otherwise be cut off while its PFS page stays, and
      // the next growth would take the EAM page for present.
      while (cut > 0 && geometry_.IsMapPage(static_cast<int64_t>(total_) - cut - 1)) cut -= step;
      if (cut > 0) {
        pages_.MainHeader().SetHighestUsedPageNo(highest_used_);
        pages_.ShrinkFile(cut);
        total_ = pages_.MainHeader().TotalPageCount();
        forget_maps_from(total_);
        // Map pages cut off with the tail (an EAM page inside a PFS page's range, with
        // an odd extent size) leave their bits behind: clear them, or the next growth
        // would find its new map page already in use.
        clear_beyond(total_);
      }
    }
  } catch (...) {
    try {
      write_back.finish_and_unlock();
    } catch (...) {
    }
    throw;
  }
  write_back.finish_and_unlock();
}

bool TABSDatabaseFreeSpaceManager::MarkPageUsed(int32_t page_no) {
  if (!pages_.LockHeader()) RaiseError(20231);
  Operation operation(*this);
  HeaderWriteBack write_back(pages_, highest_used_, total_);
  bool marked = false;
  try {
    reload();
    write_back.loaded();
    if (page_no < 0 || page_no >= total_) RaiseError(30430, page_no, total_);
    if (!geometry_.IsMapPage(page_no) && !marked_used(page_no)) {
      mark(page_no, true, true, true);
      highest_used_ = std::max(highest_used_, page_no);
      marked = true;
    }
  } catch (...) {
    try {
      write_back.finish_and_unlock();
    } catch (...) {
    }
    throw;
  }
  write_back.finish_and_unlock();
  return marked;
}

bool TABSDatabaseFreeSpaceManager::IsPageUsed(int32_t page_no) {
  if (!pages_.LockHeader()) RaiseError(20231);
  Operation operation(*this);
  bool used = false;
  try {
    reload();
    if (page_no >= 0 && page_no < total_) {
      const uint8_t* map = read_map(geometry_.PfsPageOf(page_no), pfs_, ptPFS, 30424);
      const int64_t index = page_no % geometry_.P;
      used = (map[kPageHeaderSize + index / 8] & (1u << (index % 8))) != 0;
    }
  } catch (...) {
    pages_.UnlockHeader();
    throw;
  }
  pages_.UnlockHeader();
  return used;
}

}  // namespace dadoveri
