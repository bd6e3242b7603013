#include "engine/dataset/database.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "engine/base/engine_error.h"
#include "engine/database/database_list.h"
#include "engine/database/local_cursor.h"
#include "engine/dataset/database_error.h"
#include "engine/dataset/dataset.h"
#include "engine/dataset/table.h"
#include "engine/dataset/user_prompts.h"
#include "engine/platform/file.h"
#include "engine/table/meta_object_def.h"

namespace dadoveri {

namespace {

bool is_shared_name(const std::string& name) {
  return SameName(name, kMemoryDatabaseName) || SameName(name, kTemporaryDatabaseName);
}

// Makes a file's data and its name in the folder durable.
void sync_file(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), name);
  const int rc = ::fsync(fd);
  const int saved = errno;
  ::close(fd);
  if (rc != 0) throw std::system_error(saved, std::generic_category(), name);
}

void sync_folder_of(const std::string& name) {
  std::filesystem::path folder = std::filesystem::path(name).parent_path();
  if (folder.empty()) folder = ".";
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// The error text of whatever was thrown.
std::string text_of_current_exception() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown failure";
  }
}

}  // namespace

TABSDatabase::TABSDatabase(TComponent* owner) : TComponent(owner) {
  // A new component belongs to the default session until told otherwise.
  session_ = &TABSSessionList::Instance().Default();
  session_->RegisterDatabase(this);
}

TABSDatabase::~TABSDatabase() {
  Destroy();
  try {
    Disconnect();
  } catch (...) {
  }
  datasets_.clear();
  leave_session();
}

// ---- properties ----

bool TABSDatabase::Connected() const { return handle_ != nullptr; }

void TABSDatabase::SetConnected(bool value) {
  if (Loading()) {
    stored_connected_ = value;
    return;
  }
  if (value) Connect();
  else Disconnect();
}

void TABSDatabase::Loaded() {
  TComponent::Loaded();
  if (stored_connected_) {
    stored_connected_ = false;
    Connect();
  }
}

void TABSDatabase::SetDatabaseFileName(const std::string& value) {
  if (value == database_file_name_) return;
  if (!Loading()) Disconnect();
  database_file_name_ = value;
}

void TABSDatabase::SetDatabaseName(const std::string& value) {
  if (value == database_name_) return;
  if (Loading()) {
    database_name_ = value;
    return;
  }
  check_inactive();
  // The name is unique within the session, unless both share their handle; a temporary
  // component with no datasets gives way.
  if (session_ && !value.empty()) {
    TABSDatabase* other = nullptr;
    for (TABSDatabase* db : session_->Databases())
      if (db != this && SameName(db->DatabaseName(), value)) other = db;
    if (other) {
      if (other->Temporary() && other->DataSetCount() == 0 && other->RefCount() == 0) {
        delete other;
      } else if (!(HandleShared && other->HandleShared)) {
        DatabaseError(kMsgDuplicateDatabaseName, this, value);
      }
    }
  }
  database_name_ = value;
}

void TABSDatabase::SetSessionName(const std::string& value) {
  if (value == session_name_) return;
  if (Loading()) {
    session_name_ = value;
    return;
  }
  check_inactive();
  TABSSession* target = &TABSSessionList::Instance().FindSession(value);
  if (target != session_) {
    if (!database_name_.empty()) {
      for (TABSDatabase* db : target->Databases())
        if (db != this && SameName(db->DatabaseName(), database_name_) && !(HandleShared && db->HandleShared))
          DatabaseError(kMsgDuplicateDatabaseName, this, database_name_);
    }
    leave_session();
    session_ = target;
    session_->RegisterDatabase(this);
  }
  session_name_ = value;
}

void TABSDatabase::SetKeepConnection(bool value) {
  keep_connection_ = value;
  if (!value && Connected() && ref_count_ == 0 && datasets_.empty() && !Loading()) Disconnect();
}

void TABSDatabase::check_database_name() const {
  if (database_name_.empty() && !temporary_) DatabaseError(kMsgDatabaseNameMissing, this);
}

void TABSDatabase::check_inactive() const {
  if (Connected()) DatabaseError(kMsgDatabaseOpen, this);
}

void TABSDatabase::check_active() const {
  if (!Connected()) DatabaseError(kMsgDatabaseClosed, this);
}

TABSSession& TABSDatabase::register_with_session() {
  TABSSession& s = TABSSessionList::Instance().FindSession(session_name_);
  if (session_ != &s) {
    leave_session();
    session_ = &s;
  }
  s.RegisterDatabase(this);
  return s;
}

