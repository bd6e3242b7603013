#include "engine/query/sql_processor.h"

#include "engine/base/engine_error.h"
#include "engine/query/sql_query.h"
#include "engine/table/cursor.h"
#include "engine/table/table_data.h"

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
    if (TABSTableData* table = result->TableData()) table->RecallBitmap(result, ResultKey());
    result->GetRecord(grmNext);
  }
  return result;
}

std::string TABSSQLProcessor::ResultKey() const {
  // Every part preceded by its length, so that no two different lists run together.
  std::string key;
  auto add = [&key](const void* data, size_t size) {
    const uint64_t n = size;
    key.append(reinterpret_cast<const char*>(&n), sizeof n);
    if (size > 0) key.append(static_cast<const char*>(data), size);
  };
  add(sql_.data(), sql_.size() * sizeof(char16_t));
  for (int32_t i = 0; i < params_.Count(); ++i) {
    const TABSSQLParam& p = params_.Item(i);
    add(p.Name.data(), p.Name.size() * sizeof(char16_t));
    const int32_t type = static_cast<int32_t>(p.ValueType());
    add(&type, sizeof type);
    if (p.IsNull()) add(nullptr, 0);
    else add(p.Data(), static_cast<size_t>(p.DataSize()));
  }
  return key;
}

}  // namespace dadoveri
