// The engine's exceptions: VODIDivodavir (a message and the native code of the place that
// raised it) and EABSEngineError (record-operation outcome codes seen by the dataset layer).
//
// Raising places name a code and, where the message has placeholders, pass the arguments:
//     RaiseError(30115, field_name);        // "Field 'x' not found - Native error: 30115"
//     RaiseError(20094);                    // plain text, code printed "%.5d"
// The texts live in one table (error_messages.cpp); they are never repeated at raising places.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

namespace dadoveri {

// The engine's one exception class. The message is composed once, at creation.
class VODIDivodavir : public std::runtime_error {
 public:
  VODIDivodavir(int32_t native_error, const std::string& composed_message)
      : std::runtime_error(composed_message), NativeError(native_error) {}
  std::string Message() const { return what(); }

  int32_t NativeError;
};

// The dataset layer's database exception. Code names the message's row in the message
// table (0 when the text comes from elsewhere, as for the outcome errors below).
class EDatabaseError : public std::runtime_error {
 public:
  explicit EDatabaseError(const std::string& message, int32_t code = 0) : std::runtime_error(message), Code(code) {}

  int32_t Code;
};

// Outcome of a record insert, update or delete reported by a cursor (-1 … -13).
class EABSEngineError : public EDatabaseError {
 public:
  // text is used for code -8 (the caller's own text); the other codes have fixed texts.
  explicit EABSEngineError(int32_t error_code, const std::string& text = {});

  int32_t ErrorCode;
  std::string ErrorText;
};

// The fixed outcome text of an EABSEngineError code; empty for codes without one (and -8).
std::string OutcomeText(int32_t code);

// One argument of a formatted message: an integer, a floating-point number or a string.
class ErrorArg {
 public:
  template <typename T>
    requires std::is_integral_v<T>
  ErrorArg(T v) : value_(static_cast<int64_t>(v)) {}
  ErrorArg(double v) : value_(v) {}
  ErrorArg(const char* v) : value_(std::string(v ? v : "")) {}
  ErrorArg(std::string_view v) : value_(std::string(v)) {}
  ErrorArg(const std::string& v) : value_(v) {}
  ErrorArg(const std::u16string& v);

  const std::variant<int64_t, double, std::string>& value() const { return value_; }

 private:
  std::variant<int64_t, double, std::string> value_;
};

// Applies a format with the placeholders %s, %d, %u, %x, %f, %e, %g (with optional
// '-', width and '.precision', and %%) to the arguments. Returns false, leaving `out`
// unspecified, when the arguments do not fit the format.
bool FormatMessage(std::string_view format, std::span<const ErrorArg> args, std::string& out);

// Message composition, exactly as the exception carries it.
std::string ComposeTextMessage(int32_t code, std::string_view text);
std::string ComposeFormatMessage(int32_t code, std::string_view format,
                                 std::span<const ErrorArg> args);

// The message text registered for a code. A handful of codes carry two messages; the one
// whose placeholder count equals `arg_count` is chosen, else the first. Empty when the code
// is unknown.
std::string_view MessageForCode(int32_t code, int arg_count = -1);

// Builds the exception for a code: without arguments the message's text is used as it
// stands ("%.5d" suffix); with arguments it is a format ("%5d" suffix).
VODIDivodavir MakeError(int32_t code, std::span<const ErrorArg> args = {});

// The text of a message with its arguments applied, without the native-error suffix
// (the form database errors of the dataset layer carry).
std::string MessageText(int32_t code, std::span<const ErrorArg> args = {});

[[noreturn]] void RaiseError(int32_t code);
[[noreturn]] void RaiseErrorArgs(int32_t code, std::initializer_list<ErrorArg> args);

template <typename... Args>
[[noreturn]] void RaiseError(int32_t code, const Args&... args) {
  RaiseErrorArgs(code, {ErrorArg(args)...});
}

// One row of the message table: the text and the codes of the places that raise it.
struct MessageEntry {
  const char* text;
  std::initializer_list<int32_t> codes;
};
std::span<const MessageEntry> MessageTable();

}  // namespace dadoveri
