// TABSDatabaseList: the process's one list of databases. The in-memory database "MEMORY"
// and the temporary database "TEMP" are there from the engine's first use until the
// process ends; a database file is there while any connection of the process holds it
// (from first connect to last disconnect), one registry per file, found by the file's
// canonical path so that every connection of the process shares it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/database/disk_database_data.h"
#include "engine/database/memory_database_data.h"
#include "engine/database/temporary_database_data.h"

namespace dadoveri {

inline constexpr std::string_view kMemoryDatabaseName = "MEMORY";
inline constexpr std::string_view kTemporaryDatabaseName = "TEMP";

class TABSDatabaseList {
 public:
  static TABSDatabaseList& Instance();

  TABSMemoryDatabaseData& Memory() { return *memory_; }
  TABSTemporaryDatabaseData& Temporary() { return *temporary_; }

  // "MEMORY" and "TEMP" (letter case ignored), else the open registry of a file of that
  // name; null when there is none.
  TABSDatabaseData* Find(std::string_view name);
  // The registry of a database file, made on first use and shared while held.
  std::shared_ptr<TABSDiskDatabaseData> AttachFile(const std::string& file_name);
  // The number of database files held open by the process.
  int32_t FileCount();

 private:
  TABSDatabaseList();
  std::mutex lock_;
  std::unique_ptr<TABSMemoryDatabaseData> memory_;
  std::unique_ptr<TABSTemporaryDatabaseData> temporary_;
  std::map<std::string, std::weak_ptr<TABSDiskDatabaseData>> files_;
};

}  // namespace dadoveri
