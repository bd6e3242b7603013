#include "engine/dataset/query.h"

#include "engine/base/engine_error.h"
#include "engine/base/utf8.h"
#include "engine/database/database_list.h"
#include "engine/dataset/table.h"
#include "engine/query/sql_processor.h"
#include "engine/query/sql_query.h"
#include "engine/table/cursor.h"
#include "engine/table/table_data.h"

namespace dadoveri {

namespace {

// The master data source a dataset follows (a query's DataSource, a table's MasterSource).
TDataSource* master_of(TDataSet* dataset) {
  if (auto* query = dynamic_cast<TABSQuery*>(dataset)) return query->DataSource();
  if (auto* table = dynamic_cast<TABSTable*>(dataset)) return table->MasterSource();
  return nullptr;
}

// Longest master chain walked before a chain is taken for a circle.
constexpr int kMaxMasterChain = 1024;

// A field's value as the parameter variant.
THostVariant host_value(const TField& field) {
  const TFieldValue native = field.Value();
  switch (field.DataType) {
    case ftDate:
    case ftTime:
    case ftDateTime:
    case ftTimeStamp:
      if (std::holds_alternative<std::monostate>(native)) return THostNull{};
      return THostDate{TField::NativeToDateTime(field.DataType, native)};
    case ftCurrency:
      if (const auto* d = std::get_if<double>(&native)) return THostCurrency{*d};
      break;
    default:
      break;
  }
  return std::visit(
      [](const auto& v) -> THostVariant {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) return THostNull{};
        else return v;
      },
      native);
}

std::vector<std::u16string> split_lines(const std::u16string& text) {
  std::vector<std::u16string> lines;
  std::u16string line;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c == u'\r' || c == u'\n') {
      lines.push_back(line);
      line.clear();
      if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

}  // namespace

// ---- the query as the engine's statements see it ----

// The statements of a query run on the database the query is attached to (its open
// connection, or the one ExecSQL attaches for its run), in that connection's session.
class TABSQuery::Connection : public TABSSQLQuery {
 public:
  explicit Connection(TABSQuery& query) : query_(query) {}

  TABSDatabaseData& Database() override { return *handle().DatabaseData(); }
  TABSBaseSession& Session() override { return handle(); }
  TABSDatabaseData& MemoryDatabase() override { return TABSDatabaseList::Instance().Memory(); }
  TABSDatabaseData& OtherDatabase(const std::string& file_name, const std::string& password,
                                  TABSBaseSession*& session) override {
    return others_.Get(file_name, password, session);
  }
  std::string DatabaseName() const override { return query_.DatabaseName(); }
  bool RequestLive() const override { return query_.request_live_; }
  bool InMemory() const override { return query_.InMemory(); }
  bool DisableTempFiles() const override { return component().DisableTempFiles; }
  void StartTransaction() override { component().StartTransaction(); }
  void Commit(bool flush) override { component().Commit(flush); }
  void Rollback() override { component().Rollback(); }

 private:
  TABSDatabase& component() const {
    TABSDatabase* database = query_.Database() ? query_.Database() : query_.exec_database_;
    if (!database || !database->Handle() || !database->Handle()->DatabaseData())
      DatabaseError(kMsgDatabaseClosed, &query_);
    return *database;
  }
  TABSLocalSession& handle() const { return *component().Handle(); }

