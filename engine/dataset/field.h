// TField: one column of a dataset as the dataset model sees it. A field reads and writes
// its value through its dataset (which knows the record buffer the current state refers
// to) and converts between its native form and text, integers, floating-point numbers,
// booleans, date-times and wide text. Date-time native forms: a date is a day number with
// 1 January of year 1 as day 1, a time is milliseconds since midnight, a date-time is
// milliseconds since the start of 1 January of year 1; the As… accessors speak TDateTime
// (days since 30 December 1899 as a double).
//
// TFields: the dataset's field list, in column order, with FieldByName / FindField.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "engine/dataset/component.h"
#include "engine/table/column_type.h"
#include "engine/table/date_time.h"

namespace dadoveri {

class TDataSet;

enum class TFieldKind { fkData, fkCalculated, fkLookup, fkInternalCalc };

// A field value in its native form: none (NULL), an integer, a floating-point number,
// a boolean, single-byte text or bytes, wide text.
using TFieldValue = std::variant<std::monostate, int64_t, double, bool, std::string, std::u16string>;

std::string FieldTypeName(TFieldType type);

class TField : public TComponent {
 public:
  explicit TField(TComponent* owner = nullptr);
  ~TField() override;

  // Binds the field to a dataset's field list (null unbinds).
  void SetDataSet(TDataSet* dataset);
  TDataSet* DataSet() const { return dataset_; }

  std::string FieldName;
  TFieldType DataType = ftUnknown;
  int32_t Size = 0;
  // The column number in the dataset's record (1-based; 0 for calculated fields).
  int32_t FieldNo = 0;
  // The value is wide text whatever DataType says (a wide memo keeps UTF-16).
  bool WideText = false;
  TFieldKind FieldKind = TFieldKind::fkData;
  bool ReadOnly = false;
  bool Required = false;
  bool Visible = true;
  int32_t DisplayWidth = 0;
  // The column caption; the field name when empty.
  std::string DisplayLabelText;
  std::string DisplayLabel() const { return DisplayLabelText.empty() ? FieldName : DisplayLabelText; }
  bool Calculated() const { return FieldKind == TFieldKind::fkCalculated || FieldKind == TFieldKind::fkInternalCalc; }
  bool Lookup() const { return FieldKind == TFieldKind::fkLookup; }
  // A calculated or lookup field carries its value in the record's calculated area.
  bool InCalcArea() const { return FieldKind != TFieldKind::fkData; }

  // Fired with the field before a new value is written (raise to refuse it) and after.
  std::function<void(TField&)> OnValidate;
  std::function<void(TField&)> OnChange;

  // The value in native form; monostate when NULL (or when the dataset shows no record).
  TFieldValue Value() const;
  // Writes a native value (monostate clears): the dataset must be in a writable state and
  // the field modifiable; OnValidate runs first, OnChange after.
  void SetValue(const TFieldValue& value);
  bool IsNull() const;
  void Clear() { SetValue(std::monostate{}); }
  bool CanModify() const;

  // Conversions. Reading a NULL gives "", 0, 0.0, false, 0.0 and u"".
  std::string AsString() const;
  void SetAsString(const std::string& text);
  std::u16string AsWideString() const;
  void SetAsWideString(const std::u16string& text);
  int64_t AsInteger() const;
  void SetAsInteger(int64_t v);
  double AsFloat() const;
  void SetAsFloat(double v);
  bool AsBoolean() const;
  void SetAsBoolean(bool v);
  // TDateTime: days since 30 December 1899.
  double AsDateTime() const;
  void SetAsDateTime(double v);
  TFieldValue AsVariant() const { return Value(); }
  void SetAsVariant(const TFieldValue& v);

  // Called by the dataset after a value was written (the field-changed notification).
  void Change();
  // Called before writing: OnValidate.
  void Validate();
  // Raises "Field '%s' must have a value" when required and NULL.
  void CheckRequired() const;

  // Helpers for the native date-time forms.
  static double NativeToDateTime(TFieldType type, const TFieldValue& native);
  static TFieldValue DateTimeToNative(TFieldType type, double date_time);

 protected:
  void Notification(TComponent* component, TOperation operation) override;

 private:
  bool is_integer_type() const;
  bool is_float_type() const;
  bool is_text_type() const;
  bool is_date_type() const;
  TDataSet* dataset_ = nullptr;
  friend class TDataSet;
};

class TFields {
 public:
  explicit TFields(TDataSet* dataset) : dataset_(dataset) {}
  int Count() const { return static_cast<int>(fields_.size()); }
  TField* operator[](int index) const { return fields_.at(static_cast<size_t>(index)); }
  // Letter case ignored; null / "Field '%s' not found" (named after the dataset).
  TField* FindField(const std::string& name) const;
  TField* FieldByName(const std::string& name) const;
  TField* FieldByNumber(int32_t field_no) const;
  int IndexOf(const TField* field) const;
  void Add(TField* field);
  void Remove(TField* field);
  void Clear();

 private:
  TDataSet* dataset_;
  std::vector<TField*> fields_;
};

}  // namespace dadoveri