void TABSDatabase::leave_session() {
  if (session_) session_->UnregisterDatabase(this);
  session_ = nullptr;
}

void TABSDatabase::AttachDataSet(TDataSet* dataset, bool sql_result) {
  for (const Attached& a : datasets_)
    if (a.DataSet == dataset) return;
  datasets_.push_back({dataset, sql_result});
}

void TABSDatabase::DetachDataSet(TDataSet* dataset) {
  std::erase_if(datasets_, [dataset](const Attached& a) { return a.DataSet == dataset; });
}

bool TABSDatabase::InTransaction() const { return handle_ && handle_->InTransaction; }

// ---- connecting ----

std::shared_ptr<TABSLocalSession> TABSDatabase::make_connection() const {
  auto c = std::make_shared<TABSLocalSession>();
  c->DatabaseName = database_name_;
  // A component made for a dataset's DatabaseName finds its file by that name.
  c->DatabaseFileName = database_file_name_.empty() ? database_name_ : database_file_name_;
  c->Password.Password = Password;
  c->Password.CryptoAlgorithm = static_cast<uint8_t>(CryptoAlgorithm);
  c->PageSize = PageSize;
  c->PagesPerExtent = PagesPerExtent;
  c->MaxConnections = MaxConnections;
  // ReadOnly is what the engine reports after connecting, not a request.
  c->ReadOnly = false;
  c->Exclusive = Exclusive;
  c->MultiUser = MultiUser;
  return c;
}

bool TABSDatabase::ask_password() {
  if (OnPassword) {
    bool go_on = false;
    OnPassword(*this, go_on);
    return go_on;
  }
  if (SilentMode || quiet_) return false;
  TABSUserPrompts* prompts = InstalledUserPrompts();
  if (!prompts) return false;
  std::string entered;
  if (!prompts->AskPassword(Name(), entered)) return false;
  Password = entered;
  return true;
}

void TABSDatabase::connect_handle() {
  for (;;) {
    std::shared_ptr<TABSLocalSession> c = make_connection();
    if (!c) DatabaseError(kMsgDatabaseOpenError, this);
    try {
      c->Connect();
    } catch (const VODIDivodavir& e) {
      if (e.NativeError == 30445 && ask_password()) continue;
      throw;
    }
    handle_ = std::move(c);
    handle_shared_ = false;
    return;
  }
}

void TABSDatabase::Connect() {
  if (Connected()) return;
  if (Loading()) {
    stored_connected_ = true;
    return;
  }
  check_database_name();
  TABSSession& s = register_with_session();
  s.SetActive(true);
  if (HandleShared) {
    for (TABSDatabase* other : s.Databases()) {
      if (other == this || !other->Connected() || !other->HandleShared) continue;
      if (!SameName(other->DatabaseName(), database_name_)) continue;
      handle_ = other->handle_;
      handle_shared_ = true;
      s.DatabaseConnected(this);
      return;
    }
  }
  TABSSessionLockScope lock(s);
  const std::string file = database_file_name_.empty() ? database_name_ : database_file_name_;
  if (!temporary_ && !is_shared_name(database_name_) && !PlatformFileExists(file))
    DatabaseError(kMsgDatabaseFileMissing, this, file);
  connect_handle();
  try {
    if (handle_->NeedsRepair() && !SilentMode && !quiet_ && !Designing()) {
      const bool old_format = handle_->OldFormat();
      TABSUserPrompts* prompts = InstalledUserPrompts();
      bool do_repair = false;
      if (old_format) {
        if (prompts) prompts->ShowInformation(MessageText(kMsgOldFormatNotice));
        do_repair = true;
      } else if (OnNeedRepair) {
        OnNeedRepair(*this, do_repair);
      } else if (prompts) {
        do_repair = prompts->AskYesNo(MessageText(kMsgRepairQuestion));
      }
      if (do_repair) repair_on_connect(old_format);
    }
  } catch (...) {
    std::shared_ptr<TABSLocalSession> h = std::move(handle_);
    handle_shared_ = false;
    throw;
  }
  if (!Designing()) ReadOnly = handle_->IsReadOnly();
  CryptoAlgorithm = handle_->Password.CryptoAlgorithm;
  PageSize = handle_->PageSize;
  PagesPerExtent = handle_->PagesPerExtent;
  MaxConnections = handle_->MaxConnections;
  s.DatabaseConnected(this);
}

