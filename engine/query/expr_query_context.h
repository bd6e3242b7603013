// TABSExprQueryContext: what an expression compiled inside an SQL statement asks of the
// query around it: compiling and running a subquery, LASTAUTOINC, ROWNUM, the database
// name and whether the query runs in memory. Filters, Locate and defaults have no
// context; there a subquery, LASTAUTOINC or ROWNUM is "Unexpected token".
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "engine/table/column_type.h"
#include "engine/table/variant.h"

namespace dadoveri {

class TABSExprRecordSource;
class TABSLexer;

// A compiled subquery and its result rows.
class TABSExprSubquery {
 public:
  virtual ~TABSExprSubquery() = default;
  // Whether the subquery refers to columns of an enclosing query; such a subquery runs
  // again at every evaluation, any other only once.
  virtual bool IsCorrelated() const = 0;
  // Whether every column of an enclosing query the subquery names is found in `sources`
  // (always for an uncorrelated subquery): where a condition holding it can be evaluated.
  virtual bool CanEvaluateIn(std::span<TABSExprRecordSource* const> /*sources*/) const { return !IsCorrelated(); }
  // The record sources of the enclosing query the outer columns are read from, at their
  // current rows, each time the subquery runs; given when the expression holding it is
  // bound.
  virtual void SetOuterSources(std::span<TABSExprRecordSource* const> /*sources*/) {}
  // Result columns and their types.
  virtual int32_t FieldCount() const = 0;
  virtual TABSColumnType FieldType(int32_t field_no) const = 0;
  virtual int32_t FieldSize(int32_t field_no) const = 0;
  // Runs the subquery (again) and stands before its first row.
  virtual void Execute() = 0;
  // Moves to the next row; false past the last.
  virtual bool NextRow() = 0;
  // Column `field_no` of the current row.
  virtual void GetFieldValue(int32_t field_no, TABSVariant& value) = 0;
};

class TABSExprQueryContext {
 public:
  virtual ~TABSExprQueryContext() = default;

  // Compiles the SELECT whose first token (the SELECT keyword) is at `select_position` in
  // the lexer's current command and whose last token is at `last_position` (the token
  // before its closing parenthesis). Raises the statement's parse errors. The lexer's
  // position afterwards is unspecified: the caller restores it.
  virtual std::unique_ptr<TABSExprSubquery> CompileSubquery(TABSLexer& lexer, int32_t select_position,
                                                            int32_t last_position) = 0;
  // The column type of an autoincrement field and the value the session last generated
  // for it (NULL when none); `in_memory` names an in-memory table.
  virtual TABSColumnType LastAutoincType(std::string_view table_name, std::string_view field_name,
                                         bool in_memory) = 0;
  virtual void LastAutoinc(std::string_view table_name, std::string_view field_name, bool in_memory,
                           TABSVariant& value) = 0;
  // The number of the query's current result row.
  virtual int64_t RowNum() = 0;
  virtual std::string DatabaseName() const = 0;
  virtual bool InMemory() const = 0;
};

}  // namespace dadoveri
