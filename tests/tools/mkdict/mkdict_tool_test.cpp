// Runs the built mkdict over fixtures and the shipped word list, and reads the files it
// writes back through the engine.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unicode/ucol.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "engine/database/local_cursor.h"
#include "engine/database/disk_database_data.h"
#include "engine/platform/code_page.h"
#include "engine/table/cursor.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"
#include "engine/table/variant.h"
#include "tests/engine/test_support.h"
#include "tools/mkdict/dictionary_file.h"
#include "tools/mkdict/word_list.h"

namespace dadoveri::mkdict {
namespace {

const bool kFixed = (UseFixedCollationAndCodePage(), true);

std::string quote(const std::string& s) { return "'" + s + "'"; }

struct Result {
  int status = -1;
  std::string out, err;
};

using Row = std::vector<std::u16string>;

class MkdictTool : public ::testing::Test {
 protected:
  Result Run(const std::string& tool, const std::vector<std::string>& args) {
    // A sanitizer finding must not pass for the tool's own exit status 1.
    std::string command = "ASAN_OPTIONS=exitcode=86 UBSAN_OPTIONS=halt_on_error=1:exitcode=87 " + quote(tool);
    for (const auto& a : args) command += " " + quote(a);
    const std::string out = File("stdout"), err = File("stderr");
    command += " >" + quote(out) + " 2>" + quote(err);
    const int raw = std::system(command.c_str());
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    const auto o = testing::ReadWholeFile(out), e = testing::ReadWholeFile(err);
    r.out.assign(o.begin(), o.end());
    r.err.assign(e.begin(), e.end());
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
    return r;
  }
  Result Mkdict(const std::vector<std::string>& args) { return Run(MKDICT_TOOL_PATH, args); }
  void ExpectCheckPasses(const std::string& file) {
    const Result r = Run(DADOVERI_TOOL_PATH, {"check", file, "--password", kDefaultPassword});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
  }
  std::string File(const std::string& name) { return folder_.File(name); }
  std::string Fixture(const std::string& text) {
    const std::string name = File("list.txt");
    std::ofstream(name, std::ios::binary) << text;
    return name;
  }

  // Every row of a table in storage order, each field as wide text (ctString fields
  // through Windows-1252).
  static std::vector<Row> Rows(const std::string& file, const std::string& table) {
    TABSDiskDatabaseData db(file);
    TABSConnectOptions options;
    options.Password.Password = kDefaultPassword;
    TABSBaseSession session(db.Connect(options));
    std::vector<Row> rows;
    {
      TABSLocalCursor cursor(&session, table);
      cursor.Open(db);
      const TABSFieldDefs& defs = cursor.TableData()->FieldDefs();
      const TABSRecordLayout& layout = cursor.TableData()->FieldManager().Layout();
      cursor.GoToBegin();
      while (cursor.Step(grmNext) == grrFound) {
        Row row;
        for (int32_t i = 0; i < defs.Count(); ++i) {
          TABSVariant v;
          if (!layout.IsNull(i, cursor.CurrentRecord)) layout.GetFieldValue(i, cursor.CurrentRecord, v);
          if (v.IsNull())
            row.emplace_back();
          else if (defs.Item(i)->ColumnType == ctString)
            row.push_back(AnsiCodePage().ToWide(v.GetAsString()));
          else
            row.push_back(v.GetAsWideString());
        }
        rows.push_back(std::move(row));
      }
    }
    db.Disconnect(session.SessionID);
    return rows;
  }

  static void AddCards(const std::string& file, const std::vector<Flashcard>& cards) {
    TABSDiskDatabaseData db(file);
    TABSConnectOptions options;
    options.Password.Password = kDefaultPassword;
    TABSBaseSession session(db.Connect(options));
    {
      TABSLocalCursor cursor(&session, "flashcard");
      cursor.Open(db);
      const TABSRecordLayout& layout = cursor.TableData()->FieldManager().Layout();
      session.InTransaction = true;
      for (const Flashcard& c : cards) {
        cursor.NewRecord();
        TABSVariant v;
        v.SetAsWideString(c.Word);
        layout.SetFieldValue(0, v, cursor.CurrentRecord);
        v.SetAsWideString(c.Meaning);
        layout.SetFieldValue(1, v, cursor.CurrentRecord);
        ASSERT_EQ(cursor.PostInsert(), roOK);
      }
      session.InTransaction = false;
      db.CommitSession(session.SessionID, true);
    }
    db.Disconnect(session.SessionID);
  }

