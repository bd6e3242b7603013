#include "engine/dataset/field.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "engine/dataset/dataset.h"
#include "engine/platform/code_page.h"
#include "engine/table/meta_object_def.h"

namespace dadoveri {

namespace {

std::string format_float(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

bool parse_integer(const std::string& text, int64_t& out) {
  size_t b = text.find_first_not_of(' ');
  size_t e = text.find_last_not_of(' ');
  if (b == std::string::npos) return false;
  const char* first = text.data() + b;
  const char* last = text.data() + e + 1;
  if (*first == '+') ++first;
  auto [p, ec] = std::from_chars(first, last, out);
  return ec == std::errc() && p == last;
}

bool parse_float(const std::string& text, double& out) {
  if (text.find_first_not_of(' ') == std::string::npos) return false;
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  while (end && *end == ' ') ++end;
  return end && *end == 0 && std::isfinite(out);
}

}  // namespace

std::string FieldTypeName(TFieldType type) {
  static const char* const names[] = {
      "Unknown", "String", "Smallint", "Integer", "Word", "Boolean", "Float", "Currency", "BCD", "Date", "Time",
      "DateTime", "Bytes", "VarBytes", "AutoInc", "Blob", "Memo", "Graphic", "FmtMemo", "ParadoxOle", "DBaseOle",
      "TypedBinary", "Cursor", "FixedChar", "WideString", "Largeint", "ADT", "Array", "Reference", "DataSet",
      "OraBlob", "OraClob", "Variant", "Interface", "IDispatch", "Guid", "TimeStamp", "FMTBcd"};
  const size_t i = static_cast<size_t>(type);
  return i < std::size(names) ? names[i] : "Unknown";
}

TField::TField(TComponent* owner) : TComponent(owner) {}

TField::~TField() {
  Destroy();
  if (dataset_) dataset_->Fields().Remove(this);
}

void TField::SetDataSet(TDataSet* dataset) {
  if (dataset == dataset_) return;
  if (dataset) dataset->CheckInactive();
  if (dataset_) {
    dataset_->CheckInactive();
    dataset_->Fields().Remove(this);
  }
  dataset_ = dataset;
  if (dataset_) dataset_->Fields().Add(this);
}

void TField::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
}

bool TField::is_integer_type() const {
  switch (DataType) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint:
      return true;
    default:
      return false;
  }
}

bool TField::is_float_type() const {
  return DataType == ftFloat || DataType == ftCurrency || DataType == ftBCD ||
         DataType == ftFMTBcd;
}

bool TField::is_text_type() const {
  return DataType == ftString || DataType == ftFixedChar ||
         DataType == ftWideString || DataType == ftMemo ||
         DataType == ftFmtMemo || DataType == ftGuid;
}

bool TField::is_date_type() const {
  return DataType == ftDate || DataType == ftTime || DataType == ftDateTime ||
         DataType == ftTimeStamp;
}

TFieldValue TField::Value() const {
  TFieldValue v;
  if (!dataset_ || !dataset_->GetFieldData(*this, v)) return std::monostate{};
  return v;
}

bool TField::IsNull() const { return std::holds_alternative<std::monostate>(Value()); }

bool TField::CanModify() const {
  if (ReadOnly || Lookup()) return false;
  if (!dataset_) return false;
  // Calculated fields are written while their values are being computed.
  if (Calculated()) return true;
  return dataset_->CanModify();
}

void TField::SetValue(const TFieldValue& value) {
  if (!dataset_) DatabaseError(kMsgFieldReadOnly, this, FieldName);
  const TDataSetState s = dataset_->State();
  const bool computing = s == TDataSetState::dsCalcFields || s == TDataSetState::dsInternalCalc;
  if (computing) {
    if (!InCalcArea()) DatabaseError(kMsgFieldReadOnly, dataset_, FieldName);
  } else {
    if (!CanModify()) DatabaseError(kMsgFieldReadOnly, dataset_, FieldName);
    if (s != TDataSetState::dsEdit && s != TDataSetState::dsInsert && s != TDataSetState::dsSetKey &&
        s != TDataSetState::dsFilter && s != TDataSetState::dsNewValue)
      DatabaseError(kMsgNotEditing, dataset_);
  }
  dataset_->WriteFieldValue(*this, value);
}

void TField::Validate() {
  if (OnValidate) OnValidate(*this);
}

void TField::Change() {
  if (OnChange) OnChange(*this);
}

void TField::CheckRequired() const {
  if (Required && !Calculated() && !Lookup() && IsNull()) DatabaseError(kMsgFieldRequired, dataset_, FieldName);
}

