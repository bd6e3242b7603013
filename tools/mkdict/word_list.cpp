#include "tools/mkdict/word_list.h"

#include <unicode/ucol.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <istream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <unordered_map>

#include "engine/base/persian_letters.h"
#include "engine/platform/code_page.h"

namespace dadoveri::mkdict {

namespace {

std::u16string to_utf16(const std::string& s) {
  const icu::UnicodeString u = icu::UnicodeString::fromUTF8(s);
  return std::u16string(reinterpret_cast<const char16_t*>(u.getBuffer()), static_cast<size_t>(u.length()));
}

std::string to_utf8(const std::u16string& s) {
  std::string out;
  icu::UnicodeString(s.data(), static_cast<int32_t>(s.size())).toUTF8String(out);
  return out;
}

// Valid UTF-8 with no replacement needed.
bool valid_utf8(const std::string& s) {
  return to_utf8(to_utf16(s)) == s;
}

bool arabic_script(char16_t c) {
  return (c >= 0x0600 && c <= 0x06FF) || (c >= 0x0750 && c <= 0x077F) || (c >= 0xFB50 && c <= 0xFDFF) ||
         (c >= 0xFE70 && c <= 0xFEFF);
}

bool blank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\u00A0' || c == u'\r'; }

std::u16string trim(const std::u16string& s) {
  size_t b = 0, e = s.size();
  while (b < e && blank(s[b])) ++b;
  while (e > b && blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string trim8(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

bool separator(char16_t c) { return c == u',' || c == u';' || c == u'\u060C' || c == u'\u061B'; }

// Splits at the top-level separators. A transliteration between slashes may hold commas;
// one that is never closed (or runs into Persian letters) ends at the first Arabic-script
// letter, so a broken one swallows nothing after it.
std::vector<std::u16string> split_translations(const std::u16string& text) {
  std::vector<std::u16string> pieces(1);
  int depth = 0;
  bool in_slashes = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (in_slashes && arabic_script(c)) in_slashes = false;
    if (c == u'(' || c == u'[' || c == u'{') ++depth;
    if ((c == u')' || c == u']' || c == u'}') && depth > 0) --depth;
    if (c == u'/' && depth == 0) in_slashes = !in_slashes;
    if (separator(c) && depth == 0) {
      if (in_slashes) {
        // A separator inside slashes splits only when Persian text follows it.
        size_t j = i + 1;
        while (j < text.size() && blank(text[j])) ++j;
        if (j >= text.size() || !(arabic_script(text[j]) || text[j] == u'(' || text[j] == u'[')) {
          pieces.back() += c;
          continue;
        }
        in_slashes = false;
      }
      pieces.emplace_back();
      continue;
    }
    pieces.back() += c;
  }
  return pieces;
}

// Drops every bracketed part of one kind; an unclosed one runs to the end.
std::u16string drop_enclosed(const std::u16string& s, char16_t open, char16_t close) {
  std::u16string out;
  int depth = 0;
  for (const char16_t c : s) {
    if (c == open) {
      ++depth;
      out += u' ';
      continue;
    }
    if (c == close && depth > 0) {
      --depth;
      continue;
    }
    if (depth == 0) out += c;
  }
  return out;
}

std::u16string collapse_blanks(const std::u16string& s) {
  std::u16string out;
  for (const char16_t c : s) {
    if (blank(c)) {
      if (!out.empty() && out.back() != u' ') out += u' ';
    } else {
      out += c;
    }
  }
  return trim(out);
}

std::u16string clean_translation(std::u16string piece) {
  piece = drop_enclosed(piece, u'[', u']');
  piece = drop_enclosed(piece, u'(', u')');
  piece = drop_enclosed(piece, u'{', u'}');
  // The transliteration and whatever follows it.
  if (const size_t slash = piece.find(u'/'); slash != std::u16string::npos) piece.resize(slash);
  // A leading qualifier such as "religious:" before the Persian text.
  const auto first_persian = std::find_if(piece.begin(), piece.end(), arabic_script);
  if (first_persian == piece.end()) return {};
  const size_t colon = piece.find(u':');
  if (colon != std::u16string::npos && colon < static_cast<size_t>(first_persian - piece.begin()))
    piece.erase(0, colon + 1);
  return NormalisePersianLetters(collapse_blanks(piece));
}

// An ICU collator for a fixed locale, tertiary strength.
struct CollatorCloser {
  void operator()(UCollator* c) const { ucol_close(c); }
};
std::unique_ptr<UCollator, CollatorCloser> open_collator(const char* locale) {
  UErrorCode status = U_ZERO_ERROR;
  UCollator* c = ucol_open(locale, &status);
  if (U_FAILURE(status) || c == nullptr) throw std::runtime_error(std::string("ICU has no collator for ") + locale);
  ucol_setStrength(c, UCOL_TERTIARY);
  return std::unique_ptr<UCollator, CollatorCloser>(c);
}

// Collation order, code units breaking ties, so the order is total.
bool collates_before(const UCollator* c, const std::u16string& a, const std::u16string& b) {
  const UCollationResult r = ucol_strcoll(c, reinterpret_cast<const UChar*>(a.data()), static_cast<int32_t>(a.size()),
                                          reinterpret_cast<const UChar*>(b.data()), static_cast<int32_t>(b.size()));
  if (r != UCOL_EQUAL) return r == UCOL_LESS;
  return a < b;
}

}  // namespace

std::vector<std::u16string> ParseTranslations(const std::u16string& text) {
  std::vector<std::u16string> out;
  for (const std::u16string& piece : split_translations(text)) {
    std::u16string t = clean_translation(piece);
    if (t.empty() || std::find(out.begin(), out.end(), t) != out.end()) continue;
    out.push_back(std::move(t));
  }
  return out;
}

WordList ParseWordList(std::istream& in) {
  WordList list;
  std::string line;
  int64_t no = 0;
  while (std::getline(in, line)) {
    ++no;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (no == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    if (trim8(line).empty() || line[0] == '#') continue;
    auto bad = [&](const std::string& why) { list.Bad.push_back({no, why}); };
    if (!valid_utf8(line)) {
      bad("the line is not valid UTF-8");
      continue;
    }
    const size_t arrow = line.find(" :: ");
    if (arrow == std::string::npos) {
      bad("no \" :: \" between the headword and its translations");
      continue;
    }
    const std::string left = line.substr(0, arrow);
    Sense sense;
    sense.Line = no;
    const size_t brace = left.find(" {");
    sense.Headword = trim8(brace == std::string::npos ? left : left.substr(0, brace));
    if (brace != std::string::npos) {
      const size_t close = left.find('}', brace);
      if (close == std::string::npos) {
        bad("the part of speech has no closing brace");
        continue;
      }
      std::string rest = trim8(left.substr(close + 1));
      // Further marks such as "{p}" before the gloss.
      while (!rest.empty() && rest[0] == '{') {
        const size_t e = rest.find('}');
        if (e == std::string::npos) break;
        rest = trim8(rest.substr(e + 1));
      }
      if (rest.size() >= 2 && rest.front() == '(' && rest.back() == ')') rest = trim8(rest.substr(1, rest.size() - 2));
      sense.Gloss = rest;
    }
    if (sense.Headword.empty()) {
      bad("the headword is empty");
      continue;
    }
    sense.Translations = ParseTranslations(to_utf16(line.substr(arrow + 4)));
    if (sense.Translations.empty()) {
      bad("no Persian translation");
      continue;
    }
    list.Senses.push_back(std::move(sense));
  }
  return list;
}

std::u16string WithoutVowelMarks(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (const char16_t c : text) {
    if ((c >= u'\u064B' && c <= u'\u0652') || c == u'\u0670' || c == u'\u0640') continue;
    out += c;
  }
  return out;
}

std::u16string SenseLabel(const Sense& sense) {
  std::u16string label = to_utf16(sense.Headword);
  if (!sense.Gloss.empty()) label += u" (" + to_utf16(sense.Gloss) + u")";
  return label;
}

Dictionary BuildDictionary(const std::vector<Sense>& senses) {
  Dictionary d;
  const TCodePage& cp1252 = AnsiCodePage();
  if (cp1252.Number() != 1252) throw std::logic_error("mkdict needs the process code page to be Windows-1252");

  // English side: one record per distinct headword, senses in list order.
  std::unordered_map<std::string, size_t> eng_at;
  std::vector<std::u16string> eng_wide;
  std::vector<bool> left_out;
  for (const Sense& s : senses) {
    std::u16string meaning;
    for (size_t i = 0; i < s.Translations.size(); ++i) {
      if (i) meaning += u"\u060C ";
      meaning += s.Translations[i];
    }
    const auto [it, fresh] = eng_at.try_emplace(s.Headword, d.Eng2Per.size());
    if (fresh) {
      const std::u16string wide = to_utf16(s.Headword);
      d.Eng2Per.push_back({cp1252.ToAnsi(wide), meaning});
      eng_wide.push_back(wide);
      left_out.push_back(!std::all_of(wide.begin(), wide.end(), [&](char16_t c) { return cp1252.Contains(c); }));
      if (left_out.back()) d.LeftOut.push_back(s.Headword);
    } else {
      d.Eng2Per[it->second].Far += u"\u061B " + meaning;
    }
  }
  // Persian side: one record per distinct translation.
  std::unordered_map<std::u16string, size_t> per_at;
  std::vector<std::vector<std::u16string>> labels;
  for (const Sense& s : senses) {
    const std::u16string label = SenseLabel(s);
    for (const std::u16string& translation : s.Translations) {
      // The headword as it is typed: spellings that differ only in vowel marks are one.
      const std::u16string t = WithoutVowelMarks(translation);
      if (t.empty()) continue;
      const auto [it, fresh] = per_at.try_emplace(t, d.Per2En.size());
      if (fresh) {
        d.Per2En.push_back({t, {}});
        labels.emplace_back();
      }
      auto& l = labels[it->second];
      if (std::find(l.begin(), l.end(), label) == l.end()) l.push_back(label);
    }
  }
  for (size_t i = 0; i < d.Per2En.size(); ++i)
    for (size_t k = 0; k < labels[i].size(); ++k) d.Per2En[i].En += (k ? u"; " : u"") + labels[i][k];

  // Alphabetical order.
  {
    auto en = open_collator("en");
    std::vector<size_t> order(d.Eng2Per.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return collates_before(en.get(), eng_wide[a], eng_wide[b]); });
    std::vector<Eng2PerRecord> sorted;
    sorted.reserve(order.size());
    for (size_t i : order)
      if (!left_out[i]) sorted.push_back(std::move(d.Eng2Per[i]));
    d.Eng2Per = std::move(sorted);
  }
  {
    auto fa = open_collator("fa");
    std::sort(d.Per2En.begin(), d.Per2En.end(),
              [&](const Per2EnRecord& a, const Per2EnRecord& b) { return collates_before(fa.get(), a.Per, b.Per); });
  }
  return d;
}

std::vector<Sense> SyntheticSenses(int64_t count, uint64_t seed) {
  std::mt19937_64 random(seed);
  auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
  static const char* const kSyllables[] = {"ba", "ka", "lo", "mi", "ne", "ra", "si", "tu", "ve", "wo", "ex", "str",
                                           "on", "ing", "al", "er", "qu", "th", "ch", "sh", "pl", "gr", "y", "ou"};
  static const char16_t* const kPersian[] = {u"\u0628", u"\u067E", u"\u062A", u"\u0633", u"\u062C", u"\u0686",
                                             u"\u062F", u"\u0631", u"\u0632", u"\u0634", u"\u0641", u"\u06A9",
                                             u"\u06AF", u"\u0644", u"\u0645", u"\u0646", u"\u0648", u"\u0647",
                                             u"\u06CC", u"\u0627", u"\u062E", u"\u0642"};
  std::vector<Sense> senses;
  senses.reserve(static_cast<size_t>(count));
  std::unordered_map<std::string, bool> seen;
  seen.reserve(static_cast<size_t>(count));
  while (static_cast<int64_t>(senses.size()) < count) {
    std::string word;
    const size_t syllables = 1 + pick(4) + (senses.size() > 100000 ? 1 : 0);
    for (size_t i = 0; i < syllables; ++i) word += kSyllables[pick(std::size(kSyllables))];
    if (pick(3) == 0) word[0] = static_cast<char>(word[0] - 'a' + 'A');
    if (pick(12) == 0) word.insert(1 + pick(word.size()), "'");
    if (pick(5) == 0) word += " " + std::string(kSyllables[pick(std::size(kSyllables))]) + "s";
    if (!seen.emplace(word, true).second) continue;
    Sense s;
    s.Headword = word;
    s.Gloss = "sense " + std::to_string(senses.size() % 97);
    s.Line = static_cast<int64_t>(senses.size()) + 1;
    const size_t translations = 1 + pick(2);
    for (size_t t = 0; t < translations; ++t) {
      std::u16string p;
      const size_t letters = 4 + pick(5);
      for (size_t i = 0; i < letters; ++i) p += kPersian[pick(std::size(kPersian))];
      s.Translations.push_back(p);
    }
    senses.push_back(std::move(s));
  }
  return senses;
}

}  // namespace dadoveri::mkdict
