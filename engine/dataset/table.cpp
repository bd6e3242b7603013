#include "engine/dataset/table.h"

#include <algorithm>
#include <cctype>

#include "engine/base/engine_error.h"
#include "engine/database/local_cursor.h"
#include "engine/dataset/local_session.h"
#include "engine/dataset/user_prompts.h"
#include "engine/table/database_data.h"
#include "engine/table/table_data.h"

namespace dadoveri {

namespace {

std::string trimmed(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::vector<std::string> split_fields(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : text + ";") {
    if (c == ';') {
      cur = trimmed(cur);
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  return out;
}

}  // namespace

// The master side of a master-detail link: the master's record changes restrict the detail.
class TABSMasterLink : public TDataLink {
 public:
  explicit TABSMasterLink(TABSTable& detail) : detail_(detail) {}
  void ActiveChanged() override { detail_.master_changed(); }
  void RecordChanged(TField* field) override {
    if (!field) detail_.master_changed();
  }
  void DataSetScrolled(int32_t) override { detail_.master_changed(); }
  void DataSetChanged() override { detail_.master_changed(); }

 private:
  TABSTable& detail_;
};

TABSTable::TABSTable(TComponent* owner) : TABSDataSet(owner) {}

TABSTable::~TABSTable() {
  try {
    Close();
  } catch (...) {
  }
  master_link_.reset();
}

void TABSTable::SetTableName(const std::string& value) {
  if (value == table_name_) return;
  CheckInactive();
  table_name_ = value;
  DataEvent(TDataEvent::dePropertyChange);
}

void TABSTable::SetIndexName(const std::string& value) {
  index_name_ = value;
  if (!value.empty()) index_field_names_.clear();
  if (Active()) {
    CheckBrowseMode();
    select_index();
    First();
  }
}

void TABSTable::SetIndexFieldNames(const std::string& value) {
  index_field_names_ = value;
  if (!value.empty()) index_name_.clear();
  if (Active()) {
    CheckBrowseMode();
    select_index();
    First();
  }
}

void TABSTable::SetExclusive(bool value) {
  CheckInactive();
  exclusive_ = value;
}

TDataSource* TABSTable::MasterSource() const { return master_link_ ? master_link_->DataSource() : nullptr; }

void TABSTable::SetMasterSource(TDataSource* source) {
  // The master, its master and so on must not come back to this table.
  for (TDataSource* s = source; s && s->DataSet();) {
    if (s->DataSet() == this) DatabaseError(kMsgCircularDataLink, this);
    auto* table = dynamic_cast<TABSTable*>(s->DataSet());
    s = table ? table->MasterSource() : nullptr;
  }
  if (!source) {
    master_link_.reset();
  } else {
    if (!master_link_) master_link_ = std::make_unique<TABSMasterLink>(*this);
    master_link_->SetDataSource(source);
  }
  if (Active()) master_changed();
}

void TABSTable::SetMasterFields(const std::string& value) {
  master_fields_ = value;
  if (Active()) master_changed();
}

bool TABSTable::IsLinkedTo(TDataSource* source) {
  if (!source || !source->DataSet()) return false;
  if (source->DataSet() == this) return true;
  return source->DataSet()->IsLinkedTo(MasterSource()) || TDataSet::IsLinkedTo(source);
}

void TABSTable::Notification(TComponent* component, TOperation operation) {
  TABSDataSet::Notification(component, operation);
  if (operation == TOperation::opRemove && master_link_ && component == master_link_->DataSource())
    master_link_->SetDataSource(nullptr);
}

std::unique_ptr<TABSCursor> TABSTable::make_cursor(TABSDatabase& database, const std::string& table_name) const {
  TABSLocalSession* handle = database.Handle();
  if (!handle || !handle->DatabaseData()) return nullptr;
  auto cursor = std::make_unique<TABSLocalCursor>(handle, table_name);
  cursor->Exclusive = exclusive_;
  cursor->InMemory = handle->DatabaseData() && !handle->IsDisk();
  cursor->SetFilterFactory(nullptr);
  cursor->Open(*handle->DatabaseData());
  return cursor;
}

std::unique_ptr<TABSCursor> TABSTable::CreateCursor() {
  const std::string name = trimmed(table_name_);
  if (name.empty()) DatabaseError(kMsgMissingTableName, this);
  std::unique_ptr<TABSCursor> cursor = make_cursor(*Database(), name);
  if (cursor && cursor->TableFields.Count() == 0) {
    // A missing table: the in-memory and temporary databases make it from the
    // component's definitions when it has some; elsewhere it is an error.
    const bool may_create = Database()->Handle() && !Database()->Handle()->IsDisk() && TableFieldDefs.Count() > 0;
    if (!may_create) {
      cursor->Close();
      RaiseError(10028, name);
    }
    TableFieldDefs.RecomputeOffsets();
    try {
      cursor->CreateTable(TableFieldDefs, TableIndexDefs, TableConstraintDefs);
    } catch (...) {
      cursor->Close();
      throw;
    }
  }
  return cursor;
}

void TABSTable::AfterCursorOpened() {
  select_index();
  if (master_link_) master_changed();
}

void TABSTable::select_index() {
  TABSCursor* cursor = Cursor();
  if (!cursor) return;
  cursor->GetIndexDefs();
  if (!index_name_.empty()) {
    if (!cursor->IndexDefs.Find(index_name_)) RaiseError(10325, index_name_);
    cursor->SetIndexName(index_name_);
  } else if (!index_field_names_.empty()) {
    const std::vector<std::string> names = split_fields(index_field_names_);
    // Ascending and case-sensitive, as a key order named by its fields reads.
    const std::vector<std::string> directions(names.size(), "ASC");
    const std::vector<std::string> cases(names.size(), "CASE");
    cursor->SetIndexName(cursor->FindOrBuildIndexForFields(names, directions, cases));
  } else {
    cursor->SetIndexName("");
  }
  cursor->InvalidateBitmap();
}

const TABSIndexDefs& TABSTable::IndexDefs() {
  if (Cursor()) return Cursor()->GetIndexDefs();
  return TableIndexDefs;
}

bool TABSTable::Exists() {
  try {
    TABSDatabase& database = attach_database();
    const bool exists = database.TableExists(trimmed(table_name_));
    release_database(database);
    return exists;
  } catch (...) {
    return false;
  }
}

std::vector<std::string> TABSTable::detail_key_names(size_t count) {
  std::vector<std::string> names = split_fields(index_field_names_);
  if (names.empty() && Cursor())
    if (const TABSIndexDef* index = Cursor()->IndexDefs.FindByObjectID(Cursor()->ActiveIndexID))
      for (const TABSIndexColumn& c : index->Columns) names.push_back(c.FieldName);
  if (names.empty()) names = split_fields(master_fields_);
  if (names.size() > count) names.resize(count);
  return names;
}

void TABSTable::InternalInitRecord(TRecordBuffer buffer) {
  TABSDataSet::InternalInitRecord(buffer);
  // With an active master link the new record takes the master's key values.
  TDataSet* master = MasterSource() ? MasterSource()->DataSet() : nullptr;
  if (!master || !master->Active()) return;
  const std::vector<std::string> master_names = split_fields(master_fields_);
  const std::vector<std::string> detail_names = detail_key_names(master_names.size());
  for (size_t i = 0; i < detail_names.size() && i < master_names.size(); ++i)
    write_data_field(*FieldByName(detail_names[i]), buffer, master->FieldByName(master_names[i])->Value());
}

void TABSTable::InternalClose() {
  FreeRecordBuffer(key_buffer_);
  TABSDataSet::InternalClose();
}

// ---- key searches ----

namespace {
// Key search kinds of the cursor.
constexpr int32_t kKeyEqual = 1;
constexpr int32_t kKeyAfterOrEqual = 5;
}  // namespace

void TABSTable::start_key(bool clear) {
  CheckBrowseMode();
  if (!key_buffer_) {
    key_buffer_ = AllocRecordBuffer();
    clear = true;
  }
  if (clear) {
    ClearCalcFields(key_buffer_);
    Cursor()->InitRecordBuffer(key_buffer_, false);
  }
  SetState(TDataSetState::dsSetKey);
  SetModified(false);
  DataEvent(TDataEvent::deDataSetChange);
}

void TABSTable::SetKey() { start_key(true); }

void TABSTable::EditKey() { start_key(false); }

bool TABSTable::goto_key(int32_t kind) {
  CheckBrowseMode();  // ends the key editing
  TABSCursor& cursor = *Cursor();
  if (!cursor.IsIndexActive()) RaiseError(20258);
  if (!key_buffer_) {
    key_buffer_ = AllocRecordBuffer();
    cursor.InitRecordBuffer(key_buffer_, false);
  }
  cursor.SetSearchKey(key_buffer_, KeyFieldCount);
  void* saved = cursor.GetBookmark();
  bool found = false;
  try {
    found = cursor.FindKey(kind);
  } catch (...) {
    cursor.FreeBookmark(saved);
    throw;
  }
  return land_search(found, saved);
}

bool TABSTable::GotoKey() {
  if (!Active() || !Cursor()) RaiseError(10029);
  return goto_key(kKeyEqual);
}

void TABSTable::GotoNearest() {
  if (!Active() || !Cursor()) RaiseError(10029);
  if (!goto_key(kKeyAfterOrEqual)) Last();
}

void TABSTable::set_key_values(std::span<const TFieldValue> values) {
  if (!Active() || !Cursor()) RaiseError(10029);
  TABSCursor& cursor = *Cursor();
  if (!cursor.IsIndexActive()) RaiseError(20258);
  const TABSIndexDef* index = cursor.IndexDefs.FindByObjectID(cursor.ActiveIndexID);
  if (!index) RaiseError(20258);
  if (values.size() > index->Columns.size())
    RaiseError(30112, static_cast<int32_t>(index->Columns.size()), static_cast<int32_t>(values.size()));
  SetKey();
  try {
    for (size_t i = 0; i < values.size(); ++i) FieldByName(index->Columns[i].FieldName)->SetValue(values[i]);
  } catch (...) {
    Cancel();
    throw;
  }
  Post();
}

bool TABSTable::find_by_values(std::span<const TFieldValue> values, int32_t kind) {
  set_key_values(values);
  // The search uses exactly the values given; the key field count is restored after.
  const int32_t saved_count = KeyFieldCount;
  KeyFieldCount = static_cast<int32_t>(values.size());
  struct Restore {
    int32_t& count;
    int32_t value;
    ~Restore() { count = value; }
  } restore{KeyFieldCount, saved_count};
  return goto_key(kind);
}

bool TABSTable::FindKey(std::span<const TFieldValue> values) { return find_by_values(values, kKeyEqual); }

void TABSTable::FindNearest(std::span<const TFieldValue> values) {
  if (!find_by_values(values, kKeyAfterOrEqual)) Last();
}

void TABSTable::master_changed() {
  if (!Active() || !Cursor() || in_master_change_) return;
  in_master_change_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{in_master_change_};
  CheckBrowseMode();
  TDataSet* master = MasterSource() ? MasterSource()->DataSet() : nullptr;
  const std::vector<std::string> master_names = split_fields(master_fields_);
  if (!master || !master->Active() || master_names.empty()) {
    Cursor()->SetSecondExpression(nullptr);
    First();
    return;
  }
  // The detail shows the records whose key fields equal the master's current values.
  const std::vector<std::string> detail_names = detail_key_names(master_names.size());
  std::vector<TFieldValue> values;
  for (size_t i = 0; i < detail_names.size(); ++i) values.push_back(master->FieldByName(master_names[i])->Value());
  std::string joined;
  for (const std::string& n : detail_names) joined += (joined.empty() ? "" : ";") + n;
  const std::vector<TABSVariant> keys = key_values(detail_names, values);
  Cursor()->SetSecondExpression(Cursor()->FilterFactory()->CompileLocate(*Cursor(), joined, keys, false, false));
  First();
}

TABSDatabase& TABSTable::attach_database() { return AttachDatabase(); }

void TABSTable::release_database(TABSDatabase& database) { ReleaseDatabase(database); }

void TABSTable::check_not_in_transaction(TABSDatabase& database, int32_t code, const char* operation) {
  if (database.InTransaction()) RaiseError(code, operation);
}

bool TABSTable::progress(const TTableProgressEvent& event, double percent) {
  bool go_on = true;
  if (event) event(*this, percent, go_on);
  return go_on;
}

namespace {

// Runs `fn` with the table's database attached for the duration.
template <typename Fn>
auto with_database(TABSTable& table, TABSDatabase& database, Fn&& fn) {
  struct Release {
    TABSDatabase& d;
    ~Release() {
      try {
        if (TABSSession* session = d.Session()) session->CloseDatabase(&d);
      } catch (...) {
      }
    }
  } release{database};
  (void)table;
  return fn();
}

bool same_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

// The progress window of a maintenance operation when the component has no progress
// event of its own.
std::unique_ptr<TABSWaitWindow> start_wait(bool has_event, int32_t caption) {
  if (has_event) return nullptr;
  if (TABSUserPrompts* prompts = InstalledUserPrompts()) return prompts->StartWait(MessageText(caption));
  return nullptr;
}

// Commits the records copied so far when the copy runs its own transaction.
void commit_copied(TABSLocalSession& handle, bool final) {
  if (TABSDiskDatabaseData* disk = handle.DiskDatabase()) disk->CommitSession(handle.SessionID, final);
  else if (handle.DatabaseData()) handle.DatabaseData()->CommitSession(handle.SessionID);
}

}  // namespace

std::unique_ptr<TABSCursor> TABSTable::open_existing(TABSDatabase& database, const std::string& table_name) const {
  std::unique_ptr<TABSCursor> cursor = make_cursor(database, table_name);
  if (!cursor) RaiseError(20001);
  if (cursor->TableFields.Count() == 0) {
    cursor->Close();
    return nullptr;
  }
  return cursor;
}

void TABSTable::CreateTable() {
  CheckInactive();
  const std::string name = trimmed(table_name_);
  if (name.empty()) DatabaseError(kMsgMissingTableName, this);
  TABSDatabase& database = attach_database();
  with_database(*this, database, [&] {
    check_not_in_transaction(database, 20175, "CreateTable");
    for (int32_t i = 0; i < TableFieldDefs.Count(); ++i) {
      const TABSFieldDef* f = TableFieldDefs.Item(i);
      if (trimmed(f->Name).empty()) RaiseError(30499, i, name);
      if (f->ColumnType == ctNone) RaiseError(30453, name, f->Name, ColumnTypeName(f->ColumnType), f->Size);
      if (IsBlobColumnType(f->ColumnType) && f->BlobCompressionAlgorithm != 0 &&
          (f->BlobCompressionMode < 1 || f->BlobCompressionMode > 9))
        RaiseError(20257, f->Name, name);
    }
    TableFieldDefs.RecomputeOffsets();
    std::unique_ptr<TABSCursor> cursor = make_cursor(database, name);
    if (!cursor) RaiseError(20001);
    try {
      cursor->CreateTable(TableFieldDefs, TableIndexDefs, TableConstraintDefs);
    } catch (...) {
      cursor->Close();
      throw;
    }
    cursor->Close();
    StoreDefs = true;
  });
}

void TABSTable::DeleteTable() {
  if (Active()) Close();
  const std::string name = trimmed(table_name_);
  if (name.empty()) DatabaseError(kMsgMissingTableName, this);
  TABSDatabase& database = attach_database();
  with_database(*this, database, [&] {
    check_not_in_transaction(database, 20177, "DeleteTable");
    std::unique_ptr<TABSCursor> cursor = open_existing(database, name);
    if (!cursor) RaiseError(20132, name);
    try {
      cursor->DeleteTable();
    } catch (...) {
      cursor->Close();
      throw;
    }
    cursor->Close();
  });
}

void TABSTable::EmptyTable() {
  const std::string name = trimmed(table_name_);
  if (name.empty()) DatabaseError(kMsgMissingTableName, this);
  if (Active()) {
    CheckBrowseMode();
    Cursor()->EmptyTable();
    Cursor()->InvalidateBitmap();
    First();
    return;
  }
  TABSDatabase& database = attach_database();
  with_database(*this, database, [&] {
    std::unique_ptr<TABSCursor> cursor = open_existing(database, name);
    if (!cursor) RaiseError(20133, name);
    try {
      cursor->EmptyTable();
    } catch (...) {
      cursor->Close();
      throw;
    }
    cursor->Close();
  });
}

void TABSTable::RenameTable(const std::string& new_name) {
  CheckInactive();
  const std::string name = trimmed(table_name_);
  if (name.empty()) DatabaseError(kMsgMissingTableName, this);
  TABSDatabase& database = attach_database();
  with_database(*this, database, [&] {
    check_not_in_transaction(database, 20179, "RenameTable");
    if (same_name(name, trimmed(new_name))) RaiseError(30452, name);
    if (database.TableExists(trimmed(new_name))) RaiseError(30451, trimmed(new_name));
    std::unique_ptr<TABSCursor> cursor = open_existing(database, name);
    if (!cursor) RaiseError(20134, name);
    try {
      cursor->RenameTable(trimmed(new_name));
    } catch (...) {
      cursor->Close();
      throw;
    }
    cursor->Close();
  });
  table_name_ = trimmed(new_name);
}

void TABSTable::RenameField(const std::string& old_name, const std::string& new_name) {
  CheckInactive();
  const std::string name = trimmed(table_name_);
  if (name.empty()) DatabaseError(kMsgMissingTableName, this);
  TABSDatabase& database = attach_database();
  with_database(*this, database, [&] {
    check_not_in_transaction(database, 20183, "RenameField");
    std::unique_ptr<TABSCursor> cursor = open_existing(database, name);
    if (!cursor) RaiseError(20134, name);
    try {
      cursor->RenameField(old_name, new_name);
    } catch (...) {
      cursor->Close();
      throw;
    }
    cursor->Close();
  });
}

void TABSTable::AddIndex(const std::string& index_name, const std::string& fields, TIndexOptions options) {
  const std::string name = trimmed(table_name_);
  if (name.empty()) DatabaseError(kMsgMissingTableName, this);
  if (trimmed(index_name).empty()) RaiseError(20046, index_name);
  auto run = [&](TABSCursor& cursor) {
    TABSIndexDef definition;
    definition.Name = trimmed(index_name);
    definition.Unique = options.Unique || options.Primary;
    definition.Primary = options.Primary;
    for (const std::string& f : split_fields(fields)) {
      if (!cursor.TableFields.Find(f)) RaiseError(20043, f);
      TABSIndexColumn column;
      column.FieldName = f;
      column.Descending = options.Descending;
      column.CaseInsensitive = options.CaseInsensitive;
      definition.Columns.push_back(column);
    }
    if (definition.Columns.empty()) RaiseError(20043, fields);
    cursor.AddIndex(definition);
  };
  if (Active()) {
    if (Database()->InTransaction()) RaiseError(20180, "AddIndex");
    run(*Cursor());
    return;
  }
  TABSDatabase& database = attach_database();
  with_database(*this, database, [&] {
    check_not_in_transaction(database, 20180, "AddIndex");
    std::unique_ptr<TABSCursor> cursor = open_existing(database, name);
    if (!cursor) RaiseError(20132, name);
    if (cursor->TableData() && cursor->TableData()->Cursors().size() > 1) {
      cursor->Close();
      RaiseError(20208, name);
    }
    try {
      run(*cursor);
    } catch (...) {
      cursor->Close();
      throw;
    }
    cursor->Close();
  });
}

void TABSTable::DeleteIndex(const std::string& index_name) {
  const std::string name = trimmed(table_name_);
  if (name.empty()) DatabaseError(kMsgMissingTableName, this);
  if (Active()) {
    if (Database()->InTransaction()) RaiseError(20181, "DeleteIndex");
    Cursor()->DeleteIndex(index_name);
    if (same_name(index_name_, index_name)) index_name_.clear();
    return;
  }
  TABSDatabase& database = attach_database();
  with_database(*this, database, [&] {
    check_not_in_transaction(database, 20181, "DeleteIndex");
    std::unique_ptr<TABSCursor> cursor = open_existing(database, name);
    if (!cursor) RaiseError(20132, name);
    try {
      cursor->DeleteIndex(index_name);
    } catch (...) {
      cursor->Close();
      throw;
    }
    cursor->Close();
  });
}

int64_t TABSTable::copy_records(TABSCursor& from, TABSCursor& to, TABSLocalSession& target_handle,
                                const std::string& table_label, bool by_name, bool collect_errors,
                                std::string* report, const TTableProgressEvent& event, TABSWaitWindow* wait) {
  // Field j of the target takes field map[j] of the source (-1: none).
  std::vector<int32_t> map(static_cast<size_t>(to.TableFields.Count()), -1);
  for (int32_t j = 0; j < to.TableFields.Count(); ++j) {
    if (by_name) {
      for (int32_t i = 0; i < from.TableFields.Count(); ++i)
        if (same_name(from.TableFields.Item(i)->Name, to.TableFields.Item(j)->Name)) map[static_cast<size_t>(j)] = i;
    } else if (j < from.TableFields.Count()) {
      map[static_cast<size_t>(j)] = j;
    }
  }
  const bool own_transaction = !target_handle.InTransaction;
  const int64_t total = std::max<int64_t>(from.GetRecordCount(), 1);
  int64_t record_no = 0;
  auto report_progress = [&](double percent) {
    bool go_on = true;
    if (event) event(*this, percent, go_on);
    if (wait) {
      wait->SetProgress(static_cast<int32_t>(percent));
      wait->ProcessMessages();
      if (wait->Aborted()) go_on = false;
    }
    if (!go_on) DatabaseError(kMsgTerminatedByUser, this);
  };
  if (own_transaction) target_handle.InTransaction = true;
  try {
    from.GoToBegin();
    while (from.GetRecord(1) == 0) {
      ++record_no;
      to.NewRecord();
      for (int32_t j = 0; j < to.TableFields.Count(); ++j) {
        const int32_t i = map[static_cast<size_t>(j)];
        if (i < 0) continue;
        try {
          from.CopyField(i, true, to, j);
        } catch (const std::exception& e) {
          if (!collect_errors) throw;
          if (report)
            *report += DatabaseErrorText(kMsgCopyFieldNulled, nullptr,
                                         {table_label, record_no, from.TableFields.Item(i)->Name, e.what()}) +
                       "\n";
          TABSVariant null_value;
          to.SetFieldValue(j, true, null_value);
        }
      }
      const int32_t r = to.PostInsert();
      if (r != 0) {
        const std::string text = to.LastMessage.empty() ? OutcomeText(r) : to.LastMessage;
        if (!collect_errors) throw EABSEngineError(r, to.LastMessage);
        if (report) *report += DatabaseErrorText(kMsgCopyRecordSkipped, nullptr, {table_label, record_no, text}) + "\n";
      }
      if (record_no % 5000 == 0) {
        if (own_transaction) {
          target_handle.InTransaction = false;
          commit_copied(target_handle, false);
          target_handle.InTransaction = true;
        }
        report_progress(100.0 * static_cast<double>(record_no) / static_cast<double>(total));
      }
    }
  } catch (...) {
    if (own_transaction) {
      target_handle.InTransaction = false;
      try {
        commit_copied(target_handle, true);
      } catch (...) {
      }
    }
    throw;
  }
  if (own_transaction) {
    target_handle.InTransaction = false;
    commit_copied(target_handle, true);
  }
  return record_no;
}

void TABSTable::CopyTable(const std::string& new_table_name, const std::string& database_file,
                          const std::string& password, bool collect_errors, std::string* report) {
  if (database_file.empty()) {
    TABSDatabase& database = attach_database();
    with_database(*this, database, [&] { CopyTableTo(database, new_table_name, collect_errors, report); });
    return;
  }
  TABSDatabase target(nullptr);
  target.SetSessionName(SessionName());
  target.SetDatabaseName("CopyTableTarget" + std::to_string(reinterpret_cast<uintptr_t>(&target)));
  target.SetDatabaseFileName(database_file);
  target.Password = password;
  target.SilentMode = true;
  target.Connect();
  CopyTableTo(target, new_table_name, collect_errors, report);
  target.Disconnect();
}

void TABSTable::CopyTableTo(TABSDatabase& target, const std::string& new_table_name, bool collect_errors,
                            std::string* report) {
  const std::string name = trimmed(table_name_);
  const std::string new_name = trimmed(new_table_name);
  if (name.empty()) DatabaseError(kMsgMissingTableName, this);
  if (!target.Connected()) target.Connect();
  TABSDatabase& source_db = attach_database();
  with_database(*this, source_db, [&] {
    const bool same_database = source_db.Handle() && target.Handle() &&
                               source_db.Handle()->DatabaseData() == target.Handle()->DatabaseData();
    if (same_database && same_name(name, new_name)) RaiseError(30447, DatabaseName(), name);
    if (target.TableExists(new_name)) RaiseError(30448, target.DatabaseName(), new_name);
    if (BeforeCopy) BeforeCopy(*this);
    std::unique_ptr<TABSWaitWindow> wait = start_wait(static_cast<bool>(OnCopyProgress), kMsgCopyTableCaption);
    struct Finish {
      std::unique_ptr<TABSWaitWindow>& w;
      ~Finish() {
        if (w) w->Finish();
      }
    } finish{wait};
    std::unique_ptr<TABSCursor> from = open_existing(source_db, name);
    if (!from) RaiseError(20132, name);
    std::unique_ptr<TABSCursor> to;
    try {
      if (from->TableFields.Count() == 0) RaiseError(20297, name, "");
      // The stored indexes and constraints only: temporary indexes belong to sessions.
      TABSIndexDefs indexes;
      for (int32_t i = 0; i < from->IndexDefs.Count(); ++i)
        if (!from->IndexDefs.Item(i)->Temporary) indexes.AddIndexDef()->Assign(*from->IndexDefs.Item(i));
      try {
        to = make_cursor(target, new_name);
        if (!to) RaiseError(20001);
        to->CreateTable(from->TableFields, indexes, from->ConstraintDefs);
      } catch (const std::exception& e) {
        if (to) to->Close();
        RaiseError(30450, target.DatabaseName(), new_name, e.what());
      }
      copy_records(*from, *to, *target.Handle(), name, false, collect_errors, report, OnCopyProgress, wait.get());
      bool go_on = true;
      if (OnCopyProgress) OnCopyProgress(*this, 100, go_on);
    } catch (...) {
      if (to) to->Close();
      from->Close();
      throw;
    }
    to->Close();
    from->Close();
    if (AfterCopy) AfterCopy(*this);
  });
}

void TABSTable::RestructureTable() {
  CheckInactive();
  const std::string name = trimmed(table_name_);
  if (name.empty()) DatabaseError(kMsgMissingTableName, this);
  TABSDatabase& database = attach_database();
  with_database(*this, database, [&] {
    check_not_in_transaction(database, 20182, "RestructureTable");
    if (BeforeRestructure) BeforeRestructure(*this);
    std::unique_ptr<TABSWaitWindow> wait =
        start_wait(static_cast<bool>(OnRestructureProgress), kMsgRestructureTableCaption);
    struct Finish {
      std::unique_ptr<TABSWaitWindow>& w;
      ~Finish() {
        if (w) w->Finish();
      }
    } finish{wait};
    std::unique_ptr<TABSCursor> from = open_existing(database, name);
    if (!from) RaiseError(20132, name);
    // The new form goes to a temporary name, takes the records by field name, then
    // replaces the table.
    std::string temp_name = name + "_restructure";
    for (int n = 1; database.TableExists(temp_name); ++n) temp_name = name + "_restructure" + std::to_string(n);
    std::unique_ptr<TABSCursor> to;
    try {
      TableFieldDefs.RecomputeOffsets();
      try {
        to = make_cursor(database, temp_name);
        if (!to) RaiseError(20001);
        to->CreateTable(TableFieldDefs, TableIndexDefs, TableConstraintDefs);
      } catch (const std::exception& e) {
        if (to) {
          to->Close();
          to.reset();
        }
        DatabaseError(kMsgRestructureCreateFailed, this, e.what());
      }
      copy_records(*from, *to, *database.Handle(), name, true, false, nullptr, OnRestructureProgress, wait.get());
    } catch (...) {
      if (to) {
        try {
          to->DeleteTable();
        } catch (...) {
        }
        to->Close();
      }
      from->Close();
      throw;
    }
    try {
      from->DeleteTable();
    } catch (const std::exception& e) {
      from->Close();
      to->Close();
      DatabaseError(kMsgRestructureDeleteFailed, this, e.what());
    }
    from->Close();
    to->RenameTable(name);
    to->Close();
    bool go_on = true;
    if (OnRestructureProgress) OnRestructureProgress(*this, 100, go_on);
    if (AfterRestructure) AfterRestructure(*this);
  });
}

}  // namespace dadoveri