double TField::NativeToDateTime(TFieldType type, const TFieldValue& native) {
  double n = 0;
  if (const auto* i = std::get_if<int64_t>(&native)) n = static_cast<double>(*i);
  else if (const auto* d = std::get_if<double>(&native)) n = *d;
  else return 0;
  switch (type) {
    case ftDate:
      return n - kDateDelta;
    case ftTime:
      return n / static_cast<double>(kMSecsPerDay);
    default:
      return n / static_cast<double>(kMSecsPerDay) - kDateDelta;
  }
}

TFieldValue TField::DateTimeToNative(TFieldType type, double date_time) {
  switch (type) {
    case ftDate:
      return static_cast<int64_t>(std::floor(date_time)) + kDateDelta;
    case ftTime: {
      const double frac = date_time - std::floor(date_time);
      return static_cast<int64_t>(std::llround(frac * static_cast<double>(kMSecsPerDay)));
    }
    default:
      return std::round((date_time + kDateDelta) * static_cast<double>(kMSecsPerDay));
  }
}

std::string TField::AsString() const {
  const TFieldValue v = Value();
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  if (const auto* w = std::get_if<std::u16string>(&v)) return AnsiCodePage().ToAnsi(*w);
  if (const auto* b = std::get_if<bool>(&v)) return *b ? "True" : "False";
  if (is_date_type()) {
    if (std::holds_alternative<std::monostate>(v)) return {};
    return format_float(NativeToDateTime(DataType, v));
  }
  if (const auto* i = std::get_if<int64_t>(&v)) return std::to_string(*i);
  if (const auto* d = std::get_if<double>(&v)) return format_float(*d);
  return {};
}

std::u16string TField::AsWideString() const {
  const TFieldValue v = Value();
  if (const auto* w = std::get_if<std::u16string>(&v)) return *w;
  return AnsiCodePage().ToWide(AsString());
}

void TField::SetAsString(const std::string& text) {
  if (text.empty() && !is_text_type()) {
    Clear();
    return;
  }
  if (DataType == ftWideString) {
    SetValue(AnsiCodePage().ToWide(text));
  } else if (is_text_type() || DataType == ftBlob || DataType == ftBytes ||
             DataType == ftVarBytes || DataType == ftGraphic) {
    SetValue(text);
  } else if (is_integer_type()) {
    int64_t n = 0;
    if (!parse_integer(text, n)) DatabaseError(kMsgInvalidIntegerValue, nullptr, text);
    SetAsInteger(n);
  } else if (is_float_type()) {
    double d = 0;
    if (!parse_float(text, d)) DatabaseError(kMsgInvalidFloatValue, nullptr, text);
    SetAsFloat(d);
  } else if (DataType == ftBoolean) {
    if (SameName(text, "True") || SameName(text, "T") || SameName(text, "Y") || SameName(text, "Yes") ||
        text == "1")
      SetAsBoolean(true);
    else if (SameName(text, "False") || SameName(text, "F") || SameName(text, "N") || SameName(text, "No") ||
             text == "0")
      SetAsBoolean(false);
    else
      DatabaseError(kMsgInvalidBoolValue, nullptr, text, FieldName);
  } else if (is_date_type()) {
    double d = 0;
    if (!parse_float(text, d)) DatabaseError(kMsgInvalidDateTimeValue, nullptr, text);
    SetAsDateTime(d);
  } else {
    SetValue(text);
  }
}

void TField::SetAsWideString(const std::u16string& text) {
  if (DataType == ftWideString || WideText) {
    if (text.empty()) Clear();
    else SetValue(text);
    return;
  }
  SetAsString(AnsiCodePage().ToAnsi(text));
}

int64_t TField::AsInteger() const {
  const TFieldValue v = Value();
  if (const auto* i = std::get_if<int64_t>(&v)) return *i;
  if (const auto* d = std::get_if<double>(&v)) return std::llround(*d);
  if (const auto* b = std::get_if<bool>(&v)) return *b ? 1 : 0;
  if (std::holds_alternative<std::monostate>(v)) return 0;
  const std::string text = AsString();
  int64_t n = 0;
  if (!parse_integer(text, n)) DatabaseError(kMsgInvalidIntegerValue, nullptr, text);
  return n;
}

void TField::SetAsInteger(int64_t v) {
  if (is_float_type()) SetValue(static_cast<double>(v));
  else if (DataType == ftBoolean) SetValue(v != 0);
  else if (is_text_type()) SetAsString(std::to_string(v));
  else if (is_integer_type()) SetValue(v);
  else DatabaseError(kMsgFieldTypeMismatch, nullptr, FieldName, FieldTypeName(DataType), "Integer");
}

