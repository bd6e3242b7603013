#include "engine/query/expr_parser.h"

#include <cmath>
#include <cstdlib>
#include <string>

#include "engine/base/engine_error.h"
#include "engine/query/expr_text.h"
#include "engine/query/expression.h"
#include "engine/query/keywords.h"
#include "engine/table/date_time.h"

namespace dadoveri {

namespace {

struct Keywords {
  uint16_t OR = FindKeyword(u"OR"), AND = FindKeyword(u"AND"), NOT = FindKeyword(u"NOT"), IS = FindKeyword(u"IS");
  uint16_t TRUE_ = FindKeyword(u"TRUE"), FALSE_ = FindKeyword(u"FALSE"), UNKNOWN = FindKeyword(u"UNKNOWN");
  uint16_t NULL_ = FindKeyword(u"NULL"), LIKE = FindKeyword(u"LIKE"), ESCAPE = FindKeyword(u"ESCAPE");
  uint16_t BETWEEN = FindKeyword(u"BETWEEN"), IN = FindKeyword(u"IN"), EXISTS = FindKeyword(u"EXISTS");
  uint16_t SELECT = FindKeyword(u"SELECT"), ALL = FindKeyword(u"ALL"), ANY = FindKeyword(u"ANY");
  uint16_t SOME = FindKeyword(u"SOME"), CURRENT_TIMESTAMP = FindKeyword(u"CURRENT_TIMESTAMP");
  uint16_t SYSDATE = FindKeyword(u"SYSDATE"), NOW = FindKeyword(u"NOW"), CURRENT_TIME = FindKeyword(u"CURRENT_TIME");
  uint16_t CURRENT_DATE = FindKeyword(u"CURRENT_DATE"), TODATE = FindKeyword(u"TODATE");
  uint16_t TOSTRING = FindKeyword(u"TOSTRING"), MIMETOBIN = FindKeyword(u"MIMETOBIN");
  uint16_t DATE = FindKeyword(u"DATE"), TIME = FindKeyword(u"TIME"), TIMESTAMP = FindKeyword(u"TIMESTAMP");
  uint16_t SUM = FindKeyword(u"SUM"), AVG = FindKeyword(u"AVG"), MIN = FindKeyword(u"MIN"), MAX = FindKeyword(u"MAX");
  uint16_t COUNT = FindKeyword(u"COUNT"), DISTINCT = FindKeyword(u"DISTINCT"), CASE = FindKeyword(u"CASE");
  uint16_t WHEN = FindKeyword(u"WHEN"), THEN = FindKeyword(u"THEN"), ELSE = FindKeyword(u"ELSE");
  uint16_t END = FindKeyword(u"END"), COALESCE = FindKeyword(u"COALESCE"), CAST = FindKeyword(u"CAST");
  uint16_t AS = FindKeyword(u"AS"), POS = FindKeyword(u"POS"), POSITION = FindKeyword(u"POSITION");
  uint16_t EXTRACT = FindKeyword(u"EXTRACT"), LENGTH = FindKeyword(u"LENGTH");
  uint16_t LASTAUTOINC = FindKeyword(u"LASTAUTOINC"), ROWNUM = FindKeyword(u"ROWNUM");
  uint16_t MEMORY = FindKeyword(u"MEMORY"), FROM = FindKeyword(u"FROM"), FOR = FindKeyword(u"FOR");
  uint16_t UPPER = FindKeyword(u"UPPER"), LOWER = FindKeyword(u"LOWER"), TRIM = FindKeyword(u"TRIM");
  uint16_t LTRIM = FindKeyword(u"LTRIM"), RTRIM = FindKeyword(u"RTRIM"), SUBSTRING = FindKeyword(u"SUBSTRING");
  uint16_t YEAR = FindKeyword(u"YEAR"), MONTH = FindKeyword(u"MONTH"), DAY = FindKeyword(u"DAY");
  uint16_t HOUR = FindKeyword(u"HOUR"), MINUTE = FindKeyword(u"MINUTE"), SECOND = FindKeyword(u"SECOND");
  uint16_t DOD = FindKeyword(u"DOD"), ACOS = FindKeyword(u"ACOS"), ASIN = FindKeyword(u"ASIN");
  uint16_t ATAN = FindKeyword(u"ATAN"), CEIL = FindKeyword(u"CEIL"), COS = FindKeyword(u"COS");
  uint16_t EXP = FindKeyword(u"EXP"), FLOOR = FindKeyword(u"FLOOR"), LOG = FindKeyword(u"LOG");
  uint16_t POWER = FindKeyword(u"POWER"), RAND = FindKeyword(u"RAND"), ROUND = FindKeyword(u"ROUND");
  uint16_t SIGN = FindKeyword(u"SIGN"), SIN = FindKeyword(u"SIN"), SQR = FindKeyword(u"SQR");
  uint16_t SQRT = FindKeyword(u"SQRT"), HALFEVEN = FindKeyword(u"HALFEVEN"), RNDUP = FindKeyword(u"RNDUP");
};

const Keywords& kw() {
  static const Keywords k;
  return k;
}

bool is_logical_const(const TABSExprNode* n) {
  auto c = dynamic_cast<const TABSExprNodeConst*>(n);
  return c != nullptr && c->Value().ValueType() == btLogical;
}

TABSExprNodeConst* as_const(TABSExprNode* n) { return dynamic_cast<TABSExprNodeConst*>(n); }
TABSExprNodeField* as_field(TABSExprNode* n) { return dynamic_cast<TABSExprNodeField*>(n); }

std::unique_ptr<TABSExprNode> make_const(const TABSVariant& v) { return std::make_unique<TABSExprNodeConst>(v); }

std::unique_ptr<TABSExprNode> make_logical(bool b) {
  TABSVariant v(btLogical);
  v.SetAsLogical(b);
  return make_const(v);
}

std::unique_ptr<TABSExprNode> make_unary(std::unique_ptr<TABSExprNode> node, uint8_t op) {
  auto n = std::make_unique<TABSExprNodeBoolean>(op);
  n->AddChild(std::move(node));
  return n;
}

// The type a node's values have, when it is known while parsing (constants and fields
// bound to a cursor); btNone otherwise.
TABSBaseType known_base_type(TABSExprNode* n) {
  if (auto c = as_const(n)) return c->Value().ValueType();
  if (auto f = as_field(n)) return f->Source() ? f->Info().BaseType : btNone;
  return btNone;
}

// The longest text a CAST may ask for: a field's value fits in one record.
constexpr long long kMaxCastSize = 0xFFFF;

}  // namespace

class TABSExpressionParser::Depth {
 public:
  explicit Depth(TABSExpressionParser& p) : p_(p) {
    if (++p_.depth_ > kMaxExprNesting) {
      const TToken& t = p_.cur();
      RaiseError(30003, kMaxExprNesting, t.line, t.column);
    }
  }
  ~Depth() { --p_.depth_; }

