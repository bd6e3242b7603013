#include "engine/database/table_storage_check.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/base/little_endian.h"
#include "engine/database/disk_table_data.h"
#include "engine/database/table_list.h"
#include "engine/storage/internal_file.h"
#include "engine/storage/page.h"
#include "engine/storage/page_manager.h"
#include "engine/table/column_type.h"
#include "engine/table/btree.h"
#include "engine/table/btree_page_index.h"
#include "engine/table/btree_record_index.h"
#include "engine/table/btree_record_source.h"
#include "engine/table/table_metadata.h"

namespace dadoveri {

namespace {

std::string format(const char* f, auto... args) {
  char buffer[768];
  std::snprintf(buffer, sizeof buffer, f, args...);
  return buffer;
}

// Problems of one structure, cut off after a limit with a count of the rest.
class ProblemList {
 public:
  ProblemList(std::vector<std::string>& out, int32_t limit) : out_(out), limit_(limit) {}
  ~ProblemList() {
    if (dropped_ > 0) out_.push_back(format("%s: %lld more problems of the same kind", what_.c_str(),
                                            static_cast<long long>(dropped_)));
  }
  ProblemList(const ProblemList&) = delete;
  ProblemList& operator=(const ProblemList&) = delete;
  void Add(const std::string& what, std::string text) {
    what_ = what;
    if (count_++ < limit_)
      out_.push_back(std::move(text));
    else
      ++dropped_;
  }

 private:
  std::vector<std::string>& out_;
  int32_t limit_;
  int32_t count_ = 0;
  int64_t dropped_ = 0;
  std::string what_;
};

// Reads records straight from their pages, for the ties an index breaks by reading the
// record (text keys cut to the index's key size).
class PageRecordSource final : public TABSIndexRecordSource {
 public:
  PageRecordSource(TABSPageManager& pages, const TABSRecordLayout& layout, int32_t per_page)
      : pages_(pages), layout_(layout), per_page_(per_page), stored_(static_cast<size_t>(layout.StoredRecordSize())) {}
  bool ReadRecord(int32_t session, const TABSRecordID& id, void* memory_record) override {
    try {
      TABSPageHandle page = pages_.GetPage(session, id.PageNo, false, ptTableRecord);
      TABSSmallRecordPage view(page, per_page_, layout_.StoredRecordSize());
      if (!view.Present(id.SlotNo)) return false;
      view.ReadRecord(id.SlotNo, stored_.data());
    } catch (const VODIDivodavir&) {
      return false;
    }
    layout_.StoredToMemory(stored_.data(), memory_record);
    return true;
  }
  bool ReadNextRecord(int32_t, TABSRecordID&, bool, void*) override { return false; }
  int32_t TableChangeCounter() const override { return 0; }