  // Both tables hold every pair of the senses (bar the left-out headwords), in
  // alphabetical order, with the Persian letters in their one form; answers the rows.
  static std::pair<std::vector<Row>, std::vector<Row>> ExpectFileHolds(const std::string& file,
                                                                         const std::vector<Sense>& senses,
                                                                         const std::set<std::string>& left_out) {
    const std::vector<Row> eng = Rows(file, "eng2per"), per = Rows(file, "per2en");
    std::map<std::u16string, std::u16string> far, en;
    for (const Row& r : eng) far[r[0]] = r[1];
    for (const Row& r : per) en[r[0]] = r[1];
    EXPECT_EQ(far.size(), eng.size()) << "a headword twice";
    EXPECT_EQ(en.size(), per.size()) << "a Persian headword twice";
    size_t missing = 0;
    for (const Sense& s : senses) {
      const std::u16string head = AnsiCodePage().ToWide(AnsiCodePage().ToAnsi(SenseLabel({s.Headword, "", {}, 0})));
      const std::u16string label = SenseLabel(s);
      for (const std::u16string& t : s.Translations) {
        if (!left_out.count(s.Headword)) {
          const auto it = far.find(head);
          if (it == far.end() || it->second.find(t) == std::u16string::npos) ++missing;
        }
        // The Persian headword is the translation without its vowel marks (none when
        // nothing else is left).
        if (WithoutVowelMarks(t).empty()) continue;
        const auto it = en.find(WithoutVowelMarks(t));
        if (it == en.end() || it->second.find(label) == std::u16string::npos) ++missing;
      }
    }
    EXPECT_EQ(missing, 0u);
    for (const auto* rows : {&eng, &per})
      for (const Row& r : *rows)
        for (const std::u16string& field : r)
          EXPECT_EQ(field.find_first_of(u"\u064A\u0649\u0643"), std::u16string::npos);
    ExpectAlphabetical(eng, "en");
    ExpectAlphabetical(per, "fa");
    return {eng, per};
  }

  static void ExpectAlphabetical(const std::vector<Row>& rows, const char* locale) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UCollator, void (*)(UCollator*)> c(ucol_open(locale, &status), ucol_close);
    ASSERT_TRUE(U_SUCCESS(status));
    for (size_t i = 1; i < rows.size(); ++i) {
      const auto& a = rows[i - 1][0];
      const auto& b = rows[i][0];
      const UCollationResult r = ucol_strcoll(c.get(), reinterpret_cast<const UChar*>(a.data()),
                                              static_cast<int32_t>(a.size()), reinterpret_cast<const UChar*>(b.data()),
                                              static_cast<int32_t>(b.size()));
      ASSERT_TRUE(r == UCOL_LESS || (r == UCOL_EQUAL && a < b)) << "rows " << i - 1 << " and " << i << " of " << locale;
    }
  }

  testing::TempFolder folder_;
};

const char* const kFixtureList =
    "# a comment\n"
    "abandon {v} (to give up) :: دست کشیدن /dast kashidan/, رها کردن /rahâ kardan/\n"
    "abandon {n} (a giving up) :: بی‌قيدی\n"
    "aunt {n} (a parent’s sister) :: (paternal) عمه /'amme/, (maternal) خاله /xâle/\n"
    "hello {interj} (greeting) :: سلام /salâm/; religious: سلام علیکم /salâmo aleykom/\n"
    "family {n} :: خاندان /xandanخاندان /khândân/, فامیل /famil/\n"
    "a line without the separator {n} كتاب\n"
    "Diyarbakır {prop} (city in Turkey) :: دیاربکر\n"
    "book {n} (a collection of pages) :: كتاب /ketâb/\n"
    "Book {prop} (a name) :: کتاب\n";

TEST_F(MkdictTool, BuildsBothTablesFromFixtureAndReportsBadLines) {
  const std::string list = Fixture(kFixtureList), out = File("data.dat");
  const Result r = Mkdict({list, out});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.err.find(":7: "), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("Diyarbakır"), std::string::npos) << r.out;
  std::ifstream in(list);
  const WordList parsed = ParseWordList(in);
  const auto [eng, per] = ExpectFileHolds(out, parsed.Senses, {"Diyarbakır"});
  EXPECT_EQ(eng.size(), 6u);
  EXPECT_EQ(eng[0], (Row{u"abandon", u"دست کشیدن، رها کردن؛ بی‌قیدی"}));
  for (const Row& row : per)
    if (row[0] == u"کتاب") {
      EXPECT_EQ(row[1], u"book (a collection of pages); Book (a name)");
    }
  EXPECT_TRUE(Rows(out, "flashcard").empty());
  EXPECT_FALSE(std::filesystem::exists(out + ".new"));
  ExpectCheckPasses(out);
}

