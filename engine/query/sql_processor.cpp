#include "engine/query/sql_processor.h"

#include "engine/base/engine_error.h"
#include "engine/query/sql_query.h"
#include "engine/table/cursor.h"

namespace dadoveri {

TABSSQLProcessor::TABSSQLProcessor(TABSSQLQuery& query) : query_(query) {}

TABSSQLProcessor::~TABSSQLProcessor() {
  // Statements refer to the lexer.
  statement_.reset();
  lexer_.reset();
}

TABSCursor* TABSSQLProcessor::Execute(const StatementCallback& callback) {
  statement_.reset();
  lexer_.reset();
  rows_affected_ = 0;
  read_only_ = true;
  lexer_ = std::make_unique<TABSLexer>(sql_, &params_);
  if (lexer_->CommandCount() == 0) RaiseError(30145);
  state_ = TABSSQLParseState{lexer_.get(), &query_, 0};
  while (lexer_->NextCommand()) {
    statement_.reset();
    statement_ = CreateSQLCommand(state_);
    int64_t rows = 0;
    bool read_only = true;
    statement_->Execute(query_, query_.RequestLive(), rows, read_only);
    statement_->RowsAffected = rows;
    rows_affected_ += rows;
    read_only_ = read_only;
    if (callback) callback(*statement_, statement_->GetResultCursor(), rows);
  }
  TABSCursor* result = statement_ ? statement_->GetResultCursor() : nullptr;
  if (result) {
    result->GoToBegin();
    result->GetRecord(grmNext);
  }
  return result;
}

}  // namespace dadoveri
