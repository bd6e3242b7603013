// The statements of the SQL language. Each statement class parses itself from the lexer's
// current command when it is built (TABSSQLCommand::Parse) into a tree that execution
// reads: select lists, table references with their joins, conditions and value
// expressions (TABSExpression), field definitions of the data-definition statements.
//
// Token reading is bounded: a statement reads the tokens of its command from the position
// it starts at up to an end position (the end of the command, or the closing parenthesis
// of a subquery), so subqueries and derived tables parse with the same classes.
//
// Execution: data definition, INSERT … VALUES, UPDATE, DELETE and the transaction
// statements run against the query's databases through local cursors. A SELECT of one
// table without joins, grouping, DISTINCT, TOP, INTO or computed columns runs as a cursor
// over that table: WHERE is its filter (so an index range can answer it), the select
// list its projection, ORDER BY an index (found or built as a temporary one); INSERT …
// SELECT reads such a query. Every other SELECT, and UPDATE … SET (…) = (SELECT …), needs
// the relational operators and raises "SELECT execution needs the relational operators,
// which are not built yet" until they are.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/query/ao.h"
#include "engine/query/expr_query_context.h"
#include "engine/query/expression.h"
#include "engine/query/lexer.h"
#include "engine/table/column_type.h"
#include "engine/table/variant.h"

namespace dadoveri {

class TABSAOTable;
class TABSBaseSession;
class TABSCursor;
class TABSDatabaseData;
class TABSLocalCursor;
class TABSSQLQuery;
class TABSSQLUnion;

// The deepest nesting of queries (subqueries, derived tables, parenthesised queries and
// table references) a statement may have.
inline constexpr int32_t kMaxSQLNesting = 32;

// What the statements of one Execute share: the lexer, the query, and the nesting depth.
struct TABSSQLParseState {
  TABSLexer* Lexer = nullptr;
  TABSSQLQuery* Query = nullptr;
  int32_t Depth = 0;
};

class TABSSQLCommand : public TABSExprQueryContext {
 public:
  // `end` is the position after the statement's last token (-1: the end of the command).
  TABSSQLCommand(TABSSQLParseState& state, int32_t end = -1);
  ~TABSSQLCommand() override;
  TABSSQLCommand(const TABSSQLCommand&) = delete;
  TABSSQLCommand& operator=(const TABSSQLCommand&) = delete;

  // Virtual operations, in slot order.
  virtual void Parse() = 0;
  // Runs the statement; the rows it changed come back in `rows_affected`, whether its
  // result is read-only in `read_only`.
  virtual void Execute(TABSSQLQuery& query, bool live, int64_t& rows_affected, bool& read_only) = 0;
  // The result of a statement that has one (a cursor on its first row); null otherwise.
  virtual TABSCursor* GetResultCursor() { return nullptr; }

  int64_t RowsAffected = 0;

  // TABSExprQueryContext: what expressions of this statement ask.
  std::unique_ptr<TABSExprSubquery> CompileSubquery(TABSLexer& lexer, int32_t select_position,
                                                    int32_t last_position) override;
  TABSColumnType LastAutoincType(std::string_view table_name, std::string_view field_name, bool in_memory) override;
  void LastAutoinc(std::string_view table_name, std::string_view field_name, bool in_memory,
                   TABSVariant& value) override;
  int64_t RowNum() override { return 0; }
  std::string DatabaseName() const override;
  bool InMemory() const override;

