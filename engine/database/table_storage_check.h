// The storage walk of one table in a database file, as `dadoveri check` and `dadoveri info`
// need it: the record pages found through the table's RecordPageIndex (owner, presence
// bitmap, each page's count against the index), the totals against the header block's
// RecordCount, and every stored index (tree invariants, entry count = RecordCount, an
// entry with the record's own key for every record). It reads through a page manager in
// one session and changes nothing.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace dadoveri {

class TABSPageManager;
class TABSTableMetadata;
struct TABSTableListEntry;

struct TABSTableStorageReport {
  // Readable lines naming the table and, where it applies, the page and record.
  std::vector<std::string> Problems;
  // RecordCount of the header block; -1 when it could not be read.
  int64_t RecordCount = -1;
  // Records found on the record pages.
  int64_t RecordsFound = 0;
  int64_t RecordPages = 0;
  // Pages of the RecordPageIndex and of the stored indexes.
  int64_t PageIndexPages = 0;
  int64_t IndexPages = 0;
  int64_t BlobPages = 0;
  // Every page the walk reached (record pages, RecordPageIndex pages, index pages), so
  // that a survey of the whole file can tell pages no structure reaches.
  std::set<int32_t> PagesReached;
};

// Walks the table described by `entry` and `metadata` (read from the file beforehand).
// Problems found go into the report; it raises only when the page manager itself fails.
// `max_problems_per_structure` keeps a badly damaged table from flooding the report.
// `counts_only` skips the index trees' checks and the per-record key look-ups (for a
// summary of a large file).
TABSTableStorageReport CheckTableStorage(TABSPageManager& pages, int32_t session, const TABSTableListEntry& entry,
                                         const TABSTableMetadata& metadata, bool counts_only = false,
                                         int32_t max_problems_per_structure = 20);

}  // namespace dadoveri
