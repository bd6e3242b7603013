#include "engine/query/sql_query.h"

#include "engine/base/engine_error.h"
#include "engine/database/disk_database_data.h"
#include "engine/database/memory_database_data.h"
#include "engine/table/session.h"

namespace dadoveri {

// A temporary connection to another database file.
struct TABSOtherDatabases::Connection {
  std::shared_ptr<TABSDiskDatabaseData> database;
  std::unique_ptr<TABSBaseSession> session;
  std::string name;
  ~Connection() {
    if (database && session) {
      try {
        database->Disconnect(session->SessionID);
      } catch (const VODIDivodavir&) {
        // closing a temporary connection never fails the query
      }
    }
  }
};

TABSSQLConnectionQuery::TABSSQLConnectionQuery(TABSDatabaseData& database, TABSBaseSession& session,
                                               std::string database_name, TABSMemoryDatabaseData* memory)
    : database_(database), session_(session), database_name_(std::move(database_name)), memory_(memory) {}

TABSSQLConnectionQuery::~TABSSQLConnectionQuery() = default;

TABSDatabaseData& TABSSQLConnectionQuery::MemoryDatabase() {
  if (memory_) return *memory_;
  if (!own_memory_) own_memory_ = std::make_unique<TABSMemoryDatabaseData>();
  return *own_memory_;
}

TABSOtherDatabases::TABSOtherDatabases() = default;
TABSOtherDatabases::~TABSOtherDatabases() = default;

TABSDatabaseData& TABSOtherDatabases::Get(const std::string& file_name, const std::string& password,
                                          TABSBaseSession*& session) {
  auto found = connections_.find(file_name);
  if (found == connections_.end()) {
    auto connection = std::make_unique<Connection>();
    connection->name = "TEMP_DB" + std::to_string(connections_.size() + 1);
    connection->database = TABSDiskDatabaseData::Attach(file_name);
    TABSConnectOptions options;
    options.Password.Password = password;
    const int32_t id = connection->database->Connect(options);
    connection->session = std::make_unique<TABSBaseSession>(id);
    found = connections_.emplace(file_name, std::move(connection)).first;
  }
  session = found->second->session.get();
  return *found->second->database;
}

TABSDatabaseData& TABSSQLConnectionQuery::OtherDatabase(const std::string& file_name, const std::string& password,
                                                        TABSBaseSession*& session) {
  return others_.Get(file_name, password, session);
}

void TABSSQLConnectionQuery::StartTransaction() {
  if (session_.InTransaction) RaiseError(40805);
  session_.InTransaction = true;
}

void TABSSQLConnectionQuery::Commit(bool flush) {
  if (!session_.InTransaction) RaiseError(20229);
  database_.CommitSession(session_.SessionID);
  session_.InTransaction = false;
  if (flush) database_.Flush();
}

void TABSSQLConnectionQuery::Rollback() {
  if (!session_.InTransaction) RaiseError(20229);
  session_.InTransaction = false;
  database_.RollbackSession(session_.SessionID);
}

}  // namespace dadoveri
