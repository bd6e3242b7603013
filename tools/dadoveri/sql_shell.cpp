#include "tools/dadoveri/sql_shell.h"
#include "tools/dadoveri/table_transfer.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <exception>

#include "engine/base/engine_error.h"
#include "engine/base/utf8.h"
#include "engine/platform/code_page.h"
#include "engine/query/sql_processor.h"
#include "engine/query/sql_query.h"
#include "engine/query/sql_statement.h"
#include "engine/table/btree_record_index.h"
#include "engine/table/cursor.h"
#include "engine/table/date_time.h"
#include "engine/table/extended.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"
#include "engine/table/variant.h"

namespace dadoveri::tool {

namespace {

bool is_space(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }
bool is_high_surrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Characters after which a quote starts a new token rather than continuing a word: the
// lexer's separators and the characters that end a word.
bool ends_word(char16_t c) {
  switch (c) {
    case u'>': case u'<': case u'=': case u'(': case u')': case u',': case u'/': case u'*':
    case u':': case u'?': case u'|': case u'.': case u'+': case u'-': case u';':
      return true;
    default:
      return false;
  }
}

}  // namespace

// ---- splitting ----

void SQLSplitter::advance_position(size_t index) {
  const char16_t c = buffer_[index];
  if (c == u'\n') {
    ++position_.Line;
    position_.Column = 1;
  } else if (c == u'\r') {
  } else if (!(is_low_surrogate(c) && index > 0 && is_high_surrogate(buffer_[index - 1]))) {
    ++position_.Column;
  }
}

void SQLSplitter::scan(bool at_end, std::vector<SQLPiece>& out) {
  auto step = [this] {
    advance_position(at_);
    ++at_;
  };
  while (at_ < buffer_.size()) {
    const char16_t c = buffer_[at_];
    const bool has_next = at_ + 1 < buffer_.size();
    const char16_t next = has_next ? buffer_[at_ + 1] : u'\0';
    // A character whose meaning depends on the next one waits for it.
    const bool needs_next = !has_next && !at_end;
    switch (state_) {
      case State::kNormal:
        if ((c == u'-' || c == u'/') && needs_next) return;
        if (c == u';') {
          if (has_token_) out.push_back({buffer_.substr(0, at_), start_});
          step();
          buffer_.erase(0, at_);
          at_ = 0;
          start_ = position_;
          has_token_ = false;
          word_open_ = false;
          continue;
        }
        if (c == u'-' && next == u'-') {
          state_ = State::kLineComment;
          word_open_ = false;
          step();
          step();
          continue;
        }
        if (c == u'/' && next == u'*') {
          state_ = State::kBlockComment;
          word_open_ = false;
          step();
          step();
          continue;
        }
        if (is_space(c)) {
          word_open_ = false;
        } else {
          has_token_ = true;
          if (!word_open_ && (c == u'\'' || c == u'"')) {
            state_ = State::kQuoted;
            close_ = c;
            doubling_ = true;
          } else if (!word_open_ && c == u'[') {
            state_ = State::kQuoted;
            close_ = u']';
            doubling_ = false;
          } else if (!word_open_ && c == u'`') {
            state_ = State::kBackQuoted;
          } else {
            word_open_ = !ends_word(c);
          }
        }
        step();
        break;
      case State::kLineComment:
        if (c == u'\n') state_ = State::kNormal;
        step();
        break;
      case State::kBlockComment:
        if (c == u'*' && needs_next) return;
        if (c == u'*' && next == u'/') {
          state_ = State::kNormal;
          step();
        }
        step();
        break;
      case State::kQuoted:
        if (c == close_) {
          if (doubling_ && needs_next) return;
          if (doubling_ && next == close_) {
            step();
            step();
            continue;
          }
          state_ = State::kNormal;
          word_open_ = false;
        }
        step();
        break;
      case State::kBackQuoted:
        if (c == u'\\') {
          if (needs_next) return;
          step();
          if (at_ < buffer_.size()) step();
          continue;
        }
        if (c == u'`') {
          state_ = State::kNormal;
          word_open_ = false;
        }
        step();
        break;
    }
  }
}

std::vector<SQLPiece> SQLSplitter::Feed(std::u16string_view text) {
  buffer_.append(text);
  std::vector<SQLPiece> out;
  scan(false, out);
  return out;
}

std::vector<SQLPiece> SQLSplitter::Finish() {
  std::vector<SQLPiece> out;
  scan(true, out);
  if (has_token_) out.push_back({buffer_, start_});
  buffer_.clear();
  at_ = 0;
  start_ = position_;
  state_ = State::kNormal;
  word_open_ = false;
  has_token_ = false;
  return out;
}

bool SQLSplitter::Pending() const { return has_token_ || state_ == State::kQuoted || state_ == State::kBackQuoted ||
                                           state_ == State::kBlockComment; }

// ---- text ----

std::u16string Utf8ToUtf16Lenient(std::string_view text) {
  std::u16string out;
  DecodeUtf8(text, out, u'\xFFFD');
  return out;
}

namespace {

// Code points of UTF-8 text (the text is the engine's own output: well-formed).
template <typename F>
void for_each_code_point(std::string_view s, F f) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    uint32_t cp = n == 1 ? c : n == 2 ? c & 0x1Fu : n == 3 ? c & 0x0Fu : c & 0x07u;
    for (int k = 1; k < n && i + static_cast<size_t>(k) < s.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + static_cast<size_t>(k)]) & 0x3Fu);
    f(cp, s.substr(i, static_cast<size_t>(n)));
    i += static_cast<size_t>(n);
  }
}

