// TABSDiskDatabaseData: the registry of a database file, shared by all connections of the
// process to that file. Creating lays out the system directory at page 2, the
// active-sessions file with one slot per allowed connection and the table list; opening
// reads them back and sets up the table lock manager. Connections get session numbers in
// one of three modes:
//   multi-user   each connection locks its own session slot;
//   single-user  the first connection locks every slot, closing the file to other
//                processes; when another process holds a slot, the file is opened
//                read-only instead;
//   exclusive    the file is opened without sharing and no byte is ever locked.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/disk_page_manager.h"
#include "engine/database/sessions_file.h"
#include "engine/database/system_directory.h"
#include "engine/database/table_list.h"
#include "engine/database/table_lock_manager.h"
#include "engine/table/database_data.h"

namespace dadoveri {

class TABSTableMetadata;

// What a new database file records about itself.
struct TABSDatabaseCreateSettings {
  uint16_t PageSize = 4096;
  uint16_t PagesPerExtent = 8;
  TABSPassword Password;
  int32_t MaxConnections = kDefaultMaxConnections;
};

// How a connection opens the file.
struct TABSConnectOptions {
  TABSPassword Password;
  bool ReadOnly = false;
  bool Exclusive = false;
  bool MultiUser = true;
  // Commits wait at write barriers (fdatasync) so that a power cut leaves either the
  // last committed state or a file that reports it needs repair. False, for bulk loads,
  // drops the barriers: much faster commits, but UNSAFE ON POWER LOSS: a power cut or
  // system crash during or soon after a commit can leave a file that opens without a
  // repair report and holds half a commit. The file keeps its barriers while any of its
  // connections asks for them; closing the file after commits without barriers waits at
  // one barrier.
  bool DurableCommits = true;
};

class TABSDiskDatabaseData : public TABSDatabaseData {
 public:
  explicit TABSDiskDatabaseData(std::string file_name);
  // Closes the file when it is still open; never raises.
  ~TABSDiskDatabaseData() override;

  // The registry of `file_name` shared by the process's connections, made on first use;
  // the process-wide database list keeps it while it is held.
  static std::shared_ptr<TABSDiskDatabaseData> Attach(const std::string& file_name);

  const std::string& FileName() const { return file_name_; }

  // Slot 4: creates the file with CreateSettings (replacing any file of that name) and
  // closes it again.
  void CreateDatabase() override;
  TABSDatabaseCreateSettings CreateSettings;

  // Opens the file (for the first connection) and connects a session; returns its
  // number. Every connection proves its password against the file's check block, the
  // ones that find the file already open too ("Cannot open database because incorrect
  // password", 30445). A connection whose multi-user setting differs from that of the
  // open file is refused with "Cannot open database in multi-user and signle-user mode
  // at the same time" (20235).
  int32_t Connect(const TABSConnectOptions& options);
  // Disconnects; the last connection closes the file.
  void Disconnect(int32_t session);

  // Opens the file and its system files; any failure closes what was opened and passes on.
  void OpenDatabase(const TABSConnectOptions& options);
  void CloseDatabase();
  bool IsOpened() const { return pages_ != nullptr && pages_->IsOpened(); }
  bool ReadOnly() const { return read_only_; }
  bool NeedsRepair() const { return needs_repair_; }
  bool MultiUser() const { return multi_user_; }
  bool Exclusive() const { return exclusive_; }

  // Slots.
  void GetTableNames(std::vector<std::string>& names) override;  // every table in the file
  int32_t GetNextObjectID() override;
  // A TABSDiskTableData: it opens the table from the file with its first cursor, or is
  // there for CreateTable when the file has no table of that name.
  TABSTableData* OpenTableData(const std::string& table_name) override;
  // In multi-user mode the commit takes the write locks of the changed tables first
  // ("Cannot commit changes. Locks of modified tables failed", 20233) and the edit locks of
  // tables with record locks after, releasing the transaction and write locks. The locks
  // are waited for without the database lock, so call it without holding that lock:
  // another session of the process may have to release what this one waits for. When
  // the pages cannot be committed, the write locks taken for the commit are released.
  // "Cannot set table lock" (20203) after a commit that went through but could not take
  // the edit lock of a table whose record the session keeps locked.
  void CommitSession(int32_t session) override { CommitSession(session, false); }
  void CommitSession(int32_t session, bool flush);
  // The rollback, then the session's transaction and write locks are released.
  void RollbackSession(int32_t session) override;
  void Flush() override;
  TABSPageManager* PageManager() override { return pages_.get(); }

  // Keeps a table's lock-file object that locks still refer to (a transaction lock
  // outlives the table object that took it) until the file closes.
  void KeepLocksFile(std::unique_ptr<TABSTableLocksFile> file);

  // The catalog. Creating a table, under the tables lock: every definition gets a new
  // ObjectID, the constraints their table name, resolved references and generated names;
  // then the table's metadata, most-updated and lock files are created, the entry is added
  // to the table list and the session is committed (see TABSDiskTableData::CreateInFile).
  // Dropping frees the indexes, the record pages and the three files; when a step fails
  // on a damaged table, the entry is still removed and committed before the failure is
  // passed on.
  TABSTableListEntry CreateTable(int32_t session, const std::string& table_name, TABSTableMetadata& metadata);
  void DropTable(int32_t session, const std::string& table_name);
  // Frees every BLOB page of a table being dropped: its large values (found through its
  // records), its small-value pages and its BLOB index.
  void DropBlobStore(int32_t session, int32_t table_object_id, const TABSTableMetadata& metadata);
  void RenameTable(int32_t session, const std::string& old_name, const std::string& new_name);
  void ReadTableMetadata(int32_t session, const std::string& table_name, TABSTableMetadata& metadata);

  // Attempts at a table's lock when a cursor opens it (50, about 100 ms apart).
  TABSLockAttempts OpenLockAttempts = kOpenLockAttempts;
  // Attempts at a table's read lock around an operation in a multi-user file.
  TABSLockAttempts ReadLockAttempts = kReadLockAttempts;
  // Attempts at a table's write or transaction lock when a change is made in a
  // multi-user file (2250, 40 ms apart, as reads).
  TABSLockAttempts WriteLockAttempts = kReadLockAttempts;

  TABSDiskPageManager& DiskPageManager() { return *pages_; }
  TABSSystemDirectory& SystemDirectory() { return *directory_; }
  TABSActiveSessionsFile& SessionsFile() { return *sessions_file_; }
  TABSTableList& TableList() { return *table_list_; }
  TABSDatabaseTableLockManager& LockManager() { return *lock_manager_; }

 private:
  void open_files(const TABSConnectOptions& options);
  void close_quietly();
  void require_open();

  std::string file_name_;
  std::unique_ptr<TABSDiskPageManager> pages_;
  std::unique_ptr<TABSSystemDirectory> directory_;
  std::unique_ptr<TABSActiveSessionsFile> sessions_file_;
  std::unique_ptr<TABSTableList> table_list_;
  std::unique_ptr<TABSDatabaseTableLockManager> lock_manager_;
  std::vector<std::unique_ptr<TABSTableLocksFile>> kept_locks_files_;
  bool read_only_ = false;
  bool needs_repair_ = false;
  bool multi_user_ = true;
  bool exclusive_ = false;
  int32_t single_user_connections_ = 0;
  bool holds_all_slots_ = false;
  // The session of every connection that asked for commits without barriers.
  std::vector<int32_t> fast_commit_sessions_;
  void apply_commit_barriers();
};

}  // namespace dadoveri
