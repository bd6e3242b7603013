// The statement base: bounded token reading, the messages of the parse, the nesting
// limit, what expressions of a statement ask of it, and the first-token dispatch.
#include "engine/query/sql_statement.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "engine/base/engine_error.h"
#include "engine/database/local_cursor.h"
#include "engine/query/expr_text.h"
#include "engine/query/sql_query.h"
#include "engine/table/database_data.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"

namespace dadoveri {

namespace {

// The end position of a token as a column, for "Unexpected end" after it.
int32_t column_after(const TToken& t) {
  int32_t length = static_cast<int32_t>(t.text.size());
  if (t.kind == tkString || t.kind == tkBracketedName) length += 2;
  if (t.kind == tkParameter) length += 1;
  return t.column + length;
}

// A subquery compiled inside an expression, run through its statement. Names its own
// tables do not have are columns of the enclosing query: such a subquery is correlated
// and runs again at each evaluation, reading them from the enclosing query's current row.
class TABSSQLSubquery : public TABSExprSubquery {
 public:
  TABSSQLSubquery(std::unique_ptr<TABSSQLUnion> statement, TABSSQLQuery* query)
      : statement_(std::move(statement)), query_(query) {
    statement_->AllowOuter();
  }
  bool IsCorrelated() const override { return !outer_references().empty(); }
  bool CanEvaluateIn(std::span<TABSExprRecordSource* const> sources) const override {
    for (const auto& [table, field] : outer_references()) {
      bool found = false;
      for (TABSExprRecordSource* s : sources) {
        TABSExprFieldInfo info;
        if (s != nullptr && s->FindField(table, field, info)) found = true;
      }
      if (!found) return false;
    }
    return true;
  }
  void SetOuterSources(std::span<TABSExprRecordSource* const> sources) override {
    statement_->SetOuterSources(std::vector<TABSExprRecordSource*>(sources.begin(), sources.end()));
  }
  int32_t FieldCount() const override { return result().VisibleFields.Count(); }
  TABSColumnType FieldType(int32_t field_no) const override { return field(field_no).ColumnType; }
  int32_t FieldSize(int32_t field_no) const override { return field(field_no).Size; }
  void Execute() override {
    run();
    cursor_->GoToBegin();
  }
  bool NextRow() override { return result().GetRecord(grmNext) == grrFound; }
  void GetFieldValue(int32_t field_no, TABSVariant& value) override {
    field(field_no);
    result().GetFieldValue(field_no, false, value);
  }

 private:
  const std::vector<std::pair<std::string, std::string>>& outer_references() const {
    if (!query_) RaiseError(40802);
    statement_->Prepare(*query_);
    return statement_->OuterReferences();
  }
  void run() const {
    if (!query_) RaiseError(40802);
    int64_t rows = 0;
    bool read_only = true;
    statement_->Execute(*query_, false, rows, read_only);
    cursor_ = statement_->GetResultCursor();
    if (!cursor_) RaiseError(40802);
  }
  TABSCursor& result() const {
    if (!cursor_) run();
    return *cursor_;
  }
  const TABSFieldDef& field(int32_t field_no) const {
    TABSCursor& c = result();
    if (field_no < 0 || field_no >= c.VisibleFields.Count()) RaiseError(30024, field_no);
    return *c.VisibleFields.Item(field_no);
  }

