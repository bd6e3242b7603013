// TABSDatabaseData: the registry of one open database — its lock, under which all
// metadata and record work on its tables runs, the sessions registered with it, the table
// data objects open on it and, for the file variant, its page manager. Each storage
// variant (database file, in-memory, temporary) derives from it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace dadoveri {

class TABSPageManager;
class TABSTableData;

class TABSDatabaseData {
 public:
  TABSDatabaseData();
  // Frees every open table object (the variants that own their tables drop them first).
  virtual ~TABSDatabaseData();
  TABSDatabaseData(const TABSDatabaseData&) = delete;
  TABSDatabaseData& operator=(const TABSDatabaseData&) = delete;

  // The database lock: recursive, so that operations under it may call one another.
  std::recursive_mutex& Lock() { return lock_; }

  // Virtual operations, in slot order.
  virtual void RegisterSession(int32_t session);                     // 0
  virtual void UnregisterSession(int32_t session);                   // 1
  // True when no session is registered any more: the owner may free the registry.
  virtual bool Release();                                            // 2
  // The names of the open tables; the file variant lists every table in the file.
  virtual void GetTableNames(std::vector<std::string>& names);      // 3
  virtual void CreateDatabase() {}                                   // 4
  // Creates the table data object of the variant for `table_name` and adds it to the
  // open tables.
  virtual TABSTableData* OpenTableData(const std::string& table_name) = 0;   // 5
  // The open table whose name equals `table_name` after ANSI upper-casing of both.
  virtual TABSTableData* FindTableData(std::string_view table_name);  // 6
  // Slot 6, else slot 5, under the lock.
  virtual TABSTableData* FindOrOpenTableData(const std::string& table_name);  // 7
  virtual int32_t GetNextObjectID() = 0;                             // 8
  virtual void CommitSession(int32_t session);                       // 9
  // The page manager's rollback, then every open table hears of it (so that temporary
  // indexes built on rolled-back pages are brought up to date).
  virtual void RollbackSession(int32_t session);                     // 10
  virtual void Flush() {}                                            // 11

  // The page manager of the variants that have one.
  virtual TABSPageManager* PageManager() { return nullptr; }

  // The name is among GetTableNames, letter case ignored.
  bool TableExists(std::string_view table_name);
  int32_t SessionCount();

  // Open table objects. Closing frees the object (its cursors are gone); a forced drop
  // goes through the same door.
  void CloseTableData(TABSTableData* table);
  // Closes unused objects that may be closed (ClosableWhenUnused) until at most `keep` of
  // them stay open; those opened first go first.
  void CloseUnusedTables(size_t keep);
  int32_t OpenTableCount();

 protected:
  // Adds a table object made by slot 5.
  TABSTableData* AddTableData(std::unique_ptr<TABSTableData> table);
  // Frees every open table object.
  void CloseAllTables();

  std::recursive_mutex lock_;
  std::vector<int32_t> sessions_;
  std::vector<std::unique_ptr<TABSTableData>> tables_;
};

}  // namespace dadoveri