 protected:
  // ---- token reading ----
  // The current token (kind 0 past the end).
  const TToken& Current() const { return token_; }
  // Advances; false past the end.
  bool Next();
  // Advances and requires a token: "Unexpected end of SQL command" (`end_code`) at the end.
  void Expect(int32_t end_code = 30118);
  // Requires a current token.
  void RequireToken(int32_t end_code = 30118) const;
  int32_t Position() const;
  void SetPosition(int32_t position);
  int32_t End() const { return end_; }
  bool AtEnd() const { return token_.kind == tkNone; }
  bool IsKeyword(const char16_t* word) const;
  bool IsSymbol(const char16_t* text) const;
  // A word, string, bracketed name or (with `parameter`) a parameter: a name position.
  bool IsName(bool keywords = false, bool parameter = true) const;
  // The name the current token gives (a parameter's value as text).
  std::string NameText() const;
  // Reads a name at the current token and advances; raises `code` ("… expected, but '%s'
  // found") when there is none.
  std::string ReadName(int32_t code, bool keywords = false);
  // Requires keyword `word` and advances past it: "Token '%s' expected" (`code`).
  void ExpectKeyword(const char16_t* word, int32_t code);
  void ExpectSymbol(const char16_t* text, int32_t code);
  // Requires a token of `kind` and advances past it.
  void ExpectKind(uint8_t kind, const char* spelling, int32_t code);
  // Raising at the current token.
  [[noreturn]] void RaiseFound(int32_t code) const;
  [[noreturn]] void RaiseTokenExpected(int32_t code, const char* expected) const;
  [[noreturn]] void RaiseUnexpectedEnd(int32_t code = 30118) const;
  // Raises when no token is left unread of the statement ("End of SQL command expected").
  void ExpectStatementEnd();
  // An integer literal or integer parameter ("Integer expected", `code`).
  int64_t ReadInteger(int32_t code);
  // Compiles a value expression / condition at the current token.
  std::unique_ptr<TABSExpression> ParseValueExpression(int32_t code);
  std::unique_ptr<TABSExpression> ParseConditionExpression();
  // The position of the ')' closing the '(' at `open`; -1 when it is not within the end.
  int32_t MatchingParen(int32_t open) const;
  // Parses a query (SELECT …) between positions [from, to).
  std::unique_ptr<TABSSQLUnion> ParseQuery(int32_t from, int32_t to);
  // Counts one level of nesting at the current token ("SQL statement nested too deeply").
  class NestingGuard {
   public:
    explicit NestingGuard(TABSSQLCommand& command);
    ~NestingGuard();
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;

   private:
    TABSSQLParseState& state_;
  };

  // Execution helpers shared by the statements that read or change one table.
  // The database a table reference names, and the session a cursor on it uses.
  static TABSDatabaseData& TargetDatabase(TABSSQLQuery& query, bool in_memory, const std::string& database_name,
                                          const std::string& password, TABSBaseSession*& session);

  // Re-reads the current token after another statement object moved the lexer.
  void Sync() { read_current(); }

  TABSSQLParseState& state_;
  TABSLexer& lexer_;
  TABSSQLQuery* query_;

 private:
  // A table of the statement's database opened for LASTAUTOINC, with the field it names.
  struct TAutoincField;
  TAutoincField open_autoinc_field(std::string_view table_name, std::string_view field_name, bool in_memory);
  void read_current();
  int32_t end_;
  TToken token_;
};

// ---- SELECT ----

// One item of a select list.
struct TABSSelectListItem {
  std::string TableName;
  std::string FieldName;
  // `t.*`
  bool AllFields = false;
  bool IsExpression = false;
  // Only for expressions.
  std::unique_ptr<TABSExpression> Expression;
  std::string Alias;
  // The same table and field stood earlier in the list: the item became an expression.
  bool DuplicateName = false;
  // The name the result column gets.
  std::string ColumnName() const;
};

enum TABSJoinKind : uint8_t { jkCross = 0, jkInner = 1, jkLeft = 2, jkRight = 3, jkFull = 4 };

struct TABSTableReference;

struct TABSJoinedReference {
  TABSJoinKind Kind = jkInner;
  bool Natural = false;
  std::unique_ptr<TABSTableReference> Reference;
  std::unique_ptr<TABSExpression> On;
  std::vector<std::string> Using;
};

struct TABSTableReference {
  // A file name, or empty for the query's own database.
  std::string DatabaseName;
  std::string TableName;
  std::string Alias;
  std::string Password;
  bool InMemory = false;
  // A derived table: `(SELECT …) alias`.
  std::unique_ptr<TABSSQLUnion> Subquery;
  // A parenthesised reference: `(a JOIN b ON …) alias`.
  std::unique_ptr<TABSTableReference> Nested;
  std::vector<TABSJoinedReference> Joins;
  // The name the reference's fields are qualified by.
  const std::string& Name() const { return Alias.empty() ? TableName : Alias; }
};

// One ORDER BY item: a name, a column number counting from 1, or a parameter's value as
// the name.
struct TABSOrderByItem {
  std::string TableName;
  std::string FieldName;
  int32_t ColumnNumber = 0;
  bool Descending = false;
};

class TABSSQLCursorCommand : public TABSSQLCommand {
 public:
  using TABSSQLCommand::TABSSQLCommand;
  ~TABSSQLCursorCommand() override;
  TABSCursor* GetResultCursor() override;

