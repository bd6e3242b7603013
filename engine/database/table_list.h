// TABSTableList: the catalog of a database's tables, a transacted internal file (page type
// 6) of 272-byte entries in creation order: the table name (length byte and up to 255
// single-byte characters in 256 bytes), its ObjectID and the start pages of its metadata,
// most-updated and lock files. Read whole on open, rewritten whole after every change.
// Names are compared without regard to letter case.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/internal_file.h"

namespace dadoveri {

class TABSPageManager;

inline constexpr int32_t kTableListEntrySize = 272;

struct TABSTableListEntry {
  std::string TableName;
  int32_t ObjectID = -1;
  int32_t MetadataStartPageNo = -1;
  int32_t MostUpdatedStartPageNo = -1;
  int32_t LocksStartPageNo = -1;
};

class TABSTableList {
 public:
  explicit TABSTableList(TABSPageManager& pages);

  // "Table list file already opened." (30393) when open.
  void CreateFile(int32_t session);
  void OpenFile(int32_t session, int32_t start_page_no);
  void CloseFile();
  bool IsOpened() const { return file_.IsOpened(); }
  int32_t StartPageNo() const { return file_.StartPageNo(); }
  // Rereads every entry (another process may have changed the list).
  void Reload(int32_t session);

  const std::vector<TABSTableListEntry>& Entries() const { return entries_; }
  // Position of the table, letter case ignored; -1 when absent.
  int32_t IndexOf(std::string_view table_name) const;
  // The entry of a table; "Table '%s' not exists." (30396) when absent.
  const TABSTableListEntry& Find(std::string_view table_name) const;

  // Each rewrites the file in `session`. Adding an existing name: "Cannot create table.
  // Table '%s' already exists" (30395); removing or renaming a missing one: "Table '%s' not
  // exists." (30405, 30397).
  void Add(int32_t session, const TABSTableListEntry& entry);
  void Remove(int32_t session, std::string_view table_name);
  void Rename(int32_t session, std::string_view old_name, const std::string& new_name);

 private:
  void write(int32_t session);

  TABSInternalDBTransactedAccessFile file_;
  std::vector<TABSTableListEntry> entries_;
};

}  // namespace dadoveri
