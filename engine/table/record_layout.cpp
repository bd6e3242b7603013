#include "engine/table/record_layout.h"

#include <cmath>
#include <cstring>
#include <string>

#include "engine/base/engine_error.h"
#include "engine/table/date_time.h"
#include "engine/table/extended.h"

namespace dadoveri {

namespace {

uint8_t* bytes(void* p) { return static_cast<uint8_t*>(p); }
const uint8_t* bytes(const void* p) { return static_cast<const uint8_t*>(p); }

template <typename T>
T load(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
void store(void* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

}  // namespace

void TABSFieldLayout::SetType(TABSColumnType column_type, int32_t size) {
  const TABSBaseType base = ColumnTypeToBaseType(column_type);
  if (base == btNone) RaiseError(30007, std::to_string(static_cast<int>(column_type)));
  ColumnType = column_type;
  BaseType = base;
  Size = size;
  MemoryDataSize = dadoveri::MemoryDataSize(base, size);
  StoredDataSize = dadoveri::StoredDataSize(base, size);
}

TABSRecordLayout::TABSRecordLayout(std::vector<TABSFieldLayout> fields) : fields_(std::move(fields)) {
  RecomputeOffsets();
}

void TABSRecordLayout::RecomputeOffsets() {
  int32_t memory = NullFlagsSize();
  int32_t stored = memory;
  for (TABSFieldLayout& f : fields_) {
    f.MemoryOffset = memory;
    f.StoredOffset = stored;
    memory += f.MemoryDataSize;
    stored += f.StoredDataSize;
  }
  memory_record_size_ = memory;
  stored_record_size_ = stored;
}

void TABSRecordLayout::check_field(int32_t field_no, int32_t code) const {
  if (field_no < 0 || field_no >= FieldCount()) RaiseError(code, field_no, FieldCount());
}

bool TABSRecordLayout::IsNull(int32_t field_no, const void* record) const {
  return (bytes(record)[field_no / 8] >> (field_no % 8)) & 1;
}

void TABSRecordLayout::SetNull(int32_t field_no, void* record) const {
  bytes(record)[field_no / 8] |= static_cast<uint8_t>(1u << (field_no % 8));
}

void TABSRecordLayout::ClearNull(int32_t field_no, void* record) const {
  bytes(record)[field_no / 8] &= static_cast<uint8_t>(~(1u << (field_no % 8)));
}

void TABSRecordLayout::InitRecord(void* memory_record) const {
  const int32_t flags = NullFlagsSize();
  std::memset(memory_record, 0xFF, static_cast<size_t>(flags));
  std::memset(bytes(memory_record) + flags, 0, static_cast<size_t>(memory_record_size_ - flags));
}

void TABSRecordLayout::MemoryToStored(const void* memory_record, void* stored_record) const {
  std::memset(stored_record, 0, static_cast<size_t>(stored_record_size_));
  std::memcpy(stored_record, memory_record, static_cast<size_t>(NullFlagsSize()));
  for (const TABSFieldLayout& f : fields_)
    std::memcpy(bytes(stored_record) + f.StoredOffset, bytes(memory_record) + f.MemoryOffset,
                static_cast<size_t>(f.StoredDataSize));
}

void TABSRecordLayout::StoredToMemory(const void* stored_record, void* memory_record) const {
  std::memset(memory_record, 0, static_cast<size_t>(memory_record_size_));
  std::memcpy(memory_record, stored_record, static_cast<size_t>(NullFlagsSize()));
  for (const TABSFieldLayout& f : fields_)
    std::memcpy(bytes(memory_record) + f.MemoryOffset, bytes(stored_record) + f.StoredOffset,
                static_cast<size_t>(f.StoredDataSize));
}

void TABSRecordLayout::NormalizeRecord(void* memory_record) const {
  for (int32_t i = 0; i < FieldCount(); ++i) {
    const TABSFieldLayout& f = fields_[static_cast<size_t>(i)];
    if (!IsStringBaseType(f.BaseType)) continue;
    uint8_t* area = bytes(memory_record) + f.MemoryOffset;
    size_t from = 0;
    if (!IsNull(i, memory_record)) {
      if (IsWideStringBaseType(f.BaseType)) {
        while (from + 1 < static_cast<size_t>(f.MemoryDataSize) && (area[from] | area[from + 1]) != 0) from += 2;
      } else {
        while (from < static_cast<size_t>(f.MemoryDataSize) && area[from] != 0) ++from;
      }
    }
    if (from < static_cast<size_t>(f.MemoryDataSize)) std::memset(area + from, 0, f.MemoryDataSize - from);
  }
}

bool TABSRecordLayout::CompareRecordImages(const void* a, const void* b) const {
  if (std::memcmp(a, b, static_cast<size_t>(NullFlagsSize())) != 0) return false;
  for (const TABSFieldLayout& f : fields_)
    if (std::memcmp(bytes(a) + f.MemoryOffset, bytes(b) + f.MemoryOffset, static_cast<size_t>(f.StoredDataSize)) != 0)
      return false;
  return true;
}

bool TABSRecordLayout::GetFieldData(int32_t field_no, const void* memory_record, void* destination,
                                    bool native_date_time) const {
  check_field(field_no, 10000);
  if (memory_record == nullptr) RaiseError(10001);
  if (IsNull(field_no, memory_record)) return false;
  const TABSFieldLayout& f = fields_[static_cast<size_t>(field_no)];
  if (destination == nullptr || IsBlobColumnType(f.ColumnType)) return true;
  const uint8_t* src = bytes(memory_record) + f.MemoryOffset;
  switch (f.ColumnType) {
    case ctShortint:
      store<int16_t>(destination, load<int8_t>(src));
      break;
    case ctCardinal:
      store<int64_t>(destination, load<uint32_t>(src));
      break;
    case ctSingle:
      store<double>(destination, load<float>(src));
      break;
    case ctExtended:
      store<double>(destination, ExtendedToDouble(load<Extended80>(src)));
      break;
    case ctDateTime:
    case ctTimeStamp:
      if (native_date_time) {
        store<double>(destination, DateTimeToNative({load<int32_t>(src), load<int32_t>(src + 4)}));
        break;
      }
      [[fallthrough]];
    default:
      std::memcpy(destination, src, static_cast<size_t>(f.MemoryDataSize));
      break;
  }
  return true;
}

void TABSRecordLayout::SetFieldData(int32_t field_no, const void* source, void* memory_record,
                                    bool native_date_time) const {
  check_field(field_no, 10004);
  if (memory_record == nullptr) RaiseError(10003);
  const TABSFieldLayout& f = fields_[static_cast<size_t>(field_no)];
  if (source == nullptr) {
    SetNull(field_no, memory_record);
    return;
  }
  if (IsStringColumnType(f.ColumnType)) {
    const bool empty = IsWideStringColumnType(f.ColumnType) ? load<uint16_t>(source) == 0
                                                             : *static_cast<const uint8_t*>(source) == 0;
    if (empty) {
      SetNull(field_no, memory_record);
      return;
    }
  }
  if (IsBlobColumnType(f.ColumnType)) return;  // BLOB contents travel through BLOB streams
  uint8_t* dst = bytes(memory_record) + f.MemoryOffset;
  switch (f.ColumnType) {
    case ctShortint:
      store<int8_t>(dst, static_cast<int8_t>(load<int16_t>(source)));
      break;
    case ctCardinal:
      store<uint32_t>(dst, static_cast<uint32_t>(load<int64_t>(source)));
      break;
    case ctSingle:
      store<float>(dst, static_cast<float>(load<double>(source)));
      break;
    case ctExtended:
      store<Extended80>(dst, DoubleToExtended(load<double>(source)));
      break;
    case ctDateTime:
    case ctTimeStamp:
      if (native_date_time) {
        const TABSDateTime v = NativeToDateTime(load<double>(source));
        store<int32_t>(dst, v.Date);
        store<int32_t>(dst + 4, v.Time);
        break;
      }
      [[fallthrough]];
    default:
      std::memcpy(dst, source, static_cast<size_t>(f.MemoryDataSize));
      break;
  }
  ClearNull(field_no, memory_record);
}

void TABSRecordLayout::GetFieldValue(int32_t field_no, const void* memory_record, TABSVariant& value,
                                     bool copy) const {
  check_field(field_no, 10000);
  if (memory_record == nullptr) RaiseError(10001);
  const TABSFieldLayout& f = fields_[static_cast<size_t>(field_no)];
  if (IsNull(field_no, memory_record)) {
    value.Clear(f.BaseType);
    return;
  }
  value.SetFromBuffer(bytes(memory_record) + f.MemoryOffset, f.MemoryDataSize, copy, f.BaseType);
}

void TABSRecordLayout::SetFieldValue(int32_t field_no, const TABSVariant& value, void* memory_record) const {
  check_field(field_no, 10004);
  if (memory_record == nullptr) RaiseError(10003);
  const TABSFieldLayout& f = fields_[static_cast<size_t>(field_no)];
  if (value.IsNull()) {
    SetNull(field_no, memory_record);
    return;
  }
  // A value of the field's own type is copied straight from its bytes.
  TABSVariant copy;
  const TABSVariant* source = &value;
  if (value.ValueType() != f.BaseType) {
    copy = value;
    copy.ConvertTo(f.BaseType);
    source = &copy;
  }
  const TABSVariant& converted = *source;
  write_field(field_no, static_cast<const uint8_t*>(converted.Data()), converted.DataSize(), memory_record);
}

bool TABSRecordLayout::CopyField(int32_t field_no, void* memory_record, const TABSRecordLayout& from, int32_t from_field,
                                 const void* from_record) const {
  check_field(field_no, 10004);
  from.check_field(from_field, 10000);
  if (memory_record == nullptr) RaiseError(10003);
  if (from_record == nullptr) RaiseError(10001);
  const TABSFieldLayout& f = fields_[static_cast<size_t>(field_no)];
  const TABSFieldLayout& source = from.fields_[static_cast<size_t>(from_field)];
  if (f.BaseType != source.BaseType || IsBlobBaseType(f.BaseType)) return false;
  if (from.IsNull(from_field, from_record)) {
    SetNull(field_no, memory_record);
    return true;
  }
  write_field(field_no, bytes(from_record) + source.MemoryOffset, source.MemoryDataSize, memory_record);
  return true;
}

void TABSRecordLayout::write_field(int32_t field_no, const uint8_t* data, int32_t size, void* memory_record) const {
  const TABSFieldLayout& f = fields_[static_cast<size_t>(field_no)];
  uint8_t* dst = bytes(memory_record) + f.MemoryOffset;
  if (IsStringBaseType(f.BaseType)) {
    // Text takes its own length and a terminator, not the size of the area it came from: a
    // value read from a wider field fits a narrower one when its text does.
    const int32_t unit = IsWideStringBaseType(f.BaseType) ? 2 : 1;
    int32_t text = 0;
    while (text + unit <= size && (data[text] | (unit == 2 ? data[text + 1] : 0)) != 0) text += unit;
    if (text == 0) {  // the empty text is NULL
      SetNull(field_no, memory_record);
      return;
    }
    if (text + unit > f.MemoryDataSize) RaiseError(20056);
    std::memcpy(dst, data, static_cast<size_t>(text));
    std::memset(dst + text, 0, static_cast<size_t>(f.MemoryDataSize - text));
  } else {
    if (size > f.MemoryDataSize) RaiseError(20056);
    std::memcpy(dst, data, static_cast<size_t>(size));
    std::memset(dst + size, 0, static_cast<size_t>(f.MemoryDataSize - size));
  }
  ClearNull(field_no, memory_record);
}

}  // namespace dadoveri
