// TABSSQLProcessor: runs the SQL text of a query. Execute lexes the text with the query's
// parameters, then for each command builds its statement (by its first tokens), runs it
// and adds the rows it changed to the total; the result of the last statement is the
// processor's result, on its first row. A statement is freed before the next command is
// built, so a caller that wants every statement's result passes a callback, which sees
// each statement and its result before the next one runs.
//
// A command that fails to parse runs nothing of itself; earlier commands of the text stay
// done. The lexer lives until the next Execute, because subqueries re-read their tokens.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/query/lexer.h"
#include "engine/query/sql_params.h"
#include "engine/query/sql_statement.h"

namespace dadoveri {

class TABSCursor;
class TABSSQLQuery;

class TABSSQLProcessor {
 public:
  // What the callback sees after each statement: the statement, its result (null for a
  // statement without one) and the rows it changed.
  using StatementCallback = std::function<void(TABSSQLCommand& statement, TABSCursor* result, int64_t rows_affected)>;

  explicit TABSSQLProcessor(TABSSQLQuery& query);
  ~TABSSQLProcessor();
  TABSSQLProcessor(const TABSSQLProcessor&) = delete;
  TABSSQLProcessor& operator=(const TABSSQLProcessor&) = delete;

  void SetSQL(std::u16string text) { sql_ = std::move(text); }
  const std::u16string& SQL() const { return sql_; }
  // The parameters the query fills before Execute.
  TABSSQLParams& Params() { return params_; }

  // Runs every command of the text; answers the last statement's result cursor (null for
  // a statement without one).
  TABSCursor* Execute(const StatementCallback& callback = {});
  // The total of rows the last Execute changed.
  int64_t RowsAffected() const { return rows_affected_; }
  // Whether the last statement's result is read-only.
  bool ResultReadOnly() const { return read_only_; }
  // The last statement (null before the first Execute, or when it failed to parse).
  TABSSQLCommand* Statement() const { return statement_.get(); }
  // The name of a result's restrictions for the filter bitmaps a table keeps
  // (TABSTableData::RememberBitmap): the text and each parameter's name, type and value.
  std::string ResultKey() const;

 private:
  TABSSQLQuery& query_;
  TABSSQLParams params_;
  std::u16string sql_;
  std::unique_ptr<TABSLexer> lexer_;
  TABSSQLParseState state_;
  std::unique_ptr<TABSSQLCommand> statement_;
  int64_t rows_affected_ = 0;
  bool read_only_ = true;
};

}  // namespace dadoveri
