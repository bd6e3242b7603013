#include "tools/dadoveri/database_survey.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <utility>

#include "engine/database/local_cursor.h"
#include "engine/base/engine_error.h"
#include "engine/database/blob_storage_check.h"
#include "engine/database/disk_database_data.h"
#include "engine/database/disk_table_data.h"
#include "engine/database/system_directory.h"
#include "engine/storage/disk_page_manager.h"
#include "engine/storage/internal_file.h"
#include "engine/storage/page.h"
#include "engine/table/btree_record_index.h"
#include "engine/table/cursor.h"
#include "engine/table/session.h"

namespace dadoveri::tool {

namespace {

std::string format(const char* f, auto... args) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, f, args...);
  return buffer;
}

// Holds the file open through the engine's page manager and collects what is wrong. Every
// structure is read with the engine's own readers, so that a damaged structure is judged
// here exactly as the engine judges it when it opens the file; on top of that come the
// checks only a survey of the whole file can make (pages shared by two structures, pages
// in use that the page-usage map calls free).
class Inspector {
 public:
  Inspector(const std::string& file_name, const TABSPassword& password) {
    bool read_only = true;
    bool needs_repair = false;
    pages_.OpenDatabase(file_name, password, read_only, false, true, needs_repair);
    needs_repair_ = needs_repair;
    const TABSMainHeader& h = pages_.MainHeader();
    total_ = h.TotalPageCount();
    geometry_ = std::make_unique<TABSMapGeometry>(h.PageSize(), h.PagesPerExtent());
    // Pages that lie wholly inside the file; a header that claims more is reported by the
    // check and never walked.
    const int64_t file_size = pages_.File().GetSize();
    const int64_t room = (file_size - pages_.PageOffset(0)) / h.PageSize();
    pages_in_file_ = static_cast<int32_t>(std::clamp<int64_t>(room, 0, std::max(total_, 0)));
  }
  ~Inspector() {
    try {
      pages_.FreeAllPages();
      pages_.CloseDatabase();
    } catch (...) {
    }
  }

  TABSDiskPageManager& Pages() { return pages_; }
  std::vector<std::string>& Problems() { return problems_; }
  int32_t Total() const { return total_; }
  int32_t PagesInFile() const { return pages_in_file_; }

  void Problem(std::string text) { problems_.push_back(std::move(text)); }

  // The 40-byte header of a page, read straight from the file (headers are never
  // encrypted); false (and a problem) when it cannot be read.
  bool ReadHeader(int32_t page_no, uint8_t* header) {
    try {
      pages_.ReadPageBytes(page_no, 0, header, kPageHeaderSize);
      return true;
    } catch (const VODIDivodavir& e) {
      Problem(format("page %d cannot be read: %s", page_no, e.what()));
      return false;
    }
  }

  // Whether the page-usage map marks the page used, as the free-space manager reads it.
  // A map page that cannot be read is reported once; its pages then count as used.
  bool PfsUsed(int32_t page_no) {
    const int64_t pfs_no = geometry_->PfsPageOf(page_no);
    if (unreadable_maps_.count(pfs_no)) return true;
    try {
      return pages_.FreeSpace().IsPageUsed(page_no);
    } catch (const VODIDivodavir& e) {
      unreadable_maps_.insert(pfs_no);
      Problem(format("page-usage map page %lld cannot be read: %s", static_cast<long long>(pfs_no), e.what()));
      return true;
    }
  }

  bool IsMapPage(int32_t page_no) const { return geometry_->IsMapPage(page_no); }

  // Whether tables are walked in full (check) or only counted (info).
  bool FullCheck = false;

  // Reads a page the way the engine reads it for use, decrypting it and testing its
  // checksum; answers the code and text of the engine's error, code 0 when it is sound.
  std::pair<int32_t, std::string> ReadChecked(int32_t page_no) {
    try {
      pages_.GetPage(kSystemSession, page_no);
      return {0, {}};
    } catch (const VODIDivodavir& e) {
      return {e.NativeError, e.what()};
    }
  }

