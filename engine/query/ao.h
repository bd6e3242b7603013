// TABSAO: a relational operator of an executed SELECT. Operators form a tree (up to two
// inputs each); every operator delivers its rows through a cursor — a base table's cursor
// for a table operator, otherwise a result table the operator fills when it is executed —
// and is itself the record source that expressions over its rows bind to.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/database/local_cursor.h"
#include "engine/query/cursor_filter_expression.h"
#include "engine/query/expr_record_source.h"
#include "engine/query/expression.h"
#include "engine/table/session.h"
#include "engine/table/variant.h"

namespace dadoveri {

class TABSAO;
class TABSDatabaseData;
class TABSSQLQuery;

// (table, field) names: join keys, grouping fields, sort fields.
using TABSFields = std::vector<std::pair<std::string, std::string>>;

// An output column of an operator.
struct TABSFieldLink {
  std::string Name;
  std::string TableName;
  TABSColumnType ColumnType = ctNone;
  int32_t Size = 0;
  // The input operator and its column that supply the value (null for a computed column).
  TABSAO* Input = nullptr;
  int32_t InputColumn = -1;
  // The computed value (not owned), when the column is an expression.
  TABSExpression* Expression = nullptr;
  bool Visible = true;
};

// What the operators of one statement share: the query and the session their result
// tables are written in.
struct TABSAOContext {
  TABSSQLQuery* Query = nullptr;
  TABSBaseSession TempSession{0};
  // The number of the row being produced (ROWNUM), counted from 1.
  int64_t RowNum = 0;
  // A subquery's: its conditions may name columns of the enclosing query, read from
  // `Outer` (that query's record sources, at their current rows) whenever they are
  // evaluated. OuterReferences lists those names (table qualifier, field) as the tree
  // was built.
  bool AllowOuter = false;
  std::vector<TABSExprRecordSource*> Outer;
  std::vector<std::pair<std::string, std::string>> OuterReferences;
};

// The process-wide registry of temporary tables that query results are written to.
TABSDatabaseData& QueryTemporaryDatabase();

class TABSAO : public TABSExprRecordSource {
 public:
  explicit TABSAO(TABSAOContext& context) : context_(context) {}
  ~TABSAO() override;
  TABSAO(const TABSAO&) = delete;
  TABSAO& operator=(const TABSAO&) = delete;

  // The operations, in slot order.
  virtual void DoFirst();
  virtual void DoNext();
  virtual bool DoEof();
  virtual int64_t DoRecordCount();
  virtual void First();
  virtual void Next();
  virtual bool Eof();
  virtual int64_t RecordCount();
  // Gives every column a distinct result name (repeats become name_1, name_2 …).
  virtual void AssignColumnNames();
  // Runs the operator: executes its inputs and, unless it reads a base table directly,
  // fills its result table.
  virtual void Execute(bool live, TABSAO* outer, const void* outer_row);
  virtual void SetRowWindow(int64_t first_row, int64_t row_count);
  virtual void SetSelectList(bool distinct);
  // The numbers of the output columns named `field_name` (qualified by `table_name`
  // when not empty).
  virtual std::vector<int32_t> FindColumns(std::string_view field_name, std::string_view table_name) const;
  // The order the operator delivers its rows in: by `fields`, each ascending unless
  // `descending` says so, compared by case unless `case_insensitive` says not.
  virtual void SetSortOrder(const TABSFields& fields, const std::vector<bool>& descending,
                            const std::vector<bool>& case_insensitive);

  // TABSExprRecordSource: the current row of the operator.
  bool FindField(std::string_view table_name, std::string_view field_name, TABSExprFieldInfo& info) const override;
  const TABSRecordLayout& RecordLayout() const override;
  const void* CurrentRecord() const override;
  bool ReadMemo(int32_t field_no, const void* record, std::string& bytes) const override;

