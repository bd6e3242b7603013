// Helpers shared by the storage tests: databases made in a temporary folder and pages
// filled with recognisable bytes.
#pragma once

#include <cstring>
#include <memory>
#include <string>

#include "engine/storage/disk_page_manager.h"
#include "tests/engine/test_support.h"

namespace dadoveri::testing {

inline constexpr int32_t kSession = 0;

inline uint8_t FillByte(uint32_t seed, uint32_t i) { return static_cast<uint8_t>(seed * 31 + i * 7 + (i >> 8)); }

// Fills a page's data area with bytes derived from `seed` (marking it dirty).
inline void FillPage(TABSPageHandle& page, uint32_t seed) {
  uint8_t* d = page.MutableData();
  for (uint32_t i = 0; i < page.DataSize(); ++i) d[i] = FillByte(seed, i);
}
inline void FillPage(TABSPage* page, uint32_t seed) {
  uint8_t* d = page->Data();
  for (uint32_t i = 0; i < page->DataSize(); ++i) d[i] = FillByte(seed, i);
}

inline bool DataHolds(const uint8_t* d, uint32_t size, uint32_t seed) {
  for (uint32_t i = 0; i < size; ++i)
    if (d[i] != FillByte(seed, i)) return false;
  return true;
}
inline bool PageHolds(const TABSPageHandle& page, uint32_t seed) { return DataHolds(page.Data(), page.DataSize(), seed); }
inline bool PageHolds(const TABSPage* page, uint32_t seed) { return DataHolds(page->Data(), page->DataSize(), seed); }

inline std::unique_ptr<TABSDiskPageManager> CreateDatabase(const std::string& name,
                                                           const TABSPassword& password = {},
                                                           uint16_t page_size = 4096,
                                                           uint16_t pages_per_extent = 8,
                                                           int32_t capacity = 1000) {
  auto pm = std::make_unique<TABSDiskPageManager>(capacity);
  pm->CreateDatabase(name, page_size, pages_per_extent, password);
  return pm;
}

inline std::unique_ptr<TABSDiskPageManager> OpenDatabase(const std::string& name,
                                                         const TABSPassword& password = {},
                                                         bool* needs_repair = nullptr,
                                                         bool multi_user = false,
                                                         int32_t capacity = 1000) {
  auto pm = std::make_unique<TABSDiskPageManager>(capacity);
  bool read_only = false;
  bool repair = false;
  pm->OpenDatabase(name, password, read_only, false, multi_user, repair);
  if (needs_repair) *needs_repair = repair;
  return pm;
}

// Adds `count` pages of type TableRecord filled with their own numbers, commits, and
// returns the first page number.
inline int32_t AddFilledPages(TABSDiskPageManager& pm, int count, uint32_t seed_base = 0) {
  int32_t first = -1;
  for (int i = 0; i < count; ++i) {
    TABSPageHandle page = pm.AddPage(kSession, ptTableRecord);
    if (first < 0) first = page.PageNo();
    FillPage(page, seed_base + static_cast<uint32_t>(page.PageNo()));
  }
  pm.CommitPages(kSession);
  return first;
}

}  // namespace dadoveri::testing
