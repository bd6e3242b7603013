#include "tools/dadoveri/database_survey.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <set>

#include "engine/base/engine_error.h"
#include "engine/storage/checksum.h"
#include "engine/storage/disk_page_manager.h"
#include "engine/storage/internal_file.h"
#include "engine/base/little_endian.h"
#include "engine/storage/page.h"
#include "engine/database/system_directory.h"
#include "engine/table/column_type.h"

namespace dadoveri::tool {

namespace {

std::string format(const char* f, auto... args) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, f, args...);
  return buffer;
}

// Reads the file's pages straight from disk through an open page manager, walks the
// internal-file chains and collects what it finds wrong.
class Inspector {
 public:
  Inspector(const std::string& file_name, const TABSPassword& password) {
    bool read_only = true;
    bool needs_repair = false;
    pages_.OpenDatabase(file_name, password, read_only, false, true, needs_repair);
    needs_repair_ = needs_repair;
    const TABSMainHeader& h = pages_.MainHeader();
    total_ = h.TotalPageCount();
    ds_ = pages_.DataSize();
    geometry_ = std::make_unique<TABSMapGeometry>(h.PageSize(), h.PagesPerExtent());
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

  void Problem(std::string text) { problems_.push_back(std::move(text)); }

  // The raw page; false (and a problem) when it cannot be read.
  bool ReadRaw(int32_t page_no, std::vector<uint8_t>& page) {
    page.assign(pages_.PageSize(), 0);
    if (!pages_.File().ReadBuffer(page.data(), 0, pages_.PageOffset(page_no), pages_.PageSize())) {
      Problem(format("page %d cannot be read", page_no));
      return false;
    }
    return true;
  }

  bool PfsUsed(int32_t page_no) {
    const int64_t pfs_no = geometry_->PfsPageOf(page_no);
    if (pfs_no != pfs_loaded_) {
      pfs_loaded_ = pfs_no;
      pfs_valid_ = pfs_no < total_ && ReadRaw(static_cast<int32_t>(pfs_no), pfs_);
    }
    if (!pfs_valid_) return false;
    const int64_t index = page_no % geometry_->P;
    return (pfs_[kPageHeaderSize + index / 8] >> (index % 8)) & 1;
  }

  bool IsMapPage(int32_t page_no) const { return geometry_->IsMapPage(page_no); }

  // Encrypted pages are those of an encrypted file outside the maps and the direct files.
  bool IsEncryptedPage(int32_t page_no, uint16_t type) const {
    return pages_.Encrypted() && !IsMapPage(page_no) && type != ptActiveSessionList && type != ptTableLocks;
  }

  // Decrypts the data area in place; false when its checksum does not match.
  bool Decrypt(std::vector<uint8_t>& page) {
    uint8_t* data = page.data() + kPageHeaderSize;
    DecryptBuffer(page_header::PageCipher(page.data()), data, ds_, pages_.Password().Password);
    return BufferChecksum(0, data, ds_) == page_header::DataCRC(page.data());
  }

  // Walks the chain of an internal file; answers its pages' data areas in order (the
  // first one whole, header included). `transacted` files carry a stored byte count.
  bool WalkChain(const std::string& what, int32_t start, uint16_t type, std::vector<std::vector<uint8_t>>& data) {
    data.clear();
    std::set<int32_t> seen;
    for (int32_t no = start; no != -1;) {
      const std::string where = format("page %d of %s", no, what.c_str());
      if (no < 0 || no >= total_) {
        Problem(format("%s chain is broken: it leads to page %d, outside the file's %d pages", what.c_str(), no, total_));
        return false;
      }
      if (IsMapPage(no)) {
        Problem(format("%s chain is broken: it leads to map page %d", what.c_str(), no));
        return false;
      }
      if (!seen.insert(no).second) {
        Problem(format("%s chain is broken: page %d is reached twice (a loop)", what.c_str(), no));
        return false;
      }
      const auto [it, fresh] = owners_.emplace(no, what);
      if (!fresh) {
        Problem(format("%s chain is broken: page %d already belongs to %s", what.c_str(), no, it->second.c_str()));
        return false;
      }
      std::vector<uint8_t> page;
      if (!ReadRaw(no, page)) return false;
      if (!page_header::HasSignature(page.data()) && !(type == ptActiveSessionList || type == ptTableLocks)) {
        Problem(where + " has no page signature");
        return false;
      }
      const uint16_t found = page_header::PageType(page.data());
      if (found != type) {
        Problem(format("%s chain is broken: page %d is a %s, not a %s", what.c_str(), no,
                       type_name(found).c_str(), type_name(type).c_str()));
        return false;
      }
      if (!PfsUsed(no)) Problem(where + " is in use but marked free in the page-usage map");
      if (IsEncryptedPage(no, type) && !Decrypt(page)) Problem(where + ": encrypted data does not match its checksum");
      data.emplace_back(page.begin() + kPageHeaderSize, page.end());
      no = page_header::NextPageNo(page.data());
    }
    return true;
  }

  // The logical content of a transacted internal file; false (and problems) when it
  // cannot be had.
  bool ReadTransacted(const std::string& what, int32_t start, uint16_t type, std::vector<uint8_t>& content) {
    std::vector<std::vector<uint8_t>> data;
    if (!WalkChain(what, start, type, data)) return false;
    const uint8_t* head = data.front().data();
    if (head[0] != kInternalFileHeaderSize) {
      Problem(format("%s has a damaged internal-file header", what.c_str()));
      return false;
    }
    const int32_t stored = LoadLE<int32_t>(head + 1);
    const int32_t logical = LoadLE<int32_t>(head + 5);
    const uint8_t algorithm = head[9];
    const int64_t needed = (static_cast<int64_t>(stored) + kInternalFileHeaderSize + ds_ - 1) / ds_;
    if (stored < 0 || logical < 0 || needed > static_cast<int64_t>(data.size())) {
      Problem(format("%s chain is broken: it ends after %d pages, %lld are needed for %d bytes", what.c_str(),
                     static_cast<int>(data.size()), static_cast<long long>(needed), stored));
      return false;
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(stored));
    for (size_t i = 0; i < data.size() && static_cast<int32_t>(bytes.size()) < stored; ++i) {
      const size_t from = i == 0 ? kInternalFileHeaderSize : 0;
      const size_t take = std::min(data[i].size() - from, static_cast<size_t>(stored) - bytes.size());
      bytes.insert(bytes.end(), data[i].begin() + from, data[i].begin() + from + take);
    }
    if (algorithm == acNone) {
      content = std::move(bytes);
      return true;
    }
    if (algorithm != acZLIB) {
      Problem(format("%s uses compression algorithm %d, which files of its kind never use", what.c_str(), algorithm));
      return false;
    }
    content.assign(static_cast<size_t>(logical), 0);
    uLongf out = static_cast<uLongf>(logical);
    if (uncompress(content.data(), &out, bytes.data(), static_cast<uLong>(bytes.size())) != Z_OK ||
        out != static_cast<uLongf>(logical)) {
      Problem(format("%s cannot be decompressed", what.c_str()));
      return false;
    }
    return true;
  }

  // A direct-access file: its chain and its size against what the pages hold.
  bool CheckDirect(const std::string& what, int32_t start, uint16_t type, int32_t& size) {
    std::vector<std::vector<uint8_t>> data;
    if (!WalkChain(what, start, type, data)) return false;
    const uint8_t* head = data.front().data();
    size = LoadLE<int32_t>(head + 1);
    const int64_t capacity = static_cast<int64_t>(data.size()) * ds_ - kInternalFileHeaderSize;
    if (head[0] != kInternalFileHeaderSize || size < 0 || size > capacity) {
      Problem(format("%s chain is broken: %d bytes recorded, its %d pages hold %lld", what.c_str(), size,
                     static_cast<int>(data.size()), static_cast<long long>(capacity)));
      return false;
    }
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
  int32_t ds_ = 0;
  bool needs_repair_ = false;
  std::vector<std::string> problems_;
  std::map<int32_t, std::string> owners_;
  int64_t pfs_loaded_ = -1;
  bool pfs_valid_ = false;
  std::vector<uint8_t> pfs_;
};

// The directory, the sessions file, the table list and every table's files and metadata.
struct Catalog {
  int32_t MaxConnections = 0;
  std::vector<TableInfo> Tables;
};

void check_metadata(Inspector& in, const std::string& table, const TABSTableMetadata& m) {
  const TABSFieldDefs& fields = m.Fields;
  for (int32_t i = 0; i < fields.Count(); ++i) {
    const TABSFieldDef* f = fields.Item(i);
    if (ColumnTypeToBaseType(f->ColumnType) == btNone || ColumnTypeToBaseType(f->ColumnType) != f->BaseType)
      in.Problem(format("table '%s': field '%s' has an unknown type (%d/%d)", table.c_str(), f->Name.c_str(),
                        f->ColumnType, f->BaseType));
    if (fields.IndexOf(f->Name) != i)
      in.Problem(format("table '%s': field name '%s' is used twice", table.c_str(), f->Name.c_str()));
  }
  for (int32_t i = 0; i < m.Indexes.Count(); ++i) {
    const TABSIndexDef* index = m.Indexes.Item(i);
    for (const TABSIndexColumn& c : index->Columns)
      if (fields.Find(c.FieldName) == nullptr)
        in.Problem(format("table '%s': index '%s' names a missing field '%s'", table.c_str(), index->Name.c_str(),
                          c.FieldName.c_str()));
    if (index->RootPageNo >= in.Total())
      in.Problem(format("table '%s': index '%s' has its root beyond the file (page %d)", table.c_str(),
                        index->Name.c_str(), index->RootPageNo));
  }
  TABSConstraintDefs copy;
  try {
    copy.Assign(m.Constraints);
    copy.ResolveReferences(m.Fields, m.Indexes);
  } catch (const VODIDivodavir& e) {
    in.Problem(format("table '%s': a constraint does not resolve: %s", table.c_str(), e.what()));
  }
}

Catalog read_catalog(Inspector& in) {
  Catalog catalog;
  std::vector<uint8_t> directory;
  if (!in.ReadTransacted("the system directory", kSystemDirectoryPageNo, ptFileSystemDirectory, directory))
    return catalog;
  int32_t sessions_page = -1, tables_page = -1;
  for (size_t at = 0; at + 5 <= directory.size(); at += 5) {
    const int32_t start = LoadLE<int32_t>(&directory[at + 1]);
    if (directory[at] == sfActiveSessions) sessions_page = start;
    if (directory[at] == sfTableList) tables_page = start;
  }
  if (directory.size() % 5 != 0) in.Problem("the system directory holds a partial entry");
  if (sessions_page < 0) in.Problem("the system directory has no active-sessions file");
  if (tables_page < 0) in.Problem("the system directory has no table list");
  if (sessions_page >= 0) in.CheckDirect("the active-sessions file", sessions_page, ptActiveSessionList, catalog.MaxConnections);
  std::vector<uint8_t> list;
  if (tables_page < 0 || !in.ReadTransacted("the table list", tables_page, ptTableList, list)) return catalog;
  if (list.size() % kTableListEntrySize != 0) in.Problem("the table list holds a partial entry");
  std::set<std::string> names;
  for (size_t at = 0; at + kTableListEntrySize <= list.size(); at += kTableListEntrySize) {
    const uint8_t* e = &list[at];
    TableInfo t;
    t.Entry.TableName.assign(reinterpret_cast<const char*>(e + 1), e[0]);
    t.Entry.ObjectID = LoadLE<int32_t>(e + 256);
    t.Entry.MetadataStartPageNo = LoadLE<int32_t>(e + 260);
    t.Entry.MostUpdatedStartPageNo = LoadLE<int32_t>(e + 264);
    t.Entry.LocksStartPageNo = LoadLE<int32_t>(e + 268);
    const std::string& name = t.Entry.TableName;
    if (!names.insert(UpperCaseName(name)).second) in.Problem(format("table '%s' is listed twice", name.c_str()));
    std::vector<uint8_t> block;
    if (in.ReadTransacted("the metadata of table '" + name + "'", t.Entry.MetadataStartPageNo, ptTableMetaData,
                          block)) {
      auto m = std::make_unique<TABSTableMetadata>();
      try {
        m->Load(std::string_view(reinterpret_cast<const char*>(block.data()), block.size()));
        check_metadata(in, name, *m);
        t.Metadata = std::move(m);
      } catch (const VODIDivodavir& e) {
        t.MetadataError = e.what();
        in.Problem(format("the metadata of table '%s' cannot be read: %s", name.c_str(), e.what()));
      }
    } else {
      t.MetadataError = "its metadata file is damaged";
    }
    std::vector<uint8_t> header;
    in.ReadTransacted("the most-updated file of table '" + name + "'", t.Entry.MostUpdatedStartPageNo,
                      ptTableMostUpdated, header);
    int32_t lock_size = 0;
    if (in.CheckDirect("the lock file of table '" + name + "'", t.Entry.LocksStartPageNo, ptTableLocks, lock_size) &&
        lock_size != 12 * catalog.MaxConnections)
      in.Problem(format("the lock file of table '%s' has %d bytes, %d are expected", name.c_str(), lock_size,
                        12 * catalog.MaxConnections));
    catalog.Tables.push_back(std::move(t));
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
  std::vector<uint8_t> page;
  for (int32_t n = 0; n < in.Total(); ++n) {
    if (!in.IsMapPage(n) && !in.PfsUsed(n)) {
      ++counts.back();
      continue;
    }
    if (!in.ReadRaw(n, page)) continue;
    const uint16_t type = page_header::PageType(page.data());
    if (type <= ptTableIndex) ++counts[type];
  }
  for (uint16_t t = 0; t <= ptTableIndex; ++t)
    if (counts[t] > 0) info.PagesByType.emplace_back(std::string(PageTypeName(t)), counts[t]);
  info.PagesByType.emplace_back("Free", counts.back());

  Catalog catalog = read_catalog(in);
  info.MaxConnections = catalog.MaxConnections;
  info.Tables = std::move(catalog.Tables);
  return info;
}

std::vector<std::string> CheckDatabase(const std::string& file_name, const TABSPassword& password) {
  Inspector in(file_name, password);
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
  std::vector<uint8_t> page;
  // Map pages: their types, and extents the extent map calls full.
  for (int64_t n = 0; n < in.Total(); ++n) {
    if (!g.IsMapPage(n)) continue;
    if (!in.ReadRaw(static_cast<int32_t>(n), page)) continue;
    const bool pfs = n % g.P == 0;
    const uint16_t type = page_header::PageType(page.data());
    if (!page_header::HasSignature(page.data()) || type != (pfs ? ptPFS : ptEAM)) {
      in.Problem(format("map page %lld should be a %s but is a %s", static_cast<long long>(n), pfs ? "PFS Page" : "EAM Page",
                        Inspector::type_name(type).c_str()));
      continue;
    }
    if (pfs) continue;
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

  // Every page in use: its signature, type, checksum and owner.
  const auto& owners = in.Owners();
  for (int32_t n = 0; n < in.Total(); ++n) {
    if (g.IsMapPage(n) || !in.PfsUsed(n)) continue;
    if (n > h.HighestUsedPageNo())
      in.Problem(format("page %d is marked in use beyond the highest used page %d", n, h.HighestUsedPageNo()));
    if (owners.count(n)) continue;  // checked on its chain
    if (!in.ReadRaw(n, page)) continue;
    const uint16_t type = page_header::PageType(page.data());
    if (!page_header::HasSignature(page.data())) {
      in.Problem(format("page %d is marked in use but has no page signature", n));
      continue;
    }
    if (page_header::ModificationCounter(page.data()) == kFreedPageCounter) {
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
    if (type == ptTableRecord && !table_ids.count(page_header::OwnerObjectID(page.data())))
      in.Problem(format("record page %d belongs to no table (owner %d)", n, page_header::OwnerObjectID(page.data())));
    if (in.IsEncryptedPage(n, type) && !in.Decrypt(page))
      in.Problem(format("page %d (%s): encrypted data does not match its checksum", n,
                        Inspector::type_name(type).c_str()));
  }
  return in.Problems();
}

}  // namespace dadoveri::tool
