#include "engine/database/disk_table_data.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <exception>
#include <mutex>

#include "engine/base/engine_error.h"
#include "engine/base/little_endian.h"
#include "engine/database/disk_database_data.h"
#include "engine/database/memory_page_manager.h"
#include "engine/database/table_list.h"
#include "engine/database/table_lock_manager.h"
#include "engine/database/table_locks_file.h"
#include "engine/storage/internal_file.h"
#include "engine/storage/prologue.h"
#include "engine/table/cursor.h"
#include "engine/table/session.h"
#include "engine/table/table_metadata.h"

namespace dadoveri {

namespace {

// Marks a stretch of work that runs without the multi-user wrapper.
struct Inside {
  int32_t& depth;
  explicit Inside(int32_t& d) : depth(d) { ++depth; }
  ~Inside() { --depth; }
  Inside(const Inside&) = delete;
  Inside& operator=(const Inside&) = delete;
};

int32_t session_of(const TABSCursor* cursor) {
  if (!cursor || !cursor->Session) RaiseError(10009);
  return cursor->Session->SessionID;
}

}  // namespace

int32_t RecordsPerPage(int32_t page_data_size, int32_t stored_record_size) {
  if (page_data_size <= 1 || stored_record_size <= 0) return 0;
  const double n = std::trunc(static_cast<double>(page_data_size - 1) / (stored_record_size + 0.125));
  return n < 1 ? 0 : static_cast<int32_t>(std::min(n, 65535.0));
}

int32_t CheckedRecordsPerPage(int32_t page_data_size, int32_t stored_record_size) {
  const int32_t n = RecordsPerPage(page_data_size, stored_record_size);
  if (n == 0) RaiseError(20174);
  return n;
}

// ---- record page view ----

TABSSmallRecordPage::TABSSmallRecordPage(TABSPageHandle& page, int32_t records_per_page, int32_t record_size)
    : page_(page), records_per_page_(records_per_page), record_size_(record_size),
      bitmap_size_((records_per_page + 7) / 8) {
  const int64_t needed = int64_t{bitmap_size_} + int64_t{records_per_page} * record_size;
  if (records_per_page <= 0 || record_size <= 0 || needed > static_cast<int64_t>(page.DataSize())) RaiseError(20140);
}

bool TABSSmallRecordPage::Present(int32_t slot) const {
  if (slot < 0 || slot >= records_per_page_) return false;
  return (page_.Data()[slot / 8] >> (slot % 8)) & 1;
}

int32_t TABSSmallRecordPage::RecordCount() const {
  int32_t count = 0;
  const uint8_t* bits = page_.Data();
  for (int32_t i = 0; i < bitmap_size_; ++i) {
    uint8_t b = bits[i];
    // Bits past the last slot are not slots.
    if (i == bitmap_size_ - 1 && records_per_page_ % 8) b &= static_cast<uint8_t>((1u << (records_per_page_ % 8)) - 1);
    count += std::popcount(b);
  }
  return count;
}

int32_t TABSSmallRecordPage::NextSlot(int32_t after) const {
  for (int32_t s = std::max(after + 1, 0); s < records_per_page_; ++s)
    if (Present(s)) return s;
  return -1;
}

int32_t TABSSmallRecordPage::PriorSlot(int32_t before) const {
  for (int32_t s = std::min(before - 1, records_per_page_ - 1); s >= 0; --s)
    if (Present(s)) return s;
  return -1;
}

int32_t TABSSmallRecordPage::NthSlot(int32_t position) const {
  int32_t seen = 0;
  for (int32_t s = 0; s < records_per_page_; ++s)
    if (Present(s) && seen++ == position) return s;
  return -1;
}

int32_t TABSSmallRecordPage::CountBefore(int32_t slot) const {
  int32_t count = 0;
  for (int32_t s = 0; s < std::min(slot, records_per_page_); ++s)
    if (Present(s)) ++count;
  return count;
}

uint8_t* TABSSmallRecordPage::slot_bytes(int32_t slot) const {
  return const_cast<uint8_t*>(page_.Data()) + bitmap_size_ + static_cast<size_t>(slot) * record_size_;
}

int32_t TABSSmallRecordPage::AddRecord(const uint8_t* stored_record) {
  for (int32_t s = 0; s < records_per_page_; ++s) {
    if (Present(s)) continue;
    WriteRecord(s, stored_record);
    page_.MutableData()[s / 8] |= static_cast<uint8_t>(1u << (s % 8));
    return s;
  }
  RaiseError(20141);
}

void TABSSmallRecordPage::WriteRecord(int32_t slot, const uint8_t* stored_record) {
  page_.MarkDirty();
  std::memcpy(slot_bytes(slot), stored_record, static_cast<size_t>(record_size_));
}

void TABSSmallRecordPage::ReadRecord(int32_t slot, uint8_t* stored_record) const {
  std::memcpy(stored_record, slot_bytes(slot), static_cast<size_t>(record_size_));
}

void TABSSmallRecordPage::RemoveRecord(int32_t slot) {
  page_.MutableData()[slot / 8] &= static_cast<uint8_t>(~(1u << (slot % 8)));
}

// ---- record manager ----

TABSDiskRecordManager::TABSDiskRecordManager(TABSPageManager* pages, const TABSRecordLayout* layout,
                                             int32_t table_object_id)
    : TABSBaseRecordManager(layout->MemoryRecordSize()), pages_(pages), layout_(layout), object_id_(table_object_id) {}

TABSDiskRecordManager::~TABSDiskRecordManager() = default;

void TABSDiskRecordManager::Setup() {
  stored_size_ = layout_->StoredRecordSize();
  records_per_page_ = CheckedRecordsPerPage(pages_->DataSize(), stored_size_);
  stored_.assign(static_cast<size_t>(stored_size_), 0);
  const int32_t root = page_index_ ? page_index_->RootPageNo() : -1;
  page_index_ = std::make_unique<TABSBTreeRecordPageIndex>(pages_, records_per_page_);
  page_index_->SetRoot(root);
  page_index_->Tree().TrustRightEnd(TrustCachedPositions);
}

void TABSDiskRecordManager::ForgetCachedPositions() {
  insert_hint_.page_no = -1;
  if (page_index_) page_index_->Tree().ForgetRightEnd();
}

void TABSDiskRecordManager::SaveSection(TABSMetaWriter& stream) const { stream.WriteInt32(page_index_->RootPageNo()); }

void TABSDiskRecordManager::LoadSection(TABSMetaReader& stream) { page_index_->SetRoot(stream.ReadInt32()); }

void TABSDiskRecordManager::SaveHeader(TABSMetaWriter& stream) const {
  stream.WriteInt32(TableCounter);
  stream.WriteInt32(static_cast<int32_t>(RecordCount));
}

void TABSDiskRecordManager::LoadHeader(TABSMetaReader& stream) {
  TableCounter = stream.ReadInt32();
  RecordCount = stream.ReadInt32();
}

void TABSDiskRecordManager::CreatePageIndex(int32_t session) { page_index_->Create(session); }

void TABSDiskRecordManager::DropPageIndex(int32_t session) {
  if (page_index_->RootPageNo() < 0) return;
  Empty(session);
  page_index_->Drop(session);
}

void TABSDiskRecordManager::changed() {
  ++TableCounter;
  ++ChangeCounter;
}

bool TABSDiskRecordManager::PageValid(const TABSPageHandle& page) const {
  if (Repairing || OldFormat) return true;
  return page.ModificationCounter() <= 0x7FFFFFFD && page.PageType() == ptTableRecord &&
         page_header::OwnerObjectID(page.Buffer()) == object_id_;
}

TABSPageHandle TABSDiskRecordManager::record_page(int32_t session, int32_t page_no, uint16_t expected_type) {
  // Validated in a multi-user file: another process may have changed a cached record page.
  return pages_->GetPage(session, page_no, pages_->MultiUser(), expected_type);
}

void TABSDiskRecordManager::Empty(int32_t session) {
  for (int32_t page = page_index_->First(session); page >= 0; page = page_index_->Next(session, page))
    pages_->FreePage(session, page);
  page_index_->Empty(session);
  RecordCount = 0;
  // The table counter moves on rather than back to 0: other processes trust their cached
  // pages of the table while the counter equals the one they were read under, and 0 is
  // a value the table has had before.
  changed();
}

bool TABSDiskRecordManager::InsertRecord(int32_t session, const void* memory_record, TABSRecordID& id) {
  if (!memory_record) return false;
  try {
    TABSPageHandle page;
    // Whether every page the search for room looks at, other than the chosen one, is full.
    bool others_full = false;
    bool search = true;
    if (const int32_t hinted = hinted_page(session); hinted >= 0) {
      page = record_page(session, hinted, kAnyPageType);
      const bool valid = PageValid(page);
      if (valid && TABSSmallRecordPage(page, records_per_page_, stored_size_).RecordCount() < records_per_page_) {
        others_full = insert_hint_.others_full;
      } else {
        page.Release();
        // The last search found no room and only this page has filled since: a new
        // page is what the search would come to again.
        search = !(valid && insert_hint_.others_full);
      }
    }
    if (!page) {
      const int32_t found = search ? page_index_->FindPageWithRoom(session, 1) : -1;
      if (found >= 0) {
        page = record_page(session, found, ptTableRecord);
      } else {
        page = pages_->AddPage(session, ptTableRecord);
        page_header::SetOwnerObjectID(page.MutableBuffer(), object_id_);
        others_full = true;
      }
    }
    layout_->MemoryToStored(memory_record, stored_.data());
    TABSSmallRecordPage view(page, records_per_page_, stored_size_);
    const int32_t slot = view.AddRecord(stored_.data());
    const int32_t page_no = page.PageNo();
    page.Release();
    page_index_->Add(session, page_no, 1);
    id = TABSRecordID{page_no, static_cast<uint16_t>(slot)};
    ++RecordCount;
    changed();
    insert_hint_ = InsertHint{session, page_no, ChangeCounter, pages_->RollbackCount(), page_index_->RootPageNo(), others_full};
    return true;
  } catch (const VODIDivodavir&) {
    // The caller rolls the session's pages back.
    return false;
  }
}

int32_t TABSDiskRecordManager::hinted_page(int32_t session) const {
  const InsertHint& h = insert_hint_;
  if (h.page_no < 0 || h.session != session || h.change_counter != ChangeCounter ||
      h.rollback_count != pages_->RollbackCount() || h.root != page_index_->RootPageNo())
    return -1;
  return h.page_no;
}

bool TABSDiskRecordManager::UpdateRecord(int32_t session, const void* memory_record, const TABSRecordID& id) {
  if (!memory_record || id.PageNo < 0) return false;
  TABSPageHandle page = record_page(session, id.PageNo, kAnyPageType);
  if (!PageValid(page)) return false;
  TABSSmallRecordPage view(page, records_per_page_, stored_size_);
  if (!view.Present(id.SlotNo)) return false;
  layout_->MemoryToStored(memory_record, stored_.data());
  view.WriteRecord(id.SlotNo, stored_.data());
  changed();
  return true;
}

bool TABSDiskRecordManager::DeleteRecord(int32_t session, const TABSRecordID& id) {
  if (id.PageNo < 0) return false;
  TABSPageHandle page = record_page(session, id.PageNo, kAnyPageType);
  if (!PageValid(page)) return false;
  TABSSmallRecordPage view(page, records_per_page_, stored_size_);
  if (!view.Present(id.SlotNo)) return false;
  view.RemoveRecord(id.SlotNo);
  const int32_t left = view.RecordCount();
  const int32_t page_no = page.PageNo();
  page.Release();
  --RecordCount;
  changed();
  // A page with no record left is freed at once.
  if (left == 0) pages_->FreePage(session, page_no);
  page_index_->SetCount(session, page_no, left);
  return true;
}

void TABSDiskRecordManager::copy_out(TABSSmallRecordPage& view, int32_t page_no, int32_t slot,
                                     TABSRecordGetRequest& request) {
  if (request.RecordBuffer) {
    view.ReadRecord(slot, stored_.data());
    layout_->StoredToMemory(stored_.data(), request.RecordBuffer);
  }
  request.RecordID = TABSRecordID{page_no, static_cast<uint16_t>(slot)};
  request.GoToFirst = request.GoToLast = false;
  request.Result = grrFound;
}

void TABSDiskRecordManager::GetRecord(int32_t session, TABSRecordGetRequest& request) {
  if (RecordCount == 0) {
    request.Result = grrEndReached;
    return;
  }
  // The first (or last) record of a page taken from the index; the page must hold one.
  auto edge = [&](int32_t page_no, bool last, int32_t not_found_code) {
    TABSPageHandle page = record_page(session, page_no, kAnyPageType);
    if (!PageValid(page)) RaiseError(not_found_code);
    TABSSmallRecordPage view(page, records_per_page_, stored_size_);
    const int32_t slot = last ? view.LastSlot() : view.FirstSlot();
    if (slot < 0) RaiseError(20143, page_no, view.RecordCount());
    copy_out(view, page_no, slot, request);
  };
  auto go_first = [&] {
    const int32_t first = page_index_->First(session);
    if (first < 0) RaiseError(20144);
    edge(first, false, 20144);
  };
  auto go_last = [&] {
    const int32_t last = page_index_->Last(session);
    if (last < 0) RaiseError(20144);
    edge(last, true, 20144);
  };
  if (request.GoToFirst) {
    if (request.Mode == grmNext) go_first();
    else request.Result = request.Mode == grmPrior ? grrBeginReached : grrNotFound;
    return;
  }
  if (request.GoToLast) {
    if (request.Mode == grmPrior) go_last();
    else request.Result = request.Mode == grmNext ? grrEndReached : grrNotFound;
    return;
  }
  const TABSRecordID id = request.RecordID;
  if (id.PageNo < 0) {
    request.Result = request.Mode == grmPrior ? grrBeginReached : request.Mode == grmNext ? grrEndReached : grrNotFound;
    return;
  }
  TABSPageHandle page = record_page(session, id.PageNo, kAnyPageType);
  const bool valid = PageValid(page);
  switch (request.Mode) {
    case grmCurrent: {
      if (!valid) {
        request.Result = grrNotFound;
        return;
      }
      TABSSmallRecordPage view(page, records_per_page_, stored_size_);
      if (!view.Present(id.SlotNo)) {
        request.Result = grrNotFound;
        return;
      }
      copy_out(view, id.PageNo, id.SlotNo, request);
      return;
    }
    case grmNext: {
      if (!valid) {
        request.Result = grrEndReached;
        return;
      }
      TABSSmallRecordPage view(page, records_per_page_, stored_size_);
      const int32_t slot = view.NextSlot(id.SlotNo);
      if (slot >= 0) {
        copy_out(view, id.PageNo, slot, request);
        return;
      }
      page.Release();
      const int32_t next = page_index_->Next(session, id.PageNo);
      if (next < 0) {
        request.Result = grrEndReached;
        return;
      }
      edge(next, false, 20146);
      return;
    }
    case grmPrior: {
      if (!valid) {
        page.Release();
        go_last();
        return;
      }
      TABSSmallRecordPage view(page, records_per_page_, stored_size_);
      const int32_t slot = view.PriorSlot(id.SlotNo);
      if (slot >= 0) {
        copy_out(view, id.PageNo, slot, request);
        return;
      }
      page.Release();
      const int32_t prior = page_index_->Prior(session, id.PageNo);
      if (prior < 0) {
        request.Result = grrBeginReached;
        return;
      }
      edge(prior, true, 20148);
      return;
    }
  }
  request.Result = grrNotFound;
}

int TABSDiskRecordManager::CompareRecordPositions(const TABSRecordID& a, const TABSRecordID& b) {
  if (a.PageNo != b.PageNo) return a.PageNo < b.PageNo ? -1 : 1;
  return a.SlotNo < b.SlotNo ? -1 : a.SlotNo > b.SlotNo ? 1 : 0;
}

int64_t TABSDiskRecordManager::GetApproximateRecordNo(int32_t, const TABSRecordID&) { return RecordCount / 2; }

bool TABSDiskRecordManager::RecordIDOfRecordNo(int32_t session, int64_t k, TABSRecordID& id) {
  if (k < 1 || k > RecordCount) return false;
  int32_t page_no = -1;
  int32_t position = 0;
  page_index_->ItemAt(session, k, page_no, position);
  TABSPageHandle page = record_page(session, page_no, ptTableRecord);
  TABSSmallRecordPage view(page, records_per_page_, stored_size_);
  const int32_t slot = view.NthSlot(position);
  if (slot < 0) RaiseError(20146);
  id = TABSRecordID{page_no, static_cast<uint16_t>(slot)};
  return true;
}

int64_t TABSDiskRecordManager::RecordNoOfRecordID(int32_t session, const TABSRecordID& id) {
  if (id.PageNo < 0 || page_index_->Find(session, id.PageNo) < 0) return -1;
  TABSPageHandle page = record_page(session, id.PageNo, ptTableRecord);
  TABSSmallRecordPage view(page, records_per_page_, stored_size_);
  if (!view.Present(id.SlotNo)) return -1;
  const int32_t before = view.CountBefore(id.SlotNo);
  page.Release();
  return page_index_->ItemNumber(session, id.PageNo, before);
}

void TABSDiskRecordManager::RebuildPageIndex(int32_t session, const std::string& table_name) {
  if (stored_size_ >= pages_->DataSize()) RaiseError(10512, table_name);
  if (page_index_->RootPageNo() < 0) page_index_->Create(session);
  page_index_->Empty(session);
  RecordCount = 0;
  const int32_t total = pages_->GetTotalPageCount();
  for (int32_t page_no = 1; page_no < total; ++page_no) {
    int32_t count = 0;
    try {
      TABSPageHandle page = record_page(session, page_no, ptTableRecord);
      if (page_header::OwnerObjectID(page.Buffer()) != object_id_) continue;
      // Freed pages keep type and owner but carry the freed counter: their records are gone.
      if (page.ModificationCounter() > 0x7FFFFFFD) continue;
      TABSSmallRecordPage view(page, records_per_page_, stored_size_);
      count = view.RecordCount();
    } catch (const VODIDivodavir&) {
      continue;  // not readable as a record page
    }
    if (count == 0) continue;
    // A page the maps call free would be handed out again over the records it keeps.
    pages_->MarkPageUsed(page_no);
    page_index_->Add(session, page_no, count);
    RecordCount += count;
  }
  changed();
}

void TABSDiskRecordManager::CheckPageIndex(int32_t session) {
  page_index_->CheckTotal(session, RecordCount);
  // A commit cut short writes some of its pages and not others (they go out in page
  // order): the header and the index may both count a record whose page was never
  // written, or miss one whose page was. Each indexed page must be one of the table's
  // live record pages holding exactly the records the index counts for it.
  std::vector<std::pair<int32_t, int32_t>> entries;
  page_index_->Tree().ForEachEntry(session, [&](const uint8_t* entry) {
    entries.emplace_back(LoadLE<int32_t>(entry), LoadLE<uint16_t>(entry + 4));
    return true;
  });
  int64_t held_total = 0;
  bool agree = true;
  for (const auto& [page_no, indexed] : entries) {
    int32_t held = -1;
    try {
      TABSPageHandle page = record_page(session, page_no, kAnyPageType);
      const bool live = OldFormat || (page.PageType() == ptTableRecord &&
                                      page_header::OwnerObjectID(page.Buffer()) == object_id_ &&
                                      page.ModificationCounter() <= 0x7FFFFFFD);
      if (live) held = TABSSmallRecordPage(page, records_per_page_, stored_size_).RecordCount();
    } catch (const VODIDivodavir&) {
      held = -1;  // not readable as a record page
    }
    if (held != indexed) agree = false;
    held_total += std::max(held, 0);
  }
  if (!agree) RaiseError(20292, held_total, RecordCount);
}

// ---- table data ----

TABSDiskTableData::TABSDiskTableData(TABSDiskDatabaseData* database, std::string table_name)
    : TABSTableData(database, std::move(table_name), database ? database->PageManager() : nullptr),
      disk_(database) {}

TABSDiskTableData::~TABSDiskTableData() {
  // Index objects go before the temporary pages they read.
  index_manager_.reset();
  // A transaction lock outlives the table object: the lock file stays with the database.
  keep_locks_file();
}

void TABSDiskTableData::keep_locks_file() {
  if (!locks_file_) return;
  try {
    if (disk_ && disk_->IsOpened() && disk_->LockManager().AnyLockOn(*locks_file_))
      disk_->KeepLocksFile(std::move(locks_file_));
  } catch (...) {
  }
  locks_file_.reset();
}

TABSPageManager* TABSDiskTableData::TemporaryPages() {
  if (!temporary_pages_) temporary_pages_ = std::make_unique<TABSMemoryPageManager>();
  return temporary_pages_.get();
}

void TABSDiskTableData::CreateRecordManager() {
  auto records = std::make_unique<TABSDiskRecordManager>(pages_, &field_manager_->Layout(), object_id_);
  auto& header = disk_->DiskPageManager().MainHeader();
  records->OldFormat = header.FormatVersion() < kRepairBelowVersion;
  records->Repairing = disk_->DiskPageManager().FreeSpace().Repairing;
  records->TrustCachedPositions = trusts_cached_positions();
  records->Setup();
  record_manager_ = std::move(records);
}

std::string TABSDiskTableData::SaveHeaderBlock(const TABSBaseFieldManager& fields, const TABSDiskRecordManager& records) {
  TABSMetaWriter w;
  const std::string counters = fields.SaveAutoincCounters();
  w.WriteRaw(counters.data(), counters.size());
  records.SaveHeader(w);
  return std::move(w.Bytes());
}

void TABSDiskTableData::write_header(int32_t session) {
  // Rewritten on every change: the bytes are laid out in a buffer kept for it.
  TABSInternalDBTransactedAccessFile file(*pages_);
  file.OpenFile(most_updated_page_, ptTableMostUpdated);
  std::string& block = header_block_;
  field_manager_->SaveAutoincCounters(block);
  const TABSDiskRecordManager& records = Records();
  const int32_t tail[2] = {records.TableCounter, static_cast<int32_t>(records.RecordCount)};
  for (const int32_t v : tail) {
    uint8_t bytes[4];
    StoreLE(bytes, v);
    block.append(reinterpret_cast<const char*>(bytes), 4);
  }
  file.WriteFile(session, block.data(), static_cast<int32_t>(block.size()));
}

bool TABSDiskTableData::read_header(int32_t session, bool keep_higher_counters) {
  TABSInternalDBTransactedAccessFile file(*pages_);
  file.OpenFile(most_updated_page_, ptTableMostUpdated);
  const int64_t limit = 4 * (8 * int64_t{field_defs_.Count()} + 8);
  // Reading is bounded by the pages of the block's chain, so the size is checked on what
  // was read: asking for it first would fetch and check the same pages twice (this runs
  // before every step in a multi-user file, each fetch checked against the disk).
  const std::vector<uint8_t> bytes = file.ReadAll(session);
  if (static_cast<int64_t>(bytes.size()) > limit) RaiseError(20164);
  TABSMetaReader r(bytes.data(), bytes.size());
  const int32_t n = r.ReadInt32();
  if (n < 0 || 4 + int64_t{n} * 8 + 8 > static_cast<int64_t>(bytes.size())) RaiseError(20164);
  const size_t counters = 4 + static_cast<size_t>(n) * 8;
  const std::vector<int64_t> before = field_manager_->LastAutoinc();
  field_manager_->LoadAutoincCounters(std::string(reinterpret_cast<const char*>(bytes.data()), counters));
  if (keep_higher_counters) {
    // Values this process has already given out (a record being inserted numbers its
    // fields before the insert reaches the table) are not given out again.
    std::vector<int64_t>& now = field_manager_->LastAutoinc();
    for (size_t i = 0; i < now.size() && i < before.size(); ++i) now[i] = std::max(now[i], before[i]);
  }
  TABSMetaReader rest(bytes.data() + counters, bytes.size() - counters);
  const int32_t table_counter = Records().TableCounter;
  const int64_t record_count = Records().RecordCount;
  Records().LoadHeader(rest);
  const bool changed = table_counter != Records().TableCounter || record_count != Records().RecordCount;
  // The in-memory change counter only moves on: bitmaps and caches built on what was in
  // memory before must not be taken as current, and no value comes back.
  if (changed) {
    ++Records().ChangeCounter;
    Records().ForgetCachedPositions();
  }
  return changed;
}

void TABSDiskTableData::write_metadata(int32_t session) {
  TABSTableMetadata m;
  m.Fields.Assign(field_defs_);
  m.Fields.RecomputeOffsets();
  index_manager_->SyncDefinitions();
  m.Indexes.Assign(index_manager_->IndexDefs);
  m.Constraints.Assign(constraint_manager_->ConstraintDefs);
  TABSMetaWriter sections;
  Records().SaveSection(sections);
  // The BLOB store's section follows: the BLOB index root in a table with BLOB fields.
  if (field_manager_->CheckBlobFields()) sections.WriteInt32(blobs_->IndexRoot());
  m.StorageSections = sections.Bytes() + blob_section_;
  WriteTableMetadataFile(*pages_, session, metadata_page_, m);
  structure_changed_ = false;
}

void TABSDiskTableData::Restructure(int32_t session) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  write_metadata(session);
}