  std::vector<TABSOrderByItem> OrderBy;
  // The operator tree of the last execution (null for a live result).
  TABSAO* OperatorTree() const { return tree_.get(); }

 protected:
  // A live result: the cursor over the base table itself.
  std::unique_ptr<TABSLocalCursor> result_;
  // Otherwise the operator tree, whose root's result table is the result.
  std::unique_ptr<TABSAOContext> context_;
  std::unique_ptr<TABSAO> tree_;
};

class TABSSQLSelect : public TABSSQLCursorCommand {
 public:
  using TABSSQLCursorCommand::TABSSQLCursorCommand;
  void Parse() override;
  void Execute(TABSSQLQuery& query, bool live, int64_t& rows_affected, bool& read_only) override;

  bool Distinct = false;
  int64_t TopCount = -1;
  int64_t TopStart = -1;
  std::vector<TABSSelectListItem> SelectList;
  bool AllColumns = false;
  // INTO [MEMORY [IMMEDIATE]] [database .] table
  bool HasInto = false;
  std::string IntoDatabase;
  std::string IntoTable;
  bool IntoInMemory = false;
  std::vector<std::unique_ptr<TABSTableReference>> From;
  std::unique_ptr<TABSExpression> Where;
  // (table, field) pairs.
  std::vector<std::pair<std::string, std::string>> GroupBy;
  std::unique_ptr<TABSExpression> Having;
  // Where the INTO stood (for the message of a union).
  int32_t IntoLine = 0, IntoColumn = 0;
  // The number of the result row being produced, while the block runs (ROWNUM).
  const int64_t* RowNumber = nullptr;
  int64_t RowNum() override { return RowNumber ? *RowNumber : 0; }

 private:
  void parse_select_list();
  void parse_item();
  std::unique_ptr<TABSTableReference> parse_table_reference();
  std::unique_ptr<TABSTableReference> parse_table_primary();
  bool parse_join(TABSTableReference& reference);
  void read_table_name(TABSTableReference& reference, int32_t code);
  void read_optional_alias(TABSTableReference& reference);
  void resolve_aliases();
};

enum TABSQueryExprKind : uint8_t { qeSelect = 0, qeUnion = 1, qeExcept = 2, qeIntersect = 3 };

struct TABSQueryExprNode {
  TABSQueryExprKind Kind = qeSelect;
  bool All = false;
  bool Corresponding = false;
  std::vector<std::string> CorrespondingBy;
  std::unique_ptr<TABSQueryExprNode> Left;
  std::unique_ptr<TABSQueryExprNode> Right;
  // Leaves only.
  std::unique_ptr<TABSSQLSelect> Select;
};

class TABSSQLUnion : public TABSSQLCursorCommand {
 public:
  using TABSSQLCursorCommand::TABSSQLCursorCommand;
  void Parse() override;
  void Execute(TABSSQLQuery& query, bool live, int64_t& rows_affected, bool& read_only) override;

  std::unique_ptr<TABSQueryExprNode> Root;
  // The number of SELECT blocks.
  int32_t SelectCount() const;

  // Correlation, for a query inside an expression (a subquery) or an UPDATE's SET list:
  // AllowOuter lets its conditions name columns of the enclosing query. Prepare builds
  // the operator tree without running it, which tells those columns (OuterReferences);
  // SetOuterSources gives the records they are read from at each run.
  void AllowOuter();
  void Prepare(TABSSQLQuery& query);
  const std::vector<std::pair<std::string, std::string>>& OuterReferences() const;
  void SetOuterSources(std::vector<TABSExprRecordSource*> sources);