  std::unique_ptr<TABSSQLUnion> statement_;
  TABSSQLQuery* query_;
  mutable TABSCursor* cursor_ = nullptr;
};

}  // namespace

TABSSQLCommand::TABSSQLCommand(TABSSQLParseState& state, int32_t end)
    : state_(state), lexer_(*state.Lexer), query_(state.Query) {
  const int32_t command = lexer_.CurrentCommandIndex();
  const int32_t count = command >= 0 ? lexer_.Commands()[static_cast<size_t>(command)].Count() : 0;
  end_ = end < 0 || end > count ? count : end;
  read_current();
}

TABSSQLCommand::~TABSSQLCommand() = default;

void TABSSQLCommand::read_current() {
  const int32_t position = lexer_.GetPosition();
  if (position < 0 || position >= end_ || !lexer_.CurrentToken(token_)) token_ = TToken{};
}

bool TABSSQLCommand::Next() {
  if (lexer_.GetPosition() < end_) lexer_.SetPosition(lexer_.GetPosition() + 1);
  read_current();
  return !AtEnd();
}

void TABSSQLCommand::Expect(int32_t end_code) {
  Next();
  RequireToken(end_code);
}

void TABSSQLCommand::RequireToken(int32_t end_code) const {
  if (AtEnd()) RaiseUnexpectedEnd(end_code);
}

int32_t TABSSQLCommand::Position() const { return lexer_.GetPosition(); }

void TABSSQLCommand::SetPosition(int32_t position) {
  lexer_.SetPosition(std::min(position, end_));
  read_current();
}

bool TABSSQLCommand::IsKeyword(const char16_t* word) const {
  return token_.kind == tkKeyword && token_.keyword == FindKeyword(word);
}

bool TABSSQLCommand::IsSymbol(const char16_t* text) const { return token_.kind == tkWord && token_.text == text; }

namespace {

bool is_identifier_word(const TToken& t) {
  if (t.kind != tkWord || t.text.empty()) return false;
  const char16_t c = t.text[0];
  return c >= 0x80 || c == u'_' || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

}  // namespace

bool TABSSQLCommand::IsName(bool keywords, bool parameter) const {
  switch (token_.kind) {
    case tkWord:
      return is_identifier_word(token_);
    case tkString:
    case tkBracketedName:
      return !token_.text.empty();
    case tkParameter:
      return parameter && token_.value && !token_.value->IsNull();
    case tkKeyword:
      return keywords;
    default:
      return false;
  }
}

std::string TABSSQLCommand::NameText() const {
  if (token_.kind == tkParameter && token_.value) return ExprUtf8(token_.value->GetAsWideString());
  return ExprUtf8(token_.text);
}

std::string TABSSQLCommand::ReadName(int32_t code, bool keywords) {
  RequireToken();
  if (!IsName(keywords)) RaiseFound(code);
  std::string name = NameText();
  Next();
  return name;
}

void TABSSQLCommand::ExpectKeyword(const char16_t* word, int32_t code) {
  if (AtEnd()) RaiseUnexpectedEnd();
  if (!IsKeyword(word)) RaiseTokenExpected(code, ExprUtf8(word).c_str());
  Next();
}

void TABSSQLCommand::ExpectSymbol(const char16_t* text, int32_t code) {
  if (AtEnd()) RaiseUnexpectedEnd();
  if (!IsSymbol(text)) RaiseTokenExpected(code, ExprUtf8(text).c_str());
  Next();
}

void TABSSQLCommand::ExpectKind(uint8_t kind, const char* spelling, int32_t code) {
  if (AtEnd()) RaiseUnexpectedEnd();
  if (token_.kind != kind) RaiseTokenExpected(code, spelling);
  Next();
}

void TABSSQLCommand::RaiseFound(int32_t code) const {
  if (AtEnd()) RaiseUnexpectedEnd();
  RaiseError(code, token_.text, token_.line, token_.column);
}

void TABSSQLCommand::RaiseTokenExpected(int32_t code, const char* expected) const {
  if (AtEnd()) RaiseUnexpectedEnd();
  RaiseError(code, expected, token_.text, token_.line, token_.column);
}

void TABSSQLCommand::RaiseUnexpectedEnd(int32_t code) const {
  // After the statement's last token.
  TToken last;
  const int32_t saved = lexer_.GetPosition();
  TABSLexer& lexer = lexer_;
  int32_t line = 1, column = 1;
  if (end_ > 0 && lexer.SetPositionAndRead(end_ - 1, last)) {
    line = last.line;
    column = column_after(last);
  }
  lexer.SetPosition(saved);
  RaiseError(code, line, column);
}

void TABSSQLCommand::ExpectStatementEnd() {
  if (!AtEnd()) RaiseFound(20260);
}

int64_t TABSSQLCommand::ReadInteger(int32_t code) {
  RequireToken();
  int64_t value = 0;
  if (token_.kind == tkInteger) {
    const std::string digits = ExprUtf8(token_.text);
    errno = 0;
    value = std::strtoll(digits.c_str(), nullptr, 10);
    if (errno != 0) RaiseFound(code);
  } else if (token_.kind == tkParameter && token_.value && !token_.value->IsNull() &&
             IsIntegerBaseType(token_.value->ValueType())) {
    value = token_.value->GetAsLargeint();
  } else {
    RaiseFound(code);
  }
  Next();
  return value;
}

std::unique_ptr<TABSExpression> TABSSQLCommand::ParseValueExpression(int32_t code) {
  RequireToken();
  auto expression = std::make_unique<TABSExpression>();
  if (!expression->ParseValue(this, lexer_)) RaiseFound(code);
  read_current();
  return expression;
}

std::unique_ptr<TABSExpression> TABSSQLCommand::ParseConditionExpression() {
  RequireToken();
  auto expression = std::make_unique<TABSExpression>();
  expression->ParseCondition(this, lexer_);
  read_current();
  return expression;
}

int32_t TABSSQLCommand::MatchingParen(int32_t open) const {
  const auto& tokens = lexer_.Commands()[static_cast<size_t>(lexer_.CurrentCommandIndex())].Tokens;
  int32_t depth = 0;
  for (int32_t i = open; i < end_; ++i) {
    const uint8_t kind = tokens[static_cast<size_t>(i)].kind;
    if (kind == tkOpenParen) ++depth;
    if (kind == tkCloseParen && --depth == 0) return i;
  }
  return -1;
}

std::unique_ptr<TABSSQLUnion> TABSSQLCommand::ParseQuery(int32_t from, int32_t to) {
  SetPosition(from);
  NestingGuard guard(*this);
  auto query = std::make_unique<TABSSQLUnion>(state_, to);
  query->Parse();
  query->ExpectStatementEnd();
  SetPosition(to);
  return query;
}

TABSSQLCommand::NestingGuard::NestingGuard(TABSSQLCommand& command) : state_(command.state_) {
  if (state_.Depth >= kMaxSQLNesting) {
    const TToken& t = command.Current();
    RaiseError(40801, kMaxSQLNesting, t.line, t.column);
  }
  ++state_.Depth;
}

TABSSQLCommand::NestingGuard::~NestingGuard() { --state_.Depth; }

std::unique_ptr<TABSExprSubquery> TABSSQLCommand::CompileSubquery(TABSLexer& lexer, int32_t select_position,
                                                                  int32_t last_position) {
  if (&lexer != &lexer_) RaiseError(40802);
  const int32_t saved = lexer_.GetPosition();
  std::unique_ptr<TABSSQLUnion> query = ParseQuery(select_position, last_position + 1);
  lexer_.SetPosition(saved);
  read_current();
  return std::make_unique<TABSSQLSubquery>(std::move(query), query_);
}

struct TABSSQLCommand::TAutoincField {
  TABSBaseSession* Session = nullptr;  // the session the cursor uses
  std::unique_ptr<TABSLocalCursor> Cursor;
  const TABSFieldDef* Field = nullptr;
};

TABSSQLCommand::TAutoincField TABSSQLCommand::open_autoinc_field(std::string_view table_name,
                                                                std::string_view field_name, bool in_memory) {
  if (!query_) RaiseError(10380);
  TABSBaseSession* session = &query_->Session();
  TABSDatabaseData& database = TargetDatabase(*query_, in_memory, {}, {}, session);
  if (!database.TableExists(table_name)) RaiseError(40804, table_name);
  TAutoincField out;
  out.Session = session;
  out.Cursor = std::make_unique<TABSLocalCursor>(session, std::string(table_name));
  out.Cursor->InMemory = in_memory;
  out.Cursor->Open(database);
  out.Field = out.Cursor->TableFields.Find(field_name);
  if (!out.Field) RaiseError(30115, field_name);
  return out;
}

TABSColumnType TABSSQLCommand::LastAutoincType(std::string_view table_name, std::string_view field_name,
                                               bool in_memory) {
  TAutoincField f = open_autoinc_field(table_name, field_name, in_memory);
  const TABSColumnType type = f.Field->ColumnType;
  f.Cursor->Close();
  return type;
}

void TABSSQLCommand::LastAutoinc(std::string_view table_name, std::string_view field_name, bool in_memory,
                                 TABSVariant& value) {
  TAutoincField f = open_autoinc_field(table_name, field_name, in_memory);
  int64_t last = 0;
  value = TABSVariant(btLargeint);
  if (f.Session->GetLastSequenceValue(f.Field->ObjectID, last)) {
    value.SetAsLargeint(last);
  } else {
    value.SetNull();
  }
  f.Cursor->Close();
}

std::string TABSSQLCommand::DatabaseName() const { return query_ ? query_->DatabaseName() : std::string(); }

bool TABSSQLCommand::InMemory() const { return query_ && query_->InMemory(); }

TABSDatabaseData& TABSSQLCommand::TargetDatabase(TABSSQLQuery& query, bool in_memory,
                                                 const std::string& database_name, const std::string& password,
                                                 TABSBaseSession*& session) {
  session = &query.Session();
  if (in_memory || query.InMemory()) return query.MemoryDatabase();
  if (!database_name.empty()) return query.OtherDatabase(database_name, password, session);
  return query.Database();
}

// ---- dispatch ----

std::unique_ptr<TABSSQLCommand> CreateSQLCommand(TABSSQLParseState& state) {
  TABSLexer& lexer = *state.Lexer;
  lexer.SetPosition(0);
  TToken first;
  if (!lexer.CurrentToken(first)) RaiseError(30145);
  auto is = [](const TToken& t, const char16_t* word) {
    return t.kind == tkKeyword && t.keyword == FindKeyword(word);
  };
  std::unique_ptr<TABSSQLCommand> command;
  if (is(first, u"SELECT") || first.kind == tkOpenParen) {
    command = std::make_unique<TABSSQLUnion>(state);
  } else if (is(first, u"INSERT")) {
    command = std::make_unique<TABSSQLInsert>(state);
  } else if (is(first, u"UPDATE")) {
    command = std::make_unique<TABSSQLUpdate>(state);
  } else if (is(first, u"DELETE")) {
    command = std::make_unique<TABSSQLDelete>(state);
  } else if (is(first, u"CREATE") || is(first, u"DROP") || is(first, u"ALTER")) {
    TToken second;
    const bool has_second = lexer.SetPositionAndRead(1, second);
    lexer.SetPosition(0);
    const int32_t object_code = is(first, u"CREATE") ? 30147 : is(first, u"DROP") ? 30149 : 30151;
    if (!has_second) {
      const int32_t end_code = is(first, u"CREATE") ? 30148 : is(first, u"DROP") ? 30150 : 30152;
      RaiseError(end_code, first.line, column_after(first));
    }
    if (is(first, u"CREATE") && is(second, u"TABLE")) {
      command = std::make_unique<TABSDDLCreateTable>(state);
    } else if (is(first, u"CREATE") && (is(second, u"INDEX") || is(second, u"UNIQUE") || is(second, u"PRIMARY"))) {
      command = std::make_unique<TABSDDLCreateIndex>(state);
    } else if (is(first, u"DROP") && is(second, u"TABLE")) {
      command = std::make_unique<TABSDDLDropTable>(state);
    } else if (is(first, u"DROP") && is(second, u"INDEX")) {
      command = std::make_unique<TABSDDLDropIndex>(state);
    } else if (is(first, u"ALTER") && is(second, u"TABLE")) {
      command = std::make_unique<TABSDDLAlterTable>(state);
    } else {
      RaiseError(object_code, second.text, second.line, second.column);
    }
  } else if (is(first, u"RENAME")) {
    command = std::make_unique<TABSDDLRenameTable>(state);
  } else if (is(first, u"TRUNCATE")) {
    command = std::make_unique<TABSDDLTruncateTable>(state);
  } else if (is(first, u"START")) {
    command = std::make_unique<TABSSQLStartTransaction>(state);
  } else if (is(first, u"COMMIT")) {
    command = std::make_unique<TABSSQLCommit>(state);
  } else if (is(first, u"ROLLBACK")) {
    command = std::make_unique<TABSSQLRollback>(state);
  } else {
    RaiseError(30153, first.text, first.line, first.column);
  }
  command->Parse();
  return command;
}

}  // namespace dadoveri