  // What a failure to walk or read a structure says about it.
  void ChainFailure(const std::string& what, const VODIDivodavir& e) {
    if (e.NativeError == 30446)
      Problem(what + ": encrypted data does not match its checksum (" + e.what() + ")");
    else
      Problem(what + " chain is broken: " + e.what());
  }

  // Claims the pages of one structure's chain: each must lie inside the file, belong to no
  // other structure and be marked in use. `signed_pages` also demands the page signature
  // (the first byte of a direct file's first page is its lock byte instead).
  bool Claim(const std::string& what, const std::vector<int32_t>& chain, bool signed_pages) {
    for (const int32_t no : chain) {
      if (no < 0 || no >= total_) {
        Problem(format("%s chain is broken: it leads to page %d, outside the file's %d pages", what.c_str(), no, total_));
        return false;
      }
      const auto [it, fresh] = owners_.emplace(no, what);
      if (!fresh) {
        Problem(format("%s chain is broken: page %d already belongs to %s", what.c_str(), no, it->second.c_str()));
        return false;
      }
      const std::string where = format("page %d of %s", no, what.c_str());
      uint8_t header[kPageHeaderSize];
      if (signed_pages && ReadHeader(no, header) && !page_header::HasSignature(header))
        Problem(where + " has no page signature");
      if (!PfsUsed(no)) Problem(where + " is in use but marked free in the page-usage map");
    }
    return true;
  }

  // Opens a transacted internal file and claims its chain; false (and problems) when the
  // engine cannot walk it.
  bool OpenTransacted(const std::string& what, TABSInternalDBTransactedAccessFile& file, int32_t start, uint16_t type,
                      uint8_t compression = acNone) {
    file.OpenFile(start, type, compression, 1);
    std::vector<int32_t> chain;
    try {
      chain = file.ChainPages(kSystemSession);
    } catch (const VODIDivodavir& e) {
      ChainFailure(what, e);
      return false;
    }
    return Claim(what, chain, true);
  }

  // The logical content of a transacted internal file, as the engine reads it.
  bool ReadTransacted(const std::string& what, int32_t start, uint16_t type, std::vector<uint8_t>& content) {
    TABSInternalDBTransactedAccessFile file(pages_);
    if (!OpenTransacted(what, file, start, type)) return false;
    try {
      content = file.ReadAll(kSystemSession);
      return true;
    } catch (const VODIDivodavir& e) {
      Problem(what + " cannot be read: " + e.what());
      return false;
    }
  }

  // A direct-access file: the engine opens it (walking its chain); its recorded size must
  // fit what the chain's pages hold.
  bool CheckDirect(const std::string& what, int32_t start, uint16_t type, int32_t& size) {
    TABSInternalDBDirectAccessFile file(pages_);
    try {
      file.OpenFile(start, type);
    } catch (const VODIDivodavir& e) {
      ChainFailure(what, e);
      return false;
    }
    if (!Claim(what, file.ChainPages(), false)) return false;
    const int32_t recorded = file.GetSize();
    if (recorded < 0 || recorded > file.Capacity()) {
      Problem(format("%s chain is broken: %d bytes recorded, its %d pages hold %d", what.c_str(), recorded,
                     static_cast<int>(file.ChainPages().size()), file.Capacity()));
      return false;
    }
    size = recorded;
    return true;
  }

  const std::map<int32_t, std::string>& Owners() const { return owners_; }
  bool NeedsRepair() const { return needs_repair_; }
  const TABSMapGeometry& Geometry() const { return *geometry_; }

  static std::string type_name(uint16_t type) {
    if (type > ptTableIndex) return format("page of unknown type %d", type);
    return std::string(PageTypeName(type));
  }

 private:
  TABSDiskPageManager pages_;
  std::unique_ptr<TABSMapGeometry> geometry_;
  int32_t total_ = 0;
  int32_t pages_in_file_ = 0;
  bool needs_repair_ = false;
  std::vector<std::string> problems_;
  std::map<int32_t, std::string> owners_;
  std::set<int64_t> unreadable_maps_;
};

// The directory, the sessions file, the table list and every table's files and metadata.
struct Catalog {
  int32_t MaxConnections = 0;
  std::vector<TableInfo> Tables;
};

