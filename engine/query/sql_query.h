// TABSSQLQuery: what an SQL statement asks of the query that runs it — the query's
// database connection (its database, its session and their transaction), the in-memory
// database for MEMORY tables, tables of other database files, and the query's settings
// (RequestLive, InMemory, DisableTempFiles). The query dataset of the dataset layer
// implements it; TABSSQLConnectionQuery below is the engine's own implementation over one
// database and one session, used where no dataset is involved (the command-line tool,
// tests).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace dadoveri {

class TABSBaseSession;
class TABSDatabaseData;
class TABSDiskDatabaseData;
class TABSMemoryDatabaseData;

class TABSSQLQuery {
 public:
  virtual ~TABSSQLQuery() = default;

  // The database of the query's connection and the session the statements run in.
  virtual TABSDatabaseData& Database() = 0;
  virtual TABSBaseSession& Session() = 0;
  // The registry of in-memory tables (MEMORY, or every table when InMemory is set).
  virtual TABSDatabaseData& MemoryDatabase() = 0;
  // The database of another file, opened through a temporary connection named "TEMP_DB"
  // followed by a number, with `password`; the session a cursor on it uses comes back in
  // `session`. The connection stays open as long as the query.
  virtual TABSDatabaseData& OtherDatabase(const std::string& file_name, const std::string& password,
                                          TABSBaseSession*& session) = 0;
  // The name of the query's database (as expressions see it).
  virtual std::string DatabaseName() const = 0;

  virtual bool RequestLive() const = 0;
  virtual bool InMemory() const = 0;
  virtual bool DisableTempFiles() const = 0;

  // The connection's transaction. StartTransaction inside one fails with "Database already
  // in transaction"; Commit and Rollback outside one with "Database is not in transaction.
  // Cannot perform operation".
  virtual void StartTransaction() = 0;
  virtual void Commit(bool flush) = 0;
  virtual void Rollback() = 0;
};

// The connections a query keeps to other database files: one temporary connection per
// file, named "TEMP_DB" followed by a number, open until the set goes.
class TABSOtherDatabases {
 public:
  TABSOtherDatabases();
  ~TABSOtherDatabases();
  TABSOtherDatabases(const TABSOtherDatabases&) = delete;
  TABSOtherDatabases& operator=(const TABSOtherDatabases&) = delete;

  // The database of `file_name`, connected with `password` on first use; the session of
  // the connection comes back in `session`.
  TABSDatabaseData& Get(const std::string& file_name, const std::string& password, TABSBaseSession*& session);

 private:
  struct Connection;
  std::map<std::string, std::unique_ptr<Connection>> connections_;
};

// The engine's query over one database and one session of it.
class TABSSQLConnectionQuery : public TABSSQLQuery {
 public:
  // `database` and `session` must outlive the query; `memory` may be null (then the query
  // keeps an in-memory registry of its own).
  TABSSQLConnectionQuery(TABSDatabaseData& database, TABSBaseSession& session, std::string database_name = {},
                         TABSMemoryDatabaseData* memory = nullptr);
  ~TABSSQLConnectionQuery() override;

  TABSDatabaseData& Database() override { return database_; }
  TABSBaseSession& Session() override { return session_; }
  TABSDatabaseData& MemoryDatabase() override;
  TABSDatabaseData& OtherDatabase(const std::string& file_name, const std::string& password,
                                  TABSBaseSession*& session) override;
  std::string DatabaseName() const override { return database_name_; }
  bool RequestLive() const override { return request_live_; }
  bool InMemory() const override { return in_memory_; }
  bool DisableTempFiles() const override { return disable_temp_files_; }
  void StartTransaction() override;
  void Commit(bool flush) override;
  void Rollback() override;

  void SetRequestLive(bool live) { request_live_ = live; }
  void SetInMemory(bool in_memory) { in_memory_ = in_memory; }
  void SetDisableTempFiles(bool disable) { disable_temp_files_ = disable; }

 private:
  TABSDatabaseData& database_;
  TABSBaseSession& session_;
  std::string database_name_;
  TABSMemoryDatabaseData* memory_;
  std::unique_ptr<TABSMemoryDatabaseData> own_memory_;
  TABSOtherDatabases others_;
  bool request_live_ = false;
  bool in_memory_ = false;
  bool disable_temp_files_ = false;
};

}  // namespace dadoveri
