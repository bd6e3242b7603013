#include "engine/database/blob_storage_check.h"

#include <map>
#include <set>
#include <utility>

#include "engine/base/engine_error.h"
#include "engine/database/disk_blob_manager.h"
#include "engine/database/disk_table_data.h"
#include "engine/storage/compressed_blob_stream.h"
#include "engine/storage/page_manager.h"
#include "engine/storage/stream.h"
#include "engine/table/column_type.h"
#include "engine/table/cursor.h"
#include "engine/table/session.h"

namespace dadoveri {

namespace {

std::string record_text(const TABSRecordID& id) {
  return "record (page " + std::to_string(id.PageNo) + ", slot " + std::to_string(id.SlotNo) + ")";
}

// Reads the whole uncompressed value: every block is decompressed and its size and
// checksum checked on the way.
void read_through(const TABSBlobValue& value, const TABSFieldDef& field) {
  TABSMemoryStream stored;
  if (!value.Stored.empty()) stored.Write(value.Stored.data(), static_cast<int64_t>(value.Stored.size()));
  TABSCompressedStreamParams params;
  params.BlockSize = field.BlobBlockSize;
  params.BlockCount = value.BlockCount;
  params.UncompressedSize = value.UncompressedSize;
  params.CompressionAlgorithm = field.BlobCompressionAlgorithm;
  params.CompressionMode = field.BlobCompressionMode;
  TABSCompressedBLOBStream stream(stored, params, false);
  std::vector<uint8_t> piece(65536);
  int64_t done = 0;
  while (done < value.UncompressedSize) {
    const int64_t got = stream.Read(piece.data(), static_cast<int64_t>(piece.size()));
    if (got <= 0) RaiseError(20162);
    done += got;
  }
}

}  // namespace

void CheckBlobStorage(TABSDiskTableData& table, std::vector<std::string>& problems) {
  // Records are read under a session's table lock: the database's own session has none.
  const std::vector<TABSCursor*>& cursors = table.Cursors();
  if (cursors.empty() || !cursors.front()->Session) RaiseError(10009);
  CheckBlobStorage(table, cursors.front()->Session->SessionID, problems);
}

void CheckBlobStorage(TABSDiskTableData& table, int32_t session, std::vector<std::string>& problems) {
  TABSDiskBlobManager* blobs = table.Blobs();
  if (!table.Opened() || !blobs) return;
  TABSFieldDefs& defs = table.FieldDefs();
  std::vector<int32_t> fields;
  for (int32_t i = 0; i < defs.Count(); ++i)
    if (IsBlobBaseType(defs.Item(i)->BaseType)) fields.push_back(i);
  if (fields.empty()) return;
  const std::string name = "table '" + table.TableName() + "'";
  auto problem = [&](const std::string& text) { problems.push_back(name + ", " + text); };
  const TABSRecordLayout& layout = table.FieldManager().Layout();

  // Who uses what: small values by (page, id), pages of large values by page.
  std::map<std::pair<int32_t, int16_t>, std::string> small_owner;
  std::map<int32_t, std::string> page_owner;

  std::vector<uint8_t> record(static_cast<size_t>(table.MemoryRecordSize()));
  TABSRecordID id;
  try {
    for (bool first = true; table.ReadNextRecord(session, id, first, record.data()); first = false) {
      for (int32_t f : fields) {
        if (layout.IsNull(f, record.data())) continue;
        const TABSBlobReference ref = TABSBlobReference::Load(record.data() + layout.Field(f).MemoryOffset);
        if (!ref.HasValue()) continue;
        const std::string where = record_text(id) + ", field '" + defs.Item(f)->Name + "'";
        const std::string at = "BLOB page " + std::to_string(ref.PageNo) + ", " + where;
        try {
          if (blobs->IsLarge(session, ref)) {
            const TABSDiskBlobManager::LargeLayout pages = blobs->ReadLargeLayout(session, ref.PageNo);
            std::set<int32_t> own(pages.DataPages.begin(), pages.DataPages.end());
            own.insert(pages.ListPages.begin(), pages.ListPages.end());
            for (int32_t page : own) {
              const auto [it, added] = page_owner.emplace(page, where);
              if (!added)
                problem("BLOB page " + std::to_string(page) + ": used by the value of " + where + " and by " + it->second);
            }
          } else {
            const auto [it, added] = small_owner.emplace(std::make_pair(ref.PageNo, ref.BlobID), where);
            if (!added) problem(at + ": value id " + std::to_string(ref.BlobID) + " also referenced by " + it->second);
          }
          TABSBlobValue value;
          blobs->Read(session, ref, value);
          read_through(value, *defs.Item(f));
        } catch (const VODIDivodavir& e) {
          problem(at + ": " + e.Message());
        }
      }
    }
  } catch (const VODIDivodavir& e) {
    problem("after " + record_text(id) + ": the records cannot be read: " + e.Message());
    return;
  }

  // Small-value pages: what the index counts, what the page holds, who references it.
  std::set<int32_t> small_pages;
  TABSBTreeBlobPageIndex& index = blobs->Index();
  if (blobs->IndexRoot() >= 0) {
    try {
      for (int32_t page_no = index.First(session); page_no >= 0; page_no = index.Next(session, page_no)) {
        small_pages.insert(page_no);
        const std::string at = "BLOB page " + std::to_string(page_no);
        if (page_owner.count(page_no)) problem(at + ": in the BLOB index and used by the value of " + page_owner[page_no]);
        try {
          const int32_t counted = index.Find(session, page_no);
          TABSPageHandle page = blobs->BlobPage(session, page_no);
          TABSSmallBlobPage view(page);
          if (view.Damaged()) problem(at + ": a value overruns the page after " + std::to_string(view.Count()) + " values");
          else if (view.UsedBytes() != counted)
            problem(at + ": the BLOB index counts " + std::to_string(counted) + " bytes in use, the page holds " +
                    std::to_string(view.UsedBytes()));
          for (const TABSSmallBlobPage::Entry& e : view.Entries())
            if (!small_owner.count({page_no, e.BlobID}))
              problem(at + ": value id " + std::to_string(e.BlobID) + " is referenced by no record");
        } catch (const VODIDivodavir& e) {
          problem(at + ": " + e.Message());
        }
      }
    } catch (const VODIDivodavir& e) {
      problem("BLOB index root page " + std::to_string(blobs->IndexRoot()) + ": " + e.Message());
    }
  }
  for (const auto& [key, where] : small_owner)
    if (!small_pages.count(key.first))
      problem("BLOB page " + std::to_string(key.first) + ": holds the value of " + where + " but is not in the BLOB index");

  // Pages of the table's that belong to no value.
  TABSPageManager& pages = *table.Pages();
  const int32_t total = pages.GetTotalPageCount();
  for (int32_t page_no = 1; page_no < total; ++page_no) {
    if (small_pages.count(page_no) || page_owner.count(page_no)) continue;
    try {
      TABSPageHandle page = pages.GetPage(session, page_no);
      if (page.PageType() == ptTableBlob && blobs->IsTableBlobPage(page))
        problem("BLOB page " + std::to_string(page_no) + ": belongs to no value of any record");
    } catch (const VODIDivodavir&) {
      // Pages that cannot be read are the page checker's.
    }
  }
}

}  // namespace dadoveri
