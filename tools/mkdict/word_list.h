// The English–Persian word list mkdict reads, and the two dictionary tables it makes of it.
//
// A line reads `headword {part of speech} (sense gloss) :: translation /transliteration/, …`;
// lines starting with '#' and blank lines are skipped. Translations are separated by ',',
// ';' or the Arabic comma at the top level; bracketed notes, parenthesised and leading
// "word:" qualifiers, part-of-speech marks in braces and transliterations are dropped, and
// the Persian letters are brought to one form.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace dadoveri::mkdict {

// One sense of a headword: one line of the list.
struct Sense {
  std::string Headword;  // UTF-8, exact case
  std::string Gloss;     // UTF-8, without its parentheses; empty when the line has none
  std::vector<std::u16string> Translations;
  int64_t Line = 0;
};

struct BadLine {
  int64_t Line = 0;
  std::string Why;
};

struct WordList {
  std::vector<Sense> Senses;
  std::vector<BadLine> Bad;
};

// Reads the list; a line that cannot be read is listed in `Bad` and left out.
WordList ParseWordList(std::istream& in);

// The Persian translations of one translation list (the text after " :: ").
std::vector<std::u16string> ParseTranslations(const std::u16string& text);

struct Eng2PerRecord {
  std::string Eng;  // Windows-1252 bytes
  std::u16string Far;
};
struct Per2EnRecord {
  std::u16string Per;
  std::u16string En;
};

struct Dictionary {
  std::vector<Eng2PerRecord> Eng2Per;  // in English alphabetical order
  std::vector<Per2EnRecord> Per2En;    // in Persian alphabetical order
  // Headwords Windows-1252 cannot hold (UTF-8): kept out of eng2per, kept in per2en.
  std::vector<std::string> LeftOut;
};

// `text` without the Arabic vowel marks (fatha, kasra, damma, their tanween forms, shadda,
// sukun, the dagger alef) and the kashida. Persian is typed without them, so a Persian
// headword is stored without them and a search finds it by its letters.
std::u16string WithoutVowelMarks(std::u16string_view text);

// "headword (gloss)", or the headword alone.
std::u16string SenseLabel(const Sense& sense);

// Groups the senses by headword and by Persian translation and sorts both tables
// alphabetically (ICU "en" and "fa" collation, whatever the environment's locale).
Dictionary BuildDictionary(const std::vector<Sense>& senses);

// `count` distinct English-like headwords (both cases, some apostrophes) with Persian
// meanings, the same for the same seed.
std::vector<Sense> SyntheticSenses(int64_t count, uint64_t seed);

}  // namespace dadoveri::mkdict
