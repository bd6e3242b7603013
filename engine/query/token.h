// TToken: one token of an SQL or filter text, as the lexer hands it to the parsers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/query/keywords.h"
#include "engine/table/variant.h"

namespace dadoveri {

// Token kinds.
enum TTokenKind : uint8_t {
  tkNone = 0,           // returned past the end of a command
  tkWord = 1,           // identifier, operator or other symbol run, back-quoted name
  tkString = 2,         // text in single or double quotes
  tkBracketedName = 3,  // text in [ ]
  tkInteger = 4,
  tkFloat = 5,          // contains '.' or an exponent
  tkKeyword = 6,
  tkParameter = 7,      // a bound parameter, carrying its value
  tkOpenParen = 8,
  tkCloseParen = 9,
  tkComma = 10,
  tkDot = 11,
};

struct TToken {
  uint8_t kind = tkNone;
  // Number of the keyword (0-291); kNoKeyword when the token is not a keyword.
  uint16_t keyword = kNoKeyword;
  // Quotes, brackets and back quotes removed, doubled quotes reduced to one; for a
  // parameter its name.
  std::u16string text;
  // A parameter's own copy of its value (kind 7 only). Shared between copies of the token;
  // the lexer's tokens keep it alive for the lexer's life.
  std::shared_ptr<const TABSVariant> value;
  // Position of the token's first character, both counting from 1.
  int32_t line = 0;
  int32_t column = 0;
};

}  // namespace dadoveri
