#include "engine/base/engine_error.h"

#include <cstdio>

#include "engine/base/utf8.h"

namespace dadoveri {

namespace {

const char* const kOutcomeTexts[] = {
    "Error adding record",
    "Error updating record",
    "Error deleting record",
    "Error updating record - record was modified by other process",
    "Error deleting record - record was modified by other process",
    "Error updating record - record was deleted by other process",
    "Error deleting record - record was deleted by other process",
    nullptr,  // -8: the caller's own text
    "Cannot update record in temporary mode",
    "Cannot delete record in temporary mode",
    "Cannot cancel operation in temporary mode",
    "Record is locked",
    "Table is locked",
};


// Pads `body` to `width` characters with spaces, on the left unless left-justified.
void append_padded(std::string& out, const std::string& body, int width, bool left) {
  const int pad = width > static_cast<int>(body.size()) ? width - static_cast<int>(body.size()) : 0;
  if (!left) out.append(pad, ' ');
  out += body;
  if (left) out.append(pad, ' ');
}

std::string format_integer(int64_t v, char type, int precision) {
  std::string digits;
  bool negative = false;
  if (type == 'x') {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(v));
    digits = buf;
  } else if (type == 'u') {
    digits = std::to_string(static_cast<uint64_t>(static_cast<uint32_t>(v)));
  } else {
    negative = v < 0;
    const uint64_t mag = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    digits = std::to_string(mag);
  }
  if (precision > static_cast<int>(digits.size()))
    digits.insert(0, static_cast<size_t>(precision) - digits.size(), '0');
  return negative ? "-" + digits : digits;
}

std::string format_float(double v, char type, int precision) {
  char buf[400];
  const int prec = precision < 0 ? (type == 'g' ? 15 : 2) : precision;
  const char conversion[] = {'%', '.', '*', type == 'e' ? 'E' : type == 'g' ? 'G' : 'f', 0};
  std::snprintf(buf, sizeof buf, conversion, prec, v);
  return buf;
}

int count_placeholders(std::string_view text) {
  int n = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    if (i + 1 < text.size() && text[i + 1] == '%') {
      ++i;
      continue;
    }
    ++n;
  }
  return n;
}

}  // namespace

ErrorArg::ErrorArg(const std::u16string& v) : value_(Utf16ToUtf8(v)) {}

std::string OutcomeText(int32_t code) {
  if (code <= -1 && code >= -13 && kOutcomeTexts[-code - 1]) return kOutcomeTexts[-code - 1];
  return {};
}

EABSEngineError::EABSEngineError(int32_t error_code, const std::string& text)
    : EDatabaseError("Dadoveri Engine Error # " + std::to_string(error_code) + " " +
                     (error_code == -8 ? text : OutcomeText(error_code))),
      ErrorCode(error_code),
      ErrorText(error_code == -8 ? text : OutcomeText(error_code)) {}

bool FormatMessage(std::string_view format, std::span<const ErrorArg> args, std::string& out) {
  out.clear();
  size_t next_arg = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if (c != '%') {
      out += c;
      continue;
    }
    if (++i >= format.size()) return false;
    if (format[i] == '%') {
      out += '%';
      continue;
    }
    bool left = false;
    int width = -1, precision = -1;
    if (format[i] == '-') {
      left = true;
      if (++i >= format.size()) return false;
    }
    if (format[i] >= '0' && format[i] <= '9') {
      width = 0;
      while (i < format.size() && format[i] >= '0' && format[i] <= '9') width = width * 10 + (format[i++] - '0');
      if (i >= format.size()) return false;
    }
    if (format[i] == '.') {
      precision = 0;
      ++i;
      while (i < format.size() && format[i] >= '0' && format[i] <= '9') precision = precision * 10 + (format[i++] - '0');
      if (i >= format.size()) return false;
    }
    const char type = static_cast<char>(format[i] | 0x20);  // types are case-insensitive
    if (next_arg >= args.size()) return false;
    const auto& value = args[next_arg++].value();
    std::string body;
    switch (type) {
      case 'd':
      case 'u':
      case 'x':
        if (!std::holds_alternative<int64_t>(value)) return false;
        body = format_integer(std::get<int64_t>(value), type, precision);
        break;
      case 'f':
      case 'e':
      case 'g':
      case 'n':
        if (std::holds_alternative<std::string>(value)) return false;
        body = format_float(std::holds_alternative<double>(value) ? std::get<double>(value)
                                                                 : static_cast<double>(std::get<int64_t>(value)),
                            type == 'n' ? 'f' : type, precision);
        break;
      case 's':
        if (!std::holds_alternative<std::string>(value)) return false;
        body = std::get<std::string>(value);
        if (precision >= 0 && static_cast<size_t>(precision) < body.size()) body.resize(static_cast<size_t>(precision));
        break;
      default:
        return false;
    }
    append_padded(out, body, width, left);
  }
  return true;
}

std::string ComposeTextMessage(int32_t code, std::string_view text) {
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, " - Native error: %.5d", code);
  return std::string(text) + suffix;
}

std::string ComposeFormatMessage(int32_t code, std::string_view format, std::span<const ErrorArg> args) {
  std::string body;
  if (!FormatMessage(format, args, body)) body = std::string(format) + " Arguments are invalid!";
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, " - Native error: %5d", code);
  return body + suffix;
}

std::string_view MessageForCode(int32_t code, int arg_count) {
  std::string_view first;
  for (const MessageEntry& entry : MessageTable()) {
    for (int32_t c : entry.codes) {
      if (c != code) continue;
      if (arg_count < 0 || count_placeholders(entry.text) == arg_count) return entry.text;
      if (first.empty()) first = entry.text;
    }
  }
  return first;
}

VODIDivodavir MakeError(int32_t code, std::span<const ErrorArg> args) {
  if (args.empty()) {
    std::string_view text = MessageForCode(code, 0);
    if (text.empty()) text = "Unknown engine error";
    return VODIDivodavir(code, ComposeTextMessage(code, text));
  }
  std::string_view format = MessageForCode(code, static_cast<int>(args.size()));
  if (format.empty()) format = "Unknown engine error";
  return VODIDivodavir(code, ComposeFormatMessage(code, format, args));
}

std::string MessageText(int32_t code, std::span<const ErrorArg> args) {
  std::string_view format = MessageForCode(code, static_cast<int>(args.size()));
  if (format.empty()) format = "Unknown engine error";
  if (args.empty()) return std::string(format);
  std::string body;
  if (!FormatMessage(format, args, body)) body = std::string(format) + " Arguments are invalid!";
  return body;
}

void RaiseError(int32_t code) { throw MakeError(code); }

void RaiseErrorArgs(int32_t code, std::initializer_list<ErrorArg> args) {
  throw MakeError(code, std::span<const ErrorArg>(args.begin(), args.size()));
}

}  // namespace dadoveri