void TABSDiskTableData::build_managers() {
  field_manager_ = std::make_unique<TABSBaseFieldManager>(field_defs_.RecordLayout());
  field_manager_->ResetAutoincCounters();
  index_manager_ = std::make_unique<TABSBaseIndexManager>(this, pages_, TemporaryPages());
  index_manager_->TrustRightEnds(trusts_cached_positions());
  constraint_manager_ = std::make_unique<TABSBaseConstraintManager>();
  CreateRecordManager();
  blobs_ = std::make_unique<TABSDiskBlobManager>(pages_, object_id_, Records().Repairing || Records().OldFormat);
}

void TABSDiskTableData::load(int32_t session, const TABSTableListEntry& entry, bool repair) {
  // Opening reads the blocks itself (and a repair rewrites them): no wrapper meanwhile.
  Inside opening(access_depth_);
  object_id_ = entry.ObjectID;
  metadata_page_ = entry.MetadataStartPageNo;
  most_updated_page_ = entry.MostUpdatedStartPageNo;
  locks_page_ = entry.LocksStartPageNo;
  TABSTableMetadata m;
  ReadTableMetadataFile(*pages_, session, metadata_page_, m);
  field_defs_.Assign(m.Fields);
  field_defs_.RecomputeOffsets();
  build_managers();
  index_manager_->Assign(m.Indexes);
  constraint_manager_->ConstraintDefs.Assign(m.Constraints);
  TABSMetaReader sections(m.StorageSections);
  Records().LoadSection(sections);
  const bool has_blobs = field_manager_->CheckBlobFields();
  if (has_blobs && m.StorageSections.size() >= sections.Position() + 4) blobs_->SetIndexRoot(sections.ReadInt32());
  blob_section_ = m.StorageSections.substr(sections.Position());
  bool rebuild = false;
  bool header_lost = false;
  try {
    read_header(session);
  } catch (const VODIDivodavir&) {
    if (!repair) throw;
    rebuild = header_lost = true;
  }
  if (repair && !rebuild) {
    try {
      Records().CheckPageIndex(session);
    } catch (const VODIDivodavir&) {
      rebuild = true;
    }
  }
  if (!repair) return;
  try {
    if (rebuild) {
      Records().RebuildPageIndex(session, table_name_);
      // Counters that could not be read start again from the values in the table, so
      // that no autoincrement value is given out twice.
      if (header_lost) {
        field_manager_->ResetAutoincCounters();
        raise_autoinc_counters(session);
      }
    }
    // A commit cut short may have written an index page and not the record page its new
    // entry points at, or the reverse, while the record store agrees with itself: the
    // indexes are built again from the records the table holds now.
    rebuild_indexes(session);
    write_metadata(session);
    write_header(session);
    pages_->CommitPages(session);
  } catch (...) {
    pages_->RollbackPages(session);
    throw;
  }
}