void TABSDatabase::repair_on_connect(bool) {
  // The connection goes; the repair runs without questions; a fresh connection follows.
  handle_.reset();
  handle_shared_ = false;
  std::string error_text;
  bool ok = false;
  try {
    ok = repair(error_text, !SilentMode);
  } catch (...) {
    RaiseError(20238);
  }
  if (!ok) {
    TABSUserPrompts* prompts = InstalledUserPrompts();
    if (prompts && !error_text.empty()) prompts->ShowWarning(error_text);
  }
  try {
    connect_handle();
  } catch (...) {
    RaiseError(20238);
  }
}

void TABSDatabase::close_datasets() {
  // SQL results first, then the rest, newest first.
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = datasets_.size(); i-- > 0;) {
      if (i >= datasets_.size()) continue;
      const Attached a = datasets_[i];
      if ((pass == 0) != a.SqlResult) continue;
      a.DataSet->Close();
    }
  }
}

void TABSDatabase::Disconnect() {
  // A dataset closing on the way may hand the database back to the session, which would
  // disconnect it again: the outer call finishes the work.
  if (!Connected() || disconnecting_) return;
  disconnecting_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{disconnecting_};
  if (session_) session_->DatabaseDisconnected(this);
  close_datasets();
  if (handle_shared_) {
    handle_.reset();
    handle_shared_ = false;
    return;
  }
  // Components sharing this connection lose it with this one.
  if (session_)
    for (TABSDatabase* other : session_->Databases())
      if (other != this && other->handle_ == handle_) other->Disconnect();
  std::shared_ptr<TABSLocalSession> h = std::move(handle_);
  h->Disconnect();
}

// ---- files ----

void TABSDatabase::check_create_preconditions() {
  check_database_name();
  TABSSession& s = register_with_session();
  s.SetActive(true);
  check_inactive();
}

void TABSDatabase::CreateDatabase() {
  check_create_preconditions();
  std::shared_ptr<TABSLocalSession> c = make_connection();
  if (!c) DatabaseError(kMsgCannotCreateDatabase, this);
  c->CreateDatabase();
}

void TABSDatabase::DeleteDatabase() {
  check_create_preconditions();
  const std::string file = database_file_name_.empty() ? database_name_ : database_file_name_;
  if (TABSDatabaseList::Instance().Find(file)) RaiseError(20092);
  PlatformDeleteFile(file);
}

void TABSDatabase::GetTableNames(std::vector<std::string>& names) {
  names.clear();
  const bool was_connected = Connected();
  try {
    if (!was_connected) Connect();
    handle_->GetTableNames(names);
  } catch (...) {
  }
  if (!was_connected) {
    try {
      Disconnect();
    } catch (...) {
    }
  }
}

bool TABSDatabase::TableExists(const std::string& table_name) {
  if (!Connected()) Connect();
  return handle_->TableExists(table_name);
}

void TABSDatabase::StartTransaction() {
  check_active();
  if (handle_->InTransaction) DatabaseError(kMsgDatabaseInTransaction, this);
  handle_->StartTransaction();
}

void TABSDatabase::Commit(bool flush) {
  check_active();
  handle_->Commit(flush);
}

void TABSDatabase::Rollback() {
  check_active();
  handle_->Rollback();
}

// ---- repair ----

bool TABSDatabase::RepairDatabase(std::string& error_text) { return repair(error_text, true); }

