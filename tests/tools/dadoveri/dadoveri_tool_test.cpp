// The dadoveri tool, run as a separate process: create, info and check on plain and
// encrypted files, problems check finds in damaged files, and argument errors.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/database/disk_database_data.h"
#include "engine/base/little_endian.h"
#include "engine/storage/encryption.h"
#include "engine/table/btree_page_index.h"
#include "engine/table/table_metadata.h"
#include "tests/engine/test_support.h"
#include "tests/tools/dadoveri/tool_process.h"
#include "tools/dadoveri/table_transfer.h"

namespace dadoveri {
namespace {

using testing::ReadWholeFile;
using testing::TempFolder;
using testing::WriteWholeFile;

using Result = testing::ToolResult;

class ToolTest : public ::testing::Test {
 protected:
  // `input`: a file to give the tool as its standard input.
  Result Run(const std::vector<std::string>& args, const std::string& input = "") {
    return testing::RunTool(folder_, args, input);
  }
  std::string File(const std::string& name) { return folder_.File(name); }

  // Adds a table with a few fields, an index and constraints through the engine;
  // answers its catalog entry.
  TABSTableListEntry AddTable(const std::string& file, const TABSPassword& password, const std::string& name) {
    TABSDiskDatabaseData db(file);
    TABSConnectOptions options;
    options.Password = password;
    const int32_t s = db.Connect(options);
    TABSTableMetadata m;
    const char* names[] = {"Id", "Word", "Meaning", "Added"};
    const TABSColumnType types[] = {ctAutoincInteger, ctString, ctWideMemo, ctDateTime};
    for (int i = 0; i < 4; ++i) {
      TABSFieldDef* f = m.Fields.AddFieldDef();
      f->Name = names[i];
      f->SetType(types[i], types[i] == ctString ? 60 : 0);
    }
    TABSIndexDef* pk = m.Indexes.AddIndexDef();
    pk->Name = "PK_Id";
    pk->Primary = pk->Unique = true;
    TABSIndexDefs::BuildColumns(*pk, {"Id"}, {"ASC"}, {""});
    TABSIndexDef* byword = m.Indexes.AddIndexDef();
    byword->Name = "ByWord";
    TABSIndexDefs::BuildColumns(*byword, {"Word"}, {"DESC"}, {"NO_CASE"});
    m.Constraints.AddConstraint(DeriveConstraintFromIndex(*pk));
    m.Constraints.AddNotNull("", "Word");
    const TABSTableListEntry entry = db.CreateTable(s, name, m);
    db.Disconnect(s);
    return entry;
  }

  static void Patch(const std::string& file, size_t offset, uint8_t xor_mask) {
    std::vector<uint8_t> bytes = ReadWholeFile(file);
    ASSERT_LT(offset, bytes.size());
    bytes[offset] ^= xor_mask;
    WriteWholeFile(file, bytes);
  }
  static size_t PageOffset(int32_t page_no, size_t page_size = 4096) { return 380 + page_no * page_size; }

  TempFolder folder_;
};

TEST_F(ToolTest, CreateInfoCheckOnPlainAndEveryCipher) {
  for (int code = -1; code < kCipherCount; ++code) {
    const std::string name = CipherName(static_cast<uint8_t>(code)).empty() ? "plain" : std::string(CipherName(code));
    SCOPED_TRACE(name);
    const std::string file = File(name + ".dat");
    std::vector<std::string> create{"create", file, "--page-size", "2048", "--max-connections", "20"};
    TABSPassword password;
    if (code >= 0) {
      password = {"pass-" + name, static_cast<uint8_t>(code)};
      create.insert(create.end(), {"--password", password.Password, "--cipher", code % 2 ? name : std::to_string(code)});
    }
    Result r = Run(create);
    ASSERT_EQ(r.status, 0) << r.err;
    AddTable(file, password, "Dictionary");
    std::vector<std::string> pw;
    if (code >= 0) pw = {"--password", password.Password};

    std::vector<std::string> info{"info", file};
    info.insert(info.end(), pw.begin(), pw.end());
    r = Run(info);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Page size:          2048"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Max connections:    20"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(code >= 0 ? "Encryption:         " + name : "Encryption:         none"), std::string::npos)
        << r.out;
    for (const char* s : {"Dictionary", "Word", "STRING(60)", "WIDEMEMO", "PK_Id", "(Word DESC NOCASE)",
                          "C_PK$Id", "TableMetaData Page", "TableLocks Page"})
      EXPECT_NE(r.out.find(s), std::string::npos) << s << "\n" << r.out;

    info.push_back("--json");
    r = Run(info);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(code >= 0 ? "\"cipher\": \"" + name + "\"" : "\"cipher\": null"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("{\"field\": \"Word\", \"descending\": true, \"case_insensitive\": true}"), std::string::npos)
        << r.out;

    std::vector<std::string> check{"check", file};
    check.insert(check.end(), pw.begin(), pw.end());
    r = Run(check);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("no problems found"), std::string::npos);
  }
}