void TABSDiskTableData::rebuild_indexes(int32_t session) {
  TABSIndexDefs& defs = index_manager_->IndexDefs;
  for (int32_t i = 0; i < defs.Count(); ++i) {
    TABSIndexDef* definition = defs.Item(i);
    if (definition->Temporary) continue;
    TABSBTreeRecordIndex* index = index_manager_->OpenIndex(definition->ObjectID);
    try {
      index->Rebuild(session, true);
    } catch (const VODIDivodavir&) {
      // A tree too damaged to walk cannot be freed page by page: a new one replaces it.
      index->Tree().SetRootPageNo(-1);
      index->Rebuild(session, true);
    }
  }
}

void TABSDiskTableData::raise_autoinc_counters(int32_t session) {
  const TABSRecordLayout& layout = field_manager_->Layout();
  std::vector<int32_t> fields;
  for (int32_t i = 0; i < layout.FieldCount(); ++i)
    if (IsAutoincColumnType(layout.Field(i).ColumnType) && layout.Field(i).Increment > 0) fields.push_back(i);
  if (fields.empty()) return;
  std::vector<int64_t>& last = field_manager_->LastAutoinc();
  std::vector<uint8_t> record(static_cast<size_t>(MemoryRecordSize()));
  TABSRecordID id;
  for (bool first = true; ReadNextRecord(session, id, first, record.data()); first = false) {
    for (int32_t f : fields) {
      if (layout.IsNull(f, record.data())) continue;
      TABSVariant value;
      layout.GetFieldValue(f, record.data(), value);
      int64_t& counter = last[static_cast<size_t>(f)];
      counter = std::max(counter, value.GetAsLargeint());
    }
  }
}