bool has_blob_fields(const TABSTableMetadata& m) {
  for (int32_t i = 0; i < m.Fields.Count(); ++i)
    if (IsBlobBaseType(m.Fields.Item(i)->BaseType)) return true;
  return false;
}

void check_metadata(Inspector& in, const std::string& table, const TABSTableMetadata& m) {
  const TABSFieldDefs& fields = m.Fields;
  for (int32_t i = 0; i < fields.Count(); ++i) {
    const TABSFieldDef* f = fields.Item(i);
    if (fields.IndexOf(f->Name) != i)
      in.Problem(format("table '%s': field name '%s' is used twice", table.c_str(), f->Name.c_str()));
  }
  for (int32_t i = 0; i < m.Indexes.Count(); ++i) {
    const TABSIndexDef* index = m.Indexes.Item(i);
    for (const TABSIndexColumn& c : index->Columns) {
      if (fields.Find(c.FieldName) != nullptr) continue;
      in.Problem(format("table '%s': index '%s' names a missing field '%s'", table.c_str(), index->Name.c_str(),
                        c.FieldName.c_str()));
    }
    // Its root and tree are walked with the table's storage (CheckTableStorage).
  }
  TABSConstraintDefs copy;
  try {
    copy.Assign(m.Constraints);
    copy.ResolveReferences(m.Fields, m.Indexes);
  } catch (const VODIDivodavir& e) {
    in.Problem(format("table '%s': a constraint does not resolve: %s", table.c_str(), e.what()));
  }
}

// The table's record pages, RecordPageIndex and indexes, through the engine's walk; its
// problems join the file's, and the pages it reached are claimed like any chain's.
void walk_storage(Inspector& in, TableInfo& t) {
  try {
    t.Storage = CheckTableStorage(in.Pages(), kSystemSession, t.Entry, *t.Metadata, !in.FullCheck);
    t.HasStorage = true;
  } catch (const VODIDivodavir& e) {
    in.Problem(format("the storage of table '%s' cannot be walked: %s", t.Entry.TableName.c_str(), e.what()));
    return;
  }
  for (std::string& p : t.Storage.Problems) in.Problem(std::move(p));
  t.Storage.Problems.clear();
  in.Claim("the storage of table '" + t.Entry.TableName + "'",
           std::vector<int32_t>(t.Storage.PagesReached.begin(), t.Storage.PagesReached.end()), true);
}

// Reads one table's files: its metadata (decoded by the engine), its most-updated file and
// its lock file.
TableInfo read_table(Inspector& in, const TABSTableListEntry& entry, int32_t max_connections) {
  TableInfo t;
  t.Entry = entry;
  const std::string& name = entry.TableName;
  const std::string what = "the metadata of table '" + name + "'";
  TABSInternalDBTransactedAccessFile metadata_file(in.Pages());
  if (in.OpenTransacted(what, metadata_file, entry.MetadataStartPageNo, ptTableMetaData, acZLIB)) {
    auto m = std::make_unique<TABSTableMetadata>();
    try {
      ReadTableMetadataFile(in.Pages(), kSystemSession, entry.MetadataStartPageNo, *m);
      check_metadata(in, name, *m);
      t.Metadata = std::move(m);
      walk_storage(in, t);
    } catch (const VODIDivodavir& e) {
      t.MetadataError = e.what();
      in.Problem(format("the metadata of table '%s' cannot be read: %s", name.c_str(), e.what()));
    }
  } else {
    t.MetadataError = "its metadata file is damaged";
  }
  std::vector<uint8_t> header;
  in.ReadTransacted("the most-updated file of table '" + name + "'", entry.MostUpdatedStartPageNo, ptTableMostUpdated,
                    header);
  int32_t lock_size = 0;
  const int64_t expected = int64_t{12} * max_connections;  // 12 lock bytes per connection
  if (in.CheckDirect("the lock file of table '" + name + "'", entry.LocksStartPageNo, ptTableLocks, lock_size) &&
      lock_size != expected)
    in.Problem(format("the lock file of table '%s' has %d bytes, %lld are expected", name.c_str(), lock_size,
                      static_cast<long long>(expected)));
  return t;
}

