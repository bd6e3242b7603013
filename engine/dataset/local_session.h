// TABSLocalSession: the engine connection a connected TABSDatabase owns. It attaches to the
// process's one shared object for its database — the open file's registry, the in-memory
// database "MEMORY" or the temporary database "TEMP" — and forwards table names,
// transactions and the creation of files to it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/database/disk_database_data.h"
#include "engine/storage/encryption.h"
#include "engine/table/session.h"

namespace dadoveri {

class TABSLocalSession : public TABSBaseSession {
 public:
  TABSLocalSession() = default;
  // Disconnects when still connected; never raises.
  ~TABSLocalSession() override;

  // Settings copied from the database component before connecting; after connecting the
  // password, page geometry and connection limit are those the shared object reports.
  std::string DatabaseName;
  std::string DatabaseFileName;
  TABSPassword Password;
  uint16_t PageSize = 4096;
  uint16_t PagesPerExtent = 8;
  int32_t MaxConnections = kDefaultMaxConnections;
  bool ReadOnly = false;
  bool Exclusive = false;
  bool MultiUser = false;

  // Under the database list: finds or makes the shared object and attaches to it. A file
  // already open with a non-empty password other than this connection's: "Database
  // password is invalid." (20298).
  void Connect();
  // Detaches; the last connection of a file closes it.
  void Disconnect();
  bool Connected() const { return data_ != nullptr; }

  // Creates the file from the settings ("Cannot create database. Database is already
  // open", 20092, when the process holds it open).
  void CreateDatabase();

  void GetTableNames(std::vector<std::string>& names);
  bool TableExists(const std::string& table_name);
  // "Database is not in transaction. Cannot perform operation" (20229) for a commit or
  // rollback outside a transaction.
  void StartTransaction();
  void Commit(bool flush);
  void Rollback();

  // After connecting: whether the shared object opened the file read-only, whether the
  // file asks for a repair (left in the middle of a commit, or of an old format).
  bool IsReadOnly() const;
  bool NeedsRepair() const;
  bool OldFormat() const;
  bool IsDisk() const { return disk_ != nullptr; }

  TABSDatabaseData* DatabaseData() const { return data_; }
  TABSDiskDatabaseData* DiskDatabase() const { return disk_.get(); }

 private:
  std::shared_ptr<TABSDiskDatabaseData> disk_;
  TABSDatabaseData* data_ = nullptr;
};

}  // namespace dadoveri
