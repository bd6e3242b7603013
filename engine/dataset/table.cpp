#include "engine/dataset/table.h"

#include <algorithm>
#include <cctype>

#include "engine/base/engine_error.h"
#include "engine/database/local_cursor.h"
#include "engine/dataset/local_session.h"
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
  if (source && IsLinkedTo(source)) DatabaseError(kMsgCircularDataLink, this);
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
  if (trimmed(table_name_).empty()) DatabaseError(kMsgMissingTableName, this);
  return make_cursor(*Database(), trimmed(table_name_));
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
    const std::vector<std::string> none(names.size());
    cursor->SetIndexName(cursor->FindOrBuildIndexForFields(names, none, none));
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

void TABSTable::InternalInitRecord(TRecordBuffer buffer) {
  TABSDataSet::InternalInitRecord(buffer);
}

void TABSTable::InternalClose() { TABSDataSet::InternalClose(); }

void TABSTable::master_changed() {
  // Restricting the detail to the master's keys needs a range on the detail's index.
  if (!Active()) return;
}

TABSDatabase& TABSTable::attach_database() {
  if (DatabaseName().empty()) DatabaseError(kMsgDataSetDatabaseNameBlank, this);
  TABSSession& session = Sessions().FindSession(SessionName());
  return *session.OpenDatabase(DatabaseName(), Owner());
}

void TABSTable::release_database(TABSDatabase& database) {
  if (TABSSession* session = database.Session()) session->CloseDatabase(&database);
}

void TABSTable::check_not_in_transaction(TABSDatabase& database, int32_t code, const char* operation) {
  if (database.InTransaction()) RaiseError(code, operation);
}

bool TABSTable::progress(const TTableProgressEvent& event, double percent) {
  bool go_on = true;
  if (event) event(*this, percent, go_on);
  return go_on;
}

void TABSTable::CreateTable() { DatabaseError(kMsgOperationNotSupported, this); }
void TABSTable::DeleteTable() { DatabaseError(kMsgOperationNotSupported, this); }
void TABSTable::EmptyTable() { DatabaseError(kMsgOperationNotSupported, this); }
void TABSTable::RenameTable(const std::string&) { DatabaseError(kMsgOperationNotSupported, this); }
void TABSTable::RenameField(const std::string&, const std::string&) { DatabaseError(kMsgOperationNotSupported, this); }
void TABSTable::AddIndex(const std::string&, const std::string&, TIndexOptions) {
  DatabaseError(kMsgOperationNotSupported, this);
}
void TABSTable::DeleteIndex(const std::string&) { DatabaseError(kMsgOperationNotSupported, this); }
void TABSTable::RestructureTable() { DatabaseError(kMsgOperationNotSupported, this); }
void TABSTable::CopyTable(const std::string&, const std::string&, const std::string&, bool, std::string*) {
  DatabaseError(kMsgOperationNotSupported, this);
}
void TABSTable::CopyTableTo(TABSDatabase&, const std::string&, bool, std::string*) {
  DatabaseError(kMsgOperationNotSupported, this);
}

}  // namespace dadoveri