TEST_F(ToolTest, CheckFindsDamage) {
  struct Case {
    const char* what;
    bool encrypted;
    // Answers the offset and the mask of the byte to change.
    std::function<std::pair<size_t, uint8_t>(const TABSTableListEntry&)> damage;
    const char* expected;
  };
  const Case cases[] = {
      {"a flipped byte in an encrypted page", true,
       [](const TABSTableListEntry& e) { return std::pair{PageOffset(e.MetadataStartPageNo) + 40 + 200, uint8_t{0x20}}; },
       "encrypted data does not match its checksum"},
      {"a cleared PFS bit of a used page", false,
       [](const TABSTableListEntry& e) {
         const int32_t n = e.MetadataStartPageNo;
         return std::pair{PageOffset(0) + 40 + n / 8, static_cast<uint8_t>(1u << (n % 8))};
       },
       "is in use but marked free in the page-usage map"},
      {"a broken internal-file chain", false,
       [](const TABSTableListEntry& e) {
         // The lock file's first page now leads on to page 0 (a map page).
         return std::pair{PageOffset(e.LocksStartPageNo) + 10, uint8_t{0xFF}};
       },
       "chain is broken"},
      {"a metadata page of the wrong type", true,
       [](const TABSTableListEntry& e) { return std::pair{PageOffset(e.MetadataStartPageNo) + 8, uint8_t{0x01}}; },
       "chain is broken"},
      {"an active-sessions file far larger than its pages", false,
       // Page 3 follows the directory; the top byte of its recorded size. The connection
       // count it implies once overflowed the expected size of every lock file.
       [](const TABSTableListEntry&) { return std::pair{PageOffset(3) + 40 + 4, uint8_t{0x30}}; },
       "the active-sessions file chain is broken"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string file = File("damage.dat");
    std::remove(file.c_str());
    TABSPassword password;
    std::vector<std::string> args{"create", file};
    if (c.encrypted) {
      password = {"pw", caTwofish_256};
      args.insert(args.end(), {"--password", "pw", "--cipher", "Twofish_256"});
    }
    ASSERT_EQ(Run(args).status, 0);
    const TABSTableListEntry entry = AddTable(file, password, "T");
    std::vector<std::string> check{"check", file};
    if (c.encrypted) check.insert(check.end(), {"--password", "pw"});
    ASSERT_EQ(Run(check).status, 0);
    const auto [offset, mask] = c.damage(entry);
    Patch(file, offset, mask);
    const Result r = Run(check);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out << r.err;
    EXPECT_NE(r.out.find("problem: "), std::string::npos);
  }
}

TEST_F(ToolTest, FilesThatCannotBeOpenedGetTheirOwnMessages) {
  const std::string good = File("good.dat");
  ASSERT_EQ(Run({"create", good, "--password", "right"}).status, 0);
  const std::string foreign = File("foreign.dat");
  WriteWholeFile(foreign, std::vector<uint8_t>(5000, 0x41));
  const std::string short_file = File("short.dat");
  std::vector<uint8_t> head = ReadWholeFile(good);
  head.resize(100);
  WriteWholeFile(short_file, head);
  const std::string zero_pages = File("zero.dat");
  std::vector<uint8_t> bytes = ReadWholeFile(good);
  bytes[26] = bytes[27] = 0;  // page size 0
  WriteWholeFile(zero_pages, bytes);
  const std::string truncated = File("truncated.dat");
  bytes = ReadWholeFile(good);
  bytes.resize(380 + 4096 * 2 + 100);
  WriteWholeFile(truncated, bytes);

  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"info", File("missing.dat")}, "does not exist"},
      {{"check", folder_.File("")}, "is not a regular file"},
      {{"info", good}, "is encrypted: give its password with --password"},
      {{"check", good, "--password", "wrong"}, "wrong password for"},
      {{"info", foreign}, "is not a Dadoveri database file"},
      {{"check", short_file}, "is damaged: the file ends inside its header"},
      {{"info", zero_pages}, "is damaged: the page size 0 is too small"},
      {{"create", good}, "already exists"},
  };
  for (const Case& c : cases) {
    const Result r = Run(c.args);
    EXPECT_EQ(r.status, 1) << c.args[1] << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  // A file cut short inside its pages is reported, not a crash.
  const Result r = Run({"check", truncated, "--password", "right"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE((r.out + r.err).find("bytes long"), std::string::npos) << r.out << r.err;
}

TEST_F(ToolTest, BadArgumentsGiveUsageAndStatusTwo) {
  const std::string f = File("x.dat");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate", f},
      {"create"},
      {"create", f, "--page-size", "100"},
      {"create", f, "--page-size", "4k"},
      {"create", f, "--page-size"},
      {"create", f, "--max-connections", "0"},
      {"create", f, "--pages-per-extent", "70000"},
      {"create", f, "--password", "p", "--cipher", "Enigma"},
      {"create", f, "--cipher", "Blowfish"},
      {"create", f, "--password", ""},
      {"info", f, "--bogus"},
      {"info", f, "--page-size", "4096"},
      {"check", f, "--json"},
      {"check", f, "extra"},
      {"info", f, "--json=yes"},
  };
  for (const auto& args : cases) {
    const Result r = Run(args);
    EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]);
    EXPECT_NE(r.err.find("Usage: dadoveri"), std::string::npos) << r.err;
  }
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"create", "--help"}, {"info", "--help"}, {"check", f, "--help"}}) {
    const Result r = Run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: dadoveri"), std::string::npos);
  }
  EXPECT_FALSE(std::filesystem::exists(f));
}

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// Export and filter read rows in batches: every row comes once and in order across the
// batch ends, with or without a limit that falls on or beside one.
TEST_F(ToolTest, ExportAndFilterCrossBatchEndsWithoutLosingRows) {
  const std::string file = File("many.dat");
  ASSERT_EQ(Run({"create", file}).status, 0);
  std::string rows;
  for (int id = 1; id <= 700; ++id) rows += std::to_string(id) + "\tw" + std::to_string(id % 97) + "\n";
  const std::string in = File("many.tsv");
  WriteWholeFile(in, Bytes(rows));
  ASSERT_EQ(Run({"import", file, "M", "--columns", "Id INTEGER, Word STRING(8)"}, in).status, 0);
  Result r = Run({"export", file, "M"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, rows);
  auto first_lines = [&](int n) {
    size_t end = 0;
    for (int k = 0; k < n && end < rows.size(); ++k) end = rows.find('\n', end) + 1;
    return rows.substr(0, end);
  };
  for (const int limit : {-1, 255, 256, 257, 512, 513, 700, 701}) {
    SCOPED_TRACE(limit);
    std::vector<std::string> args{"filter", file, "M", "Id > 0"};
    if (limit >= 0) args.insert(args.end(), {"--limit", std::to_string(limit)});
    r = Run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, limit < 0 ? rows : first_lines(limit));
  }
}

