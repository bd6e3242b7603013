// A small data.dat built by mkdict from a fixture word list, for the window tests: case
// variants of "ab…", an accented and an apostrophed headword, a headword the code page
// cannot hold, and Persian meanings written with Arabic yeh and kaf. Its Persian side has
// headwords sharing prefixes (کتاب…, خط…), headwords written with Arabic yeh and kaf in the
// list, one written with vowel marks (مُجَلَّد), two headwords with one meaning (خودرو,
// اتومبیل) and headwords holding % and _.
#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tools/mkdict/dictionary_file.h"
#include "tools/mkdict/word_list.h"

namespace nilvar::test {

inline const char* FixtureWordList() {
  return "# fixture\n"
         "a {art} :: یک\n"
         "aardvark {n} :: خرس مورچه‌خوار\n"
         "ab {n} (abdominal muscle) :: عضله شکم\n"
         "aback {adv} :: به عقب\n"
         "abacus {n} :: چرتکه\n"
         "Abba {prop} :: ابا\n"
         "abbé {n} :: کشیش\n"
         "abbey {n} :: صومعه\n"
         "Abbey {prop} :: ابی\n"
         "Abby {prop} :: آبی\n"
         "able {adj} :: توانا\n"
         "automobile {n} :: خودرو, اتومبيل\n"
         "ab's {n} :: عضلات شکم\n"
         "about {adv} :: درباره\n"
         "Abu Dhabi {prop} :: ابوظبي\n"
         "b {n} :: ب\n"
         "book {n} :: كتاب\n"
         "bookseller {n} :: كتابفروش\n"
         "library {n} :: كتابخانه\n"
         "line {n} :: خط\n"
         "percent sign {n} :: علامت %, درصد\n"
         "self {n} :: خود\n"
         "underline {n} :: خط زير\n"
         "underscore {n} :: خط_زیر\n"
         "volume {n} :: مُجَلَّد\n"
         "writer {n} :: نويسنده\n"
         "Diyarbakır {prop} :: دیاربکر\n"
         "zebra {n} :: گورخر\n";
}

// The dictionary the fixture list makes (the expected contents of the tables).
inline const dadoveri::mkdict::Dictionary& FixtureDictionary() {
  static const dadoveri::mkdict::Dictionary dictionary = [] {
    std::istringstream in(FixtureWordList());
    return dadoveri::mkdict::BuildDictionary(dadoveri::mkdict::ParseWordList(in).Senses);
  }();
  return dictionary;
}

// A fresh folder holding a data.dat made from the fixture list (with no flashcards). The
// folder ends with the test.
inline std::unique_ptr<QTemporaryDir> DictionaryFolder() {
  static QTemporaryDir built;
  static const QString master = [] {
    const QString file = built.filePath(QStringLiteral("data.dat"));
    dadoveri::mkdict::WriteDictionaryFile(file.toStdString(), dadoveri::mkdict::kDefaultPassword,
                                          FixtureDictionary(), {});
    return file;
  }();
  auto folder = std::make_unique<QTemporaryDir>();
  QFile::copy(master, folder->filePath(QStringLiteral("data.dat")));
  return folder;
}

inline QString FolderPath(const QTemporaryDir& folder) { return QDir(folder.path()).absolutePath() + u'/'; }

}  // namespace nilvar::test
