#include "engine/dataset/local_session.h"

#include "engine/base/engine_error.h"
#include "engine/database/database_list.h"
#include "engine/storage/prologue.h"
#include "engine/table/meta_object_def.h"

namespace dadoveri {

namespace {

bool is_memory(const std::string& name) { return SameName(name, kMemoryDatabaseName); }
bool is_temporary(const std::string& name) { return SameName(name, kTemporaryDatabaseName); }

}  // namespace

TABSLocalSession::~TABSLocalSession() {
  try {
    Disconnect();
  } catch (...) {
  }
}

void TABSLocalSession::Connect() {
  if (data_) return;
  TABSDatabaseList& list = TABSDatabaseList::Instance();
  if (is_memory(DatabaseName) || is_temporary(DatabaseName)) {
    data_ = is_memory(DatabaseName) ? static_cast<TABSDatabaseData*>(&list.Memory())
                                    : static_cast<TABSDatabaseData*>(&list.Temporary());
    SessionID = 0;
    data_->RegisterSession(SessionID);
    return;
  }
  std::shared_ptr<TABSDiskDatabaseData> disk = TABSDiskDatabaseData::Attach(DatabaseFileName);
  {
    std::lock_guard guard(disk->Lock());
    if (disk->IsOpened()) {
      const std::string& theirs = disk->DiskPageManager().Password().Password;
      if (!theirs.empty() && theirs != Password.Password) RaiseError(20298);
    }
  }
  TABSConnectOptions options;
  options.Password = Password;
  options.ReadOnly = ReadOnly;
  options.Exclusive = Exclusive;
  options.MultiUser = MultiUser;
  SessionID = disk->Connect(options);
  disk_ = std::move(disk);
  data_ = disk_.get();
  TABSDiskPageManager& pages = disk_->DiskPageManager();
  Password = pages.Password();
  PageSize = pages.MainHeader().PageSize();
  PagesPerExtent = pages.MainHeader().PagesPerExtent();
  MaxConnections = disk_->SessionsFile().SlotCount();
}

void TABSLocalSession::Disconnect() {
  if (!data_) return;
  TABSDatabaseData* data = data_;
  data_ = nullptr;
  if (InTransaction) {
    InTransaction = false;
    try {
      data->RollbackSession(SessionID);
    } catch (...) {
    }
  }
  if (disk_) {
    std::shared_ptr<TABSDiskDatabaseData> disk = std::move(disk_);
    // The list drops the registry once its last holder lets go.
    disk->Disconnect(SessionID);
  } else {
    data->UnregisterSession(SessionID);
  }
  SessionID = -1;
}

void TABSLocalSession::CreateDatabase() {
  if (is_memory(DatabaseName) || is_temporary(DatabaseName)) return;
  TABSDatabaseList& list = TABSDatabaseList::Instance();
  if (list.Find(DatabaseFileName)) RaiseError(20092);
  std::shared_ptr<TABSDiskDatabaseData> disk = TABSDiskDatabaseData::Attach(DatabaseFileName);
  disk->CreateSettings.PageSize = PageSize;
  disk->CreateSettings.PagesPerExtent = PagesPerExtent;
  disk->CreateSettings.Password = Password;
  disk->CreateSettings.MaxConnections = MaxConnections;
  disk->CreateDatabase();
}

void TABSLocalSession::GetTableNames(std::vector<std::string>& names) {
  names.clear();
  if (data_) data_->GetTableNames(names);
}

bool TABSLocalSession::TableExists(const std::string& table_name) { return data_ && data_->TableExists(table_name); }

void TABSLocalSession::StartTransaction() {
  if (!data_) RaiseError(20229);
  InTransaction = true;
}

void TABSLocalSession::Commit(bool flush) {
  if (!data_ || !InTransaction) RaiseError(20229);
  if (disk_) disk_->CommitSession(SessionID, flush);
  else data_->CommitSession(SessionID);
  InTransaction = false;
}

void TABSLocalSession::Rollback() {
  if (!data_ || !InTransaction) RaiseError(20229);
  InTransaction = false;
  data_->RollbackSession(SessionID);
}

bool TABSLocalSession::IsReadOnly() const { return disk_ && disk_->ReadOnly(); }

bool TABSLocalSession::NeedsRepair() const { return disk_ && disk_->NeedsRepair(); }

bool TABSLocalSession::OldFormat() const {
  if (!disk_ || !disk_->IsOpened()) return false;
  return disk_->DiskPageManager().MainHeader().FormatVersion() < kRepairBelowVersion;
}

}  // namespace dadoveri