TEST_F(MkdictTool, RebuildKeepsCardsAndAnUnreadableTargetIsLeftAlone) {
  const std::string list = Fixture(kFixtureList), out = File("data.dat");
  ASSERT_EQ(Mkdict({list, out}).status, 0);
  // The flashcard fields hold whatever either table's view copies into them.
  std::vector<Flashcard> cards;
  for (const char* table : {"eng2per", "per2en"})
    for (const Row& r : Rows(out, table)) cards.push_back({r[0], r[1]});
  cards.push_back({u"x", u""});
  AddCards(out, cards);
  ASSERT_EQ(Mkdict({list, out}).status, 0);
  const std::vector<Row> kept = Rows(out, "flashcard");
  ASSERT_EQ(kept.size(), cards.size());
  for (size_t i = 0; i < cards.size(); ++i) EXPECT_EQ(kept[i], (Row{cards[i].Word, cards[i].Meaning}));
  ExpectCheckPasses(out);

  // A target the password does not open is not replaced: its cards would be lost.
  const auto before = testing::ReadWholeFile(out);
  const Result r = Mkdict({list, out, "--password", "other"});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(testing::ReadWholeFile(out), before);
  EXPECT_FALSE(std::filesystem::exists(out + ".new"));
}

TEST_F(MkdictTool, LongMeaningsGetALargerPageAndAreNotCut) {
  // Some 800 translations of one sense: a meaning of about 6 000 characters, larger than a
  // record of the default page can hold.
  std::string line = "many {n} (a long meaning) :: ";
  const char* const letters[] = {"ب", "پ", "ت", "س", "ج", "د", "ر", "ز"};
  for (int i = 0; i < 800; ++i) {
    if (i) line += ", ";
    for (int k = 0, n = i; k < 4; ++k, n /= 8) line += letters[n % 8];
  }
  const std::string list = Fixture(line + "\nfew {n} :: کم\n"), out = File("data.dat");
  const Result r = Mkdict({list, out});
  ASSERT_EQ(r.status, 0) << r.err;
  std::ifstream in(list);
  const auto [eng, per] = ExpectFileHolds(out, ParseWordList(in).Senses, {});
  ASSERT_EQ(eng.size(), 2u);
  EXPECT_GT(eng[1][1].size(), 4000u);
  EXPECT_EQ(per.size(), 801u);
  ExpectCheckPasses(out);
}

TEST_F(MkdictTool, RefusesBadArguments) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"only-one"}, {"a", "b", "c"}, {"a", "b", "--password"}, {"--synthetic", "0", "x"}, {"--synthetic", "5"},
      {"a", "b", "--bogus"}};
  for (const auto& args : cases) EXPECT_EQ(Mkdict(args).status, 2) << (args.empty() ? "" : args[0]);
  EXPECT_EQ(Mkdict({File("missing.txt"), File("out.dat")}).status, 1);
  EXPECT_FALSE(std::filesystem::exists(File("out.dat")));
}

TEST_F(MkdictTool, SyntheticBuildIsDeterministicAndSound) {
  const std::string a = File("a.dat"), b = File("b.dat");
  ASSERT_EQ(Mkdict({"--synthetic", "2000", "--seed", "5", a}).status, 0);
  ASSERT_EQ(Mkdict({"--synthetic", "2000", "--seed", "5", b}).status, 0);
  const auto [eng, per] = ExpectFileHolds(a, SyntheticSenses(2000, 5), {});
  EXPECT_EQ(eng.size(), 2000u);
  EXPECT_EQ(Rows(b, "eng2per"), eng);
  ExpectCheckPasses(a);
}

TEST_F(MkdictTool, ShippedListBuildsWhole) {
  const std::string out = File("data.dat");
  const Result r = Mkdict({WORD_LIST_PATH, out});
  ASSERT_EQ(r.status, 0) << r.err;
  std::ifstream in(WORD_LIST_PATH);
  const WordList parsed = ParseWordList(in);
  // The lines with no Persian translation outside slashes ("teatr", "Not used in Persian").
  EXPECT_EQ(parsed.Bad.size(), 9u);
  for (const BadLine& b : parsed.Bad) EXPECT_NE(r.err.find(":" + std::to_string(b.Line) + ": "), std::string::npos);
  const Dictionary d = BuildDictionary(parsed.Senses);
  EXPECT_EQ(d.LeftOut.size(), 5u);
  const std::set<std::string> left_out(d.LeftOut.begin(), d.LeftOut.end());
  std::set<std::string> heads;
  std::set<std::u16string> persian;
  for (const Sense& s : parsed.Senses) {
    if (!left_out.count(s.Headword)) heads.insert(s.Headword);
    for (const std::u16string& t : s.Translations)
      if (!WithoutVowelMarks(t).empty()) persian.insert(WithoutVowelMarks(t));
  }
  const auto [eng, per] = ExpectFileHolds(out, parsed.Senses, left_out);
  EXPECT_EQ(eng.size(), heads.size());
  EXPECT_EQ(per.size(), persian.size());
  ExpectCheckPasses(out);
}

}  // namespace
}  // namespace dadoveri::mkdict
