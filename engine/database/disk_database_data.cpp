#include "engine/database/disk_database_data.h"

#include "engine/database/database_list.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>

#include "engine/base/engine_error.h"
#include "engine/storage/internal_file.h"
#include "engine/database/disk_table_data.h"
#include "engine/database/table_locks_file.h"
#include "engine/database/table_locks_file.h"
#include "engine/table/btree_page_index.h"
#include "engine/table/btree_record_index.h"
#include "engine/table/field_manager.h"
#include "engine/table/table_metadata.h"

namespace dadoveri {

namespace {

// Releases the tables lock when the scope ends.
class TablesLockScope {
 public:
  explicit TablesLockScope(TABSDiskPageManager& pages) : pages_(pages) { pages_.LockTables(); }
  ~TablesLockScope() {
    try {
      pages_.UnlockTables();
    } catch (...) {
    }
  }

 private:
  TABSDiskPageManager& pages_;
};

}  // namespace

TABSDiskDatabaseData::TABSDiskDatabaseData(std::string file_name) : file_name_(std::move(file_name)) {}

TABSDiskDatabaseData::~TABSDiskDatabaseData() {
  // Table objects still open (a cursor whose open failed half-way leaves one) talk to this
  // registry as they go: free them while it is still whole, before the file closes.
  try {
    CloseAllTables();
  } catch (...) {
  }
  close_quietly();
}

std::shared_ptr<TABSDiskDatabaseData> TABSDiskDatabaseData::Attach(const std::string& file_name) {
  return TABSDatabaseList::Instance().AttachFile(file_name);
}

void TABSDiskDatabaseData::require_open() {
  if (!IsOpened()) RaiseError(30399);
}

void TABSDiskDatabaseData::CreateDatabase() {
  std::lock_guard guard(lock_);
  if (IsOpened()) RaiseError(10461, file_name_);
  const TABSDatabaseCreateSettings& s = CreateSettings;
  pages_ = std::make_unique<TABSDiskPageManager>();
  try {
    pages_->CreateDatabase(file_name_, s.PageSize, s.PagesPerExtent, s.Password);
    directory_ = std::make_unique<TABSSystemDirectory>(*pages_);
    directory_->CreateFile(kSystemSession);
    sessions_file_ = std::make_unique<TABSActiveSessionsFile>(*pages_);
    sessions_file_->CreateFile(kSystemSession, s.MaxConnections);
    table_list_ = std::make_unique<TABSTableList>(*pages_);
    table_list_->CreateFile(kSystemSession);
    directory_->SetStartPageNo(sfTableList, table_list_->StartPageNo());
    directory_->SetStartPageNo(sfActiveSessions, sessions_file_->StartPageNo());
    directory_->WriteFile(kSystemSession);
    pages_->CommitPages(kSystemSession);
    pages_->File().FlushFileBuffers();
  } catch (...) {
    close_quietly();
    throw;
  }
  CloseDatabase();
}

void TABSDiskDatabaseData::open_files(const TABSConnectOptions& options) {
  pages_ = std::make_unique<TABSDiskPageManager>();
  bool read_only = options.ReadOnly;
  bool needs_repair = false;
  pages_->OpenDatabase(file_name_, options.Password, read_only, options.Exclusive, options.MultiUser && !options.Exclusive,
                       needs_repair);
  read_only_ = read_only;
  needs_repair_ = needs_repair;
  exclusive_ = options.Exclusive;
  multi_user_ = options.MultiUser && !options.Exclusive;
  directory_ = std::make_unique<TABSSystemDirectory>(*pages_);
  directory_->OpenFile(kSystemSession);
  const int32_t sessions_page = directory_->StartPageNo(sfActiveSessions);
  const int32_t tables_page = directory_->StartPageNo(sfTableList);
  if (sessions_page < 0 || tables_page < 0) RaiseError(20237);
  sessions_file_ = std::make_unique<TABSActiveSessionsFile>(*pages_);
  sessions_file_->OpenFile(sessions_page);
  table_list_ = std::make_unique<TABSTableList>(*pages_);
  table_list_->OpenFile(kSystemSession, tables_page);
  lock_manager_ = std::make_unique<TABSDatabaseTableLockManager>(*sessions_file_, exclusive_);
}

void TABSDiskDatabaseData::OpenDatabase(const TABSConnectOptions& options) {
  std::lock_guard guard(lock_);
  if (IsOpened()) RaiseError(10462, file_name_);
  try {
    open_files(options);
  } catch (...) {
    close_quietly();
    throw;
  }
}

void TABSDiskDatabaseData::close_quietly() {
  lock_manager_.reset();
  kept_locks_files_.clear();
  if (table_list_) table_list_->CloseFile();
  table_list_.reset();
  if (sessions_file_) sessions_file_->CloseFile();
  sessions_file_.reset();
  if (directory_) directory_->CloseFile();
  directory_.reset();
  if (pages_) {
    try {
      pages_->FreeAllPages();
    } catch (...) {
    }
    try {
      pages_->CloseDatabase();
    } catch (...) {
    }
  }
  pages_.reset();
  fast_commit_sessions_.clear();
  single_user_connections_ = 0;
  holds_all_slots_ = false;
}

void TABSDiskDatabaseData::CloseDatabase() {
  std::lock_guard guard(lock_);
  if (!pages_) return;
  if (lock_manager_) lock_manager_->CheckNoLocks();
  if (table_list_) table_list_->CloseFile();
  if (sessions_file_) sessions_file_->CloseFile();
  if (directory_) directory_->CloseFile();
  pages_->FreeAllPages();
  // Closing the file syncs commits made without barriers; a failure there is reported.
  try {
    pages_->CloseDatabase();
  } catch (...) {
    close_quietly();
    throw;
  }
  close_quietly();
}

int32_t TABSDiskDatabaseData::Connect(const TABSConnectOptions& options) {
  std::lock_guard guard(lock_);
  const bool opened_here = !IsOpened();
  if (opened_here) {
    OpenDatabase(options);
  } else {
    // Sharing the open file must not spare a connection the password check the first
    // one passed; a refused connection leaves the others as they are.
    pages_->VerifyPassword(options.Password.Password);
    if (!exclusive_ && !options.Exclusive && options.MultiUser != multi_user_) RaiseError(20235);
  }
  int32_t session = 0;
  try {
    if (exclusive_ || multi_user_) {
      session = lock_manager_->ConnectSession();
    } else {
      // Single-user: the first connection takes every slot, or the file becomes read-only
      // when another process holds one.
      if (single_user_connections_ == 0 && !holds_all_slots_ && !read_only_) {
        if (lock_manager_->TakeAllSlots()) {
          holds_all_slots_ = true;
        } else {
          TABSConnectOptions read_only = options;
          read_only.ReadOnly = true;
          close_quietly();
          OpenDatabase(read_only);
        }
      }
      ++single_user_connections_;
      session = 0;
    }
  } catch (...) {
    if (opened_here) close_quietly();
    throw;
  }
  RegisterSession(session);
  if (!options.DurableCommits) fast_commit_sessions_.push_back(session);
  apply_commit_barriers();
  return session;
}

void TABSDiskDatabaseData::apply_commit_barriers() {
  // Barriers stay on while any connection wants them.
  if (IsOpened())
    pages_->SetCommitBarriers(sessions_.empty() || fast_commit_sessions_.size() < sessions_.size());
}

void TABSDiskDatabaseData::Disconnect(int32_t session) {
  std::lock_guard guard(lock_);
  UnregisterSession(session);
  // Connections of one single-user file share their session number; when the one that
  // leaves is not known, a connection without barriers is taken to leave, which errs on
  // the side of keeping barriers.
  if (auto it = std::find(fast_commit_sessions_.begin(), fast_commit_sessions_.end(), session);
      it != fast_commit_sessions_.end())
    fast_commit_sessions_.erase(it);
  apply_commit_barriers();
  std::exception_ptr failure;
  try {
    if (IsOpened()) {
      if (exclusive_ || multi_user_) {
        lock_manager_->DisconnectSession(session);
      } else if (--single_user_connections_ <= 0) {
        single_user_connections_ = 0;
        if (holds_all_slots_) lock_manager_->ReleaseAllSlots();
        holds_all_slots_ = false;
      }
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (sessions_.empty()) {
    try {
      CloseDatabase();
    } catch (...) {
      if (!failure) failure = std::current_exception();
      close_quietly();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

void TABSDiskDatabaseData::GetTableNames(std::vector<std::string>& names) {
  std::lock_guard guard(lock_);
  names.clear();
  if (!IsOpened()) return;
  if (multi_user_) table_list_->Reload(kSystemSession);
  for (const TABSTableListEntry& e : table_list_->Entries()) names.push_back(e.TableName);
}

int32_t TABSDiskDatabaseData::GetNextObjectID() {
  std::lock_guard guard(lock_);
  require_open();
  return pages_->GetNextObjectID();
}

void TABSDiskDatabaseData::CommitSession(int32_t session, bool flush) {
  // The commit locks are waited for outside the database lock: the sessions of this
  // process whose locks are in the way need it to finish their work and let go.
  TABSDatabaseTableLockManager* locks = nullptr;
  {
    std::lock_guard guard(lock_);
    require_open();
    if (multi_user_ && !exclusive_) locks = lock_manager_.get();
  }
  std::vector<TABSTableLocksFile*> write_locks;
  if (locks && !locks->LockTablesForCommit(session, &write_locks)) RaiseError(20233);
  std::exception_ptr flush_failure;
  try {
    std::lock_guard guard(lock_);
    pages_->CommitPages(session);
    if (flush) {
      try {
        pages_->File().FlushFileBuffers();
      } catch (...) {
        // The pages are committed: the locks are released as after any commit.
        flush_failure = std::current_exception();
      }
    }
  } catch (...) {
    // Nothing was committed: the write locks taken for this commit go, the session
    // keeps its transaction locks with its pending changes.
    if (locks) locks->ReleaseCommitLocks(session, write_locks);
    throw;
  }
  bool edits_taken = true;
  try {
    if (locks) edits_taken = locks->UnlockTablesAfterCommit(session);
  } catch (...) {
    if (!flush_failure) throw;
  }
  if (flush_failure) std::rethrow_exception(flush_failure);
  // Committed, but a record the session still has locked lost its table's edit lock.
  if (!edits_taken) RaiseError(20203);
}

void TABSDiskDatabaseData::RollbackSession(int32_t session) {
  std::lock_guard guard(lock_);
  TABSDatabaseData::RollbackSession(session);
  if (IsOpened() && multi_user_ && !exclusive_) lock_manager_->ReleaseTransactionLocks(session);
}

void TABSDiskDatabaseData::KeepLocksFile(std::unique_ptr<TABSTableLocksFile> file) {
  std::lock_guard guard(lock_);
  if (file) kept_locks_files_.push_back(std::move(file));
}

void TABSDiskDatabaseData::Flush() {
  std::lock_guard guard(lock_);
  require_open();
  pages_->File().FlushFileBuffers();
}

TABSTableListEntry TABSDiskDatabaseData::CreateTable(int32_t session, const std::string& table_name,
                                                     TABSTableMetadata& metadata) {
  std::lock_guard guard(lock_);
  require_open();
  // A table object of its own lays the table out; the caller opens it by name later.
  TABSDiskTableData table(this, table_name);
  return table.CreateInFile(session, metadata);
}

void TABSDiskDatabaseData::DropBlobStore(int32_t session, int32_t table_object_id, const TABSTableMetadata& metadata) {
  const TABSRecordLayout layout = metadata.Fields.RecordLayout();
  std::vector<int32_t> blob_fields;
  for (int32_t i = 0; i < layout.FieldCount(); ++i)
    if (IsBlobBaseType(layout.Field(i).BaseType)) blob_fields.push_back(i);
  if (blob_fields.empty()) return;
  TABSMetaReader sections(metadata.StorageSections);
  const int32_t record_root = sections.ReadInt32();
  TABSDiskBlobManager blobs(pages_.get(), table_object_id);
  if (metadata.StorageSections.size() >= sections.Position() + 4) blobs.SetIndexRoot(sections.ReadInt32());
  std::exception_ptr failure;
  // Large values are found through the records that reference them; the small-value pages
  // are all in the BLOB index and go with it, whatever they hold.
  if (record_root >= 0 && RecordsPerPage(pages_->DataSize(), layout.StoredRecordSize()) > 0) {
    TABSDiskRecordManager records(pages_.get(), &layout, table_object_id);
    records.Setup();
    TABSMetaReader again(metadata.StorageSections);
    records.LoadSection(again);
    // The count lives in the header block; the page index has it too.
    records.RecordCount = records.PageIndex().TotalCount(session);
    std::vector<uint8_t> record(static_cast<size_t>(layout.MemoryRecordSize()));
    TABSRecordGetRequest request;
    request.Mode = grmNext;
    request.GoToFirst = true;
    request.RecordBuffer = record.data();
    try {
      for (records.GetRecord(session, request); request.Result == grrFound; records.GetRecord(session, request)) {
        for (int32_t f : blob_fields) {
          if (layout.IsNull(f, record.data())) continue;
          const TABSBlobReference ref =
              TABSBlobReference::Load(record.data() + layout.Field(f).MemoryOffset);
          if (!ref.HasValue()) continue;
          try {
            if (blobs.IsLarge(session, ref)) blobs.Delete(session, ref);
          } catch (...) {
            if (!failure) failure = std::current_exception();
          }
        }
      }
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (blobs.IndexRoot() >= 0) {
    TABSBTreeBlobPageIndex& index = blobs.Index();
    for (int32_t page = index.First(session); page >= 0; page = index.Next(session, page))
      pages_->FreePage(session, page);
    blobs.DropIndex(session);
  }
  if (failure) std::rethrow_exception(failure);
}

void TABSDiskDatabaseData::DropTable(int32_t session, const std::string& table_name) {
  std::lock_guard guard(lock_);
  require_open();
  TablesLockScope tables(*pages_);
  table_list_->Reload(session);
  const TABSTableListEntry entry = table_list_->Find(table_name);
  // Each step that fails is remembered and the next one tried: a damaged table must still
  // leave the table list, or it could never be dropped. The first failure is passed on
  // after the entry is gone and committed.
  std::exception_ptr failure;
  auto attempt = [&](auto&& step) {
    try {
      step();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  };
  attempt([&] {
    TABSTableMetadata metadata;
    ReadTableMetadataFile(*pages_, session, entry.MetadataStartPageNo, metadata);
    // Indexes, then the BLOB values, then the record pages.
    for (int32_t i = 0; i < metadata.Indexes.Count(); ++i) {
      const TABSIndexDef* definition = metadata.Indexes.Item(i);
      if (definition->Temporary || definition->RootPageNo < 0) continue;
      attempt([&] {
        TABSBTreeRecordIndex index(pages_.get(), &metadata.Fields, nullptr);
        index.Open(*definition);
        index.Drop(session);
      });
    }
    TABSMetaReader sections(metadata.StorageSections);
    const int32_t root = sections.ReadInt32();
    attempt([&] { DropBlobStore(session, entry.ObjectID, metadata); });
    if (root < 0) return;
    const int32_t per_page = RecordsPerPage(pages_->DataSize(), metadata.Fields.StoredRecordSize());
    TABSBTreeRecordPageIndex pages_index(pages_.get(), std::max(per_page, 1));
    pages_index.SetRoot(root);
    for (int32_t page = pages_index.First(session); page >= 0; page = pages_index.Next(session, page))
      pages_->FreePage(session, page);
    pages_index.Drop(session);
  });
  attempt([&] {
    TABSInternalDBTransactedAccessFile metadata(*pages_);
    metadata.OpenFile(entry.MetadataStartPageNo, ptTableMetaData, acZLIB, 1);
    metadata.DeleteFile(session);
  });
  attempt([&] {
    TABSInternalDBTransactedAccessFile most_updated(*pages_);
    most_updated.OpenFile(entry.MostUpdatedStartPageNo, ptTableMostUpdated);
    most_updated.DeleteFile(session);
  });
  attempt([&] {
    TABSTableLocksFile locks(*pages_);
    locks.OpenFile(entry.LocksStartPageNo);
    locks.DeleteFile(session);
  });
  try {
    table_list_->Remove(session, table_name);
    pages_->CommitPages(session);
  } catch (...) {
    pages_->RollbackPages(session);
    table_list_->Reload(session);
    throw;
  }
  if (failure) std::rethrow_exception(failure);
}

void TABSDiskDatabaseData::RenameTable(int32_t session, const std::string& old_name, const std::string& new_name) {
  std::lock_guard guard(lock_);
  require_open();
  TablesLockScope tables(*pages_);
  table_list_->Reload(session);
  try {
    table_list_->Rename(session, old_name, new_name);
    pages_->CommitPages(session);
  } catch (...) {
    pages_->RollbackPages(session);
    table_list_->Reload(session);
    throw;
  }
}

void TABSDiskDatabaseData::ReadTableMetadata(int32_t session, const std::string& table_name,
                                             TABSTableMetadata& metadata) {
  std::lock_guard guard(lock_);
  require_open();
  const TABSTableListEntry entry = table_list_->Find(table_name);
  ReadTableMetadataFile(*pages_, session, entry.MetadataStartPageNo, metadata);
}

TABSTableData* TABSDiskDatabaseData::OpenTableData(const std::string& table_name) {
  std::lock_guard guard(lock_);
  require_open();
  return AddTableData(std::make_unique<TABSDiskTableData>(this, table_name));
}

}  // namespace dadoveri