Catalog read_catalog(Inspector& in) {
  Catalog catalog;
  TABSInternalDBTransactedAccessFile directory_file(in.Pages());
  if (!in.OpenTransacted("the system directory", directory_file, kSystemDirectoryPageNo, ptFileSystemDirectory))
    return catalog;
  TABSSystemDirectory directory(in.Pages());
  try {
    directory.OpenFile(kSystemSession);
    if (directory_file.GetSize(kSystemSession) % 5 != 0) in.Problem("the system directory holds a partial entry");
  } catch (const VODIDivodavir& e) {
    in.Problem(std::string("the system directory cannot be read: ") + e.what());
    return catalog;
  }
  const int32_t sessions_page = directory.StartPageNo(sfActiveSessions);
  const int32_t tables_page = directory.StartPageNo(sfTableList);
  if (sessions_page < 0) in.Problem("the system directory has no active-sessions file");
  if (tables_page < 0) in.Problem("the system directory has no table list");
  if (sessions_page >= 0)
    in.CheckDirect("the active-sessions file", sessions_page, ptActiveSessionList, catalog.MaxConnections);
  if (tables_page < 0) return catalog;

  const std::string what = "the table list";
  TABSInternalDBTransactedAccessFile list_file(in.Pages());
  if (!in.OpenTransacted(what, list_file, tables_page, ptTableList)) return catalog;
  TABSTableList list(in.Pages());
  try {
    list.OpenFile(kSystemSession, tables_page);
    if (list_file.GetSize(kSystemSession) % kTableListEntrySize != 0) in.Problem("the table list holds a partial entry");
  } catch (const VODIDivodavir& e) {
    in.Problem(what + " cannot be read: " + e.what());
    return catalog;
  }
  std::set<std::string> names;
  for (const TABSTableListEntry& entry : list.Entries()) {
    if (!names.insert(UpperCaseName(entry.TableName)).second)
      in.Problem(format("table '%s' is listed twice", entry.TableName.c_str()));
    catalog.Tables.push_back(read_table(in, entry, catalog.MaxConnections));
  }
  return catalog;
}

int32_t read_next_object_id(TABSDiskPageManager& pages) {
  uint8_t bytes[4] = {};
  pages.File().ReadBuffer(bytes, 0, pages.BaseOffset() + kNextObjectIDOffset, 4);
  return LoadLE<int32_t>(bytes);
}

}  // namespace

DatabaseInfo ReadDatabaseInfo(const std::string& file_name, const TABSPassword& password) {
  Inspector in(file_name, password);
  DatabaseInfo info;
  const TABSMainHeader& h = in.Pages().MainHeader();
  info.FileName = file_name;
  info.FormatVersion = h.FormatVersion();
  info.PageSize = h.PageSize();
  info.PagesPerExtent = h.PagesPerExtent();
  info.TotalPageCount = h.TotalPageCount();
  info.HighestUsedPageNo = h.HighestUsedPageNo();
  info.CommitCounter = h.CommitCounter();
  info.WriteState = h.WriteState();
  info.Encrypted = h.Encrypted();
  info.Cipher = in.Pages().CheckBlock().CryptoAlgorithm();
  info.NextObjectID = read_next_object_id(in.Pages());

  std::vector<int32_t> counts(ptTableIndex + 2, 0);  // the last one counts free pages
  std::map<int32_t, int64_t> blob_pages_by_owner;
  uint8_t header[kPageHeaderSize];
  for (int32_t n = 0; n < in.PagesInFile(); ++n) {
    if (!in.IsMapPage(n) && !in.PfsUsed(n)) {
      ++counts.back();
      continue;
    }
    if (!in.ReadHeader(n, header)) continue;
    const uint16_t type = page_header::PageType(header);
    if (type <= ptTableIndex) ++counts[type];
    if (type == ptTableBlob) ++blob_pages_by_owner[page_header::OwnerObjectID(header)];
  }
  for (uint16_t t = 0; t <= ptTableIndex; ++t)
    if (counts[t] > 0) info.PagesByType.emplace_back(std::string(PageTypeName(t)), counts[t]);
  info.PagesByType.emplace_back("Free", counts.back());

  Catalog catalog = read_catalog(in);
  info.MaxConnections = catalog.MaxConnections;
  info.Tables = std::move(catalog.Tables);
  // BLOB pages: the BLOB index's tree (counted by the walk) and the value pages the table owns.
  for (TableInfo& t : info.Tables) t.Storage.BlobPages += blob_pages_by_owner[t.Entry.ObjectID];
  return info;
}

