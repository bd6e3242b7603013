// dadoveri: the command-line tool over the Dadoveri engine.
//
//   dadoveri create FILE [options]   make a new, empty database file
//   dadoveri info FILE [options]     show its header, pages and tables
//   dadoveri check FILE [options]    verify every page and structure
//   dadoveri import FILE TABLE [options] < rows.tsv   add tab-separated rows to a table
//   dadoveri export FILE TABLE [options] > rows.tsv   write a table's rows as text
//   dadoveri filter FILE TABLE FILTER [options]      write the rows a filter accepts
//   dadoveri sql FILE [options]      run SQL statements and print their results
//
// Exit status: 0 success, 1 an engine error or problems found, 2 bad arguments.
#include <editline/readline.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <limits>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/database/disk_connection.h"
#include "engine/database/disk_database_data.h"
#include "engine/dataset/database.h"
#include "engine/storage/compression.h"
#include "engine/storage/encryption.h"
#include "engine/base/little_endian.h"
#include "engine/storage/page.h"
#include "engine/storage/prologue.h"
#include "engine/table/column_type.h"
#include "tools/dadoveri/database_survey.h"
#include "tools/dadoveri/sql_shell.h"
#include "tools/dadoveri/table_transfer.h"

namespace dadoveri::tool {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char* const kToolUsage =
    "Usage: dadoveri COMMAND FILE [TABLE] [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  create   create a new, empty database file\n"
    "  info     show the header, page counts and tables of a database file\n"
    "  check    read every page and structure of a database file and report problems\n"
    "  import   add tab-separated rows from standard input to a table\n"
    "  export   write the rows of a table to standard output as tab-separated text\n"
    "  filter   write the rows of a table that a filter accepts, or their count or plan\n"
    "  repair   rebuild a database file by copying every table into a new file\n"
    "  sql      run SQL statements and print their results\n"
    "\n"
    "Run 'dadoveri COMMAND --help' for the options of a command.\n"
    "Exit status: 0 success, 1 engine error or problems found, 2 bad arguments.\n";

const char* const kCreateUsage =
    "Usage: dadoveri create FILE [--password P] [--cipher NAME|CODE] [--page-size N]\n"
    "                            [--pages-per-extent N] [--max-connections N]\n"
    "\n"
    "Creates a new, empty database file. An existing file is never replaced.\n"
    "\n"
    "  --password P          encrypt the pages with this password\n"
    "  --cipher NAME|CODE    cipher of an encrypted file (default Rijndael_128):\n"
    "                        Rijndael_128 (0), Rijndael_256 (1), DES_Single (2),\n"
    "                        DES_Triple (3), Blowfish (4), Twofish_128 (5),\n"
    "                        Twofish_256 (6), Square (7)\n"
    "  --page-size N         page size in bytes, 512 to 65535 (default 4096)\n"
    "  --pages-per-extent N  pages per extent of the free-space map, 1 to 65535 (default 8)\n"
    "  --max-connections N   connections allowed at once, 1 to 65535 (default 500)\n";

const char* const kInfoUsage =
    "Usage: dadoveri info FILE [--password P] [--json]\n"
    "\n"
    "Shows the header fields, the cipher, page counts by type and the tables with their\n"
    "row counts, their record, BLOB and index page counts, fields and indexes.\n"
    "\n"
    "  --password P   password of an encrypted file\n"
    "  --json         print the same as JSON\n";

const char* const kCheckUsage =
    "Usage: dadoveri check FILE [--password P]\n"
    "\n"
    "Reads every page and every structure it can reach: page signatures and types, the\n"
    "free-space maps against the pages in use, internal-file chains, checksums of\n"
    "encrypted pages, the table list and each table's metadata and storage: record pages\n"
    "(presence bitmaps, counts against the table's page index and row count) and index\n"
    "pages (tree order, one entry per row with the row's own key). Prints each problem;\n"
    "exits 1 when there is one, 0 when the file is sound.\n"
    "\n"
    "  --password P   password of an encrypted file\n";

const char* const kImportUsage =
    "Usage: dadoveri import FILE TABLE [--columns SPEC] [--primary-key FIELD]\n"
    "                                  [--index FIELD[,FIELD]]...\n"
    "                                  [--compression ZLIB|BZIP|PPM[:MODE]] [--password P] < rows.tsv\n"
    "\n"
    "Adds the rows read from standard input to TABLE, creating the table when it is missing.\n"
    "Rows are committed every 10000 rows; at a terminal the count is shown as it grows. A bad\n"
    "row stops the import with its line number; the rows committed before it stay.\n"
    "\n"
    "  --columns SPEC        the columns of the text, as \"Id INTEGER, Word STRING(12), Note MEMO\"\n"
    "                        (needed to create the table; for an existing table they name its\n"
    "                        fields, by default all of them in order)\n"
    "  --primary-key FIELD   a new table's primary key\n"
    "  --index FIELD[,FIELD] an ascending, case-sensitive index on the fields of a new table\n"
    "                        (may be repeated)\n"
    "  --compression A[:M]   compression of a new table's MEMO and BLOB fields: ZLIB, BZIP or\n"
    "                        PPM, mode M from 1 to 9 (default 5)\n"
    "  --password P          password of an encrypted file\n"
    "\n"
    "Text: UTF-8, one row a line, fields separated by tabs; in a field \\t, \\n, \\r and \\\\\n"
    "stand for tab, line feed, carriage return and backslash. An empty field (or \\N) is NULL.\n"
    "Numbers as 12 or -3.25, BOOLEAN as true/false or 1/0, DATE as YYYY-MM-DD, TIME as\n"
    "HH:MM:SS[.ZZZ], DATETIME as both joined by a blank.\n";

const char* const kExportUsage =
    "Usage: dadoveri export FILE TABLE [--password P] > rows.tsv\n"
    "\n"
    "Writes every row of TABLE in storage order as tab-separated UTF-8 text, in the form\n"
    "'dadoveri import' reads: one row a line, \\t \\n \\r \\\\ escaped, NULL as an empty field.\n"
    "\n"
    "  --password P   password of an encrypted file\n";

const char* const kFilterUsage =
    "Usage: dadoveri filter FILE TABLE FILTER [--index NAME] [--case-insensitive] [--no-partial]\n"
    "                                         [--count] [--limit N] [--explain] [--password P]\n"
    "\n"
    "Writes the rows of TABLE that FILTER accepts, in the cursor's order, in the form of\n"
    "'dadoveri export'. FILTER is a filter expression such as \"Eng = 'ab*' AND Id > 10\" or\n"
    "\"Notes LIKE '%word%'\".\n"
    "\n"
    "  --index NAME         the rows in the order of this index (default: storage order)\n"
    "  --case-insensitive   text comparisons ignore letter case\n"
    "  --no-partial         a text ending in '*' is compared as it stands, not as a prefix\n"
    "  --count              print the number of rows the filter accepts\n"
    "  --limit N            write at most N rows\n"
    "  --explain            print the access path the search chose (index range with its bounds\n"
    "                       or full scan), its estimated cost beside the full scan's and what it\n"
    "                       read: of the count with --count, else of the search for the first row\n"
    "  --password P         password of an encrypted file\n";

const char* const kRepairUsage =
    "Usage: dadoveri repair FILE [--password P]\n"
    "\n"
    "Copies every table of FILE, record by record with its BLOB values, into a new file\n"
    "beside it, then puts the new file in its place in one step. A value that cannot be\n"
    "read is copied as NULL and a record that cannot be written is left out; each is\n"
    "reported. Progress goes to standard error. When the repair fails FILE is left\n"
    "exactly as it was and the status is 1.\n"
    "\n"
    "  --password P   password of an encrypted file\n";

const char* const kSQLUsage =
    "Usage: dadoveri sql FILE [--password P] [--csv] [-c SQL]...\n"
    "\n"
    "Runs SQL statements against FILE and prints each result. Each -c text runs in order\n"
    "(one may hold several statements separated by ';'); without -c the statements are read\n"
    "from standard input, separated by ';' outside quotes, brackets and comments (the last\n"
    "one needs no ';'). At a terminal a prompt reads them with line editing and history.\n"
    "\n"
    "A result prints as a table with a header, a rule, its rows and '(N rows)'; INSERT,\n"
    "UPDATE and DELETE print 'N rows affected'. Text is UTF-8; numbers in the shortest form\n"
    "that reads back the same; dates and times as YYYY-MM-DD and HH:MM:SS[.ZZZ]; logical\n"
    "values as TRUE and FALSE; bytes in hexadecimal.\n"
    "\n"
    "An engine error is printed to standard error with its native code and its line and\n"
    "column in the input. With -c or piped input the run stops there (status 1); at the\n"
    "prompt it goes on. A transaction left open at the end is rolled back.\n"
    "\n"
    "  --password P   password of an encrypted file\n"
    "  --csv          print results as CSV (RFC 4180): a header row of the column names, CRLF\n"
    "                 line ends, NULL as an empty field; no 'rows affected' lines\n"
    "  -c SQL         run this text (may be repeated)\n";

// Bytes that are not printable become \xNN, so that nothing read from a file can
// disturb the terminal.
std::string printable(const std::string& text) {
  std::string out;
  for (const unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

class UsageError {
 public:
  UsageError(std::string message, const char* usage) : message(std::move(message)), usage(usage) {}
  std::string message;
  const char* usage;
};

struct Arguments {
  std::string command;
  std::string file;
  std::optional<std::string> password;
  std::optional<uint8_t> cipher;
  int page_size = 4096;
  int pages_per_extent = 8;
  int max_connections = kDefaultMaxConnections;
  bool json = false;
  bool help = false;
  // import and export
  std::string table;
  std::string columns;
  std::string primary_key;
  std::vector<std::string> indexes;
  uint8_t compression = 0;
  uint8_t compression_mode = 0;
  // filter
  std::string filter;
  bool filter_given = false;
  std::string index;
  bool case_insensitive = false;
  bool no_partial = false;
  bool count = false;
  int64_t limit = -1;
  bool explain = false;
  // sql
  bool csv = false;
  std::vector<std::string> sql;
};


int parse_number(const std::string& option, const std::string& text, int low, int high, const char* usage) {
  size_t used = 0;
  long value = 0;
  try {
    value = std::stol(text, &used, 10);
  } catch (...) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < low || value > high)
    throw UsageError(option + " needs a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
                         ", not '" + printable(text) + "'",
                     usage);
  return static_cast<int>(value);
}

// "ZLIB", "BZIP" or "PPM", with ":MODE" from 1 to 9 (default 5).
void parse_compression(const std::string& text, Arguments& a, const char* usage) {
  const size_t colon = text.find(':');
  std::string name = text.substr(0, colon);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (name == "ZLIB") a.compression = acZLIB;
  else if (name == "BZIP") a.compression = acBZIP;
  else if (name == "PPM") a.compression = acPPM;
  else throw UsageError("unknown compression '" + printable(text) + "' (ZLIB, BZIP or PPM)", usage);
  a.compression_mode = colon == std::string::npos
                           ? 5
                           : static_cast<uint8_t>(parse_number("--compression mode", text.substr(colon + 1), 1, 9, usage));
}

uint8_t parse_cipher(const std::string& text, const char* usage) {
  for (int code = 0; code < kCipherCount; ++code) {
    const std::string_view name = CipherName(static_cast<uint8_t>(code));
    if (text.size() == name.size() &&
        std::equal(text.begin(), text.end(), name.begin(), [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
      return static_cast<uint8_t>(code);
  }
  if (text.size() == 1 && text[0] >= '0' && text[0] < '0' + kCipherCount) return static_cast<uint8_t>(text[0] - '0');
  throw UsageError("unknown cipher '" + printable(text) + "'", usage);
}

Arguments parse(int argc, char** argv) {
  Arguments a;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) throw UsageError("no command given", kToolUsage);
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    a.help = true;
    return a;
  }
  a.command = args[0];
  const char* usage = a.command == "create" ? kCreateUsage
                      : a.command == "info"  ? kInfoUsage
                      : a.command == "check" ? kCheckUsage
                      : a.command == "import" ? kImportUsage
                      : a.command == "export" ? kExportUsage
                      : a.command == "filter" ? kFilterUsage
                      : a.command == "repair" ? kRepairUsage
                      : a.command == "sql" ? kSQLUsage
                                             : nullptr;
  if (usage == nullptr) throw UsageError("unknown command '" + printable(a.command) + "'", kToolUsage);
  for (size_t i = 1; i < args.size(); ++i) {
    std::string arg = args[i];
    std::optional<std::string> inline_value;
    if (arg.rfind("--", 0) == 0) {
      const size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        inline_value = arg.substr(eq + 1);
        arg.resize(eq);
      }
    }
    auto value = [&]() -> std::string {
      if (inline_value) return *inline_value;
      if (i + 1 >= args.size()) throw UsageError(arg + " needs a value", usage);
      return args[++i];
    };
    const bool creating = a.command == "create";
    if (arg == "--help" || arg == "-h") {
      a.help = true;
    } else if (arg == "--password") {
      a.password = value();
    } else if (arg == "--cipher" && creating) {
      a.cipher = parse_cipher(value(), usage);
    } else if (arg == "--page-size" && creating) {
      a.page_size = parse_number(arg, value(), 512, 65535, usage);
    } else if (arg == "--pages-per-extent" && creating) {
      a.pages_per_extent = parse_number(arg, value(), 1, 65535, usage);
    } else if (arg == "--max-connections" && creating) {
      a.max_connections = parse_number(arg, value(), 1, 65535, usage);
    } else if (arg == "--json" && a.command == "info") {
      a.json = true;
    } else if (arg == "--columns" && a.command == "import") {
      a.columns = value();
    } else if (arg == "--primary-key" && a.command == "import") {
      a.primary_key = value();
    } else if (arg == "--index" && a.command == "import") {
      a.indexes.push_back(value());
    } else if (arg == "--compression" && a.command == "import") {
      parse_compression(value(), a, usage);
    } else if (arg == "--index" && a.command == "filter") {
      a.index = value();
    } else if (arg == "--case-insensitive" && a.command == "filter") {
      a.case_insensitive = true;
    } else if (arg == "--no-partial" && a.command == "filter") {
      a.no_partial = true;
    } else if (arg == "--count" && a.command == "filter") {
      a.count = true;
    } else if (arg == "--explain" && a.command == "filter") {
      a.explain = true;
    } else if (arg == "--limit" && a.command == "filter") {
      a.limit = parse_number(arg, value(), 0, std::numeric_limits<int>::max(), usage);
    } else if (arg == "--csv" && a.command == "sql") {
      a.csv = true;
    } else if (arg == "-c" && a.command == "sql") {
      a.sql.push_back(value());
    } else if (arg.size() > 1 && arg[0] == '-' && !(a.command == "filter" && !a.table.empty() && !a.filter_given)) {
      // A filter text (after TABLE) may begin with a minus sign.
      throw UsageError("unknown option '" + printable(arg) + "' for " + a.command, usage);
    } else if (a.file.empty()) {
      a.file = arg;
    } else if (a.table.empty() && (a.command == "import" || a.command == "export" || a.command == "filter")) {
      a.table = arg;
    } else if (!a.filter_given && a.command == "filter") {
      a.filter = arg;
      a.filter_given = true;
    } else {
      throw UsageError("unexpected argument '" + printable(arg) + "'", usage);
    }
    if (inline_value && (arg == "--help" || arg == "--json" || arg == "--case-insensitive" || arg == "--no-partial" ||
                         arg == "--count" || arg == "--explain" || arg == "--csv"))
      throw UsageError(arg + " takes no value", usage);
  }
  if (a.help) return a;
  if (a.file.empty()) throw UsageError("no FILE given", usage);
  if ((a.command == "import" || a.command == "export" || a.command == "filter") && a.table.empty())
    throw UsageError("no TABLE given", usage);
  if (a.command == "filter" && !a.filter_given) throw UsageError("no FILTER given", usage);
  if (a.password && a.password->empty()) throw UsageError("--password needs a non-empty password", usage);
  if (a.cipher && !a.password) throw UsageError("--cipher needs --password", usage);
  return a;
}

void say(const std::string& text) { std::fprintf(stderr, "dadoveri: %s\n", text.c_str()); }

// Reasons a file cannot be a database or is visibly damaged before the engine reads it;
// empty when the file looks like a database.
std::string damage_before_open(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<uint8_t> head(kPrologueSize, 0);
  in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  const auto got = in.gcount();
  if (got < kSignatureSize || std::memcmp(head.data(), kDatabaseSignature, kSignatureSize) != 0) return {};
  if (got < kPrologueSize) return "the file ends inside its header";
  const uint16_t page_size = LoadLE<uint16_t>(&head[26]);
  if (LoadLE<int16_t>(&head[16]) != kMainHeaderSize) return "the header size is not 76";
  if (page_size < 2 * kPageHeaderSize) return "the page size " + std::to_string(page_size) + " is too small";
  if (LoadLE<uint16_t>(&head[28]) == 0) return "the extent size is 0";
  if (LoadLE<int32_t>(&head[30]) < 0) return "the page count is negative";
  return {};
}

// Prints an error from opening a file with its own clear message; answers the exit code.
int report_open_error(const Arguments& a, const VODIDivodavir& e) {
  const std::string file = "'" + printable(a.file) + "'";
  const std::string message = printable(e.what());
  switch (e.NativeError) {
    case 30445:
      if (!a.password)
        say(file + " is encrypted: give its password with --password (" + message + ")");
      else
        say("wrong password for " + file + " (" + message + ")");
      break;
    case 10470:
      say(file + " is not a Dadoveri database file (" + message + ")");
      break;
    case 20237:
      say(file + " is damaged (" + message + ")");
      break;
    default:
      say(message);
      break;
  }
  return kExitFailure;
}

// Checks that FILE names an existing regular file; prints why not.
bool file_is_there(const std::string& file) {
  std::error_code ec;
  const auto status = std::filesystem::status(file, ec);
  if (ec || !std::filesystem::exists(status)) {
    say("'" + printable(file) + "' does not exist");
    return false;
  }
  if (!std::filesystem::is_regular_file(status)) {
    say("'" + printable(file) + "' is not a regular file");
    return false;
  }
  const std::string damage = damage_before_open(file);
  if (!damage.empty()) {
    say("'" + printable(file) + "' is damaged: " + damage);
    return false;
  }
  return true;
}

TABSPassword password_of(const Arguments& a) {
  TABSPassword p;
  if (a.password) p.Password = *a.password;
  if (a.cipher) p.CryptoAlgorithm = *a.cipher;
  return p;
}

int run_create(const Arguments& a) {
  std::error_code ec;
  if (std::filesystem::exists(a.file, ec)) {
    say("'" + printable(a.file) + "' already exists; it is never replaced");
    return kExitFailure;
  }
  TABSDiskDatabaseData db(a.file);
  db.CreateSettings.PageSize = static_cast<uint16_t>(a.page_size);
  db.CreateSettings.PagesPerExtent = static_cast<uint16_t>(a.pages_per_extent);
  db.CreateSettings.MaxConnections = a.max_connections;
  db.CreateSettings.Password = password_of(a);
  try {
    db.CreateDatabase();
  } catch (...) {
    std::filesystem::remove(a.file, ec);
    throw;
  }
  std::printf("created %s: page size %d, %d pages per extent, %d connections, %s\n", printable(a.file).c_str(),
              a.page_size, a.pages_per_extent, a.max_connections,
              a.password ? ("encrypted with " + std::string(CipherName(db.CreateSettings.Password.CryptoAlgorithm))).c_str()
                         : "not encrypted");
  return kExitOk;
}

std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (const unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      // Names are single-byte text of the code page: bytes above 127 are written as
      // the characters of the same code.
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\u%04X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string field_type_text(const TABSFieldDef& f) {
  std::string t = ColumnTypeName(f.ColumnType);
  if (IsStringOrBytesColumnType(f.ColumnType) && f.ColumnType != ctGuid) {
    char size[24];
    std::snprintf(size, sizeof size, "(%d)", f.Size);
    t.append(size);
  }
  return t;
}

std::string index_columns_text(const TABSIndexDef& index) {
  std::string s;
  for (const TABSIndexColumn& c : index.Columns) {
    if (!s.empty()) s += ", ";
    s += printable(c.FieldName);
    if (c.Descending) s += " DESC";
    if (c.CaseInsensitive) s += " NOCASE";
  }
  return s;
}

const char* write_state_text(uint8_t state) {
  return state == kWriteStateConsistent ? "consistent" : state == kWriteStateWriting ? "commit interrupted" : "unknown";
}

void print_info_text(const DatabaseInfo& info) {
  std::printf("File:               %s\n", printable(info.FileName).c_str());
  std::printf("Format version:     %.2f\n", info.FormatVersion);
  std::printf("Page size:          %u\n", info.PageSize);
  std::printf("Pages per extent:   %u\n", info.PagesPerExtent);
  std::printf("Total pages:        %d\n", info.TotalPageCount);
  std::printf("Highest used page:  %d\n", info.HighestUsedPageNo);
  std::printf("Commit counter:     %d\n", info.CommitCounter);
  std::printf("Write state:        %d (%s)\n", info.WriteState, write_state_text(info.WriteState));
  if (info.Encrypted)
    std::printf("Encryption:         %s (cipher %d)\n", std::string(CipherName(info.Cipher)).c_str(), info.Cipher);
  else
    std::printf("Encryption:         none\n");
  std::printf("Max connections:    %d\n", info.MaxConnections);
  std::printf("Next object ID:     %d\n", info.NextObjectID);
  std::printf("Pages by type:\n");
  for (const auto& [name, count] : info.PagesByType) std::printf("  %-26s %d\n", name.c_str(), count);
  std::printf("Tables:             %zu\n", info.Tables.size());
  for (const TableInfo& t : info.Tables) {
    std::printf("  %s (object %d)\n", printable(t.Entry.TableName).c_str(), t.Entry.ObjectID);
    if (!t.Metadata) {
      std::printf("    metadata unreadable: %s\n", printable(t.MetadataError).c_str());
      continue;
    }
    if (t.HasStorage) {
      const TABSTableStorageReport& st = t.Storage;
      std::printf("    rows %lld; pages: %lld record, %lld BLOB, %lld index, %lld record-page index\n",
                  static_cast<long long>(st.RecordCount), static_cast<long long>(st.RecordPages),
                  static_cast<long long>(st.BlobPages), static_cast<long long>(st.IndexPages),
                  static_cast<long long>(st.PageIndexPages));
    }
    for (int32_t i = 0; i < t.Metadata->Fields.Count(); ++i) {
      const TABSFieldDef& f = *t.Metadata->Fields.Item(i);
      std::printf("    field %-24s %s\n", printable(f.Name).c_str(), field_type_text(f).c_str());
    }
    for (int32_t i = 0; i < t.Metadata->Indexes.Count(); ++i) {
      const TABSIndexDef& x = *t.Metadata->Indexes.Item(i);
      std::printf("    index %-24s (%s)%s%s\n", printable(x.Name).c_str(), index_columns_text(x).c_str(),
                  x.Primary ? " PRIMARY" : "", x.Unique && !x.Primary ? " UNIQUE" : "");
    }
    for (int32_t i = 0; i < t.Metadata->Constraints.Count(); ++i)
      std::printf("    constraint %s\n", printable(t.Metadata->Constraints.Item(i)->Name).c_str());
  }
}

void print_info_json(const DatabaseInfo& info) {
  std::string o = "{\n";
  o += "  \"file\": " + json_string(info.FileName) + ",\n";
  char version[32];
  std::snprintf(version, sizeof version, "%.2f", info.FormatVersion);
  o += "  \"format_version\": " + std::string(version) + ",\n";
  o += "  \"page_size\": " + std::to_string(info.PageSize) + ",\n";
  o += "  \"pages_per_extent\": " + std::to_string(info.PagesPerExtent) + ",\n";
  o += "  \"total_page_count\": " + std::to_string(info.TotalPageCount) + ",\n";
  o += "  \"highest_used_page\": " + std::to_string(info.HighestUsedPageNo) + ",\n";
  o += "  \"commit_counter\": " + std::to_string(info.CommitCounter) + ",\n";
  o += "  \"write_state\": " + std::to_string(info.WriteState) + ",\n";
  o += "  \"encrypted\": " + std::string(info.Encrypted ? "true" : "false") + ",\n";
  o += "  \"cipher\": " + (info.Encrypted ? json_string(std::string(CipherName(info.Cipher))) : "null") + ",\n";
  o += "  \"max_connections\": " + std::to_string(info.MaxConnections) + ",\n";
  o += "  \"next_object_id\": " + std::to_string(info.NextObjectID) + ",\n";
  o += "  \"pages_by_type\": {";
  for (size_t i = 0; i < info.PagesByType.size(); ++i)
    o += (i ? ", " : "") + json_string(info.PagesByType[i].first) + ": " + std::to_string(info.PagesByType[i].second);
  o += "},\n  \"tables\": [";
  for (size_t ti = 0; ti < info.Tables.size(); ++ti) {
    const TableInfo& t = info.Tables[ti];
    o += ti ? ",\n    {" : "\n    {";
    o += "\"name\": " + json_string(t.Entry.TableName) + ", \"object_id\": " + std::to_string(t.Entry.ObjectID);
    if (!t.Metadata) {
      o += ", \"error\": " + json_string(t.MetadataError) + "}";
      continue;
    }
    if (t.HasStorage) {
      const TABSTableStorageReport& st = t.Storage;
      o += ", \"rows\": " + std::to_string(st.RecordCount) + ", \"record_pages\": " + std::to_string(st.RecordPages) +
           ", \"blob_pages\": " + std::to_string(st.BlobPages) + ", \"index_pages\": " + std::to_string(st.IndexPages) +
           ", \"record_page_index_pages\": " + std::to_string(st.PageIndexPages);
    }
    o += ", \"fields\": [";
    for (int32_t i = 0; i < t.Metadata->Fields.Count(); ++i) {
      const TABSFieldDef& f = *t.Metadata->Fields.Item(i);
      o += (i ? ", " : "") + std::string("{\"name\": ") + json_string(f.Name) +
           ", \"type\": " + json_string(ColumnTypeName(f.ColumnType)) + ", \"size\": " + std::to_string(f.Size) + "}";
    }
    o += "], \"indexes\": [";
    for (int32_t i = 0; i < t.Metadata->Indexes.Count(); ++i) {
      const TABSIndexDef& x = *t.Metadata->Indexes.Item(i);
      o += (i ? ", " : "") + std::string("{\"name\": ") + json_string(x.Name) +
           ", \"primary\": " + (x.Primary ? "true" : "false") + ", \"unique\": " + (x.Unique ? "true" : "false") +
           ", \"columns\": [";
      for (size_t c = 0; c < x.Columns.size(); ++c)
        o += (c ? ", " : "") + std::string("{\"field\": ") + json_string(x.Columns[c].FieldName) +
             ", \"descending\": " + (x.Columns[c].Descending ? "true" : "false") +
             ", \"case_insensitive\": " + (x.Columns[c].CaseInsensitive ? "true" : "false") + "}";
      o += "]}";
    }
    o += "], \"constraints\": [";
    for (int32_t i = 0; i < t.Metadata->Constraints.Count(); ++i)
      o += (i ? ", " : "") + json_string(t.Metadata->Constraints.Item(i)->Name);
    o += "]}";
  }
  o += info.Tables.empty() ? "]\n}\n" : "\n  ]\n}\n";
  std::fputs(o.c_str(), stdout);
}

int run_info(const Arguments& a) {
  if (!file_is_there(a.file)) return kExitFailure;
  const DatabaseInfo info = ReadDatabaseInfo(a.file, password_of(a));
  if (a.json)
    print_info_json(info);
  else
    print_info_text(info);
  return kExitOk;
}

int run_check(const Arguments& a) {
  if (!file_is_there(a.file)) return kExitFailure;
  const std::vector<std::string> problems = CheckDatabase(a.file, password_of(a));
  for (const std::string& p : problems) std::printf("problem: %s\n", printable(p).c_str());
  if (problems.empty()) {
    std::printf("%s: no problems found\n", printable(a.file).c_str());
    return kExitOk;
  }
  std::printf("%s: %zu problem%s found\n", printable(a.file).c_str(), problems.size(), problems.size() == 1 ? "" : "s");
  return kExitFailure;
}

int run_import(const Arguments& a) {
  if (!file_is_there(a.file)) return kExitFailure;
  ImportSettings settings;
  settings.Table = a.table;
  settings.Columns = a.columns;
  settings.PrimaryKey = a.primary_key;
  settings.Indexes = a.indexes;
  settings.Compression = a.compression;
  settings.CompressionMode = a.compression_mode;
  const bool terminal = isatty(fileno(stderr)) != 0;
  if (terminal)
    settings.Progress = [](int64_t rows) {
      std::fprintf(stderr, "\r%lld rows imported", static_cast<long long>(rows));
      std::fflush(stderr);
    };
  try {
    const ImportOutcome outcome = ImportRows(a.file, password_of(a), settings, std::cin);
    if (terminal) std::fputc('\n', stderr);
    std::printf("%s: %lld rows imported into %s table '%s'\n", printable(a.file).c_str(),
                static_cast<long long>(outcome.Rows), outcome.Created ? "new" : "existing", printable(a.table).c_str());
    return kExitOk;
  } catch (const TransferError& e) {
    if (terminal) std::fputc('\n', stderr);
    say(e.line > 0 ? "line " + std::to_string(e.line) + ": " + printable(e.what()) : printable(e.what()));
    return kExitFailure;
  }
}

int run_repair(const Arguments& a) {
  if (!file_is_there(a.file)) return kExitFailure;
  TABSDatabase database;
  database.SetDatabaseName("dadoveri-repair");
  database.SetDatabaseFileName(std::filesystem::absolute(a.file).string());
  if (a.password) database.Password = *a.password;
  database.SilentMode = true;
  int shown = -1;
  database.OnRepairProgress = [&shown](TABSDatabase&, double percent, bool&) {
    const int whole = static_cast<int>(percent);
    if (whole == shown) return;
    shown = whole;
    std::fprintf(stderr, "repairing: %d%%\n", whole);
  };
  std::string error_text;
  const bool ok = database.RepairDatabase(error_text);
  // The lines of what was copied with losses (or why the repair stopped).
  size_t start = 0;
  while (start < error_text.size()) {
    size_t end = error_text.find('\n', start);
    if (end == std::string::npos) end = error_text.size();
    if (end > start) say(printable(error_text.substr(start, end - start)));
    start = end + 1;
  }
  if (!ok) {
    say("'" + printable(a.file) + "' was not repaired and is unchanged");
    return kExitFailure;
  }
  std::printf("%s: repaired\n", printable(a.file).c_str());
  return kExitOk;
}

int run_export(const Arguments& a) {
  if (!file_is_there(a.file)) return kExitFailure;
  try {
    ExportRows(a.file, password_of(a), a.table, std::cout);
    return kExitOk;
  } catch (const TransferError& e) {
    say(printable(e.what()));
    return kExitFailure;
  }
}

int run_filter(const Arguments& a) {
  if (!file_is_there(a.file)) return kExitFailure;
  FilterSettings settings;
  settings.Table = a.table;
  settings.Filter = a.filter;
  settings.Index = a.index;
  settings.CaseInsensitive = a.case_insensitive;
  settings.Partial = !a.no_partial;
  settings.Count = a.count;
  settings.Limit = a.limit;
  settings.Explain = a.explain;
  try {
    FilterRows(a.file, password_of(a), settings, std::cout);
    return kExitOk;
  } catch (const TransferError& e) {
    say(printable(e.what()));
    return kExitFailure;
  }
}

// The prompt: lines are read with line editing and history; each statement runs as soon
// as its ';' is typed, and an error is reported without ending the session. End of input
// (Ctrl-D) runs what is left.
void run_prompt(SQLShell& shell) {
  SQLSplitter splitter;
  using_history();
  for (;;) {
    std::fflush(stdout);
    char* typed = readline(splitter.Pending() ? "   ...> " : "dadoveri> ");
    if (typed == nullptr) {
      std::fputc('\n', stdout);
      for (const SQLPiece& piece : splitter.Finish()) shell.Run(piece);
      return;
    }
    const std::string line(typed);
    std::free(typed);
    if (line.find_first_not_of(" \t") != std::string::npos) add_history(line.c_str());
    for (const SQLPiece& piece : splitter.Feed(Utf8ToUtf16Lenient(line + "\n"))) shell.Run(piece);
  }
}

int run_sql(const Arguments& a) {
  if (!file_is_there(a.file)) return kExitFailure;
  TABSConnectOptions options;
  options.Password = password_of(a);
  TABSDiskConnection connection(a.file, options);
  SQLShellSettings settings;
  settings.Csv = a.csv;
  int status = kExitOk;
  {
    SQLShell shell(connection.db(), connection.session(), settings, std::cout, std::cerr);
    if (!a.sql.empty()) {
      for (const std::string& text : a.sql) {
        if (!shell.RunText(Utf8ToUtf16Lenient(text))) {
          status = kExitFailure;
          break;
        }
      }
    } else if (isatty(fileno(stdin)) != 0) {
      run_prompt(shell);
    } else {
      const std::string input((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
      if (!shell.RunText(Utf8ToUtf16Lenient(input))) status = kExitFailure;
    }
    shell.RollBackOpenTransaction();
  }
  std::cout.flush();
  return status;
}

int run(int argc, char** argv) {
  Arguments a;
  try {
    a = parse(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "dadoveri: %s\n\n%s", e.message.c_str(), e.usage);
    return kExitUsage;
  }
  if (a.help) {
    std::fputs(a.command == "create" ? kCreateUsage
               : a.command == "info" ? kInfoUsage
               : a.command == "check" ? kCheckUsage
               : a.command == "import" ? kImportUsage
               : a.command == "export" ? kExportUsage
               : a.command == "filter" ? kFilterUsage
               : a.command == "repair" ? kRepairUsage
               : a.command == "sql" ? kSQLUsage
                                      : kToolUsage,
               stdout);
    return kExitOk;
  }
  try {
    if (a.command == "create") return run_create(a);
    if (a.command == "info") return run_info(a);
    if (a.command == "import") return run_import(a);
    if (a.command == "export") return run_export(a);
    if (a.command == "filter") return run_filter(a);
    if (a.command == "repair") return run_repair(a);
    if (a.command == "sql") return run_sql(a);
    return run_check(a);
  } catch (const VODIDivodavir& e) {
    return report_open_error(a, e);
  } catch (const std::exception& e) {
    say(printable(e.what()));
    return kExitFailure;
  }
}

}  // namespace
}  // namespace dadoveri::tool

int main(int argc, char** argv) { return dadoveri::tool::run(argc, argv); }
