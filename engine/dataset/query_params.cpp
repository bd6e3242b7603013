#include "engine/dataset/query_params.h"

#include <cmath>
#include <type_traits>

#include "engine/base/utf8.h"
#include "engine/dataset/database_error.h"
#include "engine/platform/code_page.h"
#include "engine/table/meta_object_def.h"
#include "engine/table/variant.h"

namespace dadoveri {

namespace {

// The field type a value takes in an untyped parameter.
TFieldType type_of(const THostVariant& value) {
  return std::visit(
      [](const auto& v) -> TFieldType {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, int16_t> || std::is_same_v<T, int8_t> || std::is_same_v<T, uint8_t>) return ftSmallint;
        else if constexpr (std::is_same_v<T, int32_t>) return ftInteger;
        else if constexpr (std::is_same_v<T, uint16_t>) return ftWord;
        else if constexpr (std::is_same_v<T, uint32_t> || std::is_same_v<T, int64_t>) return ftLargeint;
        else if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>) return ftFloat;
        else if constexpr (std::is_same_v<T, THostCurrency>) return ftCurrency;
        else if constexpr (std::is_same_v<T, THostDate>) return ftDateTime;
        else if constexpr (std::is_same_v<T, std::u16string>) return ftWideString;
        else if constexpr (std::is_same_v<T, std::string>) return ftString;
        else if constexpr (std::is_same_v<T, bool>) return ftBoolean;
        else return ftUnknown;
      },
      value);
}

// The value as the engine's variant, untyped (its own type).
TABSVariant engine_value(const THostVariant& value) {
  TABSVariant v;
  v.SetFromHostVariant(value);
  return v;
}

bool is_quote(char16_t c) { return c == u'\'' || c == u'"' || c == u'`'; }

bool ends_name(char16_t c) {
  return c == u' ' || c == u',' || c == u';' || c == u')' || c == u'\r' || c == u'\n';
}

void replace_all(std::u16string& text, std::u16string_view from, std::u16string_view to) {
  for (size_t at = text.find(from); at != std::u16string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

}  // namespace

// ---- TParam ----

void TParam::SetValue(const THostVariant& value) {
  value_ = value;
  if (DataType == ftUnknown) DataType = type_of(value);
  Bound = true;
}

bool TParam::IsNull() const {
  return std::holds_alternative<THostNull>(value_) || std::holds_alternative<THostEmpty>(value_);
}

void TParam::SetAsString(const std::string& text) {
  DataType = ftString;
  SetValue(text);
}

void TParam::SetAsWideString(const std::u16string& text) {
  DataType = ftWideString;
  SetValue(text);
}

void TParam::SetAsInteger(int32_t v) {
  DataType = ftInteger;
  SetValue(v);
}

void TParam::SetAsLargeInt(int64_t v) {
  DataType = ftLargeint;
  SetValue(v);
}

void TParam::SetAsFloat(double v) {
  DataType = ftFloat;
  SetValue(v);
}

void TParam::SetAsCurrency(double v) {
  DataType = ftCurrency;
  SetValue(THostCurrency{v});
}

void TParam::SetAsBoolean(bool v) {
  DataType = ftBoolean;
  SetValue(v);
}

void TParam::SetAsDate(double v) {
  DataType = ftDate;
  SetValue(THostDate{v});
}

void TParam::SetAsTime(double v) {
  DataType = ftTime;
  SetValue(THostDate{v});
}

void TParam::SetAsDateTime(double v) {
  DataType = ftDateTime;
  SetValue(THostDate{v});
}

void TParam::SetAsBlob(const std::string& bytes) {
  DataType = ftBlob;
  SetValue(bytes);
}

std::string TParam::AsString() const {
  if (IsNull()) return {};
  if (const auto* s = std::get_if<std::string>(&value_)) return *s;
  return engine_value(value_).GetAsString();
}

std::u16string TParam::AsWideString() const {
  if (IsNull()) return {};
  if (const auto* w = std::get_if<std::u16string>(&value_)) return *w;
  if (const auto* s = std::get_if<std::string>(&value_)) return AnsiCodePage().ToWide(*s);
  return engine_value(value_).GetAsWideString();
}

int64_t TParam::AsInteger() const {
  if (IsNull()) return 0;
  return engine_value(value_).GetAsLargeint();
}

double TParam::AsFloat() const {
  if (IsNull()) return 0;
  return engine_value(value_).GetAsFloat();
}

bool TParam::AsBoolean() const {
  if (IsNull()) return false;
  return engine_value(value_).GetAsLogical();
}

void TParam::Assign(const TParam& other) {
  Name = other.Name;
  AssignValue(other);
}

void TParam::AssignValue(const TParam& other) {
  DataType = other.DataType;
  value_ = other.value_;
  Bound = other.Bound;
}

void TParam::CopyToEngine(TABSVariant& target) const {
  const TABSBaseType type = ColumnTypeToBaseType(FieldTypeToColumnType(DataType));
  target.Clear(type);
  if (IsNull()) {
    target.SetNull();
    return;
  }
  if (DataType == ftTime) {
    // A time parameter passes its date-time value.
    if (const auto* d = std::get_if<THostDate>(&value_)) target.SetAsTDateTime(d->Value);
    else target.SetFromHostVariant(value_);
    return;
  }
  if (DataType == ftBlob || DataType == ftGraphic) {
    std::string bytes;
    if (const auto* s = std::get_if<std::string>(&value_)) bytes = *s;
    else bytes = AsString();
    target.SetFromBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), true, btBlob);
    return;
  }
  target.SetFromHostVariant(value_);
}

