// TABSExpressionParser: recursive descent with backtracking over the tokens of one
// command, building the nodes of a TABSExpression. A production that does not match
// answers null and leaves the position where it was; errors are raised only where the
// text can no longer be valid. Failed productions are remembered per token position, and
// the operands a failed alternative parsed are kept for the next alternative, so no text
// is parsed in exponential time; nesting beyond kMaxExprNesting fails with a message.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "engine/query/expr_node.h"
#include "engine/query/lexer.h"

namespace dadoveri {

class TABSExpression;

// The deepest nesting of parentheses and functions an expression may have.
inline constexpr int32_t kMaxExprNesting = 200;

class TABSExpressionParser {
 public:
  TABSExpressionParser(TABSExpression& expression, TABSLexer& lexer);
  ~TABSExpressionParser();

  // A condition; raises when none starts at the position.
  std::unique_ptr<TABSExprNode> ParseCondition();
  // A value expression; null when none starts at the position.
  std::unique_ptr<TABSExprNode> ParseValue();
  // A parenthesised SELECT; null when none starts at the position.
  std::unique_ptr<TABSExprNode> ParseSubquery();
  // Raises "Unexpected token" when a token is left in the command.
  void ExpectEnd();
  // Moves the lexer to the parser's position.
  void SyncLexer();

 private:
  using Node = std::unique_ptr<TABSExprNode>;
  enum Production : int { pValue, pPrimary, pItem, pCondition, pPredicate, pPrimaryCondition };
  struct Held {
    Node node;
    int32_t end;
  };
  class Depth;

  // Tokens.
  const TToken& cur() const;
  const TToken& peek(int32_t ahead) const;
  bool at_end() const { return pos_ >= count_; }
  bool is_kw(uint16_t kw) const;
  bool is_kw_at(int32_t at, uint16_t kw) const;
  bool is_symbol(const char16_t* text) const;
  bool is_name_token(const TToken& t) const;
  int comparison_operator() const;
  [[noreturn]] void raise_here(int32_t code);
  [[noreturn]] void raise_found(int32_t code);
  [[noreturn]] void raise_expected(int32_t code, const char* expected);
  void expect_open(int32_t code);
  void expect_close(int32_t code);

  // Remembered results.
  Node take(Production p);
  void hold(Production p, int32_t start, Node node, int32_t end);
  bool failed(Production p) const { return failed_.count({p, pos_}) != 0; }
  void mark_failed(Production p, int32_t start) { failed_.insert({p, start}); }

  // Conditions.
  Node condition();
  Node and_term();
  Node not_term();
  Node is_term();
  Node primary_condition();
  Node predicate(Node* value_only, int32_t* value_end);
  Node predicate_after(Node left, int32_t start);
  Node comparison(uint8_t op, Node left, Node right);
  Node like(Node value, Node pattern, bool negated, bool has_escape, const std::u16string& escape);
  Node exists();

  // Values.
  Node value();
  Node value_alternatives();
  Node arithmetic();
  Node date_difference();
  Node string_expression();
  Node item();
  Node primary();
  Node primary_alternatives();
  Node field_reference();
  Node constant_token();
  Node date_literal();
  Node date_value();
  Node aggregate();
  Node case_expression();
  Node coalesce();
  Node cast();
  Node function();
  Node string_function();
  Node subquery_node();
  Node argument(const char* function_name);

  TABSExpression& expr_;
  TABSLexer& lexer_;
  const std::vector<TToken>* tokens_ = nullptr;
  int32_t pos_ = 0;
  int32_t count_ = 0;
  int32_t depth_ = 0;
  TToken end_token_;
  std::map<std::pair<int, int32_t>, Held> held_;
  std::set<std::pair<int, int32_t>> failed_;
};

}  // namespace dadoveri
