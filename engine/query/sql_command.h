// TSQLCommand: the tokens of one statement and the position of the current one.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/query/token.h"

namespace dadoveri {

struct TSQLCommand {
  std::vector<TToken> Tokens;
  // Index of the current token; equals the token count past the end.
  int32_t Position = 0;

  int32_t Count() const { return static_cast<int32_t>(Tokens.size()); }
};

}  // namespace dadoveri