// ---- TParams ----

TParam& TParams::CreateParam(const std::string& name, TFieldType type) {
  items_.push_back(std::make_unique<TParam>(name));
  items_.back()->DataType = type;
  return *items_.back();
}

TParam* TParams::FindParam(std::string_view name) const {
  for (const auto& p : items_)
    if (SameName(p->Name, name)) return p.get();
  return nullptr;
}

TParam& TParams::ParamByName(std::string_view name, const TComponent* owner) const {
  if (TParam* p = FindParam(name)) return *p;
  DatabaseError(kMsgParameterNotFound, owner, std::string(name));
}

void TParams::Assign(const TParams& other) {
  std::vector<std::unique_ptr<TParam>> copy;
  for (const auto& p : other.items_) {
    copy.push_back(std::make_unique<TParam>());
    copy.back()->Assign(*p);
  }
  items_ = std::move(copy);
}

void TParams::AssignValues(const TParams& other) {
  for (const auto& p : items_)
    if (const TParam* source = other.FindParam(p->Name)) p->AssignValue(*source);
}

// ---- the parameter scan ----

std::u16string ParseSQLParams(const std::u16string& text_in, TParams* params) {
  static constexpr std::u16string_view kQuotedColon = u"\":\"";
  static constexpr std::u16string_view kMarker = u"<cut colon>";
  std::u16string text = text_in;
  replace_all(text, kQuotedColon, kMarker);

  std::u16string out;
  out.reserve(text.size());
  bool literal = false;
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const char16_t c = text[i];
    if (is_quote(c)) {
      literal = !literal;
      out += c;
      ++i;
      continue;
    }
    if (c != u':' || literal) {
      out += c;
      ++i;
      continue;
    }
    if (i + 1 < n && text[i + 1] == u':') {
      out += u':';
      i += 2;
      continue;
    }
    // A name: up to a delimiter outside quotes.
    size_t j = i + 1;
    bool in_name_literal = false;
    while (j < n) {
      const char16_t d = text[j];
      if (is_quote(d)) in_name_literal = !in_name_literal;
      else if (!in_name_literal && ends_name(d)) break;
      ++j;
    }
    std::u16string name = text.substr(i + 1, j - i - 1);
    if (name.empty()) {
      // A colon with no name after it names nothing: it stays as it is.
      out += c;
      ++i;
      continue;
    }
    if (is_quote(name.front())) {
      name.erase(0, 1);
      if (!name.empty() && is_quote(name.back())) name.pop_back();
    }
    if (params) params->CreateParam(Utf16ToUtf8(name));
    out += u'?';
    i = j;
  }
  replace_all(out, kMarker, kQuotedColon);
  return out;
}

}  // namespace dadoveri
