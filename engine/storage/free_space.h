// TABSDatabaseFreeSpaceManager: which page number a new page gets, taking freed pages
// back, growing the file when no page is free and shrinking it when its tail is unused.
//
// Two kinds of map page live in the file and are read and written straight to disk,
// outside the page cache and any session, under the header lock:
//   PFS page (type 3): one bit per page, 1 = in use; covers P = DS × 8 pages and sits at
//     the first of them.
//   EAM page (type 2): two bits per extent of E pages, covering X = DS × 4 extents
//     (M = X × E pages); code 3 = every page of the extent used, 1 = some page free
//     (0 = never computed, treated as 1). The k-th EAM page is page k × M, or k × M + 1
//     when k × M is a PFS position.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace dadoveri {

class TABSDiskPageManager;

// The fixed positions of map pages for one page size and extent size.
struct TABSMapGeometry {
  TABSMapGeometry(uint16_t page_size, uint16_t pages_per_extent);

  bool IsMapPage(int64_t page_no) const;
  int64_t PfsPageOf(int64_t page_no) const { return page_no / P * P; }
  int64_t EamPageNo(int64_t index) const;
  int64_t EamIndexOf(int64_t page_no) const { return page_no / M; }

  int64_t DS;  // data size of a page
  int64_t E;   // pages per extent
  int64_t P;   // pages per PFS page
  int64_t X;   // extents per EAM page
  int64_t M;   // pages per EAM page
};

class TABSDatabaseFreeSpaceManager {
 public:
  explicit TABSDatabaseFreeSpaceManager(TABSDiskPageManager& pages);

  int32_t AllocatePage();
  void ReleasePage(int32_t page_no);
  bool IsMapPage(int32_t page_no) const { return geometry_.IsMapPage(page_no); }
  bool IsPageUsed(int32_t page_no);
  // Marks a page in use that the maps call free (a repair keeps a page it found in the
  // file); a page already in use is left as it is. Answers whether the maps changed.
  bool MarkPageUsed(int32_t page_no);
  const TABSMapGeometry& Geometry() const { return geometry_; }

  // Set by the connection layer while it repairs the database.
  bool Repairing = false;

 private:
  int32_t growth_step() const;
  void reload();
  void mark(int64_t page_no, bool used, bool pfs_step, bool eam_step);
  void recompute_extent(int64_t page_no);
  int64_t find_free();
  int64_t search_eam(int64_t eam_index);
  int64_t extend();
  // Puts the maps of the pages from `end` on back to their state in a file that ends
  // there: PFS bits clear, extent codes "never computed", the extent across `end`
  // recomputed.
  void clear_beyond(int64_t end);
  bool marked_used(int64_t page_no);
  int32_t scan_highest_used();
  // The bytes of a map page: the kept copy itself when maps are kept, else `buffer` read
  // from the file. A change made through the pointer goes to the file by write_map.
  uint8_t* read_map(int64_t page_no, std::vector<uint8_t>& buffer, uint16_t type, int32_t type_error);
  // Writes a map page, from its kept copy or from other bytes, and keeps what was written.
  void write_map(int64_t page_no, const uint8_t* bytes);
  void new_map_page(int64_t page_no, uint16_t type);
  // Drops the kept copies of map pages at or beyond `end` (the file was cut there).
  void forget_maps_from(int64_t end);

  TABSDiskPageManager& pages_;
  TABSMapGeometry geometry_;
  int32_t highest_used_ = -1;
  int32_t total_ = 0;
  std::vector<uint8_t> pfs_;
  std::vector<uint8_t> eam_;
  std::vector<uint8_t> scratch_;
  // Copies of the map pages as last read or written, kept while the file is open
  // exclusively: no other process can change the maps then, so the copy equals the
  // file and an allocation reads no page. In a shared file they are kept only for one
  // operation under the header lock, which every process takes to change the maps, so
  // the operation reads each map page once. Written through, so the file never lags.
  std::unordered_map<int64_t, std::vector<uint8_t>> kept_maps_;
  bool in_operation_ = false;
  bool keeps_maps() const;
  // Brackets one operation under the header lock: in a shared file the kept maps go at
  // its end, as other processes may change the maps once the lock is released.
  class Operation;
};

}  // namespace dadoveri
