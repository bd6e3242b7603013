// TABSVariant: the engine's typed value (a base type, a null flag and the value's bytes in
// the base type's encoding). Default values, check bounds, parameters, expression results
// and field values all travel as TABSVariant.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/table/column_type.h"
#include "engine/table/date_time.h"
#include "engine/table/extended.h"
#include "engine/table/host_variant.h"

namespace dadoveri {

// Casts a value's bytes from one base type into another by the engine's casting rules.
// Returns false, leaving `out` unspecified, when there is no rule for the pair or the rule
// fails. `size` is the byte count of `data` (-1 for text: up to its terminator).
bool CastValue(TABSBaseType from, const void* data, int32_t size, TABSBaseType to, std::string& out);
// As CastValue, raising "Cannot cast from '%s' to '%s'" (30052 when the pair has no rule,
// 30051 when the rule fails).
void CastValueOrRaise(TABSBaseType from, const void* data, int32_t size, TABSBaseType to, std::string& out);

class TABSVariant {
 public:
  explicit TABSVariant(TABSBaseType type = btNone) : type_(type) {}
  // Copies own the data (a borrowed block is copied too).
  TABSVariant(const TABSVariant& other);
  TABSVariant& operator=(const TABSVariant& other);
  TABSVariant(TABSVariant&& other) noexcept;
  TABSVariant& operator=(TABSVariant&& other) noexcept;
  ~TABSVariant();

  TABSBaseType ValueType() const { return type_; }
  // Null when the null flag is set or there is no data.
  bool IsNull() const { return null_ != 0 || data_ == nullptr; }
  int32_t DataSize() const { return size_; }
  const void* Data() const { return data_; }
  bool IsBorrowed() const { return borrowed_; }

  // Sets the null flag; keeps the type and the data block.
  void SetNull() { null_ = 1; }
  // Releases an owned block; the value becomes a null of `new_type`.
  void Clear(TABSBaseType new_type = btNone);
  // Takes type, size and null flag of `other`; with `copy` the data is copied into a block
  // of its own, without it the value borrows other's block.
  void Assign(const TABSVariant& other, bool copy = true);
  // As Assign, from raw bytes of `type`; the value is not null afterwards.
  void SetFromBuffer(const void* data, int32_t size, bool copy, TABSBaseType type);
  // Copies the data to `destination`. False (nothing written) for a null value or an empty
  // text; raises 20056 when `room` is not -1 and smaller than the data.
  bool WriteToBuffer(void* destination, int32_t room = -1) const;

  // Typed setters. A typed value converts what it is given to its own type (the value is
  // unchanged when that fails); an untyped one takes the setter's type. An empty text sets
  // the value null.
  void SetAsShortint(int8_t v);
  void SetAsSmallint(int16_t v);
  void SetAsInteger(int32_t v);
  void SetAsLargeint(int64_t v);
  void SetAsByte(uint8_t v);
  void SetAsWord(uint16_t v);
  void SetAsCardinal(uint32_t v);
  void SetAsSingle(float v);
  void SetAsFloat(double v);
  void SetAsExtended(const Extended80& v);
  void SetAsExtended(long double v) { SetAsExtended(LongDoubleToExtended(v)); }
  void SetAsString(std::string_view ansi_text);
  void SetAsWideString(std::u16string_view text);
  void SetAsLogical(bool v);
  void SetAsCurrency(double v);
  void SetAsDate(int32_t day_number);
  void SetAsTime(int32_t msecs);
  void SetAsDateTime(const TABSDateTime& v);
  // Calendar values: days since 1899-12-30 with the time of day as the fraction.
  void SetAsTDate(double calendar);
  void SetAsTTime(double calendar);
  void SetAsTDateTime(double calendar);

  // Typed getters. A null value raises "Value is Null" (30016), except for the text
  // getters, which give the empty string. A value of another type is cast (30051/30052
  // when it cannot be).
  int8_t GetAsShortint() const;
  int16_t GetAsSmallint() const;
  int32_t GetAsInteger() const;
  int64_t GetAsLargeint() const;
  uint8_t GetAsByte() const;
  uint16_t GetAsWord() const;
  uint32_t GetAsCardinal() const;
  float GetAsSingle() const;
  double GetAsFloat() const;
  Extended80 GetAsExtended() const;
  std::string GetAsString() const;
  std::u16string GetAsWideString() const;
  bool GetAsLogical() const;
  double GetAsCurrency() const;
  int32_t GetAsDate() const;
  int32_t GetAsTime() const;
  TABSDateTime GetAsDateTime() const;
  double GetAsTDate() const;
  double GetAsTTime() const;
  double GetAsTDateTime() const;

  // Converts the value to type `t` in place (a null value only changes type). Raises the
  // cast messages on failure, leaving the value as it was.
  void ConvertTo(TABSBaseType t);

  // Characters of a non-null text value, from its data size; -1 otherwise.
  int32_t StringLength() const;
  bool IsNumeric() const { return IsNumericBaseType(type_); }
  bool IsString() const { return IsStringBaseType(type_); }
  bool IsWideString() const { return IsWideStringBaseType(type_); }
  bool IsDateTime() const { return IsDateTimeBaseType(type_); }

  // Arithmetic in place on this (left) value, after both are brought to their common type.
  void Negate();
  void Add(const TABSVariant& right);
  void Multiply(const TABSVariant& right);
  void Divide(const TABSVariant& right);

  // A TABSCompareResult code. With `prefix` and both values text, both are compared over
  // the shorter one's length.
  int CompareRaw(const TABSVariant& other, bool prefix = false, bool case_insensitive = false) const;
  // -1, 0 or 1; NULL sorts below every value.
  int Compare(const TABSVariant& other, bool prefix = false, bool case_insensitive = false) const;

  // The stored form (in definitions): base type, 1 byte; null marker, 1 byte (0 = has a
  // value); when it has a value, the data size (signed 32-bit, little-endian) and the data.
  void AppendStoredForm(std::string& out) const;
  // Reads a stored form at `pos` and advances `pos` past it. False, leaving the value
  // unchanged, when the bytes end early or the size is negative.
  bool ReadStoredForm(const uint8_t* data, size_t size, size_t& pos);

  // The dataset layer's variants.
  void SetFromHostVariant(const THostVariant& value);
  THostVariant ToHostVariant() const;

 private:
  // Replaces the data with a copy of `bytes` of type `type`, not null.
  void set_data(TABSBaseType type, const void* bytes, int32_t size);
  // Sets a value given in type `type`, converting it into this value's own type when that
  // differs (sticky type).
  void set_typed(TABSBaseType type, const void* bytes, int32_t size);
  // The data cast to `t` (the value must not be null).
  std::string cast_copy(TABSBaseType t) const;
  void require_not_null() const;
  void release();

  TABSBaseType type_ = btNone;
  uint8_t null_ = 1;
  int32_t size_ = 0;
  void* data_ = nullptr;
  bool borrowed_ = false;
  // Values up to this many bytes (every fixed-size type) live in the variant itself, so
  // setting, copying and computing them never allocates.
  static constexpr int32_t kInlineSize = 16;
  alignas(8) unsigned char inline_[kInlineSize];
  bool on_heap() const { return data_ != nullptr && !borrowed_ && data_ != inline_; }
};

}  // namespace dadoveri