 private:
  TABSExpressionParser& p_;
};

TABSExpressionParser::TABSExpressionParser(TABSExpression& expression, TABSLexer& lexer)
    : expr_(expression), lexer_(lexer) {
  const int32_t command = lexer.CurrentCommandIndex();
  if (command >= 0 && command < static_cast<int32_t>(lexer.Commands().size())) {
    tokens_ = &lexer.Commands()[static_cast<size_t>(command)].Tokens;
    count_ = static_cast<int32_t>(tokens_->size());
    pos_ = lexer.GetPosition();
    if (pos_ < 0) pos_ = 0;
    if (!tokens_->empty()) {
      end_token_.line = tokens_->back().line;
      end_token_.column = tokens_->back().column;
    }
  }
}

TABSExpressionParser::~TABSExpressionParser() = default;

void TABSExpressionParser::SyncLexer() { lexer_.SetPosition(pos_); }

// ---------------------------------------------------------------------------------------
// Tokens

const TToken& TABSExpressionParser::cur() const { return peek(0); }

const TToken& TABSExpressionParser::peek(int32_t ahead) const {
  const int32_t at = pos_ + ahead;
  if (tokens_ == nullptr || at < 0 || at >= count_) return end_token_;
  return (*tokens_)[static_cast<size_t>(at)];
}

bool TABSExpressionParser::is_kw(uint16_t k) const { return is_kw_at(0, k); }

bool TABSExpressionParser::is_kw_at(int32_t ahead, uint16_t k) const {
  const TToken& t = peek(ahead);
  return t.kind == tkKeyword && t.keyword == k;
}

bool TABSExpressionParser::is_symbol(const char16_t* text) const {
  const TToken& t = cur();
  return t.kind == tkWord && t.text == text;
}

bool TABSExpressionParser::is_name_token(const TToken& t) const {
  if (t.kind == tkBracketedName) return true;
  if (t.kind != tkWord || t.text.empty()) return false;
  const char16_t c = t.text[0];
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_' || c == u'#' || c == u'$' ||
         c == u'@' || c >= 0x80;
}

int TABSExpressionParser::comparison_operator() const {
  const TToken& t = cur();
  if (t.kind != tkWord) return opNone;
  if (t.text == u"=") return opEqual;
  if (t.text == u"<>") return opNotEqual;
  if (t.text == u">") return opGreater;
  if (t.text == u"<") return opLess;
  if (t.text == u">=") return opGreaterOrEqual;
  if (t.text == u"<=") return opLessOrEqual;
  return opNone;
}

void TABSExpressionParser::raise_here(int32_t code) {
  if (at_end()) RaiseError(30063, end_token_.line, end_token_.column);
  RaiseError(code, cur().line, cur().column);
}

void TABSExpressionParser::raise_found(int32_t code) {
  if (at_end()) RaiseError(30063, end_token_.line, end_token_.column);
  RaiseError(code, cur().text, cur().line, cur().column);
}

void TABSExpressionParser::raise_expected(int32_t code, const char* expected) {
  if (at_end()) RaiseError(30063, end_token_.line, end_token_.column);
  RaiseError(code, expected, cur().text, cur().line, cur().column);
}

void TABSExpressionParser::expect_open(int32_t code) {
  if (cur().kind != tkOpenParen) raise_expected(code, "(");
  ++pos_;
}

void TABSExpressionParser::expect_close(int32_t code) {
  if (cur().kind != tkCloseParen) raise_expected(code, ")");
  ++pos_;
}

void TABSExpressionParser::ExpectEnd() {
  if (!at_end()) RaiseError(30064, cur().text, cur().line, cur().column);
}

TABSExpressionParser::Node TABSExpressionParser::take(Production p) {
  const auto it = held_.find({p, pos_});
  if (it == held_.end()) return nullptr;
  Node n = std::move(it->second.node);
  pos_ = it->second.end;
  held_.erase(it);
  return n;
}

void TABSExpressionParser::hold(Production p, int32_t start, Node node, int32_t end) {
  if (node) held_[{p, start}] = Held{std::move(node), end};
}

// ---------------------------------------------------------------------------------------
// Conditions

TABSExpressionParser::Node TABSExpressionParser::ParseCondition() {
  if (at_end()) RaiseError(30063, end_token_.line, end_token_.column);
  Node n = condition();
  if (!n) RaiseError(30070, cur().text, cur().line, cur().column);
  return n;
}

TABSExpressionParser::Node TABSExpressionParser::ParseValue() { return value(); }

TABSExpressionParser::Node TABSExpressionParser::ParseSubquery() {
  if (cur().kind != tkOpenParen || !is_kw_at(1, kw().SELECT)) return nullptr;
  return subquery_node();
}

TABSExpressionParser::Node TABSExpressionParser::condition() {
  Depth depth(*this);
  Node left = and_term();
  if (!left) return nullptr;
  if (!is_kw(kw().OR)) return left;
  // One OR node over every operand: it evaluates as the left-nested chain does, and a
  // long chain does not make a deep tree.
  auto n = std::make_unique<TABSExprNodeBoolean>(opOr);
  n->AddChild(std::move(left));
  while (is_kw(kw().OR)) {
    ++pos_;
    Node right = and_term();
    if (!right) raise_found(30066);
    n->AddChild(std::move(right));
  }
  return n;
}

TABSExpressionParser::Node TABSExpressionParser::and_term() {
  Node first = not_term();
  if (!first || !is_kw(kw().AND)) return first;
  auto n = std::make_unique<TABSExprNodeBoolean>(opAnd);
  n->AddChild(std::move(first));
  while (is_kw(kw().AND)) {
    ++pos_;
    Node next = not_term();
    if (!next) raise_found(30069);
    n->AddChild(std::move(next));
  }
  return n;
}

TABSExpressionParser::Node TABSExpressionParser::not_term() {
  const int32_t start = pos_;
  if (is_kw(kw().NOT)) {
    ++pos_;
    Node inner = is_term();
    if (!inner) {
      pos_ = start;
      return nullptr;
    }
    return make_unary(std::move(inner), opNot);
  }
  return is_term();
}

TABSExpressionParser::Node TABSExpressionParser::is_term() {
  Node x = primary_condition();
  if (!x || !is_kw(kw().IS)) return x;
  ++pos_;
  bool negated = false;
  if (is_kw(kw().NOT)) {
    negated = true;
    ++pos_;
  }
  const bool is_true = is_kw(kw().TRUE_), is_false = is_kw(kw().FALSE_), unknown = is_kw(kw().UNKNOWN);
  if (!is_true && !is_false && !unknown) raise_expected(30067, "TRUE, FALSE or UNKNOWN");
  ++pos_;
  if (unknown) return make_unary(std::move(x), negated ? opIsNotNull : opIsNull);
  // `x IS TRUE` is true only for a true x and `x IS NOT TRUE` its negation, so neither is
  // ever NULL: a strict comparison with the logical constant gives false for NULL.
  auto cmp = std::make_unique<TABSExprNodeComparison>(opEqual, std::move(x), make_logical(is_true), true, false,
                                                      false);
  if (negated) return make_unary(std::move(cmp), opNot);
  return cmp;
}

TABSExpressionParser::Node TABSExpressionParser::primary_condition() {
  const int32_t start = pos_;
  if (Node n = take(pPrimaryCondition)) return n;
  if (failed(pPrimaryCondition)) return nullptr;
  Node value_only;
  int32_t value_end = start;
  if (Node p = predicate(&value_only, &value_end)) return p;
  pos_ = start;
  if (cur().kind == tkOpenParen) {
    ++pos_;
    Node inner = condition();
    if (inner && cur().kind == tkCloseParen) {
      ++pos_;
      return inner;
    }
    pos_ = start;
  }
  if (value_only) {
    pos_ = value_end;
    return value_only;
  }
  pos_ = start;
  mark_failed(pPrimaryCondition, start);
  return nullptr;
}

TABSExpressionParser::Node TABSExpressionParser::predicate(Node* value_only, int32_t* value_end) {
  const int32_t start = pos_;
  if (is_kw(kw().EXISTS)) return exists();
  Node left = value();
  if (!left) return nullptr;
  if (Node p = predicate_after(std::move(left), start)) return p;
  // Nothing follows the value: predicate_after held it at the start.
  left = take(pValue);
  // TRUE, FALSE or a logical parameter is a predicate of its own.
  if (is_logical_const(left.get())) return left;
  *value_end = pos_;
  *value_only = std::move(left);
  pos_ = start;
  return nullptr;
}

// The rest of a predicate after its first value; with no predicate there the value is
// held for the caller and null answered.
TABSExpressionParser::Node TABSExpressionParser::predicate_after(Node left, int32_t start) {
  const int32_t after_value = pos_;
  const auto give_back = [&]() -> Node {
    hold(pValue, start, std::move(left), after_value);
    pos_ = start;
    return nullptr;
  };
  if (const int op = comparison_operator(); op != opNone) {
    ++pos_;
    uint8_t quantifier = TABSExprNodeComparison::qNone;
    if (is_kw(kw().ALL)) quantifier = TABSExprNodeComparison::qAll;
    if (is_kw(kw().ANY) || is_kw(kw().SOME)) quantifier = TABSExprNodeComparison::qAny;
    if (quantifier != TABSExprNodeComparison::qNone && peek(1).kind == tkOpenParen) {
      ++pos_;
      Node sub = ParseSubquery();
      if (!sub) raise_expected(30086, "SELECT");
      return std::make_unique<TABSExprNodeComparison>(static_cast<uint8_t>(op), std::move(left), std::move(sub), true,
                                                      false, false, quantifier);
    }
    if (at_end()) RaiseError(30063, end_token_.line, end_token_.column);
    Node right = value();
    if (!right) return give_back();
    return comparison(static_cast<uint8_t>(op), std::move(left), std::move(right));
  }
  bool negated = false;
  if (is_kw(kw().NOT)) {
    negated = true;
    ++pos_;
  }
  if (is_kw(kw().LIKE)) {
    ++pos_;
    if (at_end()) RaiseError(30063, end_token_.line, end_token_.column);
    Node pattern = value();
    if (!pattern) return give_back();
    bool has_escape = false;
    std::u16string escape;
    if (is_kw(kw().ESCAPE)) {
      ++pos_;
      const TToken& e = cur();
      if (e.kind != tkString) raise_expected(30093, "ESCAPE character");
      if (e.text.size() != 1) RaiseError(20294, e.line, e.column);
      escape = e.text;
      has_escape = true;
      ++pos_;
    }
    return like(std::move(left), std::move(pattern), negated, has_escape, escape);
  }
  if (is_kw(kw().BETWEEN)) {
    ++pos_;
    Node low = value();
    if (!low) raise_found(30160);
    if (!is_kw(kw().AND)) raise_expected(30095, "AND");
    ++pos_;
    Node high = value();
    if (!high) raise_found(30160);
    auto n = std::make_unique<TABSExprNodeBoolean>(negated ? opNotBetween : opBetween, true);
    n->AddChild(std::move(left));
    n->AddChild(std::move(low));
    n->AddChild(std::move(high));
    return n;
  }
  if (is_kw(kw().IN)) {
    ++pos_;
    auto n = std::make_unique<TABSExprNodeBoolean>(negated ? opNotIn : opIn, true);
    n->AddChild(std::move(left));
    if (cur().kind == tkOpenParen && is_kw_at(1, kw().SELECT)) {
      n->AddChild(subquery_node());
      return n;
    }
    expect_open(30089);
    for (;;) {
      Node element = value();
      if (!element) raise_found(30160);
      n->AddChild(std::move(element));
      if (cur().kind == tkComma) {
        ++pos_;
        continue;
      }
      if (cur().kind != tkCloseParen) raise_found(30212);
      ++pos_;
      return n;
    }
  }
  if (!negated && is_kw(kw().IS)) {
    const int32_t is_at = pos_;
    ++pos_;
    bool not_null = false;
    if (is_kw(kw().NOT)) {
      not_null = true;
      ++pos_;
    }
    if (is_kw(kw().NULL_)) {
      ++pos_;
      return make_unary(std::move(left), not_null ? opIsNotNull : opIsNull);
    }
    pos_ = is_at;
  }
  return give_back();
}

TABSExpressionParser::Node TABSExpressionParser::comparison(uint8_t op, Node left, Node right) {
  TABSExprNodeField* lf = as_field(left.get());
  TABSExprNodeField* rf = as_field(right.get());
  TABSExprNodeConst* lc = as_const(left.get());
  TABSExprNodeConst* rc = as_const(right.get());
  // Typed NULL against a field: IS [NOT] NULL.
  if (op == opEqual || op == opNotEqual) {
    TABSExprNodeField* f = lf ? lf : rf;
    TABSExprNodeConst* c = lf ? rc : lc;
    if (f && c && c->Value().IsNull()) {
      const TABSBaseType t = c->Value().ValueType();
      if (IsStringBaseType(t) || IsDateTimeBaseType(t)) {
        return make_unary(lf ? std::move(left) : std::move(right), op == opEqual ? opIsNull : opIsNotNull);
      }
    }
  }
  // The filter asterisk: a string constant ending in `*` asks for a prefix match.
  bool partial = false;
  int32_t prefix_side = -1;
  if (expr_.partial_compare_) {
    TABSExprNodeConst* sides[2] = {lc, rc};
    for (int i = 0; i < 2; ++i) {
      TABSExprNodeConst* c = sides[i];
      if (c == nullptr || c->Value().IsNull() || !c->Value().IsString()) continue;
      TABSVariant& v = c->Constant();
      if (v.IsWideString()) {
        std::u16string s = v.GetAsWideString();
        if (s.empty() || s.back() != u'*') continue;
        s.pop_back();
        v.Clear(btWideString);
        v.SetAsWideString(s);
      } else {
        std::string s = v.GetAsString();
        if (s.empty() || s.back() != '*') continue;
        s.pop_back();
        v.Clear(btString);
        v.SetAsString(s);
      }
      partial = true;
      prefix_side = i;
    }
    // `field = '*'`: the constant became the empty text, which is NULL.
    if (partial && (op == opEqual || op == opNotEqual)) {
      TABSExprNodeField* f = lf ? lf : rf;
      TABSExprNodeConst* c = lf ? rc : lc;
      if (f && c && c->Value().IsNull())
        return make_unary(lf ? std::move(left) : std::move(right), op == opEqual ? opIsNull : opIsNotNull);
    }
  }
  // Strict-null is off between a field and a NULL, text or date/time constant.
  bool strict = true;
  if ((lf && rc) || (rf && lc)) {
    const TABSVariant& cv = (lf ? rc : lc)->Value();
    const TABSBaseType t = cv.ValueType();
    if (cv.IsNull() || IsStringBaseType(t) || IsDateTimeBaseType(t)) strict = false;
  }
  auto n = std::make_unique<TABSExprNodeComparison>(op, std::move(left), std::move(right), strict,
                                                    expr_.case_insensitive_, partial);
  n->SetPrefixSide(prefix_side);
  return n;
}

TABSExpressionParser::Node TABSExpressionParser::like(Node value, Node pattern, bool negated, bool has_escape,
                                                      const std::u16string& escape) {
  // A constant pattern of two or more characters whose only `%` is its last character,
  // and without `_` before it, is a prefix comparison that an index can answer.
  // Only a value known to be text is compared so: a number or a date matches a pattern
  // by its text, which a prefix comparison of values does not do.
  const TABSBaseType value_type = dynamic_cast<TABSExprNodeStringFunction*>(value.get()) != nullptr
                                      ? btString
                                      : known_base_type(value.get());
  if (!has_escape && IsStringBaseType(value_type)) {
    if (TABSExprNodeConst* c = as_const(pattern.get()); c && !c->Value().IsNull() && c->Value().IsString()) {
      const std::u16string text = c->Value().GetAsWideString();
      if (text.size() >= 2 && text.back() == u'%' && text.find(u'%') == text.size() - 1 &&
          text.find(u'_') == std::u16string::npos) {
        TABSVariant prefix = ExprTextConstant(std::u16string_view(text).substr(0, text.size() - 1));
        if (c->Value().IsWideString() && !prefix.IsWideString()) prefix.ConvertTo(btWideString);
        c->Constant() = prefix;
        // A rewritten NOT LIKE stays strict about NULL, as every other NOT LIKE is.
        auto n = std::make_unique<TABSExprNodeComparison>(negated ? opNotEqual : opEqual, std::move(value),
                                                          std::move(pattern), negated, expr_.case_insensitive_,
                                                          true);
        n->SetPrefixSide(1);
        return n;
      }
    }
  }
  auto n = std::make_unique<TABSExprNodeBoolean>(negated ? opNotLike : opLike, expr_.case_insensitive_);
  if (has_escape) n->SetEscape(escape);
  n->AddChild(std::move(value));
  n->AddChild(std::move(pattern));
  return n;
}

TABSExpressionParser::Node TABSExpressionParser::exists() {
  ++pos_;  // EXISTS
  int32_t extra = 0;
  expect_open(30073);
  while (cur().kind == tkOpenParen) {
    ++pos_;
    ++extra;
  }
  if (!is_kw(kw().SELECT)) raise_expected(30089, "SELECT");
  --pos_;  // the subquery starts at its own parenthesis
  Node sub = subquery_node();
  for (int32_t i = 0; i < extra; ++i) {
    if (cur().kind != tkCloseParen) raise_here(20256);
    ++pos_;
  }
  auto n = std::make_unique<TABSExprNodeBoolean>(opExists);
  n->AddChild(std::move(sub));
  return n;
}

// ---------------------------------------------------------------------------------------
// Values

TABSExpressionParser::Node TABSExpressionParser::value() {
  const int32_t start = pos_;
  if (Node n = take(pValue)) return n;
  if (at_end() || failed(pValue)) return nullptr;
  Depth depth(*this);
  Node n = value_alternatives();
  if (!n) {
    pos_ = start;
    mark_failed(pValue, start);
  }
  return n;
}

TABSExpressionParser::Node TABSExpressionParser::value_alternatives() {
  const int32_t start = pos_;
  if (Node n = arithmetic()) return n;
  pos_ = start;
  if (Node n = date_difference()) return n;
  pos_ = start;
  if (Node n = string_expression()) return n;
  pos_ = start;
  if (is_kw(kw().TRUE_) || is_kw(kw().FALSE_)) {
    const bool b = is_kw(kw().TRUE_);
    ++pos_;
    return make_logical(b);
  }
  if (is_kw(kw().NULL_)) {
    ++pos_;
    return make_const(TABSVariant(btInteger));
  }
  if (is_kw(kw().MIMETOBIN)) {
    ++pos_;
    expect_open(30073);
    if (cur().kind != tkString) raise_expected(30084, "Base64 string");
    auto n = std::make_unique<TABSExprNodeBlob>();
    n->AddChild(make_const(ExprTextConstant(cur().text)));
    ++pos_;
    expect_close(30074);
    return n;
  }
  return nullptr;
}

// term { (+|-) term }, term: factor { (*|/) factor }, factor: [+|-] primary. The
// primaries are parsed first and the tree built only when the whole chain reads, so a
// failed chain hands its primaries to the string alternatives untouched.
TABSExpressionParser::Node TABSExpressionParser::arithmetic() {
  struct Factor {
    Node node;
    int32_t start, end;
    bool negated;
    char16_t op;  // the operator before it: 0, '+', '-', '*', '/'
  };
  std::vector<Factor> factors;
  const auto fail = [&]() -> Node {
    for (Factor& f : factors) hold(pPrimary, f.start, std::move(f.node), f.end);
    return nullptr;
  };
  char16_t op = 0;
  for (;;) {
    bool negated = false;
    const int32_t sign_at = pos_;
    if (is_symbol(u"-") || is_symbol(u"+")) {
      negated = is_symbol(u"-");
      ++pos_;
    }
    const int32_t start = pos_;
    Node p = primary();
    if (!p) {
      pos_ = sign_at;
      return fail();
    }
    factors.push_back({std::move(p), start, pos_, negated, op});
    if (is_symbol(u"+") || is_symbol(u"-") || is_symbol(u"*") || is_symbol(u"/")) {
      op = cur().text[0];
      ++pos_;
      continue;
    }
    break;
  }
  // Concatenation is the string alternative's.
  if (is_symbol(u"||")) return fail();
  // Build: products left-nested, the chain one n-ary sum with subtracted terms negated.
  std::vector<std::pair<Node, bool>> terms;  // term, subtracted
  Node term;
  bool subtracted = false;
  for (Factor& f : factors) {
    Node x = std::move(f.node);
    if (f.negated) {
      auto neg = std::make_unique<TABSExprNodeArithmetic>(opNegate);
      neg->AddChild(std::move(x));
      x = std::move(neg);
    }
    if (f.op == u'*' || f.op == u'/') {
      auto m = std::make_unique<TABSExprNodeArithmetic>(f.op == u'*' ? opMultiply : opDivide);
      m->AddChild(std::move(term));
      m->AddChild(std::move(x));
      term = std::move(m);
    } else {
      if (term) terms.emplace_back(std::move(term), subtracted);
      term = std::move(x);
      subtracted = f.op == u'-';
    }
  }
  terms.emplace_back(std::move(term), subtracted);
  if (terms.size() == 1) return std::move(terms[0].first);
  auto sum = std::make_unique<TABSExprNodeArithmetic>(opSum);
  for (auto& [t, sub] : terms) {
    if (sub) {
      auto neg = std::make_unique<TABSExprNodeArithmetic>(opNegate);
      neg->AddChild(std::move(t));
      sum->AddChild(std::move(neg));
    } else {
      sum->AddChild(std::move(t));
    }
  }
  return sum;
}

// string-value `-` date-value { (+|-) term }: a text minus a date is a sum of the text and
// the negated date.
TABSExpressionParser::Node TABSExpressionParser::date_difference() {
  const int32_t start = pos_;
  Node left = item();
  if (!left) return nullptr;
  const int32_t left_end = pos_;
  if (!is_symbol(u"-")) {
    hold(pItem, start, std::move(left), left_end);
    pos_ = start;
    return nullptr;
  }
  ++pos_;
  Node right = date_value();
  if (!right) {
    hold(pItem, start, std::move(left), left_end);
    pos_ = start;
    return nullptr;
  }
  auto sum = std::make_unique<TABSExprNodeArithmetic>(opSum);
  sum->AddChild(std::move(left));
  auto neg = std::make_unique<TABSExprNodeArithmetic>(opNegate);
  neg->AddChild(std::move(right));
  sum->AddChild(std::move(neg));
  return sum;
}

// item { (|| | +) item }: one n-ary concatenation. A `+` chain whose first item is not
// text (a date literal plus days) is a sum.
TABSExpressionParser::Node TABSExpressionParser::string_expression() {
  Node first = item();
  if (!first) return nullptr;
  if (!is_symbol(u"||") && !is_symbol(u"+")) return first;
  std::vector<Node> items;
  bool all_plus = true;
  items.push_back(std::move(first));
  while (is_symbol(u"||") || is_symbol(u"+")) {
    const int32_t op_at = pos_;
    if (is_symbol(u"||")) all_plus = false;
    ++pos_;
    Node next = item();
    if (!next) {
      pos_ = op_at;
      break;
    }
    items.push_back(std::move(next));
  }
  if (items.size() == 1) return std::move(items[0]);
  const TABSBaseType first_type = known_base_type(items[0].get());
  const bool sum = all_plus && first_type != btNone && !IsStringBaseType(first_type);
  Node n = sum ? Node(std::make_unique<TABSExprNodeArithmetic>(opSum))
               : Node(std::make_unique<TABSExprNodeStringFunction>(opConcat));
  for (Node& i : items) n->AddChild(std::move(i));
  return n;
}

// A primary, a string function, a date/time value, a quoted literal, a date literal or a
// parameter.
TABSExpressionParser::Node TABSExpressionParser::item() {
  const int32_t start = pos_;
  if (Node n = take(pItem)) return n;
  if (Node n = take(pPrimary)) return n;
  if (at_end() || failed(pItem)) return nullptr;
  const TToken& t = cur();
  if (t.kind == tkString) {
    ++pos_;
    return make_const(ExprTextConstant(t.text));
  }
  if (t.kind == tkParameter) {
    ++pos_;
    return make_const(t.value ? *t.value : TABSVariant());
  }
  if (Node n = primary()) return n;
  pos_ = start;
  if (Node n = string_function()) return n;
  pos_ = start;
  if (Node n = date_value()) return n;
  pos_ = start;
  mark_failed(pItem, start);
  return nullptr;
}

TABSExpressionParser::Node TABSExpressionParser::primary() {
  const int32_t start = pos_;
  if (Node n = take(pPrimary)) return n;
  if (at_end() || failed(pPrimary)) return nullptr;
  Node n = primary_alternatives();
  if (!n) {
    pos_ = start;
    mark_failed(pPrimary, start);
  }
  return n;
}

TABSExpressionParser::Node TABSExpressionParser::primary_alternatives() {
  const TToken& t = cur();
  const int32_t start = pos_;
  if (t.kind == tkInteger || t.kind == tkFloat) return constant_token();
  if (t.kind == tkParameter) {
    if (t.value && (t.value->IsNumeric() || t.value->ValueType() == btNone)) return constant_token();
    if (t.value && t.value->IsDateTime()) return constant_token();
    return nullptr;
  }
  if (is_name_token(t)) return field_reference();
  if (t.kind == tkKeyword) {
    const uint16_t k = t.keyword;
    if (k == kw().SUM || k == kw().AVG || k == kw().MIN || k == kw().MAX || k == kw().COUNT) return aggregate();
    if (k == kw().CASE) return case_expression();
    if (k == kw().COALESCE) return coalesce();
    if (k == kw().CAST) return cast();
    if (k == kw().DATE || k == kw().TIME || k == kw().TIMESTAMP) return date_literal();
    if (Node n = date_value()) return n;
    pos_ = start;
    return function();
  }
  if (t.kind == tkOpenParen) {
    if (is_kw_at(1, kw().SELECT)) return subquery_node();
    ++pos_;
    Node inner = value();
    if (inner && cur().kind == tkCloseParen) {
      ++pos_;
      return inner;
    }
    // Perhaps a parenthesised condition: keep the inner value for it.
    if (inner) hold(pValue, start + 1, std::move(inner), pos_);
    pos_ = start;
    return nullptr;
  }
  return nullptr;
}

TABSExpressionParser::Node TABSExpressionParser::constant_token() {
  const TToken& t = cur();
  ++pos_;
  if (t.kind == tkParameter) return make_const(t.value ? *t.value : TABSVariant());
  TABSVariant v;
  if (t.kind == tkInteger) {
    const std::string digits = ExprUtf8(t.text);
    const long long x = std::strtoll(digits.c_str(), nullptr, 10);
    if (x < 2147483647LL && x > -2147483647LL) {
      v = TABSVariant(btInteger);
      v.SetAsInteger(static_cast<int32_t>(x));
    } else {
      v = TABSVariant(btLargeint);
      v.SetAsLargeint(x);
    }
  } else {
    const std::string digits = ExprUtf8(t.text);
    v = TABSVariant(btFloat);
    v.SetAsFloat(std::strtod(digits.c_str(), nullptr));
  }
  return make_const(v);
}

TABSExpressionParser::Node TABSExpressionParser::field_reference() {
  if (peek(1).kind == tkOpenParen) return nullptr;
  std::string table, field = ExprUtf8(cur().text);
  if (peek(1).kind == tkDot && is_name_token(peek(2))) {
    table = field;
    field = ExprUtf8(peek(2).text);
    pos_ += 3;
  } else {
    ++pos_;
  }
  auto n = std::make_unique<TABSExprNodeField>(table, field);
  if (expr_.cursor_ != nullptr) n->BindToCursor(expr_.cursor_);
  return n;
}

TABSExpressionParser::Node TABSExpressionParser::date_literal() {
  const uint16_t k = cur().keyword;
  ++pos_;
  const TToken& t = cur();
  const bool is_date = k == kw().DATE, is_time = k == kw().TIME;
  const int32_t not_string_code = is_date ? 20283 : is_time ? 20285 : 20287;
  if (t.kind != tkString) {
    if (at_end()) RaiseError(30063, end_token_.line, end_token_.column);
    RaiseError(not_string_code, t.text, t.line, t.column);
  }
  const std::string text = ExprUtf8(t.text);
  TABSVariant v;
  if (is_date) {
    const auto d = ParseEngineDate(text);
    if (!d) RaiseError(20284, "YYYY-MM-DD", t.text, t.line, t.column);
    v = TABSVariant(btDate);
    v.SetAsDate(*d);
  } else if (is_time) {
    const auto d = ParseEngineTime(text);
    if (!d) RaiseError(20286, "HH:MM:SS", t.text, t.line, t.column);
    v = TABSVariant(btTime);
    v.SetAsTime(*d);
  } else {
    const auto d = ParseEngineDateTime(text);
    if (!d) RaiseError(20288, "YYYY-MM-DD HH:MM:SS", t.text, t.line, t.column);
    v = TABSVariant(btDateTime);
    v.SetAsDateTime(*d);
  }
  ++pos_;
  return make_const(v);
}

TABSExpressionParser::Node TABSExpressionParser::date_value() {
  const TToken& t = cur();
  if (t.kind == tkParameter) {
    if (t.value && t.value->IsDateTime()) {
      ++pos_;
      return make_const(*t.value);
    }
    return nullptr;
  }
  if (t.kind != tkKeyword) return nullptr;
  const uint16_t k = t.keyword;
  if (k == kw().DATE || k == kw().TIME || k == kw().TIMESTAMP) return date_literal();
  if (k == kw().CURRENT_TIMESTAMP || k == kw().SYSDATE || k == kw().NOW) {
    ++pos_;
    return std::make_unique<TABSExprNodeDateFunction>(opCurrentTimestamp);
  }
  if (k == kw().CURRENT_DATE) {
    ++pos_;
    return std::make_unique<TABSExprNodeDateFunction>(opCurrentDate);
  }
  if (k == kw().CURRENT_TIME) {
    ++pos_;
    return std::make_unique<TABSExprNodeDateFunction>(opCurrentTime);
  }
  if (k == kw().TODATE) {
    ++pos_;
    expect_open(30073);
    auto n = std::make_unique<TABSExprNodeDateFunction>(opToDate);
    n->AddChild(argument("TODATE"));
    if (cur().kind != tkComma) RaiseError(20267, cur().line, cur().column);
    ++pos_;
    if (cur().kind != tkString) raise_found(30096);
    n->SetFormat(cur().text);
    ++pos_;
    expect_close(30074);
    return n;
  }
  return nullptr;
}

TABSExpressionParser::Node TABSExpressionParser::argument(const char* function_name) {
  Node n = value();
  if (!n) {
    if (at_end()) RaiseError(30063, end_token_.line, end_token_.column);
    RaiseError(30079, function_name, cur().line, cur().column);
  }
  return n;
}

TABSExpressionParser::Node TABSExpressionParser::aggregate() {
  const uint16_t k = cur().keyword;
  const std::string name = ExprUtf8(cur().text);
  ++pos_;
  expect_open(30073);
  if (k == kw().COUNT && is_symbol(u"*")) {
    ++pos_;
    expect_close(30074);
    return std::make_unique<TABSExprNodeAggregated>(opAggCountAll, false);
  }
  bool distinct = false;
  if (is_kw(kw().DISTINCT)) {
    distinct = true;
    ++pos_;
  }
  const uint8_t op = k == kw().SUM   ? opAggSum
                     : k == kw().AVG ? opAggAvg
                     : k == kw().MIN ? opAggMin
                     : k == kw().MAX ? opAggMax
                                     : opAggCount;
  auto n = std::make_unique<TABSExprNodeAggregated>(op, distinct);
  n->AddChild(argument(name.c_str()));
  expect_close(30074);
  return n;
}

TABSExpressionParser::Node TABSExpressionParser::case_expression() {
  ++pos_;  // CASE
  const bool searched = is_kw(kw().WHEN);
  std::vector<Node> parts;
  if (!searched) {
    Node input = value();
    if (!input) raise_found(30467);
    parts.push_back(std::move(input));
  }
  int32_t pairs = 0;
  while (is_kw(kw().WHEN)) {
    ++pos_;
    Node when = searched ? condition() : value();
    if (!when) raise_found(searched ? 30474 : 30469);
    if (!is_kw(kw().THEN)) raise_expected(30468, "THEN");
    ++pos_;
    Node then = value();
    if (!then) raise_found(30160);
    parts.push_back(std::move(when));
    parts.push_back(std::move(then));
    ++pairs;
  }
  if (pairs == 0) raise_found(searched ? 30474 : 30476);
  bool has_else = false;
  if (is_kw(kw().ELSE)) {
    ++pos_;
    Node e = value();
    if (!e) raise_found(30471);
    parts.push_back(std::move(e));
    has_else = true;
  }
  if (!is_kw(kw().END)) raise_expected(30470, "END");
  ++pos_;
  auto n = std::make_unique<TABSExprNodeCase>(searched ? TABSExprNodeCase::ckSearched : TABSExprNodeCase::ckSimple,
                                              has_else);
  for (Node& p : parts) n->AddChild(std::move(p));
  return n;
}

TABSExpressionParser::Node TABSExpressionParser::coalesce() {
  const TToken& word = cur();
  ++pos_;
  expect_open(30073);
  if (cur().kind == tkCloseParen) RaiseError(20276, word.line, word.column);
  auto n = std::make_unique<TABSExprNodeCase>(TABSExprNodeCase::ckCoalesce, false);
  for (;;) {
    n->AddChild(argument("COALESCE"));
    if (cur().kind == tkComma) {
      ++pos_;
      continue;
    }
    break;
  }
  expect_close(30074);
  return n;
}

TABSExpressionParser::Node TABSExpressionParser::cast() {
  ++pos_;
  expect_open(30073);
  Node x = argument("CAST");
  if (is_kw(kw().AS) || cur().kind == tkComma) {
    ++pos_;
  } else {
    raise_expected(30078, "AS");
  }
  const TToken& type_token = cur();
  if (at_end()) RaiseError(30063, end_token_.line, end_token_.column);
  const std::string type_name = ExprUtf8(type_token.text);
  const TSQLFieldType* type = FindSQLFieldType(type_name);
  if (type == nullptr || !IsComparableColumnType(type->ColumnType)) RaiseError(30077, type_name);
  ++pos_;
  int32_t size = 0;
  if (cur().kind == tkOpenParen) {
    ++pos_;
    const long long declared = cur().kind == tkInteger ? std::strtoll(ExprUtf8(cur().text).c_str(), nullptr, 10) : -1;
    if (declared < 1 || declared > kMaxCastSize) raise_found(30158);
    size = static_cast<int32_t>(declared);
    ++pos_;
    expect_close(30074);
  }
  expect_close(30074);
  auto n = std::make_unique<TABSExprNodeCast>(type->ColumnType, size);
  n->AddChild(std::move(x));
  return n;
}

TABSExpressionParser::Node TABSExpressionParser::subquery_node() {
  if (expr_.query_ == nullptr) RaiseError(30064, peek(1).text, peek(1).line, peek(1).column);
  // The SELECT runs to the parenthesis that closes the one before it.
  const int32_t open = pos_;
  int32_t level = 0, close = open;
  for (int32_t i = open; i < count_; ++i) {
    const uint8_t kind = (*tokens_)[static_cast<size_t>(i)].kind;
    if (kind == tkOpenParen) ++level;
    if (kind == tkCloseParen && --level == 0) {
      close = i;
      break;
    }
  }
  if (close == open) raise_here(20256);
  SyncLexer();
  std::unique_ptr<TABSExprSubquery> q = expr_.query_->CompileSubquery(lexer_, open + 1, close - 1);
  pos_ = close + 1;
  SyncLexer();
  return std::make_unique<TABSExprNodeSubquery>(std::move(q));
}

TABSExpressionParser::Node TABSExpressionParser::string_function() {
  const TToken& t = cur();
  if (t.kind != tkKeyword) return nullptr;
  const uint16_t k = t.keyword;
  uint8_t op = opNone;
  if (k == kw().UPPER) op = opUpper;
  if (k == kw().LOWER) op = opLower;
  if (k == kw().TRIM) op = opTrim;
  if (k == kw().LTRIM) op = opLTrim;
  if (k == kw().RTRIM) op = opRTrim;
  if (k == kw().SUBSTRING) op = opSubstring;
  if (k == kw().TOSTRING) op = opToString;
  if (op == opNone) return nullptr;
  const std::string name = ExprUtf8(t.text);
  ++pos_;
  expect_open(30073);
  if (op == opToString) {
    auto n = std::make_unique<TABSExprNodeDateFunction>(opToString);
    n->AddChild(argument("TOSTRING"));
    if (cur().kind != tkComma && !is_kw(kw().FROM)) RaiseError(20267, cur().line, cur().column);
    ++pos_;
    if (cur().kind != tkString) raise_found(30109);
    n->SetFormat(cur().text);
    ++pos_;
    expect_close(30074);
    return n;
  }
  auto n = std::make_unique<TABSExprNodeStringFunction>(op);
  if (op == opSubstring) {
    n->AddChild(argument("SUBSTRING"));
    const bool from = is_kw(kw().FROM);
    if (!from && cur().kind != tkComma) RaiseError(20267, cur().line, cur().column);
    ++pos_;
    n->AddChild(argument("SUBSTRING"));
    if ((from && is_kw(kw().FOR)) || (!from && cur().kind == tkComma)) {
      ++pos_;
      n->AddChild(argument("SUBSTRING"));
    }
    expect_close(30074);
    return n;
  }
  Node arg = value();
  if (!arg) {
    if (at_end()) RaiseError(30063, end_token_.line, end_token_.column);
    RaiseError(30092, name, cur().text, cur().line, cur().column);
  }
  n->AddChild(std::move(arg));
  expect_close(30074);
  return n;
}

TABSExpressionParser::Node TABSExpressionParser::function() {
  const TToken& t = cur();
  if (t.kind != tkKeyword) return nullptr;
  const uint16_t k = t.keyword;
  const std::string name = ExprUtf8(t.text);
  const Keywords& K = kw();
  if (k == K.ROWNUM || k == K.LASTAUTOINC) {
    if (expr_.query_ == nullptr) RaiseError(30064, t.text, t.line, t.column);
    ++pos_;
    if (k == K.ROWNUM) return std::make_unique<TABSExprNodeSystem>(opRowNum, expr_.query_);
    expect_open(30073);
    if (!is_name_token(cur()) && cur().kind != tkKeyword) raise_found(30165);
    std::string table = ExprUtf8(cur().text);
    ++pos_;
    bool memory = false;
    if (is_kw(K.MEMORY)) {
      memory = true;
      ++pos_;
    }
    if (cur().kind != tkComma) RaiseError(20267, cur().line, cur().column);
    ++pos_;
    if (!is_name_token(cur()) && cur().kind != tkKeyword) raise_found(30163);
    std::string field = ExprUtf8(cur().text);
    ++pos_;
    expect_close(30074);
    return std::make_unique<TABSExprNodeSystem>(opLastAutoinc, expr_.query_, table, field, memory);
  }
  if (k == K.EXTRACT) {
    ++pos_;
    expect_open(30073);
    TExtractPart part;
    if (is_kw(K.YEAR)) part = TExtractPart::Year;
    else if (is_kw(K.MONTH)) part = TExtractPart::Month;
    else if (is_kw(K.DAY)) part = TExtractPart::Day;
    else if (is_kw(K.HOUR)) part = TExtractPart::Hour;
    else if (is_kw(K.MINUTE)) part = TExtractPart::Minute;
    else if (is_kw(K.SECOND)) part = TExtractPart::Second;
    else raise_expected(30080, "YEAR or MONTH or DAY or HOUR or MINUTE or SECOND");
    ++pos_;
    if (!is_kw(K.FROM)) raise_expected(30082, "FROM");
    ++pos_;
    auto n = std::make_unique<TABSExprNodeDateFunction>(opExtract);
    n->SetExtractPart(part);
    n->AddChild(argument("EXTRACT"));
    expect_close(30074);
    return n;
  }
  if (k == K.POS || k == K.POSITION) {
    ++pos_;
    expect_open(30073);
    auto n = std::make_unique<TABSExprNodeArithmetic>(opPosition);
    n->AddChild(argument(name.c_str()));
    if (cur().kind != tkComma && !is_kw(K.IN)) RaiseError(20267, cur().line, cur().column);
    ++pos_;
    n->AddChild(argument(name.c_str()));
    expect_close(30074);
    return n;
  }
  if (k == K.LENGTH) {
    ++pos_;
    expect_open(30073);
    auto n = std::make_unique<TABSExprNodeArithmetic>(opLength);
    n->AddChild(argument("LENGTH"));
    expect_close(30074);
    return n;
  }
  struct Numeric {
    uint16_t keyword;
    uint8_t op;
  };
  const Numeric numeric[] = {{K.DOD, opDod},     {K.ACOS, opAcos}, {K.ASIN, opAsin}, {K.ATAN, opAtan},
                             {K.CEIL, opCeil},   {K.COS, opCos},   {K.EXP, opExp},   {K.FLOOR, opFloor},
                             {K.LOG, opLog},     {K.POWER, opPower}, {K.RAND, opRand}, {K.ROUND, opRound},
                             {K.SIGN, opSign},   {K.SIN, opSin},   {K.SQR, opSqr},   {K.SQRT, opSqrt}};
  for (const Numeric& f : numeric) {
    if (f.keyword != k) continue;
    ++pos_;
    expect_open(30073);
    auto n = std::make_unique<TABSExprNodeArithmetic>(f.op);
    n->AddChild(argument(name.c_str()));
    if (f.op == opPower) {
      if (cur().kind != tkComma) RaiseError(20267, cur().line, cur().column);
      ++pos_;
      n->AddChild(argument(name.c_str()));
    } else if (f.op == opRound && cur().kind == tkComma) {
      ++pos_;
      n->AddChild(argument(name.c_str()));
      if (cur().kind == tkComma) {
        ++pos_;
        const TToken& m = cur();
        if (m.kind != tkKeyword || m.keyword < K.HALFEVEN || m.keyword > K.RNDUP)
          raise_expected(30090, "HALFEVEN, HALFPOS, HALFNEG, HALFDOWN, HALFUP, RNDNEG, RNDPOS, RNDDOWN or RNDUP");
        n->SetRoundMode(static_cast<TRoundMode>(m.keyword - K.HALFEVEN));
        ++pos_;
      }
    }
    expect_close(30074);
    return n;
  }
  return nullptr;
}

}  // namespace dadoveri