constexpr const char* kColumns =
    "Id INTEGER, Word STRING(12), Wide WIDESTRING(20), Value FLOAT, Day DATE, Flag BOOLEAN, At DATETIME";

TEST_F(ToolTest, ImportAndExportRoundTripEveryFieldForm) {
  const std::string file = File("words.dat");
  ASSERT_EQ(Run({"create", file, "--page-size", "1024"}).status, 0);
  // Escapes, text of both kinds, NULLs (empty fields), extreme and fractional numbers.
  const std::string rows =
      "1\ttab\\there\t\u0641\u0627\u0631\u0633\u06CC\t0.1\t2024-02-29\ttrue\t2024-02-29 23:59:59.123\n"
      "2\tline\\nbreak\tback\\\\slash\t-1.5e+300\t0001-01-01\tfalse\t1999-12-31 00:00:00\n"
      "3\t\t\t\t\t\t\n"
      "-2147483648\tcaf\u00E9\t\U0001F600x\t12\t9999-12-31\ttrue\t2000-01-01 12:00:00\n";
  const std::string in = File("rows.tsv");
  WriteWholeFile(in, Bytes(rows));
  Result r = Run({"import", file, "Words", "--columns", kColumns, "--primary-key", "Id", "--index", "Word"}, in);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("4 rows imported into new table 'Words'"), std::string::npos) << r.out;
  r = Run({"export", file, "Words"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, rows);

  // Into the existing table, with the fields in the text's order named.
  WriteWholeFile(in, Bytes("hello\t7\n"));
  r = Run({"import", file, "Words", "--columns", "Word STRING(12), Id INTEGER"}, in);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("1 rows imported into existing table 'Words'"), std::string::npos) << r.out;
  r = Run({"export", file, "Words"});
  EXPECT_EQ(r.out, rows + "7\thello\t\t\t\t\t\n");

  r = Run({"info", file, "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"rows\": 5, \"record_pages\": 1, \"blob_pages\": 0, \"index_pages\": 2"), std::string::npos)
      << r.out;
  r = Run({"check", file});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

