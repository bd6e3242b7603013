// What `dadoveri info` reports about a database file and what `dadoveri check` verifies.
// Both read the file through the engine's page manager, opened read-only and shared.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/database/table_storage_check.h"
#include "engine/storage/encryption.h"
#include "engine/database/table_list.h"
#include "engine/table/table_metadata.h"

namespace dadoveri::tool {

struct TableInfo {
  TABSTableListEntry Entry;
  std::unique_ptr<TABSTableMetadata> Metadata;  // null when it could not be read
  std::string MetadataError;
  // Rows and pages of the table's storage (filled when its metadata could be read).
  bool HasStorage = false;
  TABSTableStorageReport Storage;
};

struct DatabaseInfo {
  std::string FileName;
  double FormatVersion = 0;
  uint16_t PageSize = 0;
  uint16_t PagesPerExtent = 0;
  int32_t TotalPageCount = 0;
  int32_t HighestUsedPageNo = -1;
  int32_t CommitCounter = 0;
  uint8_t WriteState = 0;
  bool Encrypted = false;
  uint8_t Cipher = 0;
  int32_t MaxConnections = 0;
  int32_t NextObjectID = 0;
  // Page type display name (or "Free") → count, in page-type order.
  std::vector<std::pair<std::string, int32_t>> PagesByType;
  std::vector<TableInfo> Tables;
};

// Reads the header fields, counts pages by type and reads the tables' metadata. Raises the
// engine's error when the file cannot be opened.
DatabaseInfo ReadDatabaseInfo(const std::string& file_name, const TABSPassword& password);

// Reads every page and every structure it can reach and answers the problems found
// (empty when the file is sound). Raises the engine's error when the file cannot be
// opened at all.
std::vector<std::string> CheckDatabase(const std::string& file_name, const TABSPassword& password);

}  // namespace dadoveri::tool