  TABSQuery& query_;
  TABSOtherDatabases others_;
};

// ---- the master link ----

void TABSQueryDataLink::ActiveChanged() {
  if (Active()) query_.refresh_params();
}

void TABSQueryDataLink::RecordChanged(TField* field) {
  if (!field) query_.refresh_params();
}

void TABSQueryDataLink::CheckBrowseMode() {
  if (query_.Active()) query_.CheckBrowseMode();
}

// ---- TABSQuery ----

TABSQuery::TABSQuery(TComponent* owner)
    : TABSDataSet(owner),
      data_link_(std::make_unique<TABSQueryDataLink>(*this)),
      connection_(std::make_unique<Connection>(*this)) {}

TABSQuery::~TABSQuery() {
  // The result cursor belongs to the processor: close while the query is whole.
  try {
    Close();
  } catch (...) {
  }
  processor_.reset();
  data_link_.reset();
}

// ---- properties ----

TDataSource* TABSQuery::DataSource() const { return data_link_->DataSource(); }

void TABSQuery::SetDataSource(TDataSource* source) {
  // The master, its master and so on must not come back to this query.
  TDataSource* s = source;
  for (int depth = 0; s && s->DataSet() && depth < kMaxMasterChain; ++depth) {
    if (s->DataSet() == this) DatabaseError(kMsgCircularDataLink, this);
    s = master_of(s->DataSet());
  }
  data_link_->SetDataSource(source);
}

bool TABSQuery::IsLinkedTo(TDataSource* source) {
  if (!source) return false;
  // `source` is on this query's master chain …
  TDataSource* s = DataSource();
  for (int depth = 0; s && depth < kMaxMasterChain; ++depth) {
    if (s == source) return true;
    s = s->DataSet() ? master_of(s->DataSet()) : nullptr;
  }
  // … or its dataset follows this query.
  s = source;
  for (int depth = 0; s && s->DataSet() && depth < kMaxMasterChain; ++depth) {
    if (s->DataSet() == this) return true;
    s = master_of(s->DataSet());
  }
  return TABSDataSet::IsLinkedTo(source);
}

void TABSQuery::SetRequestLive(bool value) {
  if (value == request_live_) return;
  request_live_ = value;
  // A prepared processor was made with the old setting.
  if (Prepared() && !Active()) UnPrepare();
}

void TABSQuery::SetSQL(const std::vector<std::u16string>& lines) {
  if (lines == sql_) return;
  Close();
  UnPrepare();
  sql_ = lines;
  statement_changed();
}

std::u16string TABSQuery::SQLText() const {
  std::u16string text;
  for (size_t i = 0; i < sql_.size(); ++i) {
    if (i > 0) text += u"\r\n";
    text += sql_[i];
  }
  return text;
}

void TABSQuery::SetSQLText(const std::u16string& text) { SetSQL(split_lines(text)); }

void TABSQuery::AddSQL(const std::u16string& line) {
  Close();
  UnPrepare();
  sql_.push_back(line);
  statement_changed();
}

void TABSQuery::ClearSQL() {
  if (sql_.empty()) return;
  SetSQL({});
}

void TABSQuery::SetParams(const TParams& value) { params_.AssignValues(value); }

TParam& TABSQuery::ParamByName(const std::string& name) const { return params_.ParamByName(name, this); }

void TABSQuery::statement_changed() {
  const bool loading = Loading();
  if (!loading) {
    Close();
    UnPrepare();
    data_.clear();
  }
  if (param_check_ || Designing() || loading) {
    TParams fresh;
    text_ = ParseSQLParams(SQLText(), &fresh);
    fresh.AssignValues(params_);
    params_ = fresh;
  } else {
    text_ = SQLText();
  }
  if (!loading) DataEvent(TDataEvent::dePropertyChange);
}

// ---- preparing and running ----

void TABSQuery::Prepare() {
  if (Cursor()) RaiseError(30141);
  if (processor_) return;
  if (sql_.empty()) RaiseError(20034);
  const std::u16string text = SQLText();
  if (text.size() < 2) RaiseError(30142);
  processor_ = std::make_unique<TABSSQLProcessor>(*connection_);
  processor_->SetSQL(text);
}

void TABSQuery::UnPrepare() {
  if (Cursor()) Close();
  processor_.reset();
}

void TABSQuery::fill_from_master() {
  TDataSource* source = DataSource();
  TDataSet* master = source ? source->DataSet() : nullptr;
  if (!master) return;
  for (int32_t i = 0; i < params_.Count(); ++i) {
    TParam& p = params_[i];
    if (p.Bound) continue;
    const TField* field = master->FieldByName(p.Name);
    const THostVariant value = host_value(*field);
    if (std::holds_alternative<THostNull>(value)) {
      p.DataType = ftInteger;
      p.Clear();
    } else {
      // A wide memo's text stays wide.
      p.DataType = field->WideText ? ftWideString : field->DataType;
      p.SetValue(value);
    }
    // Left unbound: the next run fills it again.
    p.Bound = false;
  }
}

TABSCursor* TABSQuery::execute(bool want_result) {
  fill_from_master();
  TABSSQLParams& target = processor_->Params();
  target.Clear();
  for (int32_t i = 0; i < params_.Count(); ++i) {
    const TParam& p = params_[i];
    TABSSQLParam& e = target.Add();
    e.Name = Utf8ToUtf16(p.Name);
    p.CopyToEngine(e);
  }
  TABSCursor* result = processor_->Execute();
  result_live_ = result && !processor_->ResultReadOnly();
  rows_affected_ = processor_->RowsAffected();
  return want_result ? result : nullptr;
}

std::unique_ptr<TABSCursor> TABSQuery::CreateCursor() {
  // The result is obtained with the database's questions suppressed.
  TABSDatabase* database = Database();
  struct SilentGuard {
    TABSDatabase* database;
    bool saved;
    ~SilentGuard() {
      if (database) database->SilentMode = saved;
    }
  } guard{database, database ? database->SilentMode : false};
  if (database) database->SilentMode = true;
  result_live_ = false;
  Prepare();
  return std::unique_ptr<TABSCursor>(execute(true));
}

void TABSQuery::AfterCursorOpened() {
  // A live result keeps the WHERE as its cursor's filter. The dataset's own Filter
  // property takes the cursor's first filter slot, so the WHERE moves to the second one,
  // where both restrict the rows (and still choose the search plan) together.
  if (TABSCursor* c = Cursor(); c && c->Filter) {
    // The same restrictions in another slot: the bitmap the processor's look at the first
    // row built (or took from the table) still holds.
    const bool same_restrictions = !c->SecondFilter;
    TABSRecordBitmap bitmap = std::move(c->Bitmap);
    std::unique_ptr<TABSCursorFilter> where = std::move(c->Filter);
    c->SetFilterExpression(nullptr);
    c->SetSecondExpression(std::move(where));
    if (same_restrictions) c->Bitmap = std::move(bitmap);
  }
  // A live result leaves its bitmap to the table when it closes, for a run of the same
  // statement and parameters on the unchanged table.
  bitmap_key_ = result_live_ && processor_ ? processor_->ResultKey() : std::string();
  // Updatable only when the processor made the result live, never on a read-only database.
  if (!result_live_) read_only_ = true;
  if (Database() && Database()->ReadOnly) read_only_ = true;
  // The processor may leave its result cursor past the first row (it has looked at it);
  // the dataset opens on the first row, as a table does.
  if (TABSCursor* c = Cursor()) c->GoToBegin();
}

void TABSQuery::ReleaseCursor(std::unique_ptr<TABSCursor>& cursor) {
  // The processor owns its result cursor; unpreparing frees it.
  (void)cursor.release();
}

void TABSQuery::InternalClose() {
  if (TABSCursor* c = Cursor(); c && !bitmap_key_.empty() && c->TableData())
    c->TableData()->RememberBitmap(c, bitmap_key_);
  bitmap_key_.clear();
  TABSDataSet::InternalClose();
  processor_.reset();
  result_live_ = false;
}

void TABSQuery::ExecSQL() {
  CheckInactive();
  TABSDatabase& database = AttachDatabase();
  exec_database_ = &database;
  struct Release {
    TABSQuery& query;
    TABSDatabase& database;
    ~Release() {
      query.processor_.reset();
      query.exec_database_ = nullptr;
      try {
        query.ReleaseDatabase(database);
      } catch (...) {
      }
    }
  } release{*this, database};
  Prepare();
  execute(false);
}

int64_t TABSQuery::RowsAffected() const { return processor_ ? processor_->RowsAffected() : rows_affected_; }

void TABSQuery::Refresh() {
  if (Active() && ReadOnly()) {
    CheckBrowseMode();
    rerun();
    return;
  }
  TABSDataSet::Refresh();
}

void TABSQuery::rerun() {
  DisableControls();
  try {
    Close();
    Open();
  } catch (...) {
    EnableControls();
    throw;
  }
  EnableControls();
}

void TABSQuery::refresh_params() {
  if (!Active()) return;
  TDataSet* master = DataSource() ? DataSource()->DataSet() : nullptr;
  if (!master || !master->Active() || master->State() == TDataSetState::dsSetKey) return;
  rerun();
}

}  // namespace dadoveri
