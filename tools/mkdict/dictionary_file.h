// Writing the dictionary database file (tables eng2per, per2en and flashcard) and reading
// the flashcards of an existing one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/mkdict/word_list.h"

namespace dadoveri::mkdict {

inline constexpr const char* kDefaultPassword = "41736285";

struct Flashcard {
  std::u16string Word;
  std::u16string Meaning;
};

// Every record of the flashcard table of FILE, in storage order. Raises the engine's
// error when the file cannot be opened with the password or has no such table.
std::vector<Flashcard> ReadFlashcards(const std::string& file, const std::string& password);

struct FieldSizes {
  int32_t Eng = 1, Far = 1, Per = 1, En = 1, Word = 1, Meaning = 1;
};
// The smallest sizes that hold every value: nothing is cut.
FieldSizes SizesFor(const Dictionary& dictionary, const std::vector<Flashcard>& cards);

// How WriteDictionaryFile commits. mkdict commits every 20 000 rows without waiting for
// the disk (the finished file is renamed into place); a benchmark may load everything in
// one transaction that is flushed at its commit.
struct WriteOptions {
  int64_t RowsPerCommit = 20000;  // 0: each table's rows in one transaction
  bool DurableCommits = false;
};

// Creates FILE (which must not exist) with the three tables, the records of `dictionary`
// in their order and `cards` in the flashcard table.
void WriteDictionaryFile(const std::string& file, const std::string& password, const Dictionary& dictionary,
                         const std::vector<Flashcard>& cards, const WriteOptions& options = {});

// Builds OUT: the flashcards of an existing OUT are carried over, the new file is written
// beside it and renamed over it, so OUT is either the old file or the whole new one.
// Answers the number of cards kept.
int64_t ReplaceDictionaryFile(const std::string& out, const std::string& password, const Dictionary& dictionary);

// Fixes the engine's collation to the root locale and its code page to Windows-1252 for
// this process, so the file's index order and bytes do not depend on the user's
// environment. Must run before the engine first asks for either.
void UseFixedCollationAndCodePage();

}  // namespace dadoveri::mkdict