void TABSDiskTableData::OpenTable(int32_t session, bool repair) {
  std::lock_guard guard(database_->Lock());
  TABSDiskPageManager& pages = disk_->DiskPageManager();
  pages.LockTables();
  try {
    disk_->TableList().Reload(kSystemSession);
    const TABSTableListEntry entry = disk_->TableList().Find(table_name_);
    load(session, entry, repair);
  } catch (...) {
    record_manager_.reset();
    index_manager_.reset();
    blobs_.reset();
    try {
      pages.UnlockTables();
    } catch (...) {
    }
    throw;
  }
  pages.UnlockTables();
}

bool TABSDiskTableData::KeepWhenUnused() const {
  if (!disk_ || !disk_->IsOpened() || disk_->MultiUser() || !Opened() || dropped_ || !index_manager_) return false;
  const TABSIndexDefs& defs = index_manager_->IndexDefs;
  for (int32_t i = 0; i < defs.Count(); ++i)
    if (defs.Item(i)->Temporary) return false;
  return true;
}

void TABSDiskTableData::AddCursor(TABSCursor* cursor) {
  std::lock_guard guard(database_->Lock());
  const int32_t session = session_of(cursor);
  // While the file is being repaired, a table checks and if need be rebuilds its page index.
  if (!Opened() && !dropped_ && disk_->TableExists(table_name_))
    OpenTable(session, disk_->DiskPageManager().FreeSpace().Repairing);
  if (cursor->Exclusive && !cursors_.empty()) RaiseError(20242, table_name_);
  lock_for(cursor);
  TABSTableData::AddCursor(cursor);
}

