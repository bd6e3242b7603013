// TABSFieldDef (one column of a table) and TABSFieldDefs (a table's ordered field list).
// Field numbers are positions in the list. The definitions carry the attributes record
// buffers need (sizes, offsets, defaults, autoincrement numbering) and hand them to the
// record layout as TABSFieldLayout.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/table/column_type.h"
#include "engine/table/meta_object_def.h"
#include "engine/table/record_layout.h"
#include "engine/table/variant.h"

namespace dadoveri {

inline constexpr int32_t kDefaultBlobBlockSize = 102400;
// The most bytes a stored record, and so one field's value, can take: a record lives in
// one page and page sizes are 16-bit. Definitions read from a file are held to it.
inline constexpr int32_t kMaxFieldDataSize = 0xFFFF;

class TABSFieldDef : public TABSMetaObjectDef {
 public:
  void Assign(const TABSMetaObjectDef& source) override;
  void LoadFromStream(TABSMetaReader& stream) override;
  void SaveToStream(TABSMetaWriter& stream) const override;
  const char* ClassName() const override { return "TABSFieldDef"; }

  // Sets the declared type and length; derives the base type and both data sizes. A
  // column type without a row in the type-name table is refused with "Unsupported data
  // type '%s'" (30007).
  void SetType(TABSColumnType column_type, int32_t size = 0);
  void SetSize(int32_t size);
  // Derives DefaultExpression from DefaultValue.
  void RebuildDefaultExpression();
  // Refuses a definition read from a file whose column type has no row, whose base type
  // is not the one the column type gives, or whose length is negative or too large for a
  // record: "Invalid definition of field '%s'. ColumnType = %d, BaseType = %d, Size = %d"
  // (40302).
  void CheckStoredDefinition() const;

  // The attributes the record layout works with.
  TABSFieldLayout Layout() const;

  TABSBaseType BaseType = btNone;
  TABSColumnType ColumnType = ctNone;
  int32_t Size = 0;
  int32_t StoredDataSize = 0;
  int32_t MemoryDataSize = 0;
  int32_t StoredOffset = 0;
  int32_t MemoryOffset = 0;
  // Only in the field list of a projection: the number of the underlying table field.
  int32_t TableFieldNo = 0;
  TABSVariant DefaultValue;
  std::shared_ptr<TABSDefaultExpression> DefaultExpression;
  uint8_t BlobCompressionAlgorithm = 0;
  uint8_t BlobCompressionMode = 0;
  int32_t BlobBlockSize = kDefaultBlobBlockSize;
  int64_t Increment = 1;
  int64_t InitialValue = 0;
  int64_t MinValue = 0;
  int64_t MaxValue = INT64_MAX;  // 0: no upper limit
  bool Cycled = false;

 private:
  void derive_sizes();
};

class TABSFieldDefs : public TABSMetaObjectDefs {
 public:
  // Each definition is checked as it is read; a stored record larger than
  // kMaxFieldDataSize is refused with "Invalid record size = %d. Limit is %d" (40303).
  void LoadFromStream(TABSMetaReader& stream) override;
  void SaveToStream(TABSMetaWriter& stream) const override;
  const char* ClassName() const override { return "TABSFieldDefs"; }
  // Slot 10: works out every field's offsets and the record sizes.
  virtual void RecomputeOffsets();

  TABSFieldDef* Item(int32_t index) const { return static_cast<TABSFieldDef*>(TABSMetaObjectDefs::Item(index)); }
  TABSFieldDef* Find(std::string_view name) const {
    return static_cast<TABSFieldDef*>(TABSMetaObjectDefs::Find(name));
  }
  TABSFieldDef* FindByObjectID(int32_t id) const {
    return static_cast<TABSFieldDef*>(TABSMetaObjectDefs::FindByObjectID(id));
  }
  TABSFieldDef* AddFieldDef() { return static_cast<TABSFieldDef*>(InternalAddCreated()); }

  // Null-flag bytes plus the sum of the field sizes (after RecomputeOffsets).
  int32_t MemoryRecordSize() const { return memory_record_size_; }
  int32_t StoredRecordSize() const { return stored_record_size_; }
  // The record layout of these fields, offsets computed.
  TABSRecordLayout RecordLayout() const;

 protected:
  std::unique_ptr<TABSMetaObjectDef> create_item() const override { return std::make_unique<TABSFieldDef>(); }

 private:
  int32_t memory_record_size_ = 0;
  int32_t stored_record_size_ = 0;
};

}  // namespace dadoveri
