#include "engine/query/lexer.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <utility>

#include "engine/base/engine_error.h"

namespace dadoveri {

namespace {

bool is_space(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }
bool is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool is_high_surrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Characters that always start a token of their own, even inside a word or a number.
bool is_separator(char16_t c) {
  switch (c) {
    case u'>': case u'<': case u'=': case u'(': case u')': case u',':
    case u'/': case u'*': case u':': case u'?': case u'|':
      return true;
    default:
      return false;
  }
}

struct Position {
  int32_t line = 1;
  int32_t column = 1;
};

}  // namespace

// One pass over the text; fills the lexer's commands or raises.
class TABSLexer::Scanner {
 public:
  Scanner(const std::u16string& text, const TABSSQLParams* params, std::vector<TSQLCommand>& commands)
      : text_(text), params_(params), commands_(commands) {}

  void Run() {
    while (at_ < text_.size()) {
      const char16_t c = text_[at_];
      const char16_t next = at_ + 1 < text_.size() ? text_[at_ + 1] : u'\0';
      if (c == u';') {
        finish_open();
        end_command();
        advance();
      } else if (c == u'-' && next == u'-') {
        finish_open();
        while (at_ < text_.size() && text_[at_] != u'\n') advance();
        if (at_ < text_.size()) advance();  // the line feed
      } else if (c == u'/' && next == u'*') {
        finish_open();
        advance();
        advance();
        while (at_ < text_.size() && !(text_[at_] == u'*' && at_ + 1 < text_.size() && text_[at_ + 1] == u'/')) {
          advance();
        }
        if (at_ < text_.size()) {
          advance();
          advance();
        }
      } else if (is_space(c)) {
        finish_open();
        advance();
      } else if (pairs_with_open(c)) {
        open_text_ += c;
        advance();
        emit_word(std::move(open_text_), open_at_, false);
        open_ = Open::kNone;
      } else if (continues_open(c)) {
        append_to_open(c);
        advance();
      } else {
        finish_open();
        start_token(c);
      }
    }
    finish_open();
    end_command();
  }

 private:
  enum class Open { kNone, kWord, kNumber, kDot, kLess, kGreater, kBar };
  // Where a number stands in its grammar: digits [. digits] [E [+|-] digits].
  enum class Number { kIntegerPart, kFraction, kExponentMark, kExponentSign, kExponentDigits };

  // Moves past the current character, keeping line and column: a line feed starts a new
  // line, a carriage return and the second half of a surrogate pair take no column.
  void advance() {
    const char16_t c = text_[at_];
    if (c == u'\n') {
      ++pos_.line;
      pos_.column = 1;
    } else if (c == u'\r') {
    } else if (!(is_low_surrogate(c) && at_ > 0 && is_high_surrogate(text_[at_ - 1]))) {
      ++pos_.column;
    }
    ++at_;
  }

  // The whole character at `index` (both halves of a surrogate pair).
  std::u16string character_at(size_t index) const {
    if (is_high_surrogate(text_[index]) && index + 1 < text_.size() && is_low_surrogate(text_[index + 1])) {
      return text_.substr(index, 2);
    }
    return text_.substr(index, 1);
  }

  // '<' with '=' or '>', '>' with '=', '|' with '|' make one two-character token.
  bool pairs_with_open(char16_t c) const {
    switch (open_) {
      case Open::kLess: return c == u'=' || c == u'>';
      case Open::kGreater: return c == u'=';
      case Open::kBar: return c == u'|';
      default: return false;
    }
  }

  bool continues_open(char16_t c) const {
    switch (open_) {
      case Open::kWord:
        return !is_separator(c) && c != u'.' && c != u'+' && c != u'-';
      case Open::kNumber:
        if (is_separator(c)) return false;
        if (c == u'+' || c == u'-') return number_ == Number::kExponentMark;
        return true;  // anything else belongs to the number and must read as part of it
      case Open::kDot:
        return is_digit(c);
      default:
        return false;
    }
  }

  void append_to_open(char16_t c) {
    if (open_ == Open::kDot) {  // ".5": the dot opens a number
      open_ = Open::kNumber;
      number_ = Number::kFraction;
    } else if (open_ == Open::kNumber) {
      step_number(c);
    }
    open_text_ += c;
  }

  void step_number(char16_t c) {
    const bool digit = is_digit(c);
    const bool mark = c == u'e' || c == u'E';
    bool ok = false;
    switch (number_) {
      case Number::kIntegerPart:
        if (digit) {
          const int64_t d = c - u'0';
          if (!overflow_ && integer_value_ > (std::numeric_limits<int64_t>::max() - d) / 10) {
            overflow_ = true;
            overflow_at_ = pos_;
            overflow_index_ = at_;
          }
          if (!overflow_) integer_value_ = integer_value_ * 10 + d;
          ok = true;
        } else if (c == u'.') {
          number_ = Number::kFraction;
          ok = true;
        } else if (mark) {
          number_ = Number::kExponentMark;
          ok = true;
        }
        break;
      case Number::kFraction:
        if (mark) number_ = Number::kExponentMark;
        ok = digit || mark;
        break;
      case Number::kExponentMark:
        if (c == u'+' || c == u'-') {
          number_ = Number::kExponentSign;
          ok = true;
        } else if (digit) {
          number_ = Number::kExponentDigits;
          ok = true;
        }
        break;
      case Number::kExponentSign:
      case Number::kExponentDigits:
        if (digit) number_ = Number::kExponentDigits;
        ok = digit;
        break;
    }
    if (!ok) RaiseError(30062, character_at(at_), pos_.line, pos_.column);
    last_number_at_ = pos_;
    last_number_index_ = at_;
  }