void TABSDiskTableData::lock_for(TABSCursor* cursor) {
  if (!Opened() || !disk_->MultiUser() || locks_page_ < 0) return;
  const int32_t session = session_of(cursor);
  if (!locks_file_) {
    locks_file_ = std::make_unique<TABSTableLocksFile>(disk_->DiskPageManager());
    locks_file_->OpenFile(locks_page_);
  }
  const int32_t type = cursor->Exclusive ? ltExclusive : ltTableOpen;
  if (!disk_->LockManager().LockTable(session, type, *locks_file_, disk_->OpenLockAttempts)) {
    if (cursor_locks_.empty()) locks_file_.reset();
    RaiseError(cursor->Exclusive ? 20208 : 20209, table_name_);
  }
  cursor_locks_.push_back({cursor, session, type});
}

void TABSDiskTableData::RemoveCursor(TABSCursor* cursor) {
  std::lock_guard guard(database_->Lock());
  TABSTableData::RemoveCursor(cursor);
  const auto it = std::find_if(cursor_locks_.begin(), cursor_locks_.end(),
                               [&](const CursorLock& l) { return l.cursor == cursor; });
  if (it != cursor_locks_.end()) {
    const CursorLock lock = *it;
    cursor_locks_.erase(it);
    // Closing a cursor never raises: a lock that cannot be released stays listed with
    // its session, and disconnecting the session reports it.
    try {
      if (locks_file_ && disk_->IsOpened()) disk_->LockManager().UnlockTable(lock.session, lock.type, *locks_file_);
    } catch (const VODIDivodavir&) {
    }
  }
  if (cursors_.empty() && cursor_locks_.empty()) keep_locks_file();
}

void TABSDiskTableData::CreateTable(TABSCursor* cursor, const TABSFieldDefs& fields, const TABSIndexDefs& indexes,
                                    const TABSConstraintDefs& constraints) {
  std::lock_guard guard(database_->Lock());
  const int32_t session = session_of(cursor);
  if (fields.Count() == 0) RaiseError(20128);
  TABSTableMetadata m;
  m.Fields.Assign(fields);
  m.Fields.RecomputeOffsets();
  m.Indexes.Assign(indexes);
  m.Constraints.Assign(constraints);
  // Unique and primary indexes carry their constraint, as on every other table.
  for (int32_t i = 0; i < m.Indexes.Count(); ++i) {
    const TABSIndexDef* index = m.Indexes.Item(i);
    if (m.Constraints.IndexOfDerived(index->ObjectID) >= 0) continue;
    if (auto derived = DeriveConstraintFromIndex(*index)) m.Constraints.AddConstraint(std::move(derived));
  }
  (void)session;
  CreateInFile(kSystemSession, m);
  // Cursors that came before the table was there take their table locks now.
  for (TABSCursor* c : cursors_) {
    const bool locked = std::any_of(cursor_locks_.begin(), cursor_locks_.end(),
                                    [&](const CursorLock& l) { return l.cursor == c; });
    if (!locked) lock_for(c);
  }
}

