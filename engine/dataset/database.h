// TABSDatabase: names a database file, holds its password and settings, and connects to it
// through its engine connection (TABSLocalSession) within a session. Datasets find it by
// DatabaseName in their session. It also creates, deletes and repairs database files and
// runs transactions.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/dataset/component.h"
#include "engine/dataset/local_session.h"
#include "engine/dataset/session.h"

namespace dadoveri {

class TDataSet;
class TABSWaitWindow;

inline constexpr const char* kCurrentVersion = "5.04 ";

class TABSDatabase : public TComponent, public TABSSessionBound {
 public:
  using TNotifyEvent = std::function<void(TABSDatabase&)>;
  using TPasswordEvent = std::function<void(TABSDatabase&, bool& continue_)>;
  using TProgressEvent = std::function<void(TABSDatabase&, double percent, bool& continue_)>;
  using TNeedRepairEvent = std::function<void(TABSDatabase&, bool& repair)>;

  explicit TABSDatabase(TComponent* owner = nullptr);
  ~TABSDatabase() override;

  // ---- published properties ----
  bool Connected() const;
  void SetConnected(bool value);
  std::string CurrentVersion() const { return kCurrentVersion; }
  void SetCurrentVersion(const std::string&) {}
  const std::string& DatabaseFileName() const { return database_file_name_; }
  void SetDatabaseFileName(const std::string& value);
  const std::string& DatabaseName() const { return database_name_; }
  void SetDatabaseName(const std::string& value);
  bool Exclusive = false;
  std::string Password;
  // Set from the engine after connecting.
  bool ReadOnly = false;
  bool HandleShared = false;
  bool KeepConnection() const { return keep_connection_; }
  void SetKeepConnection(bool value);
  int32_t MaxConnections = 500;
  bool MultiUser = false;
  const std::string& SessionName() const override { return session_name_; }
  void SetSessionName(const std::string& value) override;
  bool SilentMode = false;
  bool DisableTempFiles = false;

  TPasswordEvent OnPassword;
  TNotifyEvent BeforeRepair, AfterRepair, BeforeCompact, AfterCompact, BeforeChangePassword, AfterChangePassword,
      BeforeChangeDatabaseSettings, AfterChangeDatabaseSettings;
  TProgressEvent OnRepairProgress, OnCompactProgress, OnChangePasswordProgress, OnChangeDatabaseSettingsProgress;
  TNeedRepairEvent OnNeedRepair;

  // Unpublished settings used when a file is created, read back on every connect.
  int32_t CryptoAlgorithm = 0;
  uint16_t PageSize = 4096;
  uint16_t PagesPerExtent = 8;

  // ---- operations ----
  void Open() { SetConnected(true); }
  void Close() { SetConnected(false); }
  void Connect();
  void Disconnect();
  void CreateDatabase();
  void DeleteDatabase();
  // Never raises: the list holds what was read before a failure.
  void GetTableNames(std::vector<std::string>& names);
  bool TableExists(const std::string& table_name);
  void StartTransaction();
  void Commit(bool flush = true);
  void Rollback();
  bool InTransaction() const;
  // True on success; otherwise `error_text` holds what went wrong. The database file is
  // replaced only by a complete, flushed copy; on failure it is left as it was.
  bool RepairDatabase(std::string& error_text);
  bool RepairDatabase() {
    std::string ignored;
    return RepairDatabase(ignored);
  }

  // ---- for sessions and datasets ----
  TABSLocalSession* Handle() const { return handle_.get(); }
  bool HandleIsShared() const { return handle_shared_; }
  bool Temporary() const { return temporary_; }
  int32_t RefCount() const { return ref_count_; }
  TABSSession* Session() const { return session_; }
  // Datasets attached to this database (closed first when it disconnects: the SQL result
  // datasets, then the rest, newest first).
  void AttachDataSet(TDataSet* dataset, bool sql_result = false);
  void DetachDataSet(TDataSet* dataset);
  int32_t DataSetCount() const { return static_cast<int32_t>(datasets_.size()); }

 protected:
  void Loaded() override;

 private:
  friend class TABSSession;
  void check_database_name() const;
  void check_inactive() const;
  void check_active() const;
  void check_create_preconditions();
  TABSSession& register_with_session();
  void leave_session();
  std::shared_ptr<TABSLocalSession> make_connection() const;
  void connect_handle();
  bool ask_password();
  void repair_on_connect(bool old_format);
  bool repair(std::string& error_text, bool allow_wait_window);
  void close_datasets();

  std::string database_file_name_;
  std::string database_name_;
  std::string session_name_;
  bool keep_connection_ = true;
  std::shared_ptr<TABSLocalSession> handle_;
  bool handle_shared_ = false;
  TABSSession* session_ = nullptr;
  struct Attached {
    TDataSet* DataSet;
    bool SqlResult;
  };
  std::vector<Attached> datasets_;
  int32_t ref_count_ = 0;
  bool temporary_ = false;
  bool stored_connected_ = false;
  // Questions suppressed (RepairDatabase connects the database without asking).
  bool quiet_ = false;
  bool disconnecting_ = false;
};

}  // namespace dadoveri