 private:
  std::unique_ptr<TABSQueryExprNode> parse_query();
  std::unique_ptr<TABSQueryExprNode> parse_term();
  std::unique_ptr<TABSQueryExprNode> parse_primary();
  void parse_set_options(TABSQueryExprNode& node);
  void parse_order_by();
  void execute_live(TABSAOTable& table, TABSSQLSelect& select);
  int64_t copy_into(TABSSQLQuery& query, TABSSQLSelect& select);
  void build(TABSSQLQuery& query, bool live);

  bool allow_outer_ = false;
  std::vector<TABSExprRecordSource*> outer_;
};

// ---- INSERT, UPDATE, DELETE ----

// The table a data-changing statement works on.
struct TABSSQLTarget {
  std::string DatabaseName;
  std::string TableName;
  std::string Alias;
  std::string Password;
  bool InMemory = false;
};

class TABSSQLInsert : public TABSSQLCommand {
 public:
  using TABSSQLCommand::TABSSQLCommand;
  void Parse() override;
  void Execute(TABSSQLQuery& query, bool live, int64_t& rows_affected, bool& read_only) override;

  TABSSQLTarget Target;
  std::vector<std::string> Fields;
  std::vector<std::vector<std::unique_ptr<TABSExpression>>> Rows;
  std::unique_ptr<TABSSQLUnion> Query;
  // Where the query starts (for the count message).
  int32_t QueryLine = 0, QueryColumn = 0;
};

struct TABSSQLAssignment {
  std::string FieldName;
  std::unique_ptr<TABSExpression> Value;
};

class TABSSQLUpdate : public TABSSQLCommand {
 public:
  using TABSSQLCommand::TABSSQLCommand;
  void Parse() override;
  void Execute(TABSSQLQuery& query, bool live, int64_t& rows_affected, bool& read_only) override;

  TABSSQLTarget Target;
  std::vector<TABSSQLAssignment> Assignments;
  // SET (a, b) = (SELECT …), and where the query's '(' stands.
  std::vector<std::string> QueryFields;
  std::unique_ptr<TABSSQLUnion> Query;
  int32_t QueryLine = 0;
  int32_t QueryColumn = 0;
  std::unique_ptr<TABSExpression> Where;
};

class TABSSQLDelete : public TABSSQLCommand {
 public:
  using TABSSQLCommand::TABSSQLCommand;
  void Parse() override;
  void Execute(TABSSQLQuery& query, bool live, int64_t& rows_affected, bool& read_only) override;

  TABSSQLTarget Target;
  std::unique_ptr<TABSExpression> Where;
};

// ---- data definition ----

// One column of CREATE TABLE or ALTER TABLE.
struct TSQLFieldDef {
  std::string Name;
  TABSColumnType ColumnType = ctNone;
  std::string TypeName;
  int32_t Size = 0;
  int32_t Scale = 0;
  bool NotNull = false;
  bool HasDefault = false;
  TABSVariant DefaultValue;
  TABSVariant MinValue;
  TABSVariant MaxValue;
  bool HasMinValue = false, HasMaxValue = false;
  int32_t BlobBlockSize = 0;
  int32_t BlobCompressionMode = -1;
  std::string BlobCompressionAlgorithm;
  int64_t Increment = 1;
  int64_t InitialValue = 0;
  bool HasInitialValue = false;
  bool Cycled = false;
  // Column constraints.
  bool PrimaryKey = false;
  bool Unique = false;
};
using TSQLFieldDefs = std::vector<TSQLFieldDef>;

// A table constraint: PRIMARY KEY (…) or UNIQUE (…).
struct TSQLTableConstraint {
  std::string Name;
  bool Primary = false;
  std::vector<std::string> Fields;
};

class TABSDDLTableManipulation : public TABSSQLCommand {
 public:
  using TABSSQLCommand::TABSSQLCommand;

  std::string TableName;
  std::string DatabaseName;
  bool InMemory = false;
  std::string Password;
  TSQLFieldDefs FieldDefs;

