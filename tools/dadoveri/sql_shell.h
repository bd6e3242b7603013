// What `dadoveri sql` does with SQL text: splits it into statements the way the SQL lexer
// ends commands, runs each through the engine's SQL processor over one connection and
// prints each result as an aligned table or as CSV. Line editing (the prompt) lives in the
// tool itself; everything here works on text and streams, so the tests can drive it too.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace dadoveri {
class TABSBaseSession;
class TABSCursor;
class TABSDatabaseData;
class TABSSQLConnectionQuery;
class TABSSQLProcessor;
}  // namespace dadoveri

namespace dadoveri::tool {

// Line and column of a character, both counting from 1, counted as the SQL lexer counts
// them: a line feed starts a new line, a carriage return and the second half of a
// surrogate pair take no column.
struct TextPosition {
  int32_t Line = 1;
  int32_t Column = 1;
};

// One statement's text (without its ';') and where it starts in the input.
struct SQLPiece {
  std::u16string Text;
  TextPosition Start;
};

// Splits SQL text into statements at each ';' that stands outside quotes, brackets, back
// quotes and comments, as the lexer does. Text may come in parts (lines typed at a
// prompt); a statement is handed out once its ';' has arrived. Pieces holding nothing but
// blanks and comments are dropped.
class SQLSplitter {
 public:
  // Adds text; answers the statements it completed, in order.
  std::vector<SQLPiece> Feed(std::u16string_view text);
  // The end of the input: what is left, the last statement also without its ';'. The
  // splitter is then ready for new input, counting on from where this ended.
  std::vector<SQLPiece> Finish();
  // Whether text of an unfinished statement is waiting (a token, an open quote or comment).
  bool Pending() const;

 private:
  enum class State { kNormal, kLineComment, kBlockComment, kQuoted, kBackQuoted };

  // Scans what has arrived; with `at_end` no further text will come.
  void scan(bool at_end, std::vector<SQLPiece>& out);
  void advance_position(size_t index);

  std::u16string buffer_;     // from the start of the current statement on
  size_t at_ = 0;             // next character of buffer_ to scan
  TextPosition start_;        // position of buffer_[0]
  TextPosition position_;     // position of buffer_[at_]
  State state_ = State::kNormal;
  char16_t close_ = 0;        // closing character of the open quote
  bool doubling_ = false;     // a doubled closing character stands for one
  bool word_open_ = false;    // a word or number is being read: a quote continues it
  bool has_token_ = false;
};

// The result and message forms.
struct SQLShellSettings {
  bool Csv = false;
};

// Runs statements over one database connection and prints what they give: result sets
// and "N rows affected" to `out`, engine errors to `err` as "dadoveri: " and the message,
// with its line and column counted in the input as given.
class SQLShell {
 public:
  SQLShell(TABSDatabaseData& database, TABSBaseSession& session, const SQLShellSettings& settings, std::ostream& out,
           std::ostream& err);
  ~SQLShell();
  SQLShell(const SQLShell&) = delete;
  SQLShell& operator=(const SQLShell&) = delete;

  // Runs one statement; false (the error printed) when it failed.
  bool Run(const SQLPiece& piece);
  // Runs every statement of a whole input text (a -c text, or all of standard input), in
  // order; stops at the first failing one and answers false.
  bool RunText(std::u16string_view text);
  // Rolls back a transaction left open, with a note on `err`; answers whether there was one.
  bool RollBackOpenTransaction();

 private:
  void print_result(TABSCursor& cursor);

  std::unique_ptr<TABSSQLConnectionQuery> query_;
  std::unique_ptr<TABSSQLProcessor> processor_;
  SQLShellSettings settings_;
  std::ostream& out_;
  std::ostream& err_;
};

// UTF-8 to UTF-16; a malformed sequence becomes U+FFFD.
std::u16string Utf8ToUtf16Lenient(std::string_view text);

// Columns a terminal gives the UTF-8 text: 0 for combining marks and format characters,
// 2 for wide East Asian characters, 1 otherwise.
int32_t DisplayWidth(std::string_view utf8);

// Moves the "at line L, column C" of a message by the place where the statement started.
std::string ShiftMessagePosition(const std::string& message, TextPosition start);

}  // namespace dadoveri::tool
