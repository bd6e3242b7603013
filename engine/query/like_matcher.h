// The LIKE matcher: `%` matches any run of characters (the empty run included), `_` any
// one character, an escape character makes the next pattern character match only itself
// (`%` and `_` included); an escape character at the very end of the pattern has nothing
// to escape and matches itself. Every other pattern character matches a text character
// the caller's equality accepts.
//
// The pattern is read once into elements, and the text is matched with one remembered
// position per `%`: a mismatch after a `%` retries from the character after the one the
// `%` last stopped at. That needs at most text length × pattern length steps, whatever
// the pattern (`%a%a%a%b` against a long run of `a`s included), and no recursion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace dadoveri {

// No escape character.
inline constexpr int32_t kNoLikeEscape = -1;

template <typename Char, typename Equal>
bool LikeMatch(std::basic_string_view<Char> text, std::basic_string_view<Char> pattern, int32_t escape,
               Equal&& equal) {
  enum class Kind : uint8_t { Literal, One, Run };
  struct Element {
    Kind kind;
    Char ch;
  };
  // One element list per thread, reused: matching a record allocates nothing.
  static thread_local std::vector<Element> elements;
  elements.clear();
  for (size_t i = 0; i < pattern.size(); ++i) {
    const Char c = pattern[i];
    const bool is_escape = escape != kNoLikeEscape && static_cast<int32_t>(c) == escape;
    if (is_escape && i + 1 < pattern.size()) {
      elements.push_back({Kind::Literal, pattern[++i]});
    } else if (!is_escape && c == Char('%')) {
      // Runs next to each other match what one run matches.
      if (elements.empty() || elements.back().kind != Kind::Run) elements.push_back({Kind::Run, c});
    } else if (!is_escape && c == Char('_')) {
      elements.push_back({Kind::One, c});
    } else {
      elements.push_back({Kind::Literal, c});
    }
  }
  const size_t n = text.size(), m = elements.size();
  size_t i = 0, j = 0;
  bool have_run = false;
  size_t after_run = 0;  // the element after the last `%` met
  size_t resume = 0;     // the text position that `%` gives up next
  while (i < n) {
    if (j < m && elements[j].kind == Kind::Run) {
      have_run = true;
      after_run = ++j;
      resume = i;
    } else if (j < m && (elements[j].kind == Kind::One || equal(text[i], elements[j].ch))) {
      ++i;
      ++j;
    } else if (have_run) {
      j = after_run;
      i = ++resume;
    } else {
      return false;
    }
  }
  while (j < m && elements[j].kind == Kind::Run) ++j;
  return j == m;
}

// Wide text, characters compared as the engine's collation compares one-character texts:
// identical code units, or with `case_insensitive` the same letter in either case.
bool LikeMatchWide(std::u16string_view text, std::u16string_view pattern, int32_t escape, bool case_insensitive);

}  // namespace dadoveri