struct Range {
  uint32_t first, last;
};

// Combining marks and format characters that take no column (the Arabic-script vowel
// signs and the zero-width joiners that Persian uses among them).
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2}, {0x05C4, 0x05C5},
    {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x061C, 0x061C}, {0x064B, 0x065F}, {0x0670, 0x0670}, {0x06D6, 0x06DC},
    {0x06DF, 0x06E4}, {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E},
    {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F}, {0x202A, 0x202E}, {0x2060, 0x2064}, {0x2066, 0x206F},
    {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xE0100, 0xE01EF},
};

// East Asian wide and full-width characters, two columns each.
constexpr Range kDoubleWidth[] = {
    {0x1100, 0x115F}, {0x2E80, 0x303E}, {0x3041, 0x33FF}, {0x3400, 0x4DBF}, {0x4E00, 0x9FFF}, {0xA000, 0xA4CF},
    {0xAC00, 0xD7A3}, {0xF900, 0xFAFF}, {0xFE30, 0xFE4F}, {0xFF00, 0xFF60}, {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F},
    {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD},
};

template <size_t N>
bool in_ranges(const Range (&ranges)[N], uint32_t cp) {
  return std::any_of(std::begin(ranges), std::end(ranges), [cp](const Range& r) { return cp >= r.first && cp <= r.last; });
}

// Control characters (C0, DEL, C1) as escapes, so that a value cannot move the cursor or
// break the table's lines.
std::string escape_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for_each_code_point(text, [&out](uint32_t cp, std::string_view bytes) {
    if (cp == u'\n') {
      out += "\\n";
    } else if (cp == u'\r') {
      out += "\\r";
    } else if (cp == u'\t') {
      out += "\\t";
    } else if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(cp));
      out += hex;
    } else {
      out += bytes;
    }
  });
  return out;
}

template <typename T>
std::string shortest(T value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string hex_text(const uint8_t* data, size_t size) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0x0F];
  }
  return out;
}

std::string ansi_to_utf8(std::string_view text) { return Utf16ToUtf8(AnsiCodePage().ToWide(text)); }

bool is_number_type(TABSBaseType b) {
  return IsIntegerBaseType(b) || b == btLargeint || IsFloatBaseType(b) || b == btCurrency;
}

