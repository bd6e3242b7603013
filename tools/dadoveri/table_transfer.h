// `dadoveri import` and `dadoveri export`: rows of one table as tab-separated UTF-8 text.
//
// Text form of a row: one line, fields separated by a tab. Inside a field a backslash
// escapes: "\t" tab, "\n" line feed, "\r" carriage return, "\\" backslash. NULL is an empty
// field (the engine stores an empty string as NULL, so nothing is lost); on import "\N"
// reads as NULL too. Numbers are written in C notation ("-12", "3.25"), BOOLEAN as "true" or
// "false" (import also takes "1" and "0"), DATE as "YYYY-MM-DD", TIME as "HH:MM:SS" with
// ".ZZZ" milliseconds when there are any, DATETIME as the two joined by a blank. STRING text
// is converted to the process's code page and must fit it; WIDESTRING keeps every
// character.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/storage/encryption.h"
#include "engine/table/column_type.h"

namespace dadoveri {
class TABSCursor;
}

namespace dadoveri::tool {

// A failure to import or export; `line` is the 1-based input line of a bad row, 0 when
// the failure is not about one row.
class TransferError : public std::runtime_error {
 public:
  TransferError(const std::string& message, int64_t line = 0) : std::runtime_error(message), line(line) {}
  int64_t line;
};

struct ColumnSpec {
  std::string Name;
  TABSColumnType Type = ctString;
  int32_t Size = 0;
};

// "Id INTEGER, Word STRING(12), Note MEMO": a name, an engine type name and, for the types
// that have one, a size in parentheses. Raises TransferError with what is wrong.
std::vector<ColumnSpec> ParseColumns(const std::string& text);

struct ImportSettings {
  std::string Table;
  // Empty: the table must exist and the rows hold all its fields in order.
  std::string Columns;
  std::string PrimaryKey;
  std::vector<std::string> Indexes;
  // For the MEMO and BLOB fields of a table the import creates.
  uint8_t Compression = 0;
  uint8_t CompressionMode = 0;
  int64_t RowsPerCommit = 10000;
  // Told the rows committed so far after every commit.
  std::function<void(int64_t)> Progress;
};

struct ImportOutcome {
  int64_t Rows = 0;
  bool Created = false;
};

// Imports rows into FILE's table, creating the table when it is missing (then `Columns`
// is required). Rows are committed in batches; a bad row stops the import with a
// TransferError naming its line, after the batch it belongs to was rolled back (the
// batches before it stay). Engine errors pass as VODIDivodavir.
ImportOutcome ImportRows(const std::string& file, const TABSPassword& password, const ImportSettings& settings,
                         std::istream& in);

// Writes every row of the table in storage order; answers the number of rows.
int64_t ExportRows(const std::string& file, const TABSPassword& password, const std::string& table, std::ostream& out);

struct FilterSettings {
  std::string Table;
  // The filter text, UTF-8.
  std::string Filter;
  // The index whose order the rows come in; empty: storage order.
  std::string Index;
  bool CaseInsensitive = false;
  // Texts ending in '*' select the keys they begin.
  bool Partial = true;
  // Write the count of accepted rows instead of the rows.
  bool Count = false;
  // At most this many rows; negative: all.
  int64_t Limit = -1;
  // Write the plan the search chose (of the count, or of the first row) instead of rows.
  bool Explain = false;
};

// Writes the rows of the table a filter accepts, in the cursor's order and in the form
// of ExportRows; answers the number of rows (or the count). A filter the engine refuses
// passes as VODIDivodavir.
int64_t FilterRows(const std::string& file, const TABSPassword& password, const FilterSettings& settings,
                   std::ostream& out);

// The cursor's last search plan as lines of text: the path, its bounds, its cost beside
// the full scan's, and what it read.
std::string ExplainPlan(TABSCursor& cursor);

// A day number as YYYY-MM-DD, and milliseconds of the day as HH:MM:SS (with .ZZZ when
// there are any): the text forms of dates and times that export and the sql command print.
std::string FormatDate(int32_t day_number);
std::string FormatTime(int32_t msecs);

}  // namespace dadoveri::tool
