// Record buffers: the memory record that cursors and the dataset layer work on and the
// stored record that record storage writes to pages. Both begin with the null flags
// (one bit per field, set = NULL) followed by the fields packed in definition order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/table/column_type.h"
#include "engine/table/variant.h"

namespace dadoveri {

// A default that is an expression (such as a call of NOW), evaluated for each new record.
class TABSDefaultExpression {
 public:
  virtual ~TABSDefaultExpression() = default;
  virtual void Evaluate(TABSVariant& result) = 0;
};

// The attributes of one field that records, defaults and autoincrement numbering need.
// The table's field definitions carry them (with their names and IDs) and keep the sizes
// and offsets up to date through SetType and TABSRecordLayout::RecomputeOffsets.
struct TABSFieldLayout {
  std::string Name;
  int32_t ObjectID = -1;
  TABSColumnType ColumnType = ctNone;
  TABSBaseType BaseType = btNone;
  int32_t Size = 0;
  int32_t MemoryDataSize = 0;
  int32_t StoredDataSize = 0;
  int32_t MemoryOffset = 0;
  int32_t StoredOffset = 0;

  TABSVariant DefaultValue;  // null: no default
  std::shared_ptr<TABSDefaultExpression> DefaultExpression;

  int32_t BlobBlockSize = 102400;
  int64_t Increment = 1;
  int64_t InitialValue = 0;
  int64_t MinValue = 0;
  int64_t MaxValue = INT64_MAX;  // 0: no upper limit
  bool Cycled = false;

  // Sets the column type and declared size; derives the base type and both data sizes.
  // A column type without a row in the type-name table raises "Unsupported data type" (30007).
  void SetType(TABSColumnType column_type, int32_t size = 0);
};

class TABSRecordLayout {
 public:
  TABSRecordLayout() = default;
  explicit TABSRecordLayout(std::vector<TABSFieldLayout> fields);

  std::vector<TABSFieldLayout>& Fields() { return fields_; }
  const std::vector<TABSFieldLayout>& Fields() const { return fields_; }
  int32_t FieldCount() const { return static_cast<int32_t>(fields_.size()); }
  const TABSFieldLayout& Field(int32_t i) const { return fields_[static_cast<size_t>(i)]; }

  // Works out every field's offsets and the record sizes; call whenever the list changes.
  void RecomputeOffsets();
  int32_t NullFlagsSize() const { return (FieldCount() + 7) / 8; }
  int32_t MemoryRecordSize() const { return memory_record_size_; }
  int32_t StoredRecordSize() const { return stored_record_size_; }

  bool IsNull(int32_t field_no, const void* record) const;
  void SetNull(int32_t field_no, void* record) const;
  void ClearNull(int32_t field_no, void* record) const;

  // Every field NULL, every data byte 0 (defaults are the field manager's).
  void InitRecord(void* memory_record) const;
  void MemoryToStored(const void* memory_record, void* stored_record) const;
  // The last bytes of each BLOB reference, not kept in the stored record, become zero.
  void StoredToMemory(const void* stored_record, void* memory_record) const;
  // Zeroes every byte of a text field behind its text (the whole area when NULL), so that
  // equal values have equal bytes.
  void NormalizeRecord(void* memory_record) const;
  // Equal null flags and equal stored bytes of every field.
  bool CompareRecordImages(const void* a, const void* b) const;

  // Field data in the dataset layer's buffer form. Reading answers false and copies
  // nothing for a NULL field; with no destination it only answers whether the field has a
  // value; BLOB fields answer true and copy nothing. With `native_date_time` a date-time is
  // given as the dataset's native double (milliseconds since 0001-01-01).
  bool GetFieldData(int32_t field_no, const void* memory_record, void* destination,
                    bool native_date_time = false) const;
  // Writing with no source, or an empty text, sets the field NULL.
  void SetFieldData(int32_t field_no, const void* source, void* memory_record,
                    bool native_date_time = false) const;

  // The field as a value (null when NULL); with `copy` false the value borrows the
  // record's bytes.
  void GetFieldValue(int32_t field_no, const void* memory_record, TABSVariant& value, bool copy = true) const;
  // Converts the value to the field's type and writes it; a null value sets the field
  // NULL. A failed conversion leaves the field (flag and bytes) as it was.
  void SetFieldValue(int32_t field_no, const TABSVariant& value, void* memory_record) const;
  // Writes field `from_field` of `from_record` (laid out by `from`) into field `field_no`
  // as SetFieldValue with that field's value would, without a value in between. Only for
  // two fields of the same base type that is not a BLOB: other pairs answer false and
  // change nothing.
  bool CopyField(int32_t field_no, void* memory_record, const TABSRecordLayout& from, int32_t from_field,
                 const void* from_record) const;

 private:
  void check_field(int32_t field_no, int32_t code) const;
  // Writes a value's bytes of the field's own base type (SetFieldValue's last step).
  void write_field(int32_t field_no, const uint8_t* data, int32_t size, void* memory_record) const;

  std::vector<TABSFieldLayout> fields_;
  int32_t memory_record_size_ = 0;
  int32_t stored_record_size_ = 0;
};

}  // namespace dadoveri
