// TABSDatabaseData: the registry of one open database — its lock, under which all
// metadata and record work on its tables runs, the sessions registered with it and, for
// the file variant, its page manager. Each storage variant (database file, in-memory,
// temporary) derives from it.
//
// The table slots (open a table for a cursor, find an open table, find or open one) and
// the list of open table objects arrive with the table data objects; until then the
// registry answers for the tables of the catalog only.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace dadoveri {

class TABSPageManager;

class TABSDatabaseData {
 public:
  TABSDatabaseData() = default;
  virtual ~TABSDatabaseData() = default;
  TABSDatabaseData(const TABSDatabaseData&) = delete;
  TABSDatabaseData& operator=(const TABSDatabaseData&) = delete;

  // The database lock.
  std::recursive_mutex& Lock() { return lock_; }

  // Virtual operations, in slot order (slots 5 to 7 belong to the table data objects).
  virtual void RegisterSession(int32_t session);                     // 0
  virtual void UnregisterSession(int32_t session);                   // 1
  // True when no session is registered any more: the owner may free the registry.
  virtual bool Release();                                            // 2
  virtual void GetTableNames(std::vector<std::string>& names);      // 3
  virtual void CreateDatabase() {}                                   // 4
  virtual int32_t GetNextObjectID() = 0;                             // 8
  virtual void CommitSession(int32_t session);                       // 9
  virtual void RollbackSession(int32_t session);                     // 10
  virtual void Flush() {}                                            // 11

  // The page manager of the variants that have one.
  virtual TABSPageManager* PageManager() { return nullptr; }

  // The name is among GetTableNames, letter case ignored.
  bool TableExists(std::string_view table_name);
  int32_t SessionCount();

 protected:
  std::recursive_mutex lock_;
  std::vector<int32_t> sessions_;
};

}  // namespace dadoveri
