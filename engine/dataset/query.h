// TABSQuery: the dataset whose rows are the result of an SQL statement. It keeps the
// statement's lines and its named parameters, hands the text to an SQL processor of the
// engine, passes the parameter values, and shows the processor's result cursor through the
// table dataset's model, so the controls that show a table show a query the same way. It
// also runs statements that return no rows (ExecSQL).
//
// With a master data source (DataSource) the parameters the caller did not bind take the
// master's current field values, and an open query runs again whenever the master becomes
// active or moves (TABSQueryDataLink).
//
// Lifecycle: closed and unprepared → (Open) prepared and open → (Close) closed and
// unprepared. ExecSQL prepares, runs and unprepares in one call. Changing the statement
// always closes and unprepares. The processor lives from Prepare to UnPrepare; the result
// cursor belongs to it and lives from the run to Close.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/dataset/data_source.h"
#include "engine/dataset/query_params.h"
#include "engine/dataset/table_dataset.h"

namespace dadoveri {

class TABSQuery;
class TABSSQLProcessor;

// The master side of a query: re-runs the open query when the master becomes active or its
// current record changes (not while the master is in set-key state).
class TABSQueryDataLink : public TDataLink {
 public:
  explicit TABSQueryDataLink(TABSQuery& query) : query_(query) {}

 protected:
  void ActiveChanged() override;
  void RecordChanged(TField* field) override;
  void CheckBrowseMode() override;

 private:
  TABSQuery& query_;
};

class TABSQuery : public TABSDataSet {
 public:
  explicit TABSQuery(TComponent* owner = nullptr);
  ~TABSQuery() override;

  // ---- published properties ----
  // The master data source: "Circular datalinks are not allowed" when it depends on this
  // query.
  TDataSource* DataSource() const;
  void SetDataSource(TDataSource* source);
  // Rebuild the parameter list whenever the statement changes (default on).
  bool ParamCheck() const { return param_check_; }
  void SetParamCheck(bool value) { param_check_ = value; }
  // Ask the processor for an updatable result (the dataset stays read-only when the
  // processor cannot give one).
  bool RequestLive() const { return request_live_; }
  void SetRequestLive(bool value);
  // The statement's lines. Setting different lines closes and unprepares the query and
  // runs the statement-changed step; so does every change through the line operations.
  const std::vector<std::u16string>& SQL() const { return sql_; }
  void SetSQL(const std::vector<std::u16string>& lines);
  // The lines joined with CR LF; setting splits at CR LF, LF or CR.
  std::u16string SQLText() const;
  void SetSQLText(const std::u16string& text);
  void AddSQL(const std::u16string& line);
  void ClearSQL();
  // The named parameters (name, field type, value, bound flag).
  TParams& Params() { return params_; }
  const TParams& Params() const { return params_; }
  // Copies the values of the parameters with the same names.
  void SetParams(const TParams& value);
  int32_t ParamCount() const { return params_.Count(); }
  // The parameter of that name; none: "Parameter '%s' not found".
  TParam& ParamByName(const std::string& name) const;
  // Stored-form properties, kept as plain values: "Data" is dropped whenever the statement
  // changes; "ParamData" is the parameter list.
  const std::string& Data() const { return data_; }
  void SetData(const std::string& value) { data_ = value; }
  TParams& ParamData() { return params_; }

  // ---- operations ----
  // Makes the processor for the statement. An open query: "Cannot perform this operation
  // on an open dataset" (30141); no lines: "No SQL statement available" (20034); a text of
  // fewer than 2 characters: the same message with 30142.
  void Prepare();
  void UnPrepare();
  bool Prepared() const { return processor_ != nullptr; }
  void SetPrepared(bool value) { value ? Prepare() : UnPrepare(); }
  // Runs the statement without a result on a closed query.
  void ExecSQL();
  // While prepared the processor's count of changed rows, otherwise the count remembered
  // from the last run (-1 before any).
  int64_t RowsAffected() const;
  // The statement text with each parameter replaced by "?".
  const std::u16string& Text() const { return text_; }
  // A read-only result runs the statement again (close, open); an updatable one re-reads
  // its rows as a table does.
  void Refresh() override;

  // Whether `source`'s dataset depends on this query through master links.
  bool IsLinkedTo(TDataSource* source) override;

 protected:
  std::unique_ptr<TABSCursor> CreateCursor() override;
  bool IsSQLResult() const override { return true; }
  void AfterCursorOpened() override;
  void InternalClose() override;
  void ReleaseCursor(std::unique_ptr<TABSCursor>& cursor) override;

 private:
  class Connection;
  friend class TABSQueryDataLink;
  friend class Connection;

  // The statement changed: close, unprepare, drop Data, parse the parameters afresh
  // (keeping same-named values) and tell the data links.
  void statement_changed();
  // Closes and reopens an open query (the master moved).
  void refresh_params();
  // Close and open with the controls disabled.
  void rerun();
  // Fills the unbound parameters from the master's fields.
  void fill_from_master();
  // Copies the parameters into the processor and runs the statement; the result cursor
  // when `want_result`.
  TABSCursor* execute(bool want_result);

  std::vector<std::u16string> sql_;
  TParams params_;
  std::u16string text_;
  std::string data_;
  bool param_check_ = true;
  bool request_live_ = false;
  int64_t rows_affected_ = -1;
  bool result_live_ = false;
  // The open live result's key for the bitmaps its table keeps (the processor's
  // ResultKey); empty when its bitmap is not to be kept.
  std::string bitmap_key_;
  std::unique_ptr<TABSQueryDataLink> data_link_;
  std::unique_ptr<Connection> connection_;
  std::unique_ptr<TABSSQLProcessor> processor_;
  // The database ExecSQL attached to for its run (Open uses the dataset's own).
  TABSDatabase* exec_database_ = nullptr;
};

}  // namespace dadoveri