TABSTableListEntry TABSDiskTableData::CreateInFile(int32_t session, TABSTableMetadata& metadata) {
  std::lock_guard guard(database_->Lock());
  if (metadata.Fields.Count() == 0) RaiseError(10131);
  metadata.Fields.RecomputeOffsets();
  // A record that does not fit a page refuses the table before anything is written.
  CheckedRecordsPerPage(pages_->DataSize(), metadata.Fields.StoredRecordSize());
  TABSDiskPageManager& pages = disk_->DiskPageManager();
  TABSTableList& list = disk_->TableList();
  pages.LockTables();
  struct Unlock {
    TABSDiskPageManager& pages;
    ~Unlock() {
      try {
        pages.UnlockTables();
      } catch (...) {
      }
    }
  } unlock{pages};
  list.Reload(session);
  if (list.IndexOf(table_name_) >= 0) RaiseError(30395, table_name_);

  for (int32_t i = 0; i < metadata.Fields.Count(); ++i) metadata.Fields.Item(i)->ObjectID = pages.GetNextObjectID();
  metadata.Fields.RecomputeOffsets();
  for (int32_t i = 0; i < metadata.Indexes.Count(); ++i) metadata.Indexes.Item(i)->ObjectID = pages.GetNextObjectID();
  for (int32_t i = 0; i < metadata.Constraints.Count(); ++i) {
    TABSConstraintDef* c = metadata.Constraints.Item(i);
    if (!CreateConstraintDef(c->ConstraintType)) RaiseError(30058);
    c->ObjectID = pages.GetNextObjectID();
  }
  metadata.Constraints.SetTableName(table_name_);
  metadata.Constraints.ResolveReferences(metadata.Fields, metadata.Indexes);
  metadata.Constraints.GenerateNames();

  TABSTableListEntry entry;
  entry.TableName = table_name_;
  entry.ObjectID = pages.GetNextObjectID();
  // The table is not in the file before the commit: no table lock, no header to reread.
  Inside creating(access_depth_);
  try {
    object_id_ = entry.ObjectID;
    TABSTableLocksFile locks(pages);
    locks.CreateFile(session, disk_->SessionsFile().SlotCount());
    entry.LocksStartPageNo = locks_page_ = locks.StartPageNo();
    TABSInternalDBTransactedAccessFile meta(*pages_);
    meta.CreateFile(session, ptTableMetaData, acZLIB, 1);
    entry.MetadataStartPageNo = metadata_page_ = meta.StartPageNo();
    TABSInternalDBTransactedAccessFile most_updated(*pages_);
    most_updated.CreateFile(session, ptTableMostUpdated);
    entry.MostUpdatedStartPageNo = most_updated_page_ = most_updated.StartPageNo();

    field_defs_.Assign(metadata.Fields);
    field_defs_.RecomputeOffsets();
    build_managers();
    index_manager_->Assign(metadata.Indexes);
    constraint_manager_->ConstraintDefs.Assign(metadata.Constraints);
    write_header(session);
    Records().CreatePageIndex(session);
    if (field_manager_->CheckBlobFields()) blobs_->CreateIndex(session);
    index_manager_->CreateAllIndexes(session);
    write_metadata(session);
    list.Add(session, entry);
    pages_->CommitPages(session);
    dropped_ = false;
  } catch (...) {
    index_manager_.reset();
    record_manager_.reset();
    blobs_.reset();
    pages_->RollbackPages(session);
    list.Reload(session);
    throw;
  }
  return entry;
}

void TABSDiskTableData::CommitChanges(int32_t session, bool in_transaction) {
  if (Opened() && most_updated_page_ >= 0) {
    write_header(session);
    if (structure_changed_) write_metadata(session);
  }
  if (in_transaction) return;
  // In a multi-user file the registry commits: the write locks of the tables the session
  // changed in a transaction, then the pages, then the locks go.
  if (disk_->MultiUser() && session != kSystemSession)
    disk_->CommitSession(session, false);
  else
    TABSTableData::CommitChanges(session, in_transaction);
}

void TABSDiskTableData::RollbackChanges(int32_t session, bool in_transaction) {
  TABSTableData::RollbackChanges(session, in_transaction);
  if (in_transaction) return;
  structure_changed_ = false;
  if (Opened() && most_updated_page_ >= 0) {
    read_header(session);
    ++Records().ChangeCounter;
  }
}

void TABSDiskTableData::AfterRollback(int32_t session) {
  std::lock_guard guard(database_->Lock());
  if (Opened() && most_updated_page_ >= 0) {
    read_header(session);
    ++Records().ChangeCounter;
  }
  TABSTableData::AfterRollback(session);
}

void TABSDiskTableData::RenameField(const std::string& old_name, const std::string& new_name) {
  std::lock_guard guard(database_->Lock());
  TABSTableData::RenameField(old_name, new_name);
  try {
    write_metadata(kSystemSession);
    pages_->CommitPages(kSystemSession);
  } catch (...) {
    pages_->RollbackPages(kSystemSession);
    // The definitions in memory follow what the file holds.
    TABSTableData::RenameField(new_name, old_name);
    throw;
  }
}

int32_t TABSDiskTableData::AddIndex(TABSCursor* cursor, TABSIndexDef& definition) {
  std::lock_guard guard(database_->Lock());
  if (!definition.Temporary) structure_changed_ = true;
  try {
    return TABSTableData::AddIndex(cursor, definition);
  } catch (...) {
    structure_changed_ = false;
    throw;
  }
}

void TABSDiskTableData::DropIndex(TABSCursor* cursor, int32_t object_id) {
  std::lock_guard guard(database_->Lock());
  const TABSIndexDef* definition = index_manager_ ? index_manager_->IndexDefs.FindByObjectID(object_id) : nullptr;
  if (definition && !definition->Temporary) structure_changed_ = true;
  TABSTableData::DropIndex(cursor, object_id);
}

void TABSDiskTableData::DropTable(TABSCursor* cursor, bool forced) {
  std::lock_guard guard(database_->Lock());
  TABSTableData::DropTable(cursor, forced);
  // The open index objects hold roots of pages the drop frees.
  if (index_manager_) index_manager_->CloseAll();
  std::exception_ptr failure;
  // The open locks of this table's cursors go before the lock file does.
  for (const CursorLock& lock : cursor_locks_) {
    try {
      if (locks_file_) disk_->LockManager().UnlockTable(lock.session, lock.type, *locks_file_, true);
    } catch (const VODIDivodavir&) {
    }
  }
  cursor_locks_.clear();
  keep_locks_file();
  try {
    // Catalog changes belong to the database's own session.
    disk_->DropTable(kSystemSession, table_name_);
  } catch (...) {
    failure = std::current_exception();
  }
  dropped_ = !disk_->TableExists(table_name_);
  for (TABSCursor* c : cursors_) c->GoToBegin();
  if (failure) std::rethrow_exception(failure);
}

void TABSDiskTableData::RenameTable(TABSCursor* cursor, const std::string& new_name) {
  std::lock_guard guard(database_->Lock());
  for (TABSCursor* other : cursors_)
    if (other != cursor) RaiseError(10150, table_name_);
  disk_->RenameTable(kSystemSession, table_name_, new_name);
  TABSTableData::RenameTable(cursor, new_name);
  if (Opened()) {
    // The constraints carry the table's name in the stored definitions.
    write_metadata(session_of(cursor));
    CommitChanges(session_of(cursor), false);
  }
}