namespace {

// The page survey of CheckDatabase; names the tables that have BLOB fields.
std::vector<std::string> survey_pages(const std::string& file_name, const TABSPassword& password,
                                      std::vector<std::string>& blob_tables) {
  Inspector in(file_name, password);
  in.FullCheck = true;
  TABSDiskPageManager& pages = in.Pages();
  const TABSMainHeader& h = pages.MainHeader();
  if (in.NeedsRepair()) {
    if (h.WriteState() != kWriteStateConsistent)
      in.Problem("a commit was interrupted while writing pages: the file needs repair");
    else
      in.Problem(format("the file format version %.2f is too old: the file needs repair", h.FormatVersion()));
  }
  const int64_t expected_size = pages.PageOffset(0) + static_cast<int64_t>(in.Total()) * h.PageSize();
  const int64_t size = pages.File().GetSize();
  if (size < expected_size)
    in.Problem(format("the file is %lld bytes long, its %d pages need %lld", static_cast<long long>(size), in.Total(),
                      static_cast<long long>(expected_size)));
  if (h.HighestUsedPageNo() >= in.Total())
    in.Problem(format("the highest used page %d lies beyond the file's %d pages", h.HighestUsedPageNo(), in.Total()));
  if (size < expected_size) return in.Problems();

  const TABSMapGeometry& g = in.Geometry();
  std::vector<uint8_t> page(h.PageSize());
  // Map pages: their types, and extents the extent map calls full.
  for (int64_t n = 0; n < in.Total(); ++n) {
    if (!g.IsMapPage(n)) continue;
    try {
      pages.ReadMapPage(static_cast<int32_t>(n), page.data());
    } catch (const VODIDivodavir& e) {
      in.Problem(format("map page %lld cannot be read: %s", static_cast<long long>(n), e.what()));
      continue;
    }
    const bool pfs = n % g.P == 0;
    const uint16_t type = page_header::PageType(page.data());
    if (!page_header::HasSignature(page.data()) || type != (pfs ? ptPFS : ptEAM)) {
      in.Problem(format("map page %lld should be a %s but is a %s", static_cast<long long>(n), pfs ? "PFS Page" : "EAM Page",
                        Inspector::type_name(type).c_str()));
      continue;
    }
    if (pfs) continue;
    // Two bits per extent: 3 = every page of the extent in use.
    const int64_t k = g.EamIndexOf(n);
    for (int64_t x = 0; x < g.X; ++x) {
      const int64_t first = (k * g.X + x) * g.E;
      if (first + g.E > in.Total()) break;
      const int code = (page[kPageHeaderSize + x / 4] >> (2 * (x % 4))) & 3;
      if (code != 3) continue;
      for (int64_t p = first; p < first + g.E; ++p) {
        if (!g.IsMapPage(p) && !in.PfsUsed(static_cast<int32_t>(p))) {
          in.Problem(format("the extent map calls extent %lld full, but page %lld is free",
                            static_cast<long long>(first / g.E), static_cast<long long>(p)));
          break;
        }
      }
    }
  }

  const Catalog catalog = read_catalog(in);
  std::set<int32_t> table_ids;
  for (const TableInfo& t : catalog.Tables) table_ids.insert(t.Entry.ObjectID);
  // Unreached record and index pages are told only when every table could be walked (a
  // table whose walk failed leaves its pages unreached). BLOB pages that no value uses
  // are told by the BLOB value pass after this survey.
  bool all_tables_walked = true;
  for (const TableInfo& t : catalog.Tables) {
    if (!t.HasStorage) all_tables_walked = false;
    if (t.Metadata && has_blob_fields(*t.Metadata)) blob_tables.push_back(t.Entry.TableName);
  }

  // Every page in use: its signature, type, checksum and owner.
  const auto& owners = in.Owners();
  for (int32_t n = 0; n < in.Total(); ++n) {
    if (g.IsMapPage(n) || !in.PfsUsed(n)) continue;
    if (n > h.HighestUsedPageNo())
      in.Problem(format("page %d is marked in use beyond the highest used page %d", n, h.HighestUsedPageNo()));
    if (owners.count(n)) continue;  // checked on its chain
    uint8_t header[kPageHeaderSize];
    if (!in.ReadHeader(n, header)) continue;
    const uint16_t type = page_header::PageType(header);
    if (!page_header::HasSignature(header)) {
      in.Problem(format("page %d is marked in use but has no page signature", n));
      continue;
    }
    if (page_header::ModificationCounter(header) == kFreedPageCounter) {
      in.Problem(format("page %d is marked in use but was freed", n));
      continue;
    }
    if (type < ptFileSystemDirectory || type > ptTableIndex) {
      in.Problem(format("page %d is marked in use but is a %s", n, Inspector::type_name(type).c_str()));
      continue;
    }
    if (type < ptTableRecord) {
      in.Problem(format("page %d (%s) is marked in use but no structure reaches it", n,
                        Inspector::type_name(type).c_str()));
      continue;
    }
    if (type == ptTableRecord && !table_ids.count(page_header::OwnerObjectID(header)))
      in.Problem(format("record page %d belongs to no table (owner %d)", n, page_header::OwnerObjectID(header)));
    else if (all_tables_walked && (type == ptTableRecord || type == ptTableIndex))
      in.Problem(format("page %d (%s) is marked in use but no table reaches it", n, Inspector::type_name(type).c_str()));
    const auto [code, text] = in.ReadChecked(n);
    if (code == 30446)
      in.Problem(
          format("page %d (%s): encrypted data does not match its checksum", n, Inspector::type_name(type).c_str()));
    else if (code != 0)
      in.Problem(format("page %d (%s) cannot be read: %s", n, Inspector::type_name(type).c_str(), text.c_str()));
  }
  return in.Problems();
}

// The BLOB values of each table that has BLOB fields, read through the engine: each value
// reads back with every block's size and checksum, is referenced once, and every BLOB page
// of the table holds a value. Runs after the page survey has closed its own view of the
// file, read-only, so that the survey's file handle and the engine's never overlap.
void check_blob_values(const std::string& file_name, const TABSPassword& password,
                       const std::vector<std::string>& blob_tables, std::vector<std::string>& problems) {
  TABSDiskDatabaseData db(file_name);
  TABSConnectOptions options;
  options.Password = password;
  options.ReadOnly = true;
  try {
    TABSBaseSession session(db.Connect(options));
    for (const std::string& name : blob_tables) {
      try {
        TABSLocalCursor cursor(&session, name);
        cursor.Open(db);
        CheckBlobStorage(static_cast<TABSDiskTableData&>(*cursor.TableData()), session.SessionID, problems);
        cursor.Close();
      } catch (const VODIDivodavir& e) {
        problems.push_back(format("the BLOB values of table '%s' cannot be checked: %s", name.c_str(), e.what()));
      }
    }
    db.Disconnect(session.SessionID);
  } catch (const VODIDivodavir& e) {
    problems.push_back(std::string("the BLOB values cannot be checked: ") + e.what());
  }
}

}  // namespace

std::vector<std::string> CheckDatabase(const std::string& file_name, const TABSPassword& password) {
  std::vector<std::string> blob_tables;
  std::vector<std::string> problems = survey_pages(file_name, password, blob_tables);
  // A file that needs repair would be repaired by the engine's open: leave it as it is.
  const bool needs_repair = std::any_of(problems.begin(), problems.end(), [](const std::string& p) {
    return p.find("needs repair") != std::string::npos;
  });
  if (!blob_tables.empty() && !needs_repair) check_blob_values(file_name, password, blob_tables, problems);
  return problems;
}

}  // namespace dadoveri::tool