// A field's value of the cursor's current row as text (unescaped UTF-8); nothing for NULL.
std::optional<std::string> value_text(TABSCursor& cursor, int32_t visible_no, TABSVariant& v) {
  const TABSFieldDef& field = *cursor.VisibleFields.Item(visible_no);
  cursor.GetFieldValue(visible_no, false, v);
  if (v.IsNull()) return std::nullopt;
  const TABSBaseType b = field.BaseType;
  if (IsBlobBaseType(b)) {
    std::vector<uint8_t> bytes;
    if (!cursor.TableData() ||
        !cursor.TableData()->GetBlobValue(cursor.Session ? cursor.Session->SessionID : -1, field.TableFieldNo,
                                           cursor.CurrentRecord, bytes))
      return std::nullopt;
    if (b == btBlob) return hex_text(bytes.data(), bytes.size());
    if (b == btMemo) return ansi_to_utf8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    std::u16string wide(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < wide.size(); ++i)
      wide[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return Utf16ToUtf8(wide);
  }
  switch (b) {
    case btSingle: return shortest(v.GetAsSingle());
    case btFloat: return shortest(v.GetAsFloat());
    case btCurrency: return shortest(v.GetAsCurrency());
    case btExtended: return shortest(ExtendedToLongDouble(v.GetAsExtended()));
    case btLogical: return std::string(v.GetAsLogical() ? "TRUE" : "FALSE");
    case btDate: return FormatDate(v.GetAsDate());
    case btTime: return FormatTime(v.GetAsTime());
    case btDateTime: {
      const TABSDateTime t = v.GetAsDateTime();
      return FormatDate(t.Date) + " " + FormatTime(t.Time);
    }
    case btBytes:
    case btVarBytes: return hex_text(static_cast<const uint8_t*>(v.Data()), static_cast<size_t>(v.DataSize()));
    case btWideChar:
    case btWideString: return Utf16ToUtf8(v.GetAsWideString());
    case btChar:
    case btString: return ansi_to_utf8(v.GetAsString());
    default: break;
  }
  if (is_number_type(b)) {
    if (b == btCardinal) return std::to_string(static_cast<uint64_t>(v.GetAsCardinal()));
    return std::to_string(v.GetAsLargeint());
  }
  return Utf16ToUtf8(v.GetAsWideString());
}

// A CSV field: quoted only when it holds a comma, a double quote, CR or LF.
std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace

int32_t DisplayWidth(std::string_view utf8) {
  int32_t width = 0;
  for_each_code_point(utf8, [&width](uint32_t cp, std::string_view) {
    if (in_ranges(kZeroWidth, cp)) return;
    width += in_ranges(kDoubleWidth, cp) ? 2 : 1;
  });
  return width;
}

std::string ShiftMessagePosition(const std::string& message, TextPosition start) {
  // The last "at line L, column C" is the statement's own place (the message may quote
  // a token that looks alike before it).
  static const std::string kLine = "at line ", kColumn = ", column ";
  const size_t at = message.rfind(kLine);
  if (at == std::string::npos) return message;
  auto read_number = [&message](size_t from, size_t& end, int64_t& value) {
    end = from;
    value = 0;
    while (end < message.size() && message[end] >= '0' && message[end] <= '9' && end - from < 10)
      value = value * 10 + (message[end++] - '0');
    return end > from;
  };
  size_t line_end = 0, column_end = 0;
  int64_t line = 0, column = 0;
  const size_t line_from = at + kLine.size();
  if (!read_number(line_from, line_end, line) || message.compare(line_end, kColumn.size(), kColumn) != 0) return message;
  const size_t column_from = line_end + kColumn.size();
  if (!read_number(column_from, column_end, column)) return message;
  if (line == 1) column += start.Column - 1;
  line += start.Line - 1;
  return message.substr(0, line_from) + std::to_string(line) + kColumn + std::to_string(column) +
         message.substr(column_end);
}

// ---- running ----

SQLShell::SQLShell(TABSDatabaseData& database, TABSBaseSession& session, const SQLShellSettings& settings,
                   std::ostream& out, std::ostream& err)
    : query_(std::make_unique<TABSSQLConnectionQuery>(database, session)),
      processor_(std::make_unique<TABSSQLProcessor>(*query_)),
      settings_(settings),
      out_(out),
      err_(err) {}

SQLShell::~SQLShell() {
  // The statements and their results refer to the query.
  processor_.reset();
  query_.reset();
}

void SQLShell::print_result(TABSCursor& cursor) {
  const int32_t count = cursor.VisibleFields.Count();
  std::vector<std::string> names;
  std::vector<bool> right;
  for (int32_t i = 0; i < count; ++i) {
    const TABSFieldDef& f = *cursor.VisibleFields.Item(i);
    names.push_back(ansi_to_utf8(f.Name));
    right.push_back(is_number_type(f.BaseType));
  }
  TABSVariant v;
  cursor.GoToBegin();
  if (settings_.Csv) {
    std::string line;
    for (int32_t i = 0; i < count; ++i) line += (i ? "," : "") + csv_field(names[static_cast<size_t>(i)]);
    out_ << line << "\r\n";
    while (cursor.GetRecord(grmNext) == grrFound) {
      line.clear();
      for (int32_t i = 0; i < count; ++i) {
        if (i) line += ',';
        // NULL is an empty field; the engine has no empty string, so nothing is lost.
        if (const auto text = value_text(cursor, i, v)) line += csv_field(*text);
      }
      out_ << line << "\r\n";
    }
    return;
  }
  std::vector<std::vector<std::string>> rows;
  while (cursor.GetRecord(grmNext) == grrFound) {
    std::vector<std::string>& row = rows.emplace_back();
    for (int32_t i = 0; i < count; ++i) {
      const auto text = value_text(cursor, i, v);
      row.push_back(text ? escape_controls(*text) : std::string("NULL"));
    }
  }
  std::vector<int32_t> widths;
  for (int32_t i = 0; i < count; ++i) {
    const size_t k = static_cast<size_t>(i);
    names[k] = escape_controls(names[k]);
    int32_t w = DisplayWidth(names[k]);
    for (const auto& row : rows) w = std::max(w, DisplayWidth(row[k]));
    widths.push_back(w);
  }
  auto print_line = [&](const std::vector<std::string>& cells, bool header) {
    std::string line;
    for (size_t k = 0; k < cells.size(); ++k) {
      const std::string pad(static_cast<size_t>(widths[k] - DisplayWidth(cells[k])), ' ');
      if (k) line += " | ";
      const bool last = k + 1 == cells.size();
      if (right[k] && !header)
        line += pad + cells[k];
      else
        line += cells[k] + (last ? std::string() : pad);
    }
    out_ << line << '\n';
  };
  print_line(names, true);
  std::string rule;
  for (size_t k = 0; k < widths.size(); ++k) rule += (k ? "-+-" : "") + std::string(static_cast<size_t>(widths[k]), '-');
  out_ << rule << '\n';
  for (const auto& row : rows) print_line(row, false);
  out_ << '(' << rows.size() << (rows.size() == 1 ? " row)" : " rows)") << '\n';
}

bool SQLShell::Run(const SQLPiece& piece) {
  try {
    processor_->SetSQL(piece.Text);
    processor_->Execute([this](TABSSQLCommand& statement, TABSCursor* result, int64_t rows) {
      if (result) {
        print_result(*result);
      } else if (!settings_.Csv && (dynamic_cast<TABSSQLInsert*>(&statement) || dynamic_cast<TABSSQLUpdate*>(&statement) ||
                                    dynamic_cast<TABSSQLDelete*>(&statement))) {
        out_ << rows << (rows == 1 ? " row affected" : " rows affected") << '\n';
      }
      out_.flush();
    });
    return true;
  } catch (const VODIDivodavir& e) {
    out_.flush();
    err_ << "dadoveri: " << escape_controls(ShiftMessagePosition(e.what(), piece.Start)) << std::endl;
  } catch (const std::exception& e) {
    out_.flush();
    err_ << "dadoveri: " << escape_controls(e.what()) << std::endl;
  }
  return false;
}

bool SQLShell::RunText(std::u16string_view text) {
  SQLSplitter splitter;
  std::vector<SQLPiece> pieces = splitter.Feed(text);
  for (SQLPiece& piece : splitter.Finish()) pieces.push_back(std::move(piece));
  for (const SQLPiece& piece : pieces)
    if (!Run(piece)) return false;
  return true;
}

bool SQLShell::RollBackOpenTransaction() {
  if (!query_->Session().InTransaction) return false;
  query_->Rollback();
  err_ << "dadoveri: the transaction left open was rolled back" << std::endl;
  return true;
}

}  // namespace dadoveri::tool