  void start_token(char16_t c) {
    open_at_ = pos_;
    open_text_.clear();
    const char16_t next = at_ + 1 < text_.size() ? text_[at_ + 1] : u'\0';
    switch (c) {
      case u'\'':
      case u'"':
        emit(tkString, scan_quoted(c, true), open_at_);
        return;
      case u'[':
        emit(tkBracketedName, scan_quoted(u']', false), open_at_);
        return;
      case u'`':
        emit_word(scan_back_quoted(), open_at_, true);
        return;
      case u'(':
        parens_.push_back(pos_);
        emit(tkOpenParen, u"(", pos_);
        advance();
        return;
      case u')':
        if (parens_.empty()) RaiseError(30060, pos_.line, pos_.column);
        parens_.pop_back();
        emit(tkCloseParen, u")", pos_);
        advance();
        return;
      case u',':
        emit(tkComma, u",", pos_);
        advance();
        return;
      case u'-': case u'+': case u'*': case u'/': case u'=':
        emit_word(std::u16string(1, c), pos_, false);
        advance();
        return;
      default:
        break;
    }
    if (c == u':' && (next == u'\'' || next == u'"' || next == u'[')) {
      advance();
      std::u16string name = scan_quoted(next == u'[' ? u']' : next, next != u'[');
      emit_parameter(std::move(name), false, open_at_);
      return;
    }
    open_text_ = c;
    if (c == u'.') {
      open_ = Open::kDot;
    } else if (is_digit(c)) {
      open_ = Open::kNumber;
      number_ = Number::kIntegerPart;
      integer_value_ = c - u'0';
      overflow_ = false;
      last_number_at_ = pos_;
      last_number_index_ = at_;
    } else if (c == u'<') {
      open_ = Open::kLess;
    } else if (c == u'>') {
      open_ = Open::kGreater;
    } else if (c == u'|') {
      open_ = Open::kBar;
    } else {
      open_ = Open::kWord;
    }
    advance();
  }

  // Text up to `close` from the opening character at the current place; with `doubling`
  // a doubled closing character stands for one. Raises 30061 at the opener when the text
  // ends first.
  std::u16string scan_quoted(char16_t close, bool doubling) {
    const Position opener = pos_;
    advance();
    std::u16string result;
    for (;;) {
      if (at_ >= text_.size()) RaiseError(30061, opener.line, opener.column);
      const char16_t c = text_[at_];
      if (c == close) {
        if (doubling && at_ + 1 < text_.size() && text_[at_ + 1] == close) {
          result += close;
          advance();
          advance();
          continue;
        }
        advance();
        return result;
      }
      result += c;
      advance();
    }
  }

  // A back-quoted name: '\' makes the following character literal.
  std::u16string scan_back_quoted() {
    const Position opener = pos_;
    advance();
    std::u16string result;
    for (;;) {
      if (at_ >= text_.size()) RaiseError(30061, opener.line, opener.column);
      const char16_t c = text_[at_];
      if (c == u'`') {
        advance();
        return result;
      }
      if (c == u'\\') {
        advance();
        if (at_ >= text_.size()) RaiseError(30061, opener.line, opener.column);
      }
      result += text_[at_];
      advance();
    }
  }

  void finish_open() {
    const Open open = std::exchange(open_, Open::kNone);
    switch (open) {
      case Open::kNone:
        return;
      case Open::kWord:
      case Open::kLess:
      case Open::kGreater:
      case Open::kBar:
        emit_word(std::move(open_text_), open_at_, false);
        return;
      case Open::kDot:
        emit(tkDot, u".", open_at_);
        return;
      case Open::kNumber:
        finish_number();
        return;
    }
  }

  void finish_number() {
    if (number_ != Number::kIntegerPart && number_ != Number::kFraction && number_ != Number::kExponentDigits) {
      // Ends inside its exponent ("1e", "1e+"): the last character leaves it unread.
      RaiseError(30062, character_at(last_number_index_), last_number_at_.line, last_number_at_.column);
    }
    if (number_ == Number::kIntegerPart) {
      if (overflow_) RaiseError(30062, character_at(overflow_index_), overflow_at_.line, overflow_at_.column);
      emit(tkInteger, std::move(open_text_), open_at_);
      return;
    }
    std::string ascii(open_text_.begin(), open_text_.end());  // digits, '.', 'E', signs only
    if (!std::isfinite(std::strtod(ascii.c_str(), nullptr))) {
      RaiseError(30062, character_at(last_number_index_), last_number_at_.line, last_number_at_.column);
    }
    emit(tkFloat, std::move(open_text_), open_at_);
  }