double TField::AsFloat() const {
  const TFieldValue v = Value();
  if (const auto* d = std::get_if<double>(&v)) {
    if (is_date_type()) return NativeToDateTime(DataType, v);
    return *d;
  }
  if (const auto* i = std::get_if<int64_t>(&v)) {
    if (is_date_type()) return NativeToDateTime(DataType, v);
    return static_cast<double>(*i);
  }
  if (const auto* b = std::get_if<bool>(&v)) return *b ? 1 : 0;
  if (std::holds_alternative<std::monostate>(v)) return 0;
  const std::string text = AsString();
  double d = 0;
  if (!parse_float(text, d)) DatabaseError(kMsgInvalidFloatValue, nullptr, text);
  return d;
}

void TField::SetAsFloat(double v) {
  if (is_float_type()) SetValue(v);
  else if (is_integer_type()) SetValue(static_cast<int64_t>(std::llround(v)));
  else if (is_date_type()) SetAsDateTime(v);
  else if (is_text_type()) SetAsString(format_float(v));
  else DatabaseError(kMsgFieldTypeMismatch, nullptr, FieldName, FieldTypeName(DataType), "Float");
}

bool TField::AsBoolean() const {
  const TFieldValue v = Value();
  if (const auto* b = std::get_if<bool>(&v)) return *b;
  if (const auto* i = std::get_if<int64_t>(&v)) return *i != 0;
  if (const auto* d = std::get_if<double>(&v)) return *d != 0;
  if (std::holds_alternative<std::monostate>(v)) return false;
  const std::string text = AsString();
  if (SameName(text, "True") || SameName(text, "T") || text == "1") return true;
  if (SameName(text, "False") || SameName(text, "F") || text == "0") return false;
  DatabaseError(kMsgInvalidBoolValue, nullptr, text, FieldName);
}

void TField::SetAsBoolean(bool v) {
  if (DataType == ftBoolean) SetValue(v);
  else if (is_integer_type()) SetValue(static_cast<int64_t>(v ? 1 : 0));
  else if (is_text_type()) SetAsString(v ? "True" : "False");
  else DatabaseError(kMsgFieldTypeMismatch, nullptr, FieldName, FieldTypeName(DataType), "Boolean");
}

double TField::AsDateTime() const {
  const TFieldValue v = Value();
  if (std::holds_alternative<std::monostate>(v)) return 0;
  if (is_date_type()) return NativeToDateTime(DataType, v);
  if (const auto* d = std::get_if<double>(&v)) return *d;
  if (const auto* i = std::get_if<int64_t>(&v)) return static_cast<double>(*i);
  const std::string text = AsString();
  double d = 0;
  if (!parse_float(text, d)) DatabaseError(kMsgInvalidDateTimeValue, nullptr, text);
  return d;
}

void TField::SetAsDateTime(double v) {
  if (is_date_type()) SetValue(DateTimeToNative(DataType, v));
  else if (is_float_type()) SetValue(v);
  else if (is_text_type()) SetAsString(format_float(v));
  else DatabaseError(kMsgFieldTypeMismatch, nullptr, FieldName, FieldTypeName(DataType), "DateTime");
}

void TField::SetAsVariant(const TFieldValue& v) {
  if (std::holds_alternative<std::monostate>(v)) Clear();
  else if (const auto* s = std::get_if<std::string>(&v)) SetAsString(*s);
  else if (const auto* w = std::get_if<std::u16string>(&v)) SetAsWideString(*w);
  else if (const auto* i = std::get_if<int64_t>(&v)) SetAsInteger(*i);
  else if (const auto* d = std::get_if<double>(&v)) SetAsFloat(*d);
  else if (const auto* b = std::get_if<bool>(&v)) SetAsBoolean(*b);
}

// ---- TFields ----

TField* TFields::FindField(const std::string& name) const {
  for (TField* f : fields_)
    if (SameName(f->FieldName, name)) return f;
  return nullptr;
}

TField* TFields::FieldByName(const std::string& name) const {
  TField* f = FindField(name);
  if (!f) DatabaseError(kMsgFieldNotFound, dataset_, name);
  return f;
}

TField* TFields::FieldByNumber(int32_t field_no) const {
  for (TField* f : fields_)
    if (f->FieldNo == field_no) return f;
  return nullptr;
}

int TFields::IndexOf(const TField* field) const {
  for (size_t i = 0; i < fields_.size(); ++i)
    if (fields_[i] == field) return static_cast<int>(i);
  return -1;
}

void TFields::Add(TField* field) {
  if (IndexOf(field) < 0) fields_.push_back(field);
}

void TFields::Remove(TField* field) {
  const int i = IndexOf(field);
  if (i >= 0) fields_.erase(fields_.begin() + i);
}

void TFields::Clear() { fields_.clear(); }

}  // namespace dadoveri
