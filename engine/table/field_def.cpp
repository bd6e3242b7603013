#include "engine/table/field_def.h"

#include "engine/base/engine_error.h"
#include "engine/table/field_manager.h"

namespace dadoveri {

void TABSFieldDef::derive_sizes() {
  MemoryDataSize = dadoveri::MemoryDataSize(BaseType, Size);
  StoredDataSize = dadoveri::StoredDataSize(BaseType, Size);
}

void TABSFieldDef::SetType(TABSColumnType column_type, int32_t size) {
  const TABSBaseType base = ColumnTypeToBaseType(column_type);
  if (base == btNone) RaiseError(30007, ColumnTypeName(column_type));
  ColumnType = column_type;
  BaseType = base;
  Size = size;
  derive_sizes();
}

void TABSFieldDef::SetSize(int32_t size) {
  Size = size;
  if (BaseType != btNone) derive_sizes();
}

void TABSFieldDef::RebuildDefaultExpression() {
  TABSFieldLayout layout;
  layout.DefaultValue = DefaultValue;
  BuildDefaultExpression(layout);
  DefaultExpression = layout.DefaultExpression;
}

TABSFieldLayout TABSFieldDef::Layout() const {
  TABSFieldLayout f;
  f.Name = Name;
  f.ObjectID = ObjectID;
  f.ColumnType = ColumnType;
  f.BaseType = BaseType;
  f.Size = Size;
  f.MemoryDataSize = MemoryDataSize;
  f.StoredDataSize = StoredDataSize;
  f.MemoryOffset = MemoryOffset;
  f.StoredOffset = StoredOffset;
  f.DefaultValue = DefaultValue;
  f.DefaultExpression = DefaultExpression;
  f.BlobBlockSize = BlobBlockSize;
  f.Increment = Increment;
  f.InitialValue = InitialValue;
  f.MinValue = MinValue;
  f.MaxValue = MaxValue;
  f.Cycled = Cycled;
  return f;
}

void TABSFieldDef::Assign(const TABSMetaObjectDef& source) {
  TABSMetaObjectDef::Assign(source);
  const auto& s = static_cast<const TABSFieldDef&>(source);
  BaseType = s.BaseType;
  ColumnType = s.ColumnType;
  Size = s.Size;
  StoredDataSize = s.StoredDataSize;
  MemoryDataSize = s.MemoryDataSize;
  StoredOffset = s.StoredOffset;
  MemoryOffset = s.MemoryOffset;
  TableFieldNo = s.TableFieldNo;
  DefaultValue = s.DefaultValue;
  DefaultExpression = s.DefaultExpression;
  BlobCompressionAlgorithm = s.BlobCompressionAlgorithm;
  BlobCompressionMode = s.BlobCompressionMode;
  BlobBlockSize = s.BlobBlockSize;
  Increment = s.Increment;
  InitialValue = s.InitialValue;
  MinValue = s.MinValue;
  MaxValue = s.MaxValue;
  Cycled = s.Cycled;
}

void TABSFieldDef::LoadFromStream(TABSMetaReader& stream) {
  load_head(stream);
  BaseType = static_cast<TABSBaseType>(stream.ReadInt8());
  ColumnType = static_cast<TABSColumnType>(stream.ReadInt8());
  Size = stream.ReadInt32();
  if (IsBlobBaseType(BaseType)) {
    BlobCompressionAlgorithm = stream.ReadInt8();
    BlobCompressionMode = stream.ReadInt8();
    BlobBlockSize = stream.ReadInt32();
  }
  Increment = stream.ReadInt64();
  InitialValue = stream.ReadInt64();
  MinValue = stream.ReadInt64();
  MaxValue = stream.ReadInt64();
  Cycled = stream.ReadBool();
  stream.ReadVariant(DefaultValue);
  CheckStoredDefinition();
  derive_sizes();
  RebuildDefaultExpression();
}

void TABSFieldDef::CheckStoredDefinition() const {
  // The base type follows from the column type; a pair that does not is damaged, and so
  // is a length whose value would not fit a record of any page size.
  bool valid = BaseType != btNone && ColumnTypeToBaseType(ColumnType) == BaseType;
  if (valid && (IsStringBaseType(BaseType) || BaseType == btBytes || BaseType == btVarBytes))
    valid = Size >= 0 && Size <= kMaxFieldDataSize &&
            dadoveri::MemoryDataSize(BaseType, Size) <= kMaxFieldDataSize;
  if (!valid) RaiseError(40302, Name, ColumnType, BaseType, Size);
}

void TABSFieldDef::SaveToStream(TABSMetaWriter& stream) const {
  save_head(stream);
  stream.WriteInt8(BaseType);
  stream.WriteInt8(ColumnType);
  stream.WriteInt32(Size);
  if (IsBlobBaseType(BaseType)) {
    stream.WriteInt8(BlobCompressionAlgorithm);
    stream.WriteInt8(BlobCompressionMode);
    stream.WriteInt32(BlobBlockSize);
  }
  stream.WriteInt64(Increment);
  stream.WriteInt64(InitialValue);
  stream.WriteInt64(MinValue);
  stream.WriteInt64(MaxValue);
  stream.WriteBool(Cycled);
  stream.WriteVariant(DefaultValue);
}

void TABSFieldDefs::LoadFromStream(TABSMetaReader& stream) {
  TABSMetaObjectDefs::LoadFromStream(stream);
  // A stored record lives in one page, so the sum of the stored sizes of a table read
  // from a file is bounded by the largest page; the offsets below are then safe to add.
  int64_t stored = (Count() + 7) / 8;
  for (int32_t i = 0; i < Count(); ++i) stored += Item(i)->StoredDataSize;
  if (stored > kMaxFieldDataSize) RaiseError(40303, stored, kMaxFieldDataSize);
  RecomputeOffsets();
}

void TABSFieldDefs::SaveToStream(TABSMetaWriter& stream) const { TABSMetaObjectDefs::SaveToStream(stream); }

void TABSFieldDefs::RecomputeOffsets() {
  int32_t memory = (Count() + 7) / 8;
  int32_t stored = memory;
  for (int32_t i = 0; i < Count(); ++i) {
    TABSFieldDef* f = Item(i);
    f->MemoryOffset = memory;
    f->StoredOffset = stored;
    memory += f->MemoryDataSize;
    stored += f->StoredDataSize;
  }
  memory_record_size_ = memory;
  stored_record_size_ = stored;
}

TABSRecordLayout TABSFieldDefs::RecordLayout() const {
  std::vector<TABSFieldLayout> fields;
  fields.reserve(static_cast<size_t>(Count()));
  for (int32_t i = 0; i < Count(); ++i) fields.push_back(Item(i)->Layout());
  return TABSRecordLayout(std::move(fields));
}

}  // namespace dadoveri
