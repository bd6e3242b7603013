#pragma once

#include <memory>
#include <string>

#include "engine/database/disk_database_data.h"
#include "engine/table/session.h"

namespace dadoveri {

// A database file opened for one engine session, for programs that work on a file directly
// (the command-line tools): connects on construction and, on every path out, rolls back a
// transaction left open and disconnects.
class TABSDiskConnection {
 public:
  TABSDiskConnection(const std::string& file, const TABSConnectOptions& options);
  ~TABSDiskConnection();
  TABSDiskConnection(const TABSDiskConnection&) = delete;
  TABSDiskConnection& operator=(const TABSDiskConnection&) = delete;

  TABSDiskDatabaseData& db() { return db_; }
  TABSBaseSession& session() { return *session_; }

 private:
  TABSDiskDatabaseData db_;
  std::unique_ptr<TABSBaseSession> session_;
};

}  // namespace dadoveri