// ---- multi-user wrapper ----

TABSDiskTableData::WriteLock::WriteLock(TABSDiskTableData& table, int32_t session, bool in_transaction,
                                        int32_t refused_code)
    : table_(table), session_(session) {
  TABSDiskTableData& t = table;
  if (!t.Opened() || !t.disk_->MultiUser() || t.locks_page_ < 0 || session == kSystemSession) return;
  if (!t.locks_file_) {
    t.locks_file_ = std::make_unique<TABSTableLocksFile>(t.disk_->DiskPageManager());
    t.locks_file_->OpenFile(t.locks_page_);
  }
  TABSDatabaseTableLockManager& locks = t.disk_->LockManager();
  // A transaction holds its lock until it commits or rolls back; a change outside one
  // holds the write lock for the change and its commit.
  type_ = in_transaction ? ltTransaction : ltWrite;
  if (locks.HoldsLock(session, type_, *t.locks_file_)) return;
  if (!locks.LockTable(session, type_, *t.locks_file_, t.disk_->WriteLockAttempts)) RaiseError(refused_code);
  // Another process may have committed before the lock was had: the header is read again.
  t.header_trusted_session_ = kInvalidSession;
  taken_ = !in_transaction;
}

TABSDiskTableData::WriteLock::~WriteLock() {
  // The commit releases the write lock itself; a change that failed before it did not.
  if (!taken_ || !table_.locks_file_) return;
  try {
    TABSDatabaseTableLockManager& locks = table_.disk_->LockManager();
    if (locks.HoldsLock(session_, type_, *table_.locks_file_))
      locks.UnlockTable(session_, type_, *table_.locks_file_, true);
  } catch (const VODIDivodavir&) {
    // Left listed with the session; disconnecting reports it.
  }
}

TABSDiskTableData::Access::Access(TABSDiskTableData& table, int32_t session) : table_(table), session_(session) {
  if (table.access_depth_ > 0 || !table.Opened() || !table.disk_->MultiUser() || table.locks_page_ < 0) {
    ++table.access_depth_;
    return;
  }
  TABSDiskTableData& t = table;
  if (!t.locks_file_) {
    t.locks_file_ = std::make_unique<TABSTableLocksFile>(t.disk_->DiskPageManager());
    t.locks_file_->OpenFile(t.locks_page_);
  }
  TABSDatabaseTableLockManager& locks = t.disk_->LockManager();
  // While the session holds the table's write or transaction lock, no other session can
  // take either, so nobody else can change the table: once the header has been read under
  // that lock, the counters in memory are the table's and the read lock adds nothing.
  const bool changes_excluded =
      locks.HoldsLock(session, ltTransaction, *t.locks_file_) || locks.HoldsLock(session, ltWrite, *t.locks_file_);
  const bool trusted = changes_excluded && t.header_trusted_session_ == session;
  if (!trusted) {
    if (!locks.LockTable(session, ltRead, *t.locks_file_, t.disk_->ReadLockAttempts)) {
      granted_ = false;
      return;
    }
    read_locked_ = true;
  }
  TABSDiskTablePagesCacheManager& cache = t.disk_->DiskPageManager().TablePagesCache();
  cache.LockTable(session, t.object_id_, false);
  cache.PushCurrentTable(session, t.object_id_);
  outermost_ = true;
  ++t.access_depth_;
  try {
    // Read while the counter is unknown: the header's pages are checked against the file.
    if (!trusted) {
      if (t.read_header(session, true) && t.index_manager_) t.index_manager_->CloseAll();
      t.header_trusted_session_ = changes_excluded ? session : kInvalidSession;
    }
    cache.SetTableCounter(session, t.object_id_, t.Records().TableCounter);
  } catch (...) {
    t.header_trusted_session_ = kInvalidSession;
    this->~Access();
    throw;
  }
}

TABSDiskTableData::Access::~Access() {
  if (!granted_) return;
  if (table_.access_depth_ > 0) --table_.access_depth_;
  if (!outermost_) return;
  outermost_ = false;
  TABSDiskTablePagesCacheManager& cache = table_.disk_->DiskPageManager().TablePagesCache();
  cache.PopCurrentTable(session_);
  cache.UnlockTable(session_, table_.object_id_, false);
  try {
    if (read_locked_ && table_.locks_file_)
      table_.disk_->LockManager().UnlockTable(session_, ltRead, *table_.locks_file_);
  } catch (const VODIDivodavir&) {
    // Left listed with the session; disconnecting reports it.
  }
}

void TABSDiskTableData::Access::Require(int32_t code) const {
  if (!granted_) RaiseError(code);
}

void TABSDiskTableData::BeginReadScope(int32_t session) {
  std::lock_guard guard(database_->Lock());
  // A refused read lock leaves the operations inside to ask for their own, as they do
  // outside a scope.
  read_scopes_.push_back(std::make_unique<Access>(*this, session));
}

void TABSDiskTableData::EndReadScope() {
  std::lock_guard guard(database_->Lock());
  if (!read_scopes_.empty()) read_scopes_.pop_back();
}

TABSTableReadScope::TABSTableReadScope(TABSCursor& cursor) {
  auto* table = dynamic_cast<TABSDiskTableData*>(cursor.TableData());
  if (!table || !cursor.Database()) return;
  guard_ = std::unique_lock(cursor.Database()->Lock());
  table->BeginReadScope(cursor.Session->SessionID);
  table_ = table;
}

TABSTableReadScope::~TABSTableReadScope() {
  if (table_) table_->EndReadScope();
}

int64_t TABSDiskTableData::GetRecordCount(int32_t session) {
  std::lock_guard guard(database_->Lock());
  if (!record_manager_) return 0;
  Access access(*this, session);
  access.Require(20214);
  return record_manager_->RecordCount;
}

bool TABSDiskTableData::ReadRecord(int32_t session, const TABSRecordID& id, void* memory_record) {
  std::lock_guard guard(database_->Lock());
  Access access(*this, session);
  access.Require(20215);
  return TABSTableData::ReadRecord(session, id, memory_record);
}

bool TABSDiskTableData::ReadNextRecord(int32_t session, TABSRecordID& id, bool from_first, void* memory_record) {
  std::lock_guard guard(database_->Lock());
  Access access(*this, session);
  access.Require(20216);
  return TABSTableData::ReadNextRecord(session, id, from_first, memory_record);
}

void TABSDiskTableData::PlainStep(TABSCursor* cursor, TABSRecordGetRequest& request) {
  std::lock_guard guard(database_->Lock());
  Access access(*this, session_of(cursor));
  if (!access.Granted()) {
    // Navigation reports a refused lock as no record found.
    request.Result = grrNotFound;
    return;
  }
  TABSTableData::PlainStep(cursor, request);
}