 protected:
  // [MEMORY] [database .] table, with the message code for a missing name.
  void read_table(int32_t code);
  void read_password(int32_t code);
  // name type [(size [, scale])] {option}
  TSQLFieldDef parse_field_definition();
  TABSDatabaseData& database(TABSSQLQuery& query, TABSBaseSession*& session);
  // Refuses the statement inside a transaction.
  void refuse_in_transaction(TABSSQLQuery& query, const char* operation, int32_t code) const;
};

class TABSDDLCreateTable : public TABSDDLTableManipulation {
 public:
  using TABSDDLTableManipulation::TABSDDLTableManipulation;
  void Parse() override;
  void Execute(TABSSQLQuery& query, bool live, int64_t& rows_affected, bool& read_only) override;

  bool IfNotExists = false;
  std::vector<TSQLTableConstraint> Constraints;
};

class TABSDDLDropTable : public TABSDDLTableManipulation {
 public:
  using TABSDDLTableManipulation::TABSDDLTableManipulation;
  void Parse() override;
  void Execute(TABSSQLQuery& query, bool live, int64_t& rows_affected, bool& read_only) override;

  bool IfExists = false;
};

class TABSDDLTruncateTable : public TABSDDLTableManipulation {
 public:
  using TABSDDLTableManipulation::TABSDDLTableManipulation;
  void Parse() override;
  void Execute(TABSSQLQuery& query, bool live, int64_t& rows_affected, bool& read_only) override;
};

enum TABSAlterKind : uint8_t { akAdd = 0, akDrop = 1, akModify = 2, akRenameColumn = 3 };

struct TABSAlterAction {
  TABSAlterKind Kind = akAdd;
  TSQLFieldDef Field;     // ADD, MODIFY
  std::string FieldName;  // DROP, RENAME (the old name)
  std::string NewName;    // RENAME
};

class TABSDDLAlterTable : public TABSDDLTableManipulation {
 public:
  using TABSDDLTableManipulation::TABSDDLTableManipulation;
  void Parse() override;
  void Execute(TABSSQLQuery& query, bool live, int64_t& rows_affected, bool& read_only) override;

  std::vector<TABSAlterAction> Actions;
};

// RENAME [TABLE] table TO new-name
class TABSDDLRenameTable : public TABSDDLAlterTable {
 public:
  using TABSDDLAlterTable::TABSDDLAlterTable;
  void Parse() override;
  void Execute(TABSSQLQuery& query, bool live, int64_t& rows_affected, bool& read_only) override;

  std::string NewName;
};

struct TABSSQLIndexColumn {
  std::string FieldName;
  bool Descending = false;
  bool CaseInsensitive = false;
};

class TABSDDLCreateIndex : public TABSDDLTableManipulation {
 public:
  using TABSDDLTableManipulation::TABSDDLTableManipulation;
  void Parse() override;
  void Execute(TABSSQLQuery& query, bool live, int64_t& rows_affected, bool& read_only) override;

  bool Unique = false;
  bool Primary = false;
  std::string IndexName;
  std::vector<TABSSQLIndexColumn> Columns;
};

class TABSDDLDropIndex : public TABSDDLTableManipulation {
 public:
  using TABSDDLTableManipulation::TABSDDLTableManipulation;
  void Parse() override;
  void Execute(TABSSQLQuery& query, bool live, int64_t& rows_affected, bool& read_only) override;

  std::string IndexName;
};

// ---- transactions ----

class TABSSQLStartTransaction : public TABSSQLCommand {
 public:
  using TABSSQLCommand::TABSSQLCommand;
  void Parse() override;
  void Execute(TABSSQLQuery& query, bool live, int64_t& rows_affected, bool& read_only) override;
};

class TABSSQLCommit : public TABSSQLCommand {
 public:
  using TABSSQLCommand::TABSSQLCommand;
  void Parse() override;
  void Execute(TABSSQLQuery& query, bool live, int64_t& rows_affected, bool& read_only) override;

  bool Flush = false;
};

class TABSSQLRollback : public TABSSQLCommand {
 public:
  using TABSSQLCommand::TABSSQLCommand;
  void Parse() override;
  void Execute(TABSSQLQuery& query, bool live, int64_t& rows_affected, bool& read_only) override;
};

// Builds the statement of the lexer's current command by its first tokens and parses it.
std::unique_ptr<TABSSQLCommand> CreateSQLCommand(TABSSQLParseState& state);

}  // namespace dadoveri
