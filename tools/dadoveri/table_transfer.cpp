#include "tools/dadoveri/table_transfer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <istream>
#include <limits>
#include <memory>
#include <ostream>

#include "engine/database/local_cursor.h"
#include "engine/base/engine_error.h"
#include "engine/base/utf8.h"
#include "engine/database/disk_connection.h"
#include "engine/database/disk_database_data.h"
#include "engine/database/disk_table_data.h"
#include "engine/platform/code_page.h"
#include "engine/query/cursor_filter_expression.h"
#include "engine/table/cursor.h"
#include "engine/table/date_time.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"
#include "engine/table/table_metadata.h"
#include "engine/table/variant.h"

namespace dadoveri::tool {

namespace {

std::string trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  const size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

bool same_text(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// Types whose declaration carries a size.
bool sized(TABSColumnType t) { return IsStringColumnType(t) && t != ctGuid; }

// Types the text form covers.
bool transferable(TABSColumnType t) { return !IsBytesColumnType(t) && t != ctGuid; }


// Splits a line into fields and undoes the escapes; `null` marks "\N" fields.
std::vector<std::string> split_fields(const std::string& line, std::vector<bool>& null, int64_t line_no) {
  std::vector<std::string> fields(1);
  null.assign(1, false);
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\t') {
      fields.emplace_back();
      null.push_back(false);
      continue;
    }
    if (c != '\\') {
      fields.back() += c;
      continue;
    }
    if (i + 1 >= line.size()) throw TransferError("a backslash ends the line", line_no);
    const char e = line[++i];
    switch (e) {
      case 't': fields.back() += '\t'; break;
      case 'n': fields.back() += '\n'; break;
      case 'r': fields.back() += '\r'; break;
      case '\\': fields.back() += '\\'; break;
      case 'N':
        if (!fields.back().empty() || (i + 1 < line.size() && line[i + 1] != '\t'))
          throw TransferError("\\N must be a field of its own", line_no);
        null.back() = true;
        break;
      default: throw TransferError(std::string("unknown escape \\") + e, line_no);
    }
  }
  return fields;
}

std::string escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\\': out += "\\\\"; break;
      default: out += c;
    }
  }
  return out;
}


// The value of one field from its text; raises TransferError with what is wrong.
TABSVariant parse_value(const TABSFieldDef& field, const std::string& text, int64_t line_no) {
  const std::string& name = field.Name;
  auto bad = [&](const std::string& why) -> TransferError {
    return TransferError("field '" + name + "': " + why, line_no);
  };
  TABSVariant v;
  const TABSBaseType b = field.BaseType;
  if (IsIntegerBaseType(b) || b == btLargeint) {
    int64_t x = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), x);
    if (ec != std::errc() || end != text.data() + text.size()) throw bad("'" + text + "' is not a whole number");
    int64_t low = std::numeric_limits<int64_t>::min(), high = std::numeric_limits<int64_t>::max();
    switch (b) {
      case btShortint: low = -128, high = 127; break;
      case btSmallint: low = -32768, high = 32767; break;
      case btInteger: low = std::numeric_limits<int32_t>::min(), high = std::numeric_limits<int32_t>::max(); break;
      case btByte: low = 0, high = 255; break;
      case btWord: low = 0, high = 65535; break;
      case btCardinal: low = 0, high = std::numeric_limits<uint32_t>::max(); break;
      default: break;
    }
    if (x < low || x > high) throw bad(text + " is out of the type's range " + std::to_string(low) + " to " + std::to_string(high));
    v.SetAsLargeint(x);
    return v;
  }
  if (IsFloatBaseType(b) || b == btCurrency) {
    char* end = nullptr;
    const double x = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(x) || std::isspace(static_cast<unsigned char>(text[0])))
      throw bad("'" + text + "' is not a number");
    if (b == btCurrency)
      v.SetAsCurrency(x);
    else
      v.SetAsFloat(x);
    return v;
  }
  switch (b) {
    case btLogical:
      if (same_text(text, "true") || text == "1") v.SetAsLogical(true);
      else if (same_text(text, "false") || text == "0") v.SetAsLogical(false);
      else throw bad("'" + text + "' is not true or false");
      return v;
    case btDate: {
      const auto d = ParseEngineDate(text);
      if (!d) throw bad("'" + text + "' is not a date (YYYY-MM-DD)");
      v.SetAsDate(*d);
      return v;
    }
    case btTime: {
      const auto t = ParseEngineTime(text);
      if (!t) throw bad("'" + text + "' is not a time (HH:MM:SS)");
      v.SetAsTime(*t);
      return v;
    }
    case btDateTime: {
      const auto t = ParseEngineDateTime(text);
      if (!t) throw bad("'" + text + "' is not a date and time (YYYY-MM-DD HH:MM:SS)");
      v.SetAsDateTime(*t);
      return v;
    }
    default: break;
  }
  std::u16string wide;
  if (!DecodeUtf8(text, wide)) throw bad("the text is not valid UTF-8");
  if (b == btWideChar || b == btWideString || b == btWideMemo) {
    if (IsWideStringBaseType(b) && static_cast<int64_t>(wide.size()) > field.Size)
      throw bad("the text has " + std::to_string(wide.size()) + " characters, the field holds " + std::to_string(field.Size));
    v.SetAsWideString(wide);
    return v;
  }
  const TCodePage& page = AnsiCodePage();
  for (const char16_t unit : wide)
    if (!page.Contains(unit))
      throw bad("the text has a character that code page " + std::to_string(page.Number()) + " does not hold");
  const std::string ansi = page.ToAnsi(wide);
  if (IsAnsiStringBaseType(b) && static_cast<int64_t>(ansi.size()) > field.Size)
    throw bad("the text has " + std::to_string(ansi.size()) + " characters, the field holds " + std::to_string(field.Size));
  v.SetAsString(ansi);
  return v;
}