  // A finished word: a parameter when it begins with ':' or '?', a keyword when it is one
  // (never for a back-quoted name), else a plain word.
  void emit_word(std::u16string text, Position at, bool back_quoted) {
    if (!back_quoted && text.starts_with(u':')) {
      emit_parameter(text.substr(1), false, at);
      return;
    }
    if (!back_quoted && text.starts_with(u'?')) {
      emit_parameter({}, true, at);
      return;
    }
    const uint16_t keyword = back_quoted ? kNoKeyword : FindKeyword(text);
    TToken& token = emit(keyword == kNoKeyword ? tkWord : tkKeyword, std::move(text), at);
    token.keyword = keyword;
  }

  void emit_parameter(std::u16string name, bool positional, Position at) {
    const TABSVariant* value = nullptr;
    if (positional) {
      const int32_t index = next_positional_++;
      std::string ordinal = std::to_string(index + 1);
      name = u"Param";
      name.append(ordinal.begin(), ordinal.end());
      if (params_ != nullptr && index < params_->Count()) value = &params_->Item(index);
    } else if (params_ != nullptr) {
      value = params_->FindParam(name);
    }
    if (value == nullptr) RaiseError(30358, name);
    TToken& token = emit(tkParameter, std::move(name), at);
    token.value = std::make_shared<const TABSVariant>(*value);
  }

  TToken& emit(uint8_t kind, std::u16string text, Position at) {
    if (!command_open_) {
      commands_.emplace_back();
      command_open_ = true;
    }
    TToken& token = commands_.back().Tokens.emplace_back();
    token.kind = kind;
    token.text = std::move(text);
    token.line = at.line;
    token.column = at.column;
    return token;
  }

  // At ';' and at the end of the text: a '(' still open fails at the innermost one.
  void end_command() {
    if (!parens_.empty()) RaiseError(30059, parens_.back().line, parens_.back().column);
    command_open_ = false;
  }

  const std::u16string& text_;
  const TABSSQLParams* params_;
  std::vector<TSQLCommand>& commands_;

  size_t at_ = 0;
  Position pos_;
  bool command_open_ = false;
  std::vector<Position> parens_;  // the '(' still open in this command, innermost last
  int32_t next_positional_ = 0;   // the '?' counter runs over the whole text

  Open open_ = Open::kNone;
  std::u16string open_text_;
  Position open_at_;

  Number number_ = Number::kIntegerPart;
  int64_t integer_value_ = 0;
  bool overflow_ = false;
  Position overflow_at_;
  size_t overflow_index_ = 0;
  Position last_number_at_;
  size_t last_number_index_ = 0;
};

TABSLexer::TABSLexer(std::u16string text, const TABSSQLParams* params) : text_(std::move(text)) {
  Scanner(text_, params, commands_).Run();
}

bool TABSLexer::NextCommand() {
  if (current_ + 1 >= CommandCount()) return false;
  ++current_;
  commands_[static_cast<size_t>(current_)].Position = 0;
  return true;
}

bool TABSLexer::CurrentToken(TToken& out) const {
  if (current_ >= 0 && current_ < CommandCount()) {
    const TSQLCommand& command = commands_[static_cast<size_t>(current_)];
    if (command.Position >= 0 && command.Position < command.Count()) {
      out = command.Tokens[static_cast<size_t>(command.Position)];
      return true;
    }
  }
  out = TToken();
  return false;
}

bool TABSLexer::NextToken(TToken& out) {
  if (current_ >= 0 && current_ < CommandCount()) {
    TSQLCommand& command = commands_[static_cast<size_t>(current_)];
    if (command.Position + 1 < command.Count()) {
      ++command.Position;
      out = command.Tokens[static_cast<size_t>(command.Position)];
      return true;
    }
    command.Position = command.Count();
  }
  out = TToken();
  return false;
}

int32_t TABSLexer::GetPosition() const {
  if (current_ < 0 || current_ >= CommandCount()) return -1;
  return commands_[static_cast<size_t>(current_)].Position;
}

bool TABSLexer::SetPosition(int32_t position) {
  if (current_ < 0 || current_ >= CommandCount()) return false;
  TSQLCommand& command = commands_[static_cast<size_t>(current_)];
  if (position < 0 || position > command.Count()) return false;
  command.Position = position;
  return position < command.Count();
}

bool TABSLexer::SetPositionAndRead(int32_t position, TToken& out) {
  if (!SetPosition(position)) {
    out = TToken();
    return false;
  }
  return CurrentToken(out);
}

bool TABSLexer::IsKeyword(const TToken& token, int32_t number) {
  return token.kind == tkKeyword && (number == kNoKeyword || token.keyword == number);
}

void TABSLexer::AddCommand() {
  commands_.emplace_back();
  current_ = CommandCount() - 1;
}

void TABSLexer::AddToken(const TToken& token) {
  if (current_ < 0 || current_ >= CommandCount()) AddCommand();
  commands_[static_cast<size_t>(current_)].Tokens.push_back(token);
}

}  // namespace dadoveri