bool TABSDatabase::repair(std::string& error_text, bool allow_wait_window) {
  error_text.clear();
  const std::string file = database_file_name_.empty() ? database_name_ : database_file_name_;
  const std::string temp_file = file + ".tmp";
  // The damaged file is read through a scratch copy: opening it to repair writes to it
  // (its page index is rebuilt, its header marked), and a repair that fails or is
  // stopped must leave the database as it was.
  const std::string source_file = file + ".repairing";
  check_create_preconditions();
  TABSSession& s = *session_;

  auto remove_quietly = [](const std::string& name) {
    std::error_code ec;
    std::filesystem::remove(name, ec);
  };
  remove_quietly(temp_file);
  remove_quietly(source_file);

  const bool own_silent = SilentMode;
  std::unique_ptr<TABSWaitWindow> wait;
  bool progress_started = false;
  bool ok = false;
  {
    TABSDatabase target(nullptr);
    TABSDatabase source(nullptr);
    try {
      std::error_code ec;
      std::filesystem::copy_file(file, source_file, std::filesystem::copy_options::overwrite_existing, ec);
      if (ec) throw std::system_error(ec, file);

      // The copy the tables go into.
      target.SetSessionName(s.SessionName());
      target.SetDatabaseName("TempDatabase");
      target.SetDatabaseFileName(temp_file);
      target.Password = Password;
      target.CryptoAlgorithm = CryptoAlgorithm;
      target.PageSize = PageSize;
      target.PagesPerExtent = PagesPerExtent;
      target.MaxConnections = MaxConnections;
      target.Exclusive = true;
      target.SilentMode = true;
      target.CreateDatabase();
      target.Connect();

      // The database, exclusively and without questions, with its free-space repair on.
      source.SetSessionName(s.SessionName());
      source.SetDatabaseName(database_name_.empty() ? std::string("RepairSource") : database_name_ + ".repairing");
      source.SetDatabaseFileName(source_file);
      source.Password = Password;
      source.Exclusive = true;
      source.SilentMode = true;
      source.quiet_ = true;
      source.Connect();
      TABSDiskDatabaseData* source_disk = source.Handle()->DiskDatabase();
      if (source_disk) source_disk->DiskPageManager().FreeSpace().Repairing = true;

      // Progress: the events, else (unless this component is silent) the wait window.
      if (BeforeRepair) BeforeRepair(*this);
      else if (!own_silent && allow_wait_window)
        if (TABSUserPrompts* prompts = InstalledUserPrompts()) wait = prompts->StartWait(MessageText(kMsgRepairingDatabase));
      progress_started = true;
      auto report = [&](double percent) {
        bool go_on = true;
        if (OnRepairProgress) OnRepairProgress(*this, percent, go_on);
        if (wait) {
          wait->SetProgress(static_cast<int32_t>(percent));
          wait->ProcessMessages();
          if (wait->Aborted()) go_on = false;
        }
        return go_on;
      };
      report(0);

      std::vector<std::string> names;
      source.Handle()->GetTableNames(names);
      const size_t n = names.size();
      bool stopped = false;
      for (size_t i = 0; i < n && !stopped; ++i) {
        const std::string& name = names[i];
        const double low = 100.0 * static_cast<double>(i) / static_cast<double>(n);
        const double high = 100.0 * static_cast<double>(i + 1) / static_cast<double>(n);
        try {
          // The table goes over through copy table in its error-collecting mode: values
          // that cannot be read become NULL and records that cannot be written are
          // skipped, each reported; BLOB values come along.
          TABSTable from(nullptr);
          from.SetSessionName(s.SessionName());
          from.SetDatabaseName(source.DatabaseName());
          from.SetTableName(name);
          from.SetExclusive(true);
          from.OnCopyProgress = [&](TABSTable&, double percent, bool& go_on) {
            if (!report(low + (high - low) * percent / 100.0)) {
              stopped = true;
              go_on = false;
            }
          };
          from.CopyTableTo(target, name, true, &error_text);
        } catch (...) {
          if (!stopped) {
            error_text += DatabaseErrorText(kMsgRepairTableFailed, nullptr, {name, text_of_current_exception()}) + "\n";
            throw EAbort();
          }
        }
        if (!stopped && !report(high)) stopped = true;
      }
      if (stopped) {
        error_text += MessageText(kMsgTerminatedByUser);
        throw EAbort();
      }
      report(100);
      if (wait) wait->Finish();
      wait.reset();
      if (AfterRepair) AfterRepair(*this);
      progress_started = false;
      source.Disconnect();
      target.Disconnect();
      // Once more exclusively, so that the storage layer drops unused trailing pages.
      target.Connect();
      target.Disconnect();
      ok = true;
    } catch (const EAbort&) {
      ok = false;
    } catch (...) {
      ok = false;
      if (error_text.empty()) error_text = text_of_current_exception();
    }
    if (progress_started) {
      if (wait) wait->Finish();
      wait.reset();
      if (AfterRepair) AfterRepair(*this);
    }
    try {
      source.Disconnect();
    } catch (...) {
    }
    try {
      target.Disconnect();
    } catch (...) {
    }
  }
  remove_quietly(source_file);
  if (ok) {
    // The complete copy is flushed, then replaces the database in one step: at every
    // moment the database file is either the old file or the whole new one.
    try {
      sync_file(temp_file);
      std::filesystem::rename(temp_file, file);
      sync_folder_of(file);
    } catch (...) {
      ok = false;
      error_text = DatabaseErrorText(kMsgRepairReplaceFailed, nullptr, {file, text_of_current_exception()});
    }
  }
  if (!ok) {
    remove_quietly(temp_file);
    if (error_text.empty()) error_text = MessageText(kMsgUnknownError);
  }
  return ok;
}

}  // namespace dadoveri
