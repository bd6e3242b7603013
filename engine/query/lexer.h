// TABSLexer: turns one SQL or filter text into commands of tokens in a single pass when it
// is created, binding ':name' and '?' parameters to copies of their values, so the parsers
// never see parameters. The parsers then walk the tokens back and forth.
//
// Failures raise VODIDivodavir from the constructor, with the line and column of the fault:
// an unclosed '(' (30059, at the innermost one still open when its command ends), a ')'
// without its '(' (30060, at once), a quote, '[' or back quote left open (30061, at the
// opening character), a number that does not read (30062, at the offending character) and
// a parameter without a value (30358).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/query/sql_command.h"
#include "engine/query/sql_params.h"
#include "engine/query/token.h"

namespace dadoveri {

class TABSLexer {
 public:
  // Lexes the whole text. `params` may be null (then every parameter fails); the lexer
  // does not keep it.
  explicit TABSLexer(std::u16string text, const TABSSQLParams* params = nullptr);

  int32_t CommandCount() const { return static_cast<int32_t>(commands_.size()); }
  // Makes the next command current; false when there is none.
  bool NextCommand();
  // Copies the current token of the current command; false and a kind-0 token past the end.
  bool CurrentToken(TToken& out) const;
  // Copies the token after the current one and moves to it; false and a kind-0 token when
  // there is none (the position then stays past the end).
  bool NextToken(TToken& out);
  // The current token index of the current command (-1 without a current command).
  int32_t GetPosition() const;
  // Moves to token `position`; 0 … token count are accepted (the count is past the end).
  // Answers whether the position is a token of the command.
  bool SetPosition(int32_t position);
  bool SetPositionAndRead(int32_t position, TToken& out);
  // Whether the token is keyword `number`; kNoKeyword asks for any keyword.
  static bool IsKeyword(const TToken& token, int32_t number);

  // Building token lists by program: AddCommand appends an empty command and makes it
  // current; AddToken appends a token to the current command (adding one if there is none).
  void AddCommand();
  void AddToken(const TToken& token);

  const std::u16string& Text() const { return text_; }
  int32_t CurrentCommandIndex() const { return current_; }
  // The commands as lexed (for inspection).
  const std::vector<TSQLCommand>& Commands() const { return commands_; }

 private:
  class Scanner;

  std::u16string text_;
  std::vector<TSQLCommand> commands_;
  int32_t current_ = -1;
};

}  // namespace dadoveri
