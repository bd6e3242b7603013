#include "engine/database/disk_connection.h"

namespace dadoveri {

TABSDiskConnection::TABSDiskConnection(const std::string& file, const TABSConnectOptions& options) : db_(file) {
  session_ = std::make_unique<TABSBaseSession>(db_.Connect(options));
}

TABSDiskConnection::~TABSDiskConnection() {
  // A destructor must not throw: a failing rollback or disconnect during unwinding leaves the
  // file to the next open's recovery.
  try {
    if (session_->InTransaction) {
      session_->InTransaction = false;
      db_.RollbackSession(session_->SessionID);
    }
    db_.Disconnect(session_->SessionID);
  } catch (...) {
  }
}

}  // namespace dadoveri