TEST_F(ToolTest, ABadRowStopsTheImportWithItsLineNumber) {
  const std::string file = File("bad.dat");
  ASSERT_EQ(Run({"create", file}).status, 0);
  const std::string good = "1\tone\tx\t1\t2020-01-01\ttrue\t2020-01-01 00:00:00\n";
  struct Case {
    const char* row;
    const char* message;
  } cases[] = {
      {"2\ttwo\tx\t1\t2020-01-01\ttrue\n", "line 2: the row has 6 fields, 7 are expected"},
      {"x2\ttwo\tx\t1\t2020-01-01\ttrue\t\n", "line 2: field 'Id': 'x2' is not a whole number"},
      {"2147483648\ttwo\tx\t1\t2020-01-01\ttrue\t\n", "line 2: field 'Id': 2147483648 is out of the type's range"},
      {"2\tthirteen char\tx\t1\t2020-01-01\ttrue\t\n", "line 2: field 'Word': the text has 13 characters"},
      {"2\ttwo\tx\t1\t2020-02-30\ttrue\t\n", "line 2: field 'Day': '2020-02-30' is not a date"},
      {"2\ttwo\tx\tnan\t2020-01-01\ttrue\t\n", "line 2: field 'Value': 'nan' is not a number"},
      {"2\ttwo\tx\t1\t2020-01-01\tyes\t\n", "line 2: field 'Flag': 'yes' is not true or false"},
      {"2\ttwo\\q\tx\t1\t2020-01-01\ttrue\t\n", "line 2: unknown escape \\q"},
      {"2\t\xFF\tx\t1\t2020-01-01\ttrue\t\n", "line 2: field 'Word': the text is not valid UTF-8"},
      {"2\t\u0641\tx\t1\t2020-01-01\ttrue\t\n", "line 2: field 'Word': the text has a character that code page"},
      {"1\ttwo\tx\t1\t2020-01-01\ttrue\t\n", "line 2: the row is refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.row);
    std::remove(file.c_str());
    ASSERT_EQ(Run({"create", file}).status, 0);
    const std::string in = File("rows.tsv");
    WriteWholeFile(in, Bytes(good + c.row + good));
    const Result r = Run({"import", file, "T", "--columns", kColumns, "--primary-key", "Id"}, in);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    // The batch the bad row belongs to is not kept; the table the import made is.
    const Result out = Run({"export", file, "T"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.out, "");
  }
  const std::vector<std::vector<std::string>> usage_errors = {
      {"import", file},
      {"export", file},
      {"import", file, "T", "--compression", "LZMA"},
      {"import", file, "T", "--compression", "ZLIB:10"},
      {"export", file, "T", "--columns", "A INTEGER"},
  };
  for (const auto& args : usage_errors) {
    const Result r = Run(args);
    EXPECT_EQ(r.status, 2) << args.size();
    EXPECT_NE(r.err.find("Usage: dadoveri"), std::string::npos) << r.err;
  }
  struct Refusal {
    std::vector<std::string> args;
    const char* message;
  } refusals[] = {
      {{"import", file, "New"}, "give --columns to create it"},
      {{"import", file, "New", "--columns", "A STRING"}, "needs a size"},
      {{"import", file, "New", "--columns", "A INTEGER(4)"}, "takes no size"},
      {{"import", file, "New", "--columns", "A NUMBERISH"}, "unknown type 'NUMBERISH'"},
      {{"import", file, "New", "--columns", "A INTEGER, a FLOAT"}, "named twice"},
      {{"import", file, "New", "--columns", "A INTEGER", "--index", "B"}, "'B' is not one of the columns"},
      {{"export", file, "Missing"}, "table 'Missing' does not exist"},
  };
  const std::string empty = File("empty.tsv");
  WriteWholeFile(empty, {});
  for (const Refusal& c : refusals) {
    const Result r = Run(c.args, empty);
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

// MEMO, WIDEMEMO and BLOB values go to the table's BLOB pages and come back whole: empty
// (NULL), short values sharing a page, and a value over many pages and compressed blocks.
TEST_F(ToolTest, ImportAndExportRoundTripBlobValues) {
  const std::string file = File("blobs.dat");
  ASSERT_EQ(Run({"create", file}).status, 0);
  std::string long_text;
  for (int i = 0; i < 4000; ++i) long_text += "word" + std::to_string(i) + (i % 7 ? " " : "\\t");
  const std::string rows = "1\t\t\t\n"
                           "2\ta note\\nwith a line\t\u0641\u0627\u0631\u0633\u06CC\tbytes\\\\\n"
                           "3\t" + long_text + "\t" + long_text + "\t" + long_text + "\n";
  const std::string in = File("blobs.tsv");
  WriteWholeFile(in, Bytes(rows));
  for (const char* compression : {"ZLIB", "PPM:4"}) {
    SCOPED_TRACE(compression);
    std::remove(file.c_str());
    ASSERT_EQ(Run({"create", file}).status, 0);
    const Result r = Run({"import", file, "B", "--columns", "Id INTEGER, Note MEMO, Wide WIDEMEMO, Raw BLOB",
                          "--compression", compression},
                         in);
    ASSERT_EQ(r.status, 0) << r.err;
    const Result out = Run({"export", file, "B"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.out, rows);
    const Result check = Run({"check", file});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    const Result info = Run({"info", file, "--json"});
    EXPECT_EQ(info.out.find("\"blob_pages\": 0"), std::string::npos) << info.out;
  }
}

TEST_F(ToolTest, CheckFindsDamagedRecordAndIndexPages) {
  const std::string file = File("pages.dat");
  const std::string in = File("rows.tsv");
  std::string rows;
  for (int i = 1; i <= 60; ++i) rows += std::to_string(i) + "\tword" + std::to_string(i) + "\n";
  WriteWholeFile(in, Bytes(rows));
  struct Case {
    const char* what;
    // The page to damage (from the table's metadata) and the data byte and mask to flip.
    std::function<int32_t(const TABSTableMetadata&)> page;
    size_t data_offset;
    uint8_t mask;
    const char* expected;
  } cases[] = {
      {"a record's presence bit", [](const TABSTableMetadata& m) {
         return LoadLE<int32_t>(reinterpret_cast<const uint8_t*>(m.StorageSections.data()));
       }, 0, 0x01, "the RecordPageIndex"},
      {"the entry count of an index page", [](const TABSTableMetadata& m) { return m.Indexes.Find("IX_Word")->RootPageNo; },
       14, 0x01, "index 'IX_Word'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove(file.c_str());
    ASSERT_EQ(Run({"create", file}).status, 0);
    ASSERT_EQ(Run({"import", file, "T", "--columns", "Id INTEGER, Word STRING(10)", "--index", "Word"}, in).status, 0);
    ASSERT_EQ(Run({"check", file}).status, 0);
    int32_t page = -1;
    {
      TABSDiskDatabaseData db(file);
      const int32_t s = db.Connect({});
      TABSTableMetadata m;
      db.ReadTableMetadata(s, "T", m);
      page = c.page(m);
      if (std::string(c.what) == "a record's presence bit") {
        // The first record page the RecordPageIndex lists.
        TABSBTreeRecordPageIndex index(db.PageManager(), 1);
        index.SetRoot(page);
        page = index.First(kSystemSession);
      }
      db.Disconnect(s);
    }
    ASSERT_GT(page, 0);
    Patch(file, PageOffset(page) + 40 + c.data_offset, c.mask);
    const Result r = Run({"check", file});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("table 'T'"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out;
  }
}

// `dadoveri filter` over a table with single-byte and wide text and a memo, imported with
// one- and two-column indexes: the same rows with and without an index, in storage or
// index order, counts, limits, the plan, and refusals.
class FilterCommand : public ToolTest {
 protected:
  struct Row {
    int id;
    std::string eng, fa, notes;
    std::string line() const { return std::to_string(id) + "\t" + eng + "\t" + fa + "\t" + notes; }
  };
  void SetUp() override {
    // Words of a, b and c, one in five capitalised; Persian words of seen, gaf, the two
    // yehs and the two kafs; a memo in one row of three.
    const char* const persian[] = {"\u0633", "\u06AF", "\u06CC", "\u064A", "\u06A9", "\u0643"};
    uint32_t seed = 12345;
    auto next = [&seed](uint32_t n) {
      seed = seed * 1103515245u + 12345u;
      return (seed >> 16) % n;
    };
    std::string text;
    for (int id = 1; id <= 150; ++id) {
      Row r{id, "", "", ""};
      const uint32_t length = 1 + next(6);
      for (uint32_t k = 0; k < length; ++k) r.eng += static_cast<char>('a' + next(3));
      if (next(5) == 0) r.eng[0] = static_cast<char>(r.eng[0] - 'a' + 'A');
      for (uint32_t k = 0, n = 1 + next(4); k < n; ++k) r.fa += persian[next(6)];
      if (id % 3 == 0) r.notes = (next(2) ? "a cat " : "a dog ") + std::to_string(id);
      rows.push_back(r);
      text += r.line() + "\n";
    }
    file = File("filter.dat");
    ASSERT_EQ(Run({"create", file}).status, 0);
    const std::string in = File("filter.tsv");
    WriteWholeFile(in, Bytes(text));
    const Result r = Run({"import", file, "W", "--columns", "Id INTEGER, Eng STRING(20), Fa WIDESTRING(20), Notes MEMO",
                          "--index", "Eng", "--index", "Fa", "--index", "Eng,Id"},
                         in);
    ASSERT_EQ(r.status, 0) << r.err;
  }

  Result Filter(const std::string& filter, std::vector<std::string> options = {}) {
    std::vector<std::string> args{"filter", file, "W", filter};
    args.insert(args.end(), options.begin(), options.end());
    return Run(args);
  }
  // The rows a predicate accepts, in storage (import) order, as the tool writes them.
  std::string Expected(const std::function<bool(const Row&)>& accepts) const {
    std::string out;
    for (const Row& r : rows)
      if (accepts(r)) out += r.line() + "\n";
    return out;
  }
  static std::vector<std::string> SortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  std::string file;
  std::vector<Row> rows;
};

TEST_F(FilterCommand, PrefixFiltersGiveTheSameRowsWithAndWithoutAnIndex) {
  auto starts = [](const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; };
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  struct Case {
    std::string filter;
    std::vector<std::string> options;
    std::function<bool(const Row&)> accepts;
  };
  const std::string yeh = "\u06CC", kaf = "\u06A9";
  const std::vector<Case> cases = {
      {"Eng = 'ab*'", {}, [&](const Row& r) { return starts(r.eng, "ab"); }},
      {"Eng LIKE 'b%'", {}, [&](const Row& r) { return starts(r.eng, "b"); }},
      {"Eng = 'ab*'", {"--case-insensitive"}, [&](const Row& r) { return starts(lower(r.eng), "ab"); }},
      {"Eng = 'ab*'", {"--no-partial"}, [&](const Row&) { return false; }},
      {"Eng = 'ca*' AND Id > 40", {}, [&](const Row& r) { return r.id > 40 && starts(r.eng, "ca"); }},
      {"Fa = '" + yeh + "*'", {}, [&](const Row& r) { return starts(r.fa, yeh); }},
      {"Fa LIKE '%" + kaf + "' OR Eng = 'c'", {}, [&](const Row& r) {
         return r.eng == "c" || (r.fa.size() >= kaf.size() && r.fa.compare(r.fa.size() - kaf.size(), kaf.size(), kaf) == 0);
       }},
      {"Notes LIKE '%cat%'", {}, [&](const Row& r) { return r.notes.find("cat") != std::string::npos; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.filter + (c.options.empty() ? "" : " " + c.options[0]));
    const std::string expected = Expected(c.accepts);
    // Storage order without an active index.
    Result r = Filter(c.filter, c.options);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected);
    // Each index's order: the same rows.
    for (const char* index : {"IX_Eng", "IX_Fa", "IX_Eng_Id"}) {
      std::vector<std::string> options = c.options;
      options.insert(options.end(), {"--index", index});
      r = Filter(c.filter, options);
      ASSERT_EQ(r.status, 0) << index << ": " << r.err;
      EXPECT_EQ(SortedLines(r.out), SortedLines(expected)) << index;
    }
    r = Filter(c.filter, [&] { auto o = c.options; o.push_back("--count"); return o; }());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::to_string(SortedLines(expected).size()) + "\n");
  }
  ASSERT_GT(Expected([&](const Row& r) { return starts(r.eng, "ab"); }).size(), 0u);

  // In the order of the two-column index the lower-case "ab" words come sorted, equal
  // words by Id; every case-sensitive match is lower-case (only first letters are capitals).
  std::vector<Row> ab;
  for (const Row& r : rows)
    if (starts(r.eng, "ab")) ab.push_back(r);
  std::stable_sort(ab.begin(), ab.end(), [](const Row& a, const Row& b) { return a.eng < b.eng; });
  std::string ordered;
  for (const Row& r : ab) ordered += r.line() + "\n";
  Result r = Filter("Eng = 'ab*'", {"--index", "IX_Eng_Id"});
  EXPECT_EQ(r.out, ordered);

  // --limit: the first rows of either order.
  for (const std::vector<std::string>& order : {std::vector<std::string>{}, {"--index", "IX_Eng_Id"}}) {
    const std::string all = Filter("Eng = 'ab*'", order).out;
    std::vector<std::string> limited = order;
    limited.insert(limited.end(), {"--limit", "3"});
    r = Filter("Eng = 'ab*'", limited);
    ASSERT_EQ(r.status, 0) << r.err;
    size_t end = 0;
    for (int k = 0; k < 3; ++k) end = all.find('\n', end) + 1;
    EXPECT_EQ(r.out, all.substr(0, end));
  }
}

TEST_F(FilterCommand, ExplainNamesTheIndexRangeOrTheFullScan) {
  Result r = Filter("Eng = 'ab*'", {"--explain"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("range of index IX_Eng"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("full scan "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("\t"), std::string::npos) << "no rows with the plan: " << r.out;

  r = Filter("Eng = 'ab*'", {"--explain", "--count", "--case-insensitive"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("plan:      full scan"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("read:      150 records"), std::string::npos) << r.out;

  r = Filter("Notes LIKE '%cat%'", {"--explain"});
  EXPECT_NE(r.out.find("plan:      full scan"), std::string::npos) << r.out;

  // A contradiction is found among the conditions of one index; Id leads none here, so
  // the same pair on Id is merely tested per record.
  r = Filter("Eng > 'c' AND Eng < 'b'", {"--explain"});
  EXPECT_NE(r.out.find("the conditions exclude every record"), std::string::npos) << r.out;
  r = Filter("Id > 5 AND Id < 3", {"--explain", "--count"});
  EXPECT_NE(r.out.find("plan:      full scan"), std::string::npos) << r.out;
}

TEST_F(FilterCommand, RefusalsExitOneWithTheEngineMessage) {
  struct Case {
    std::string filter;
    std::vector<std::string> options;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"Eng = ", {}, "(error "},
      {"Nope = 1", {}, "Nope"},
      {"Eng = 'ab*' AND (Id > 3", {}, "(error "},
      {"Eng LIKE 5 +", {}, "(error "},
      {"Eng = 'a*'", {"--index", "Nope"}, "has no index 'Nope'"},
      {"\xC3(", {}, "not valid UTF-8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.filter);
    const Result r = Filter(c.filter, c.options);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  Result r = Run({"filter", file, "Missing", "Id = 1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"filter", file, "W"}, {"filter", file, "W", "Id = 1", "--limit", "-1"}, {"filter", file, "W", "Id = 1", "more"},
           {"filter", file, "W", "Id = 1", "--count=yes"}}) {
    r = Run(args);
    EXPECT_EQ(r.status, 2) << args.back();
    EXPECT_NE(r.err.find("Usage: dadoveri filter"), std::string::npos) << r.err;
  }
}

TEST_F(ToolTest, RepairKeepsEveryRowWithItsMemoAndReportsProgress) {
  const std::string file = File("repair.dat");
  ASSERT_EQ(Run({"create", file, "--password", "pw"}).status, 0);
  std::string rows;
  for (int i = 1; i <= 300; ++i)
    rows += std::to_string(i) + "\tword" + std::to_string(i) + "\t" + std::string(static_cast<size_t>(i) * 40, 'm') +
            "\t\u0645\u0639\u0646\u06CC" + std::to_string(i) + "\n";
  const std::string in = File("rows.tsv");
  WriteWholeFile(in, Bytes(rows));
  Result r = Run({"import", file, "Words", "--columns", "Id INTEGER, Word STRING(20), Note MEMO, Far WIDEMEMO",
                  "--index", "Word", "--compression", "ZLIB", "--password", "pw"},
                 in);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = Run({"repair", file, "--password", "pw"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("repaired"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("repairing: 0%"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("repairing: 100%"), std::string::npos) << r.err;
  r = Run({"export", file, "Words", "--password", "pw"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, rows);
  EXPECT_EQ(Run({"check", file, "--password", "pw"}).status, 0);
  r = Run({"info", file, "--password", "pw"});
  EXPECT_NE(r.out.find("Word"), std::string::npos) << r.out;
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(file).parent_path()))
    left.push_back(e.path().filename().string());
  for (const std::string& name : left) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

TEST_F(ToolTest, FailedRepairLeavesTheFileByteIdentical) {
  const std::string file = File("keep.dat");
  ASSERT_EQ(Run({"create", file, "--password", "right"}).status, 0);
  const std::string in = File("rows.tsv");
  WriteWholeFile(in, Bytes("1\tone\n"));
  ASSERT_EQ(Run({"import", file, "T", "--columns", "Id INTEGER, Word STRING(8)", "--password", "right"}, in).status, 0);
  const std::vector<uint8_t> before = ReadWholeFile(file);
  Result r = Run({"repair", file, "--password", "wrong"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("was not repaired and is unchanged"), std::string::npos) << r.err;
  EXPECT_EQ(ReadWholeFile(file), before);
  r = Run({"repair", File("missing.dat")});
  EXPECT_EQ(r.status, 1);
  r = Run({"repair"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("Usage: dadoveri repair FILE [--password P]"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace dadoveri