  // The cursor the rows are read from (null before the operator has one).
  virtual TABSLocalCursor* Cursor() const { return result_.get(); }
  // Whether the operator's cursor is a result table of its own.
  bool HasResultTable() const { return result_ != nullptr; }
  // A row of NULLs instead of the current row (the missing side of an outer join).
  void SetNullRow(bool null_row) { null_row_ = null_row; }
  // The value of output column `column` in the current row.
  void GetColumnValue(int32_t column, TABSVariant& value) const;
  // Positioning for the algorithms that read an input at more than one place.
  bool StepFirst();
  bool StepNext();
  void* Bookmark() const;
  void GoToBookmark(void* bookmark);
  void FreeBookmark(void*& bookmark) const;
  // Moves to the first row whose values in output columns `columns` are at least
  // `values`, through the index the operator's sort order reads: true when it did (Eof
  // then says whether there is such a row). False, with the position unchanged, when the
  // sort order does not begin with those columns ascending and by case, or when a value
  // would not go into the key unchanged (a NULL, a text longer than the field, a fraction
  // for an integer field).
  // A seek that could not go straight down the index (the cursor's other restrictions
  // made the search walk something else) refuses later seeks until AllowSeeks.
  bool SeekAtLeast(const std::vector<int32_t>& columns, const std::vector<TABSVariant>& values);
  void AllowSeeks() { seek_refused_ = false; }
  // The base tables the tree reads (for read locks).
  virtual void CollectTables(std::vector<TABSAO*>& tables);

  std::unique_ptr<TABSAO> Left;
  std::unique_ptr<TABSAO> Right;
  // The operator's own condition: a pushed-down WHERE part or HAVING.
  std::unique_ptr<TABSExpression> Condition;
  std::vector<TABSFieldLink> Columns;
  // The names of the result's fields, one per column (AssignColumnNames).
  std::vector<std::string> OutputNames;
  int64_t FirstRow = 1;
  int64_t RowCount = -1;
  TABSFields SortFields;
  std::vector<bool> SortDescending;
  std::vector<bool> SortCaseInsensitive;
  bool Distinct = false;
  bool Materialised = false;
  // Set by the consumer before Execute: the operator runs its inputs but fills no result
  // table of its own; the consumer takes the rows through Stream, and the values of its
  // columns (each an input's column) come from the inputs' current rows.
  bool Streamed = false;
  // Calls `emit` for each row of a streamed operator (those its own condition keeps),
  // the inputs positioned on it; `emit` answers false when no more rows are wanted.
  void Stream(const std::function<bool()>& emit);

 protected:
  // The rows of the operator, one `emit` call each with the inputs positioned on it;
  // `emit` answers false when no more rows are wanted.
  virtual void Produce(const std::function<bool()>& emit);
  // Fills the result table: types of computed columns, Produce, the row window, the own
  // condition, DISTINCT and the sort order.
  void Materialise();
  // The number of the result table's field that holds output column `column` (for a
  // table operator: the table's field number).
  virtual int32_t FieldOfColumn(int32_t column) const { return column; }
  // Sets the sort order on the operator's cursor.
  void apply_sort();
  void drop_result();

  TABSAOContext& context_;
  std::unique_ptr<TABSLocalCursor> result_;
  std::unique_ptr<TABSCursorRecordSource> result_source_;
  bool null_row_ = false;
  bool eof_ = true;
  // The key record SeekAtLeast builds (kept between calls).
  std::vector<uint8_t> seek_key_;
  bool seek_refused_ = false;

 private:
  std::unique_ptr<TABSLocalCursor> create_result_table();
  // Per output column, the field of its input's current record whose bytes the result's
  // field takes as they are (same base type, not a BLOB; plain columns of an input that
  // reads its own cursor), or -1 where the value goes through a TABSVariant.
  std::vector<int32_t> copied_fields(const TABSLocalCursor& out) const;
  void remove_duplicates();
};

// Evaluates `expression` as a condition over the current rows: true when empty.
bool AOConditionHolds(TABSExpression* expression);
// The position of output column `name` of `op` with the messages of a missing or
// repeated name.
int32_t AOColumnOf(const TABSAO& op, const std::string& table_name, const std::string& field_name);

}  // namespace dadoveri
