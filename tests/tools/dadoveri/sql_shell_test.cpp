// `dadoveri sql`: splitting input into statements, the positions in its messages, the
// width of text on a terminal, and the command itself run as a process — CSV and table
// output, a batch that stops at its first error, a transaction left open, and the prompt
// on a pseudo-terminal going on after an error.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/base/utf8.h"
#include "tests/engine/test_support.h"
#include "tests/tools/dadoveri/tool_process.h"
#include "tools/dadoveri/sql_shell.h"

namespace dadoveri {
namespace {

using testing::ReadWholeFile;
using testing::TempFolder;
using testing::WriteWholeFile;
using tool::DisplayWidth;
using tool::ShiftMessagePosition;
using tool::SQLPiece;
using tool::SQLSplitter;
using tool::Utf8ToUtf16Lenient;

struct Piece {
  std::string text;
  int line;
  int column;
  bool operator==(const Piece&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Piece& p) {
  return os << "{\"" << p.text << "\", " << p.line << ", " << p.column << "}";
}

std::vector<Piece> pieces_of(const std::vector<SQLPiece>& in) {
  std::vector<Piece> out;
  for (const SQLPiece& p : in) out.push_back({Utf16ToUtf8(p.Text), p.Start.Line, p.Start.Column});
  return out;
}

// The whole text at once, and again one character at a time (as lines arrive at a prompt,
// where a '-' or '*' at the end of a part must wait for the next one).
TEST(SQLSplitterTest, EndsStatementsAtSemicolonsOutsideQuotesBracketsAndComments) {
  struct Case {
    const char* text;
    std::vector<Piece> pieces;
  };
  const Case cases[] = {
      {"SELECT 1 FROM t; SELECT 2 FROM t", {{"SELECT 1 FROM t", 1, 1}, {" SELECT 2 FROM t", 1, 17}}},
      {"SELECT ';' FROM t;", {{"SELECT ';' FROM t", 1, 1}}},
      {"SELECT 'it''s; here' FROM t;x", {{"SELECT 'it''s; here' FROM t", 1, 1}, {"x", 1, 29}}},
      {"SELECT \"a;b\" FROM [t;1];", {{"SELECT \"a;b\" FROM [t;1]", 1, 1}}},
      {"SELECT `a\\`;b` FROM t;", {{"SELECT `a\\`;b` FROM t", 1, 1}}},
      {"SELECT a -- not here;\nFROM t;", {{"SELECT a -- not here;\nFROM t", 1, 1}}},
      {"SELECT a /* ; */ FROM t;", {{"SELECT a /* ; */ FROM t", 1, 1}}},
      // A quote inside a word does not open a string, as in the lexer.
      {"SELECT it's FROM t; SELECT 2 FROM t", {{"SELECT it's FROM t", 1, 1}, {" SELECT 2 FROM t", 1, 20}}},
      // Empty statements, blanks and lone comments are dropped.
      {";; \n -- note\n;", {}},
      {"/* only */", {}},
      {"a;\n\n  b;\r\nc", {{"a", 1, 1}, {"\n\n  b", 1, 3}, {"\r\nc", 3, 5}}},
      // Persian text: one column per character, as the lexer counts.
      {"SELECT 'سلام' FROM t; x", {{"SELECT 'سلام' FROM t", 1, 1}, {" x", 1, 22}}},
      // An open quote runs to the end; the statement still comes out for the lexer to refuse.
      {"SELECT 'open; x", {{"SELECT 'open; x", 1, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::u16string text = Utf8ToUtf16Lenient(c.text);
    SQLSplitter whole;
    std::vector<SQLPiece> got = whole.Feed(text);
    for (SQLPiece& p : whole.Finish()) got.push_back(std::move(p));
    EXPECT_EQ(pieces_of(got), c.pieces);

    SQLSplitter parts;
    std::vector<SQLPiece> got_parts;
    for (const char16_t ch : text)
      for (SQLPiece& p : parts.Feed(std::u16string(1, ch))) got_parts.push_back(std::move(p));
    for (SQLPiece& p : parts.Finish()) got_parts.push_back(std::move(p));
    EXPECT_EQ(pieces_of(got_parts), c.pieces);
  }
}

TEST(SQLSplitterTest, PendingWhileAStatementOrQuoteIsOpen) {
  struct Case {
    const char* text;
    bool pending;
  };
  const Case cases[] = {
      {"", false},          {"  \n", false},         {"SELECT 1\n", true}, {"SELECT 1 FROM t;\n", false},
      {"'a;\n", true},      {"/* open\n", true},     {"-- c\n", false},    {"x; -- c\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    SQLSplitter s;
    s.Feed(Utf8ToUtf16Lenient(c.text));
    EXPECT_EQ(s.Pending(), c.pending);
  }
}

TEST(SQLShellTextTest, MessagePositionsMoveByTheStatementsStart) {
  struct Case {
    const char* message;
    tool::TextPosition start;
    const char* shifted;
  };
  const Case cases[] = {
      {"Expression expected, but 'x' found at line 1, column 8 - Native error: 30160", {3, 5},
       "Expression expected, but 'x' found at line 3, column 12 - Native error: 30160"},
      {"Expression expected, but 'x' found at line 2, column 8 - Native error: 30160", {3, 5},
       "Expression expected, but 'x' found at line 4, column 8 - Native error: 30160"},
      {"Table 't' not found - Native error: 30008", {3, 5}, "Table 't' not found - Native error: 30008"},
      // A quoted token that looks like a position is left alone.
      {"'at line 1, column 1' found at line 1, column 2", {1, 10}, "'at line 1, column 1' found at line 1, column 11"},
  };
  for (const Case& c : cases) EXPECT_EQ(ShiftMessagePosition(c.message, c.start), c.shifted);
}

TEST(SQLShellTextTest, DisplayWidthCountsTerminalColumns) {
  struct Case {
    const char* text;
    int32_t width;
  };
  const Case cases[] = {
      {"abc", 3},
      {"سلام", 4},
      {"می\u200Cروم", 5},     // the zero-width non-joiner takes no column
      {"كَتَبَ", 3},          // vowel signs take none either
      {"日本", 4},
      {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(DisplayWidth(c.text), c.width) << c.text;
}

using Result = testing::ToolResult;

class SQLCommand : public ::testing::Test {
 protected:
  SQLCommand() {
    file_ = folder_.File("words.dat");
    const Result made = Tool({"create", file_});
    EXPECT_EQ(made.status, 0) << made.err;
  }

  // Runs the tool; `input` (when given) is its standard input.
  Result Tool(const std::vector<std::string>& args, const std::string* input = nullptr) {
    if (!input) return testing::RunTool(folder_, args);
    const std::string in = folder_.File("stdin");
    WriteWholeFile(in, std::vector<uint8_t>(input->begin(), input->end()));
    return testing::RunTool(folder_, args, in);
  }
  Result SQL(const std::vector<std::string>& texts, bool csv = false) {
    std::vector<std::string> args = {"sql", file_};
    if (csv) args.push_back("--csv");
    for (const std::string& t : texts) {
      args.push_back("-c");
      args.push_back(t);
    }
    return Tool(args);
  }
  Result Piped(const std::string& input) { return Tool({"sql", file_}, &input); }

  TempFolder folder_;
  std::string file_;
};

TEST_F(SQLCommand, CsvQuotesOnlyWhereNeededWithCrlfAndEmptyNull) {
  const Result setup = SQL({"CREATE TABLE t (id INTEGER, s VARCHAR(40), w WIDESTRING(20)); "
                            "INSERT INTO t VALUES (1, 'plain', 'سلام'), (2, 'a,b', NULL), (3, 'say \"hi\"', 'x'), "
                            "(4, 'two\nlines', 'cr\r'), (5, NULL, 'کتاب, دفتر')"});
  ASSERT_EQ(setup.status, 0) << setup.err;
  const Result r = SQL({"SELECT id, s AS [the, text], w FROM t ORDER BY id"}, true);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "id,\"the, text\",w\r\n"
            "1,plain,سلام\r\n"
            "2,\"a,b\",\r\n"
            "3,\"say \"\"hi\"\"\",x\r\n"
            "4,\"two\nlines\",\"cr\r\"\r\n"
            "5,,\"کتاب, دفتر\"\r\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(SQLCommand, TableOutputAlignsByDisplayWidthAndFormatsEveryKind) {
  const Result setup = SQL({"CREATE TABLE v (id INTEGER, w WIDESTRING(20), f FLOAT, ok LOGICAL, d DATE, tm TIME, "
                            "ts TIMESTAMP, b BYTES(3))",
                            "INSERT INTO v VALUES (1, 'می\u200Cروم', 0.1, TRUE, DATE '2024-03-07', TIME '13:05:09', "
                            "TIMESTAMP '2024-03-07 01:02:03', NULL)",
                            "INSERT INTO v VALUES (22, 'ab\tc', -1.5e300, FALSE, NULL, NULL, NULL, NULL)"});
  ASSERT_EQ(setup.status, 0) << setup.err;
  EXPECT_EQ(setup.out, "1 row affected\n1 row affected\n");
  const Result r = SQL({"SELECT id, w, f, ok, d, tm, ts FROM v ORDER BY id"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "id | w     | f         | ok    | d          | tm       | ts\n"
            "---+-------+-----------+-------+------------+----------+--------------------\n"
            " 1 | می\u200Cروم |       0.1 | TRUE  | 2024-03-07 | 13:05:09 | 2024-03-07 01:02:03\n"
            "22 | ab\\tc | -1.5e+300 | FALSE | NULL       | NULL     | NULL\n"
            "(2 rows)\n");
}

TEST_F(SQLCommand, DmlReportsRowsAffectedAndPersianLiteralsKeepTheirText) {
  const Result r = Piped(
      "CREATE TABLE w (id INTEGER, fa WIDESTRING(20));\n"
      "INSERT INTO w VALUES (1, 'کتاب'), (2, 'دفتر'), (3, 'قلم');\n"
      "UPDATE w SET fa = 'مداد' WHERE fa = 'قلم';\n"
      "DELETE FROM w WHERE id = 9;\n"
      "SELECT id FROM w WHERE fa = 'مداد';\n"
      "SELECT fa FROM w WHERE id < 3 ORDER BY id\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "3 rows affected\n"
            "1 row affected\n"
            "0 rows affected\n"
            "id\n--\n 3\n(1 row)\n"
            "fa\n----\nکتاب\nدفتر\n(2 rows)\n");
}

TEST_F(SQLCommand, BatchStopsAtTheFirstErrorWithItsPlaceInTheInput) {
  ASSERT_EQ(SQL({"CREATE TABLE t (id INTEGER)"}).status, 0);
  struct Case {
    const char* name;
    bool piped;
    std::vector<std::string> texts;
    const char* message;  // the start of the error line's message
  };
  const Case cases[] = {
      {"piped", true,
       {"INSERT INTO t VALUES (1);\nINSERT INTO t VALUES (2);\n\n  SELECT id FROM t WHERE ;\nINSERT INTO t VALUES (3);"},
       "dadoveri: Unexpected end of SQL command found at line 4, column 25"},
      {"one -c text", false,
       {"INSERT INTO t VALUES (1); INSERT INTO t VALUES (2);\n  SELECT FROM t; INSERT INTO t VALUES (3)"},
       "dadoveri: "},
      {"later -c texts not run", false,
       {"INSERT INTO t VALUES (1); INSERT INTO t VALUES (2)", "SELECT nosuch FROM t", "INSERT INTO t VALUES (3)"},
       "dadoveri: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(SQL({"DELETE FROM t"}).status, 0);
    std::string joined;
    for (const std::string& t : c.texts) joined += t;
    const Result r = c.piped ? Piped(joined) : SQL(c.texts);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
    EXPECT_NE(r.err.find("Native error"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    const Result rows = SQL({"SELECT id FROM t ORDER BY id"}, true);
    EXPECT_EQ(rows.out, "id\r\n1\r\n2\r\n");
  }
  // Line and column count in the input as given: the bad token is on line 4, column 29.
  const Result r = Piped("SELECT id FROM t;\n\n-- a comment; here\n  SELECT id FROM t WHERE id = = 1;\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("at line 4, column 29"), std::string::npos) << r.err;
  const Result lexed = Piped("SELECT id FROM t;\nSELECT id FROM t WHERE (id = 1;\n");
  EXPECT_EQ(lexed.status, 1);
  EXPECT_NE(lexed.err.find("at line 2, column 24"), std::string::npos) << lexed.err;
  EXPECT_NE(lexed.out.find("(2 rows)"), std::string::npos) << lexed.out;
}

TEST_F(SQLCommand, AnOpenTransactionIsRolledBackWithANote) {
  ASSERT_EQ(SQL({"CREATE TABLE t (id INTEGER); INSERT INTO t VALUES (1)"}).status, 0);
  const Result r = SQL({"START TRANSACTION; INSERT INTO t VALUES (2); DELETE FROM t WHERE id = 1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("rolled back"), std::string::npos) << r.err;
  EXPECT_EQ(SQL({"SELECT id FROM t"}, true).out, "id\r\n1\r\n");
  // A committed one stays, without a note.
  const Result committed = SQL({"START TRANSACTION; INSERT INTO t VALUES (3); COMMIT"});
  EXPECT_EQ(committed.err, "");
  EXPECT_EQ(SQL({"SELECT id FROM t ORDER BY id"}, true).out, "id\r\n1\r\n3\r\n");
}

TEST_F(SQLCommand, ArgumentsAndFilesAreCheckedLikeTheOtherCommands) {
  const Result help = Tool({"sql", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: dadoveri sql FILE"), std::string::npos);
  EXPECT_EQ(Tool({"sql"}).status, 2);
  EXPECT_EQ(Tool({"sql", file_, "-c"}).status, 2);
  EXPECT_EQ(Tool({"sql", file_, "--csv=yes"}).status, 2);
  const Result missing = Tool({"sql", folder_.File("none.dat"), "-c", "SELECT 1 FROM t"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("does not exist"), std::string::npos) << missing.err;
}

// Reads what the terminal shows until `text` appears (or the child ends); answers all read.
// Reads from the terminal until `text` appears in `seen` at or after `from` (or the
// terminal stays silent for 30 s, or closes).
std::string read_until(int fd, std::string& seen, const std::string& text, size_t from = 0) {
  while (seen.find(text, from) == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) break;
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    seen.append(buffer, static_cast<size_t>(n));
  }
  return seen;
}

TEST_F(SQLCommand, ThePromptGoesOnAfterAnError) {
  ASSERT_EQ(SQL({"CREATE TABLE t (id INTEGER); INSERT INTO t VALUES (41)"}).status, 0);
  int master = -1;
  const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("ASAN_OPTIONS", "exitcode=86", 1);
    setenv("UBSAN_OPTIONS", "halt_on_error=1:exitcode=87", 1);
    setenv("HOME", "/nonexistent", 1);
    setenv("TERM", "dumb", 1);
    execl(DADOVERI_TOOL_PATH, DADOVERI_TOOL_PATH, "sql", file_.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string seen;
  read_until(master, seen, "dadoveri> ");
  EXPECT_NE(seen.find("dadoveri> "), std::string::npos) << seen;
  // A statement over two lines shows the continuation prompt; the error does not end it.
  // The line editor prints its prompt a moment before it takes the terminal over, and a key
  // typed in between can be lost; a person never types that fast, so the test waits too.
  const auto settle = [] { usleep(200000); };
  settle();
  const std::string first = "SELECT nosuch\n";
  ASSERT_EQ(write(master, first.data(), first.size()), static_cast<ssize_t>(first.size()));
  read_until(master, seen, "   ...> ");
  settle();
  const std::string second = "FROM t;\n";
  ASSERT_EQ(write(master, second.data(), second.size()), static_cast<ssize_t>(second.size()));
  read_until(master, seen, "Native error");
  const size_t error_at = seen.find("Native error");
  EXPECT_NE(error_at, std::string::npos) << seen;
  // Each line is typed once its prompt is up, as a user would: text typed while the shell
  // is still printing can be discarded by the line editor as it takes the terminal over.
  read_until(master, seen, "dadoveri> ", error_at);
  settle();
  const std::string third = "SELECT id + 1 AS n FROM t;\n";
  ASSERT_EQ(write(master, third.data(), third.size()), static_cast<ssize_t>(third.size()));
  read_until(master, seen, "(1 row)");
  EXPECT_NE(seen.find("42", error_at), std::string::npos) << seen;
  EXPECT_NE(seen.find("(1 row)", error_at), std::string::npos) << seen;
  // Ctrl-D ends the shell; should the key be lost all the same, it is typed again each
  // second until the shell has ended.
  const char end_of_input = 4;
  int status = 0;
  std::string rest;
  pid_t ended = 0;
  for (int i = 0; i < 30 && ended == 0; ++i) {
    // Ctrl-U first empties the line of anything a lost key left in it.
    settle();
    const char keys[] = {21, end_of_input};
    if (write(master, keys, 2) != 2) break;  // the terminal is gone: the shell ended
    pollfd p{master, POLLIN, 0};
    for (int waited = 0; waited < 10 && (ended = waitpid(child, &status, WNOHANG)) == 0; ++waited) {
      if (poll(&p, 1, 100) > 0) {
        char buffer[4096];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) rest.append(buffer, static_cast<size_t>(n));
      }
    }
  }
  if (ended == 0) ended = waitpid(child, &status, WNOHANG);
  if (ended == 0) {
    read_until(master, rest, "\x01never");
    for (int i = 0; i < 50 && (ended = waitpid(child, &status, WNOHANG)) == 0; ++i) usleep(100000);
  }
  if (ended == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  close(master);
  ASSERT_EQ(ended, child) << "the shell did not end after Ctrl-D:\n" << seen << rest;
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << seen << rest;
  EXPECT_EQ(rest.find("Sanitizer"), std::string::npos) << rest;
}

}  // namespace
}  // namespace dadoveri