std::string value_text(const TABSFieldDef& field, const TABSVariant& v) {
  const TABSBaseType b = field.BaseType;
  if (IsIntegerBaseType(b) || b == btLargeint) return std::to_string(v.GetAsLargeint());
  if (IsFloatBaseType(b) || b == btCurrency) {
    char buffer[40];
    const double x = b == btCurrency ? v.GetAsCurrency() : v.GetAsFloat();
    // The shortest form that reads back to the same double.
    for (int digits = 1; digits <= 17; ++digits) {
      std::snprintf(buffer, sizeof buffer, "%.*g", digits, x);
      if (std::strtod(buffer, nullptr) == x) break;
    }
    return buffer;
  }
  switch (b) {
    case btLogical: return v.GetAsLogical() ? "true" : "false";
    case btDate: return FormatDate(v.GetAsDate());
    case btTime: return FormatTime(v.GetAsTime());
    case btDateTime: {
      const TABSDateTime t = v.GetAsDateTime();
      return FormatDate(t.Date) + " " + FormatTime(t.Time);
    }
    default: break;
  }
  if (b == btWideChar || b == btWideString || b == btWideMemo) return escape(Utf16ToUtf8(v.GetAsWideString()));
  return escape(Utf16ToUtf8(AnsiCodePage().ToWide(v.GetAsString())));
}

