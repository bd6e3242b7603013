// TParam and TParams: the named parameters of a query dataset. A parameter has a name, a
// field type, a value (null until set) and a bound flag: the caller's own values are bound,
// while the values a master data source fills in stay unbound, so that the next run fills
// them again.
//
// ParseSQLParams scans a statement text for ':name' parameters and gives the text with each
// of them replaced by a question mark.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/table/column_type.h"
#include "engine/table/host_variant.h"

namespace dadoveri {

class TABSVariant;
class TComponent;

class TParam {
 public:
  TParam() = default;
  explicit TParam(std::string name) : Name(std::move(name)) {}

  std::string Name;
  TFieldType DataType = ftUnknown;
  // Set by every value setter; cleared only by the caller.
  bool Bound = false;

  const THostVariant& Value() const { return value_; }
  // Sets the value and binds the parameter; an untyped parameter takes the value's type.
  void SetValue(const THostVariant& value);
  bool IsNull() const;
  // Makes the value null; type and bound flag stay.
  void Clear() { value_ = THostNull{}; }

  // Typed setters: each sets the field type it names, the value, and binds.
  void SetAsString(const std::string& text);
  void SetAsWideString(const std::u16string& text);
  void SetAsInteger(int32_t v);
  void SetAsLargeInt(int64_t v);
  void SetAsFloat(double v);
  void SetAsCurrency(double v);
  void SetAsBoolean(bool v);
  // Calendar values: days since 1899-12-30, the time of day as the fraction.
  void SetAsDate(double v);
  void SetAsTime(double v);
  void SetAsDateTime(double v);
  // Bytes of a BLOB.
  void SetAsBlob(const std::string& bytes);

  // Readers (a null value reads as empty text, zero, false). Single-byte text is in the
  // process's code page, as field values are.
  std::string AsString() const;
  std::u16string AsWideString() const;
  int64_t AsInteger() const;
  double AsFloat() const;
  bool AsBoolean() const;

  // Copies name, type, value and bound flag.
  void Assign(const TParam& other);
  // Copies the value with its type and bound flag (the name stays).
  void AssignValue(const TParam& other);

  // The engine value the query hands to its statement: a null of the engine type for a
  // null parameter; a time parameter's date-time value; the bytes of a BLOB or graphic
  // parameter; otherwise the variant converted into the engine type (untyped for an
  // unknown field type).
  void CopyToEngine(TABSVariant& target) const;

 private:
  THostVariant value_ = THostNull{};
};

class TParams {
 public:
  TParams() = default;
  TParams(const TParams& other) { Assign(other); }
  TParams& operator=(const TParams& other) {
    if (this != &other) Assign(other);
    return *this;
  }

  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  TParam& Items(int32_t index) { return *items_.at(static_cast<size_t>(index)); }
  const TParam& Items(int32_t index) const { return *items_.at(static_cast<size_t>(index)); }
  TParam& operator[](int32_t index) { return Items(index); }
  // Appends a new untyped, unbound, null parameter.
  TParam& CreateParam(const std::string& name, TFieldType type = ftUnknown);
  void Clear() { items_.clear(); }
  // The first parameter of that name (letter case ignored); null when there is none.
  TParam* FindParam(std::string_view name) const;
  // As FindParam; none: "Parameter '%s' not found" (named after `owner` when given).
  TParam& ParamByName(std::string_view name, const TComponent* owner = nullptr) const;
  // A copy of every parameter of `other`.
  void Assign(const TParams& other);
  // Each parameter here takes the value, type and bound flag of the first parameter of the
  // same name in `other`; the others stay as they are.
  void AssignValues(const TParams& other);

 private:
  std::vector<std::unique_ptr<TParam>> items_;
};

// Scans `text` for parameters: a colon outside quotes starts a name that runs to the next
// space, comma, semicolon, closing parenthesis, line break or the end; quotes inside the
// name keep delimiters in it, and a name written in quotes loses them. "::" is one literal
// colon and a colon between double quotes (":") is never a parameter. Each name found is
// appended to `params` (when given) in order, repeated names included. Answers the text with
// each parameter replaced by "?".
std::u16string ParseSQLParams(const std::u16string& text, TParams* params);

}  // namespace dadoveri