int32_t TABSDiskTableData::GetRecord(TABSCursor* cursor, int32_t mode) {
  std::lock_guard guard(database_->Lock());
  Access access(*this, session_of(cursor));
  if (!access.Granted()) return grrNotFound;
  return TABSTableData::GetRecord(cursor, mode);
}

bool TABSDiskTableData::Locate(TABSCursor* cursor, TABSCursorFilter* condition) {
  std::lock_guard guard(database_->Lock());
  Access access(*this, session_of(cursor));
  access.Require(20216);
  return TABSTableData::Locate(cursor, condition);
}

bool TABSDiskTableData::FindKey(TABSCursor* cursor, int32_t kind) {
  std::lock_guard guard(database_->Lock());
  Access access(*this, session_of(cursor));
  access.Require(20216);
  return TABSTableData::FindKey(cursor, kind);
}

void TABSDiskTableData::SetRecordNo(TABSCursor* cursor, int64_t n) {
  std::lock_guard guard(database_->Lock());
  Access access(*this, session_of(cursor));
  access.Require(20216);
  TABSTableData::SetRecordNo(cursor, n);
}

int64_t TABSDiskTableData::GetRecordNo(TABSCursor* cursor) {
  std::lock_guard guard(database_->Lock());
  Access access(*this, session_of(cursor));
  access.Require(20216);
  return TABSTableData::GetRecordNo(cursor);
}

int64_t TABSDiskTableData::CursorRecordCount(TABSCursor* cursor) {
  std::lock_guard guard(database_->Lock());
  Access access(*this, session_of(cursor));
  access.Require(20216);
  return TABSTableData::CursorRecordCount(cursor);
}

// A change takes the table's write lock before its read lock. The write lock is refused
// while another session reads; were the read lock taken first, two sessions changing the
// table at once would each hold a read lock while waiting for the write lock, and each
// would wait for the other until its attempts ran out.
bool TABSDiskTableData::InsertRecord(TABSCursor* cursor) {
  std::lock_guard guard(database_->Lock());
  WriteLock write(*this, session_of(cursor), cursor->Session->InTransaction, 20217);
  Access access(*this, session_of(cursor));
  access.Require(20217);
  return TABSTableData::InsertRecord(cursor);
}

bool TABSDiskTableData::UpdateRecord(TABSCursor* cursor) {
  std::lock_guard guard(database_->Lock());
  WriteLock write(*this, session_of(cursor), cursor->Session->InTransaction, 20218);
  Access access(*this, session_of(cursor));
  access.Require(20218);
  return TABSTableData::UpdateRecord(cursor);
}

bool TABSDiskTableData::DeleteRecord(TABSCursor* cursor) {
  std::lock_guard guard(database_->Lock());
  WriteLock write(*this, session_of(cursor), cursor->Session->InTransaction, 20219);
  Access access(*this, session_of(cursor));
  access.Require(20219);
  return TABSTableData::DeleteRecord(cursor);
}

void TABSDiskTableData::EmptyTable(TABSCursor* cursor) {
  std::lock_guard guard(database_->Lock());
  WriteLock write(*this, session_of(cursor), cursor->Session->InTransaction, 20220);
  Access access(*this, session_of(cursor));
  access.Require(20220);
  TABSTableData::EmptyTable(cursor);
}

int64_t TABSDiskTableData::RecordOrdinal(const TABSRecordID& id) {
  return int64_t{id.PageNo} * Records().RecordsPerPage() + id.SlotNo;
}

TABSRecordID TABSDiskTableData::RecordIDOfOrdinal(int64_t ordinal) {
  const int32_t n = Records().RecordsPerPage();
  return TABSRecordID{static_cast<int32_t>(ordinal / n), static_cast<uint16_t>(ordinal % n)};
}

int64_t TABSDiskTableData::HighestPhysicalRecordNo(int32_t session) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  const int32_t last = Records().PageIndex().Last(session);
  return last < 0 ? 1 : (int64_t{last} + 1) * Records().RecordsPerPage();
}

bool TABSDiskTableData::SetRecordNoInStorageOrder(TABSCursor* cursor, int64_t n) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  const int64_t count = record_manager_->RecordCount;
  if (count == 0) return false;
  n = std::clamp<int64_t>(n, 1, count);
  TABSRecordID id;
  if (!Records().RecordIDOfRecordNo(session_of(cursor), n, id)) return false;
  cursor->Position = id;
  cursor->AtBegin = cursor->AtEnd = false;
  return true;
}

int64_t TABSDiskTableData::GetRecordNoInStorageOrder(TABSCursor* cursor) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  if (cursor->AtBegin || cursor->AtEnd) return -1;
  return Records().RecordNoOfRecordID(session_of(cursor), cursor->Position);
}

int64_t TABSDiskTableData::LastAutoincValue(TABSCursor* cursor, int32_t field_no) {
  std::lock_guard guard(database_->Lock());
  return field_manager_->GetLastAutoincValueInSession(cursor->Session, field_no);
}

// ---- BLOB fields ----

bool TABSDiskTableData::ReadBlobData(int32_t session, int32_t field_no, const void* memory_record,
                                     TABSBlobValue& value) {
  std::lock_guard guard(database_->Lock());
  Access access(*this, session);
  access.Require(20215);
  return TABSTableData::ReadBlobData(session, field_no, memory_record, value);
}

bool TABSDiskTableData::has_stored_blob(const uint8_t* field) const {
  return TABSBlobReference::Load(field).HasValue();
}

void TABSDiskTableData::clear_blob_reference(uint8_t* field) const {
  TABSBlobReference{}.Store(field);
}

bool TABSDiskTableData::load_blob(int32_t session, int32_t, const uint8_t* field, TABSBlobValue& value) {
  const TABSBlobReference ref = TABSBlobReference::Load(field);
  if (!ref.HasValue()) return false;
  blobs_->Read(session, ref, value);
  return true;
}

void TABSDiskTableData::save_blob(int32_t session, int32_t, const TABSBlobValue& value, uint8_t* field) {
  if (blobs_->IndexRoot() < 0 && blobs_->IsSmall(static_cast<int64_t>(value.Stored.size()))) {
    // A table made before it had a BLOB index gets one in its own committed step, so that
    // no session's rollback can leave the metadata naming a page it took back.
    blobs_->CreateIndex(kSystemSession);
    try {
      write_metadata(kSystemSession);
      pages_->CommitPages(kSystemSession);
    } catch (...) {
      pages_->RollbackPages(kSystemSession);
      blobs_->SetIndexRoot(-1);
      throw;
    }
  }
  const TABSBlobReference ref = blobs_->Store(session, value);
  clear_blob_reference(field);
  ref.Store(field);
}

void TABSDiskTableData::delete_blob(int32_t session, int32_t, uint8_t* field) {
  const TABSBlobReference ref = TABSBlobReference::Load(field);
  if (ref.HasValue()) blobs_->Delete(session, ref);
  clear_blob_reference(field);
}

void TABSDiskTableData::free_all_blobs(int32_t session) {
  TABSTableData::free_all_blobs(session);
  blobs_->EmptyIndex(session);
}

}  // namespace dadoveri