// MEMO and BLOB values live in the table's BLOB storage; the record holds a reference.
// They go through the table's BLOB value calls as bytes: a MEMO as its code-page text, a
// WIDEMEMO as UTF-16LE, a BLOB as the bytes of its field text (UTF-8 as it stands).
std::string blob_bytes(const TABSFieldDef& field, const std::string& text, int64_t line_no) {
  if (field.BaseType == btBlob) return text;
  const TABSVariant v = parse_value(field, text, line_no);
  if (field.BaseType != btWideMemo) return v.GetAsString();
  const std::u16string wide = v.GetAsWideString();
  std::string bytes(wide.size() * 2, '\0');
  for (size_t i = 0; i < wide.size(); ++i) {
    bytes[2 * i] = static_cast<char>(wide[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>(wide[i] >> 8);
  }
  return bytes;
}

std::string blob_text(const TABSFieldDef& field, const std::vector<uint8_t>& bytes) {
  if (field.BaseType == btBlob) return escape(std::string(bytes.begin(), bytes.end()));
  if (field.BaseType != btWideMemo) return escape(Utf16ToUtf8(AnsiCodePage().ToWide(std::string(bytes.begin(), bytes.end()))));
  std::u16string wide(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < wide.size(); ++i)
    wide[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  return escape(Utf16ToUtf8(wide));
}

class Connection : public TABSDiskConnection {
 public:
  Connection(const std::string& file, const TABSPassword& password) : TABSDiskConnection(file, Options(password)) {}

 private:
  static TABSConnectOptions Options(const TABSPassword& password) {
    TABSConnectOptions options;
    options.Password = password;
    return options;
  }
};

// Rows are read in read scopes of this many: in a file shared with other processes a batch
// pays for one table lock and one reread of the table's counters instead of one per row.
// A batch is written out after its scope ended, so that a slow reader of the output keeps
// no other process's change waiting.
constexpr int kRowsPerReadScope = 256;

void require_writable(Connection& c) {
  if (c.db().ReadOnly()) throw TransferError("the file is open read-only (another process holds it in single-user mode)");
}

}  // namespace

std::vector<ColumnSpec> ParseColumns(const std::string& text) {
  std::vector<ColumnSpec> columns;
  size_t start = 0;
  while (start <= text.size()) {
    // Commas inside the parentheses of a size do not separate columns.
    size_t end = start;
    int depth = 0;
    while (end < text.size() && (text[end] != ',' || depth > 0)) {
      if (text[end] == '(') ++depth;
      if (text[end] == ')') --depth;
      ++end;
    }
    const std::string part = trim(text.substr(start, end - start));
    start = end + 1;
    if (part.empty()) throw TransferError("--columns: an empty column in '" + text + "'");
    const size_t blank = part.find_first_of(" \t");
    if (blank == std::string::npos) throw TransferError("--columns: '" + part + "' has no type");
    ColumnSpec c;
    c.Name = part.substr(0, blank);
    std::string type = trim(part.substr(blank));
    std::optional<int32_t> size;
    if (const size_t open = type.find('('); open != std::string::npos) {
      const size_t close = type.find(')', open);
      if (close == std::string::npos || trim(type.substr(close + 1)) != "")
        throw TransferError("--columns: '" + part + "' has a malformed size");
      const std::string digits = trim(type.substr(open + 1, close - open - 1));
      int32_t n = 0;
      const auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
      if (ec != std::errc() || p != digits.data() + digits.size() || n <= 0)
        throw TransferError("--columns: '" + part + "' needs a positive size");
      size = n;
      type = trim(type.substr(0, open));
    }
    const TSQLFieldType* found = FindSQLFieldType(type);
    if (!found) throw TransferError("--columns: unknown type '" + type + "' of column '" + c.Name + "'");
    c.Type = found->ColumnType;
    if (!transferable(c.Type)) throw TransferError("--columns: type '" + type + "' cannot be imported from text");
    if (sized(c.Type)) {
      if (!size) throw TransferError("--columns: column '" + c.Name + "' of type " + type + " needs a size, as " + type + "(20)");
      c.Size = *size;
    } else if (size) {
      throw TransferError("--columns: type " + type + " of column '" + c.Name + "' takes no size");
    }
    for (const ColumnSpec& other : columns)
      if (same_text(other.Name, c.Name)) throw TransferError("--columns: column '" + c.Name + "' is named twice");
    columns.push_back(std::move(c));
    if (end >= text.size()) break;
  }
  return columns;
}

ImportOutcome ImportRows(const std::string& file, const TABSPassword& password, const ImportSettings& settings,
                         std::istream& in) {
  std::vector<ColumnSpec> columns;
  if (!settings.Columns.empty()) columns = ParseColumns(settings.Columns);
  Connection c(file, password);
  require_writable(c);
  const int32_t s = c.session().SessionID;
  ImportOutcome outcome;
  if (!c.db().TableExists(settings.Table)) {
    if (columns.empty()) throw TransferError("table '" + settings.Table + "' does not exist: give --columns to create it");
    TABSTableMetadata m;
    for (const ColumnSpec& col : columns) {
      TABSFieldDef* f = m.Fields.AddFieldDef();
      f->Name = col.Name;
      f->SetType(col.Type, col.Size);
      if (IsBlobColumnType(col.Type) && settings.Compression != 0) {
        f->BlobCompressionAlgorithm = settings.Compression;
        f->BlobCompressionMode = settings.CompressionMode;
      }
    }
    m.Fields.RecomputeOffsets();
    auto require_field = [&](const std::string& name, const char* option) {
      if (m.Fields.Find(name) == nullptr)
        throw TransferError(std::string(option) + ": '" + name + "' is not one of the columns");
    };
    if (!settings.PrimaryKey.empty()) {
      require_field(settings.PrimaryKey, "--primary-key");
      TABSIndexDef* pk = m.Indexes.AddIndexDef();
      pk->Name = "PK_" + settings.PrimaryKey;
      pk->Primary = pk->Unique = true;
      TABSIndexDefs::BuildColumns(*pk, {settings.PrimaryKey}, {"ASC"}, {""});
      m.Constraints.AddConstraint(DeriveConstraintFromIndex(*pk));
    }
    // "A" or "A,B": one ascending, case-sensitive index over the fields in that order.
    for (const std::string& list : settings.Indexes) {
      std::vector<std::string> fields;
      std::string name = "IX";
      for (size_t start = 0; start <= list.size();) {
        const size_t comma = std::min(list.find(',', start), list.size());
        const std::string field = trim(list.substr(start, comma - start));
        if (field.empty()) throw TransferError("--index: an empty field name in '" + list + "'");
        require_field(field, "--index");
        fields.push_back(field);
        name += "_" + field;
        start = comma + 1;
      }
      if (m.Indexes.Find(name) != nullptr) throw TransferError("--index: '" + list + "' is given twice");
      TABSIndexDef* index = m.Indexes.AddIndexDef();
      index->Name = name;
      TABSIndexDefs::BuildColumns(*index, fields, std::vector<std::string>(fields.size(), "ASC"),
                                  std::vector<std::string>(fields.size(), ""));
    }
    c.db().CreateTable(s, settings.Table, m);
    outcome.Created = true;
  } else if (!settings.PrimaryKey.empty() || !settings.Indexes.empty() || settings.Compression != 0) {
    throw TransferError("table '" + settings.Table +
                        "' exists already: --primary-key, --index and --compression apply only to a new table");
  }

  TABSLocalCursor cursor(&c.session(), settings.Table);
  cursor.Open(c.db());
  TABSTableData& table = *cursor.TableData();
  const TABSFieldDefs& defs = table.FieldDefs();
  // The field each text column fills.
  std::vector<int32_t> targets;
  if (columns.empty()) {
    for (int32_t i = 0; i < defs.Count(); ++i) {
      if (!transferable(defs.Item(i)->ColumnType))
        throw TransferError("field '" + defs.Item(i)->Name + "' of table '" + settings.Table +
                            "' has a type that cannot be imported from text");
      targets.push_back(i);
    }
  } else {
    for (const ColumnSpec& col : columns) {
      const int32_t no = defs.IndexOf(col.Name);
      if (no < 0) throw TransferError("table '" + settings.Table + "' has no field '" + col.Name + "'");
      targets.push_back(no);
    }
  }
  const TABSRecordLayout& layout = table.FieldManager().Layout();

  int64_t pending = 0;
  auto begin = [&] { c.session().InTransaction = true; };
  auto commit = [&] {
    c.session().InTransaction = false;
    c.db().CommitSession(s, true);
    outcome.Rows += pending;
    pending = 0;
    if (settings.Progress) settings.Progress(outcome.Rows);
  };
  auto fail = [&](const TransferError& e) -> TransferError {
    c.session().InTransaction = false;
    c.db().RollbackSession(s);
    return TransferError(std::string(e.what()) + " (" + std::to_string(outcome.Rows) +
                             " rows before it were imported; the rows after the last commit were not)",
                         e.line);
  };
  begin();
  std::string line;
  std::vector<bool> nulls;
  int64_t line_no = 0;
  while (std::getline(in, line)) {
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    try {
      std::vector<std::string> fields = split_fields(line, nulls, line_no);
      if (fields.size() != targets.size())
        throw TransferError("the row has " + std::to_string(fields.size()) + " fields, " +
                                std::to_string(targets.size()) + " are expected",
                            line_no);
      cursor.NewRecord();
      for (size_t k = 0; k < fields.size(); ++k) {
        const int32_t no = targets[k];
        if (nulls[k] || fields[k].empty()) {
          layout.SetNull(no, cursor.CurrentRecord);
          continue;
        }
        if (IsBlobBaseType(defs.Item(no)->BaseType)) {
          const std::string bytes = blob_bytes(*defs.Item(no), fields[k], line_no);
          try {
            table.SetBlobValue(s, no, cursor.CurrentRecord, bytes.data(), static_cast<int64_t>(bytes.size()));
          } catch (const VODIDivodavir& e) {
            throw TransferError("field '" + defs.Item(no)->Name + "': " + e.what(), line_no);
          }
          continue;
        }
        const TABSVariant value = parse_value(*defs.Item(no), fields[k], line_no);
        try {
          layout.SetFieldValue(no, value, cursor.CurrentRecord);
        } catch (const VODIDivodavir& e) {
          throw TransferError("field '" + defs.Item(no)->Name + "': " + e.what(), line_no);
        }
      }
      int32_t result = roInsertFailed;
      try {
        result = cursor.PostInsert();
      } catch (const VODIDivodavir& e) {
        throw TransferError(std::string("the row is refused: ") + e.what(), line_no);
      }
      if (result == roConstraintFailed) throw TransferError("the row is refused: " + cursor.LastMessage, line_no);
      if (result != roOK) throw TransferError("the row could not be inserted (outcome " + std::to_string(result) + ")", line_no);
    } catch (const TransferError& e) {
      throw fail(e);
    }
    if (++pending >= settings.RowsPerCommit) {
      commit();
      begin();
    }
  }
  commit();
  return outcome;
}

namespace {

// The tab-separated text of the cursor's current record (without the line feed).
void row_text(TABSTableData& table, int32_t session, const uint8_t* record, std::string& line) {
  const TABSFieldDefs& defs = table.FieldDefs();
  const TABSRecordLayout& layout = table.FieldManager().Layout();
  line.clear();
  for (int32_t i = 0; i < defs.Count(); ++i) {
    if (i) line += '\t';
    if (layout.IsNull(i, record)) continue;
    if (IsBlobBaseType(defs.Item(i)->BaseType)) {
      std::vector<uint8_t> bytes;
      if (table.GetBlobValue(session, i, record, bytes)) line += blob_text(*defs.Item(i), bytes);
      continue;
    }
    TABSVariant v;
    layout.GetFieldValue(i, record, v);
    if (!v.IsNull()) line += value_text(*defs.Item(i), v);
  }
}

void require_exportable(TABSTableData& table) {
  const TABSFieldDefs& defs = table.FieldDefs();
  for (int32_t i = 0; i < defs.Count(); ++i)
    if (!transferable(defs.Item(i)->ColumnType))
      throw TransferError("field '" + defs.Item(i)->Name + "' has a type that cannot be exported as text");
}

const char* bound_kind_text(uint8_t kind) {
  switch (kind) {
    case sckEqual: return "equal to";
    case sckBefore: return "before";
    case sckAfter: return "after";
    case sckBeforeOrEqual: return "before or equal to";
    case sckAfterOrEqual: return "after or equal to";
    default: return "open";
  }
}

std::string cost_text(double cost) {
  if (cost < 0) return "not costed";
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.1f", cost);
  return buffer;
}

std::string index_name_of(TABSCursor& cursor, int32_t id) {
  const TABSIndexDefs& defs = cursor.GetIndexDefs();
  for (int32_t i = 0; i < defs.Count(); ++i)
    if (defs.Item(i)->ObjectID == id) return defs.Item(i)->Name;
  return "#" + std::to_string(id);
}

}  // namespace

int64_t ExportRows(const std::string& file, const TABSPassword& password, const std::string& table_name,
                   std::ostream& out) {
  Connection c(file, password);
  if (!c.db().TableExists(table_name)) throw TransferError("table '" + table_name + "' does not exist");
  TABSLocalCursor cursor(&c.session(), table_name);
  cursor.Open(c.db());
  TABSTableData& table = *cursor.TableData();
  require_exportable(table);
  int64_t rows = 0;
  std::string line, batch;
  cursor.GoToBegin();
  for (bool more = true; more;) {
    batch.clear();
    {
      TABSTableReadScope scope(cursor);
      for (int k = 0; k < kRowsPerReadScope; ++k) {
        if (cursor.Step(grmNext) != grrFound) {
          more = false;
          break;
        }
        row_text(table, c.session().SessionID, cursor.CurrentRecord, line);
        batch += line;
        batch += '\n';
        ++rows;
      }
    }
    out << batch;
  }
  out.flush();
  if (!out) throw TransferError("the rows could not be written");
  return rows;
}

std::string ExplainPlan(TABSCursor& cursor) {
  const TABSSearchPlanInfo& p = cursor.LastSearchPlan;
  std::string text = "order:     ";
  text += cursor.IsIndexActive() ? "index " + cursor.IndexName : std::string("storage order");
  text += "\nplan:      ";
  switch (p.Plan) {
    case TABSSearchPlanInfo::spNone: text += "no search"; break;
    case TABSSearchPlanInfo::spContradiction: text += "none: the conditions exclude every record"; break;
    case TABSSearchPlanInfo::spFullScan: text += "full scan"; break;
    case TABSSearchPlanInfo::spBitmap: text += "filter bitmap"; break;
    case TABSSearchPlanInfo::spIndexRange:
      text += "range of index " + index_name_of(cursor, p.IndexID);
      text += "\nbounds:    from " + std::string(bound_kind_text(p.LowerKind));
      if (p.LowerKind) text += " (" + std::to_string(p.LowerFieldCount) + " key field" + (p.LowerFieldCount == 1 ? ")" : "s)");
      text += ", to " + std::string(bound_kind_text(p.UpperKind));
      if (p.UpperKind) text += " (" + std::to_string(p.UpperFieldCount) + " key field" + (p.UpperFieldCount == 1 ? ")" : "s)");
      break;
  }
  text += "\n";
  if (p.Shortcut == 1) text += "chosen:    at once (an equality on a unique one-column index)\n";
  if (p.Shortcut == 2) text += "chosen:    at once (the one condition on the active index)\n";
  text += "conditions: " + std::to_string(p.IndexConditionCount) + " on indexes after merging\n";
  text += "cost:      index range " + cost_text(p.IndexCost) + ", full scan " + cost_text(p.FullScanCost) + "\n";
  text += "read:      " + std::to_string(p.RecordsRead) + " records, " + std::to_string(p.EntriesVisited) +
          " index entries\n";
  return text;
}

int64_t FilterRows(const std::string& file, const TABSPassword& password, const FilterSettings& settings,
                   std::ostream& out) {
  std::u16string text;
  if (!DecodeUtf8(settings.Filter, text)) throw TransferError("the filter is not valid UTF-8");
  Connection c(file, password);
  if (!c.db().TableExists(settings.Table)) throw TransferError("table '" + settings.Table + "' does not exist");
  TABSLocalCursor cursor(&c.session(), settings.Table);
  cursor.SetFilterFactory(&CursorExpressionFilterFactory());
  cursor.Open(c.db());
  TABSTableData& table = *cursor.TableData();
  require_exportable(table);
  if (!settings.Index.empty()) {
    if (!cursor.GetIndexDefs().Find(settings.Index))
      throw TransferError("table '" + settings.Table + "' has no index '" + settings.Index + "'");
    cursor.SetIndexName(settings.Index);
  }
  int64_t rows = 0;
  try {
    cursor.SetFilter(text, settings.CaseInsensitive, settings.Partial);
    cursor.GoToBegin();
    if (settings.Count) {
      rows = cursor.GetRecordCount();
      if (!settings.Explain) out << rows << '\n';
    } else {
      std::string line, batch;
      const auto wanted = [&] { return settings.Limit < 0 || rows < settings.Limit; };
      for (bool more = true; more && wanted();) {
        batch.clear();
        {
          TABSTableReadScope scope(cursor);
          for (int k = 0; k < kRowsPerReadScope && wanted(); ++k) {
            if (cursor.Step(grmNext) != grrFound) {
              more = false;
              break;
            }
            ++rows;
            // The plan is the one of the first row's search.
            if (settings.Explain) {
              more = false;
              break;
            }
            row_text(table, c.session().SessionID, cursor.CurrentRecord, line);
            batch += line;
            batch += '\n';
          }
        }
        out << batch;
      }
    }
  } catch (const VODIDivodavir& e) {
    // The engine's refusal of the filter (or of its evaluation), with its code.
    throw TransferError(std::string(e.what()) + " (error " + std::to_string(e.NativeError) + ")");
  }
  if (settings.Explain) out << ExplainPlan(cursor);
  out.flush();
  if (!out) throw TransferError("the rows could not be written");
  return rows;
}

std::string FormatDate(int32_t day_number) {
  int y = 0, m = 0, d = 0;
  DecodeDayNumber(day_number, y, m, d);
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", y, m, d);
  return buffer;
}

std::string FormatTime(int32_t msecs) {
  char buffer[24];
  const int ms = msecs % 1000, s = msecs / 1000 % 60, m = msecs / 60000 % 60, h = msecs / 3600000;
  if (ms)
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d.%03d", h, m, s, ms);
  else
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", h, m, s);
  return buffer;
}

}  // namespace dadoveri::tool