 private:
  TABSPageManager& pages_;
  const TABSRecordLayout& layout_;
  int32_t per_page_;
  std::vector<uint8_t> stored_;
};

// Counts the pages of a B-tree from its root, adding each to `reached`; a page met twice
// (a cycle, or a page shared by two trees) is reported and not walked again.
int64_t count_tree_pages(TABSPageManager& pages, int32_t session, int32_t root, uint16_t leaf_link_size,
                         const std::string& what, std::set<int32_t>& reached, ProblemList& problems) {
  int64_t count = 0;
  std::vector<int32_t> pending{root};
  while (!pending.empty()) {
    const int32_t page_no = pending.back();
    pending.pop_back();
    if (!reached.insert(page_no).second) {
      problems.Add(what, format("%s: page %d is reached twice", what.c_str(), page_no));
      continue;
    }
    ++count;
    try {
      TABSBTreePage page(pages.GetPage(session, page_no, false, ptTableIndex), leaf_link_size);
      if (!page.IsConsistent()) {
        problems.Add(what, format("%s: page %d holds more entries than fit it", what.c_str(), page_no));
        continue;
      }
      if (page.IsLeaf()) continue;
      for (int32_t i = 0; i < page.EntryCount(); ++i) {
        const int32_t child = page.ChildPageNo(i);
        if (child < 0 || child >= pages.GetTotalPageCount())
          problems.Add(what, format("%s: page %d leads to page %d, outside the file", what.c_str(), page_no, child));
        else
          pending.push_back(child);
      }
    } catch (const VODIDivodavir& e) {
      problems.Add(what, format("%s: page %d cannot be read: %s", what.c_str(), page_no, e.what()));
    }
  }
  return count;
}

}  // namespace

TABSTableStorageReport CheckTableStorage(TABSPageManager& pages, int32_t session, const TABSTableListEntry& entry,
                                         const TABSTableMetadata& metadata, bool counts_only,
                                         int32_t max_problems_per_structure) {
  TABSTableStorageReport report;
  std::vector<std::string>& out = report.Problems;
  const char* table = entry.TableName.c_str();

  // The header block: autoincrement counters, then the table counter and RecordCount.
  try {
    TABSInternalDBTransactedAccessFile file(pages);
    file.OpenFile(entry.MostUpdatedStartPageNo, ptTableMostUpdated);
    const std::vector<uint8_t> bytes = file.ReadAll(session);
    if (bytes.size() >= 4) {
      const int32_t n = LoadLE<int32_t>(bytes.data());
      const int64_t at = 4 + int64_t{n} * 8;
      if (n >= 0 && at + 8 <= static_cast<int64_t>(bytes.size()))
        report.RecordCount = LoadLE<int32_t>(bytes.data() + at + 4);
    }
    if (report.RecordCount < 0) out.push_back(format("table '%s': the header block is invalid", table));
  } catch (const VODIDivodavir& e) {
    out.push_back(format("table '%s': the header block cannot be read: %s", table, e.what()));
  }

  const TABSRecordLayout layout = metadata.Fields.RecordLayout();
  const int32_t stored_size = layout.StoredRecordSize();
  const int32_t per_page = RecordsPerPage(pages.DataSize(), stored_size);
  if (per_page <= 0) {
    out.push_back(format("table '%s': a stored record of %d bytes does not fit a page", table, stored_size));
    return report;
  }
  int32_t root = -1;
  if (metadata.StorageSections.size() >= 4)
    root = LoadLE<int32_t>(reinterpret_cast<const uint8_t*>(metadata.StorageSections.data()));
  const bool root_valid = root >= 0 && root < pages.GetTotalPageCount();
  if (!root_valid)
    out.push_back(format("table '%s': the RecordPageIndex root %d is not a page of the file", table, root));

  // The RecordPageIndex: its tree, then each record page it lists.
  TABSBTreeRecordPageIndex page_index(&pages, per_page);
  page_index.SetRoot(root);
  const std::string index_what = format("table '%s': the RecordPageIndex", table);
  struct RecordPage {
    int32_t page_no;
    int32_t count;
  };
  std::vector<RecordPage> record_pages;
  if (root_valid) {
    ProblemList problems(out, max_problems_per_structure);
    report.PageIndexPages = count_tree_pages(pages, session, root, 2, index_what, report.PagesReached, problems);
    try {
      if (!counts_only) page_index.Tree().CheckIntegrity(session);
      for (int32_t p = page_index.First(session); p >= 0; p = page_index.Next(session, p))
        record_pages.push_back({p, page_index.Find(session, p)});
    } catch (const VODIDivodavir& e) {
      problems.Add(index_what, format("%s is damaged: %s", index_what.c_str(), e.what()));
    }
  }

  // Each record page: type, owner, bitmap, count; every record is kept for the index walk.
  std::vector<TABSRecordID> records;
  std::vector<uint8_t> stored(static_cast<size_t>(stored_size));
  int64_t index_total = 0;
  {
    const std::string what = format("table '%s': record pages", table);
    ProblemList problems(out, max_problems_per_structure);
    for (const RecordPage& rp : record_pages) {
      index_total += rp.count;
      ++report.RecordPages;
      if (!report.PagesReached.insert(rp.page_no).second) {
        problems.Add(what, format("table '%s': record page %d is also a page of another structure", table, rp.page_no));
        continue;
      }
      try {
        TABSPageHandle page = pages.GetPage(session, rp.page_no, false, kAnyPageType);
        if (page.PageType() != ptTableRecord) {
          problems.Add(what, format("table '%s': record page %d is a page of type %d", table, rp.page_no,
                                    static_cast<int>(page.PageType())));
          continue;
        }
        if (page.ModificationCounter() > 0x7FFFFFFD) {
          problems.Add(what, format("table '%s': record page %d was freed", table, rp.page_no));
          continue;
        }
        const int32_t owner = page_header::OwnerObjectID(page.Buffer());
        if (owner != entry.ObjectID)
          problems.Add(what, format("table '%s': record page %d belongs to object %d, not to the table (object %d)",
                                    table, rp.page_no, owner, entry.ObjectID));
        TABSSmallRecordPage view(page, per_page, stored_size);
        // Bits past the last slot must be clear.
        const int32_t bitmap_bytes = (per_page + 7) / 8;
        if (per_page % 8 != 0 && (page.Data()[bitmap_bytes - 1] >> (per_page % 8)) != 0)
          problems.Add(what, format("table '%s': record page %d marks slots beyond its %d slots", table, rp.page_no,
                                    per_page));
        const int32_t found = view.RecordCount();
        report.RecordsFound += found;
        if (found != rp.count)
          problems.Add(what, format("table '%s': record page %d holds %d records, the RecordPageIndex says %d", table,
                                    rp.page_no, found, rp.count));
        for (int32_t slot = view.FirstSlot(); slot >= 0; slot = view.NextSlot(slot))
          records.push_back(TABSRecordID{rp.page_no, static_cast<uint16_t>(slot)});
      } catch (const VODIDivodavir& e) {
        problems.Add(what, format("table '%s': record page %d cannot be read: %s", table, rp.page_no, e.what()));
      }
    }
  }
  if (root_valid && report.RecordCount >= 0 && index_total != report.RecordCount)
    out.push_back(format("table '%s': the RecordPageIndex counts %lld records, the header block %lld", table,
                         static_cast<long long>(index_total), static_cast<long long>(report.RecordCount)));
  if (report.RecordCount >= 0 && report.RecordsFound != report.RecordCount)
    out.push_back(format("table '%s': the record pages hold %lld records, the header block counts %lld", table,
                         static_cast<long long>(report.RecordsFound), static_cast<long long>(report.RecordCount)));

  // Each stored index: its tree, its entry count, and an entry for every record with the
  // record's own key.
  PageRecordSource source(pages, layout, per_page);
  std::vector<uint8_t> memory(static_cast<size_t>(layout.MemoryRecordSize()));
  for (int32_t i = 0; i < metadata.Indexes.Count(); ++i) {
    const TABSIndexDef& definition = *metadata.Indexes.Item(i);
    if (definition.Temporary || definition.RootPageNo < 0) continue;
    const std::string what = format("table '%s': index '%s'", table, definition.Name.c_str());
    ProblemList problems(out, max_problems_per_structure);
    if (definition.RootPageNo >= pages.GetTotalPageCount()) {
      problems.Add(what, format("%s has its root outside the file (page %d)", what.c_str(), definition.RootPageNo));
      continue;
    }
    report.IndexPages += count_tree_pages(pages, session, definition.RootPageNo, kRecordIDSize, what,
                                          report.PagesReached, problems);
    if (counts_only) continue;
    try {
      TABSBTreeRecordIndex index(&pages, &metadata.Fields, &source);
      index.Open(definition);
      const int64_t entries = index.CheckIntegrity(session);
      if (report.RecordCount >= 0 && entries != report.RecordCount)
        problems.Add(what, format("%s has %lld entries, the table %lld records", what.c_str(),
                                  static_cast<long long>(entries), static_cast<long long>(report.RecordCount)));
      for (const TABSRecordID& id : records) {
        if (!source.ReadRecord(session, id, memory.data())) continue;
        TABSKeyPath path;
        if (!index.FindRecord(session, id, path, memory.data()))
          problems.Add(what, format("%s has no entry with the key of record (page %d, slot %d)", what.c_str(),
                                    id.PageNo, static_cast<int>(id.SlotNo)));
      }
    } catch (const VODIDivodavir& e) {
      problems.Add(what, format("%s is damaged: %s", what.c_str(), e.what()));
    }
  }

  // The BLOB index (the table's small-value pages with their bytes in use) follows the
  // RecordPageIndex root in the storage sections of a table with BLOB fields. Its tree
  // pages count as BLOB pages; the values themselves are checked through an open table
  // (CheckBlobStorage), which needs records read under a session.
  bool has_blobs = false;
  for (int32_t i = 0; i < metadata.Fields.Count(); ++i)
    if (IsBlobBaseType(metadata.Fields.Item(i)->BaseType)) has_blobs = true;
  if (has_blobs && metadata.StorageSections.size() >= 8) {
    const int32_t blob_root = LoadLE<int32_t>(reinterpret_cast<const uint8_t*>(metadata.StorageSections.data()) + 4);
    const std::string what = format("table '%s': the BLOB index", table);
    ProblemList problems(out, max_problems_per_structure);
    if (blob_root >= pages.GetTotalPageCount())
      problems.Add(what, format("%s has its root outside the file (page %d)", what.c_str(), blob_root));
    else if (blob_root >= 0)
      report.BlobPages += count_tree_pages(pages, session, blob_root, 2, what, report.PagesReached, problems);
  }
  return report;
}

}  // namespace dadoveri
