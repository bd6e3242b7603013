#include "engine/table/record_key_ref.h"

#include <cctype>
#include <cstring>

#include "engine/base/engine_error.h"
#include "engine/base/little_endian.h"
#include "engine/platform/code_page.h"
#include "engine/platform/locale.h"
#include "engine/table/comparison.h"

namespace dadoveri {

namespace {

template <typename T>
int three_way(const uint8_t* a, const uint8_t* b) {
  T x, y;
  std::memcpy(&x, a, sizeof x);
  std::memcpy(&y, b, sizeof y);
  return x < y ? -1 : y < x ? 1 : 0;
}

bool same_field_name(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

}  // namespace

TABSRecordKeyRef::ValueKind TABSRecordKeyRef::value_kind(TABSBaseType type) {
  switch (type) {
    case btChar:
    case btString: return ValueKind::Ansi;
    case btShortint: return ValueKind::Int8;
    case btSmallint: return ValueKind::Int16;
    case btInteger:
    case btDate:
    case btTime: return ValueKind::Int32;
    case btLargeint: return ValueKind::Int64;
    case btByte: return ValueKind::UInt8;
    case btWord: return ValueKind::UInt16;
    case btCardinal: return ValueKind::UInt32;
    default: return ValueKind::General;
  }
}

TABSRecordKeyRef::TABSRecordKeyRef(const TABSRecordLayout& layout, const std::vector<TABSKeyColumn>& columns) {
  record_size_ = layout.MemoryRecordSize();
  for (const TABSKeyColumn& column : columns) {
    int32_t field_no = -1;
    for (int32_t i = 0; i < layout.FieldCount(); ++i)
      if (same_field_name(layout.Field(i).Name, column.FieldName)) {
        field_no = i;
        break;
      }
    if (field_no < 0) RaiseError(20043, column.FieldName);
    const TABSFieldLayout& field = layout.Field(field_no);
    if (IsBlobBaseType(field.BaseType)) RaiseError(20295, column.FieldName);
    TABSRecordKeyPart part;
    part.FieldNo = field_no;
    part.MemoryOffset = field.MemoryOffset;
    part.BaseType = field.BaseType;
    part.MemoryDataSize = field.MemoryDataSize;
    part.Descending = column.Descending;
    part.CaseInsensitive = column.CaseInsensitive;
    part.FullPartSize = 1 + field.MemoryDataSize;
    // Only text is cut: a number cut to a few bytes would no longer compare.
    const int32_t max_size = column.MaxIndexedSize > 0 ? column.MaxIndexedSize : 1;
    if (IsStringBaseType(field.BaseType) && field.MemoryDataSize > max_size) {
      part.Truncated = true;
      part.PagePartSize = 3 + max_size;
      const bool wide = IsWideStringBaseType(field.BaseType);
      part.StoredBytes = wide ? max_size & ~1 : max_size;
      part.StoredChars = wide ? part.StoredBytes / 2 : part.StoredBytes;
      truncated_ = true;
    } else {
      part.PagePartSize = 1 + field.MemoryDataSize;
      part.StoredBytes = field.MemoryDataSize;
    }
    part.FullOffset = full_key_size_;
    part.PageOffset = page_key_size_;
    full_key_size_ += part.FullPartSize;
    page_key_size_ += part.PagePartSize;
    parts_.push_back(part);
    kinds_.push_back(value_kind(field.BaseType));
  }
  if (page_key_size_ > 0xFFFF) RaiseError(20296, page_key_size_, 0);
  part_count_ = PartCount();
  entry_record_.resize(static_cast<size_t>(record_size_));
}

void TABSRecordKeyRef::SetKeyPartCount(int32_t count) {
  part_count_ = count < 0 || count > PartCount() ? PartCount() : count;
}

bool TABSRecordKeyRef::is_null(const void* record, int32_t field_no) const {
  return (static_cast<const uint8_t*>(record)[field_no / 8] >> (field_no % 8)) & 1;
}

void TABSRecordKeyRef::BuildPageKey(const void* memory_record, uint8_t* key) const {
  const uint8_t* record = static_cast<const uint8_t*>(memory_record);
  std::memset(key, 0, static_cast<size_t>(page_key_size_));
  for (const TABSRecordKeyPart& part : parts_) {
    uint8_t* p = key + part.PageOffset;
    if (is_null(record, part.FieldNo)) {
      p[0] = 1;
      continue;
    }
    std::memcpy(p + 1, record + part.MemoryOffset, static_cast<size_t>(part.StoredBytes));
  }
}

void TABSRecordKeyRef::BuildFullKey(const void* memory_record, uint8_t* key) const {
  const uint8_t* record = static_cast<const uint8_t*>(memory_record);
  std::memset(key, 0, static_cast<size_t>(full_key_size_));
  for (const TABSRecordKeyPart& part : parts_) {
    uint8_t* p = key + part.FullOffset;
    if (is_null(record, part.FieldNo)) {
      p[0] = 1;
      continue;
    }
    std::memcpy(p + 1, record + part.MemoryOffset, static_cast<size_t>(part.MemoryDataSize));
  }
}

int TABSRecordKeyRef::compare_part_values(int32_t part_no, const uint8_t* a, bool a_null, int32_t a_size,
                                          const uint8_t* b, bool b_null, int32_t b_size, int32_t prefix) const {
  const TABSRecordKeyPart& part = parts_[static_cast<size_t>(part_no)];
  int order;
  if (a_null || b_null) {
    order = a_null == b_null ? 0 : a_null ? -1 : 1;  // NULL below every value
  } else {
    switch (kinds_[static_cast<size_t>(part_no)]) {
      case ValueKind::Int8: order = three_way<int8_t>(a, b); break;
      case ValueKind::Int16: order = three_way<int16_t>(a, b); break;
      case ValueKind::Int32: order = three_way<int32_t>(a, b); break;
      case ValueKind::Int64: order = three_way<int64_t>(a, b); break;
      case ValueKind::UInt8: order = three_way<uint8_t>(a, b); break;
      case ValueKind::UInt16: order = three_way<uint16_t>(a, b); break;
      case ValueKind::UInt32: order = three_way<uint32_t>(a, b); break;
      case ValueKind::Ansi:
        order = CompareAnsiValues(reinterpret_cast<const char*>(a), a_size, reinterpret_cast<const char*>(b), b_size,
                                  part.CaseInsensitive, prefix);
        break;
      default:
        order = CompareResultOrder(CompareValues(a, part.BaseType, false, b, part.BaseType, false,
                                                 part.CaseInsensitive, IsStringBaseType(part.BaseType) ? prefix : -1,
                                                 a_size, b_size));
        break;
    }
  }
  return part.Descending ? -order : order;
}

std::u16string KeyPartText(const TABSRecordKeyPart& part, const uint8_t* value, int32_t size) {
  std::u16string text;
  if (IsWideStringBaseType(part.BaseType)) {
    for (int32_t i = 0; 2 * i + 1 < size; ++i) {
      const char16_t unit = static_cast<char16_t>(value[2 * i] | (value[2 * i + 1] << 8));
      if (unit == 0) break;
      text += unit;
    }
  } else {
    const TCodePage& page = AnsiCodePage();
    for (int32_t i = 0; i < size && value[i] != 0; ++i) text += page.ToWide(value[i]);
  }
  return text;
}

int TABSRecordKeyRef::compare_bound(const TABSRecordKeyPart& part, const TABSKeyBound& bound, const uint8_t* value,
                                    bool null, int32_t size) const {
  int order = 1;  // NULL lies below every bound
  if (!null && bound.HasPrefix && bound.PrefixBytes.size() <= static_cast<size_t>(size) &&
      std::memcmp(value, bound.PrefixBytes.data(), bound.PrefixBytes.size()) == 0) {
    order = bound.BelowPrefixTexts ? -1 : 1;
  } else if (!null) {
    // One byte past the bound decides the order: the bound is never equal to a text's key.
    const std::string key =
        UserLocale().SortKeyHead(KeyPartText(part, value, size), part.CaseInsensitive, bound.SortKey.size() + 1);
    const int c = bound.SortKey.compare(key);
    order = c < 0 ? -1 : 1;  // a bound is never equal to a text's sort key
  }
  return part.Descending ? -order : order;
}

bool TABSRecordKeyRef::fills_prefix(const TABSRecordKeyPart& part, const uint8_t* value) const {
  if (IsWideStringBaseType(part.BaseType)) {
    for (int32_t i = 0; i < part.StoredChars; ++i)
      if (value[2 * i] == 0 && value[2 * i + 1] == 0) return false;
    return true;
  }
  return std::memchr(value, 0, static_cast<size_t>(part.StoredBytes)) == nullptr;
}

int TABSRecordKeyRef::ComparePageKeys(int32_t session, const TABSBTreeTarget& target, const uint8_t* entry_key,
                                      const TABSRecordID* entry_id) {
  const int32_t count = target.PartCount < 0 ? part_count_ : std::min(target.PartCount, PartCount());
  bool entry_read = false;
  for (int32_t i = 0; i < count; ++i) {
    const TABSRecordKeyPart& part = parts_[static_cast<size_t>(i)];
    const uint8_t* a = target.Key + part.PageOffset;
    const uint8_t* b = entry_key + part.PageOffset;
    if (target.Bound && i == count - 1)
      return compare_bound(part, *target.Bound, b + 1, b[0] != 0, part.PagePartSize - 1);
    const int32_t prefix = target.PrefixLengths ? target.PrefixLengths[i] : -1;
    int c = compare_part_values(i, a + 1, a[0] != 0, part.PagePartSize - 1, b + 1, b[0] != 0, part.PagePartSize - 1,
                                prefix);
    if (c == 0 && part.Truncated && a[0] == 0 && b[0] == 0 && target.Record &&
        !(prefix >= 0 && prefix <= part.StoredChars) && fills_prefix(part, b + 1)) {
      // Equal cut values: the full values decide.
      if (!entry_id) return kCompareNeedsEntry;
      if (!entry_read) {
        if (!source_ || !source_->ReadRecord(session, *entry_id, entry_record_.data())) RaiseError(20170);
        entry_read = true;
      }
      const uint8_t* ra = static_cast<const uint8_t*>(target.Record);
      const uint8_t* rb = entry_record_.data();
      c = compare_part_values(i, ra + part.MemoryOffset, is_null(ra, part.FieldNo), part.MemoryDataSize,
                              rb + part.MemoryOffset, is_null(rb, part.FieldNo), part.MemoryDataSize, prefix);
    }
    if (c != 0) return c;
  }
  return 0;
}

int TABSRecordKeyRef::CompareFullKeys(const uint8_t* a, const uint8_t* b) {
  for (int32_t i = 0; i < part_count_; ++i) {
    const TABSRecordKeyPart& part = parts_[static_cast<size_t>(i)];
    const uint8_t* pa = a + part.FullOffset;
    const uint8_t* pb = b + part.FullOffset;
    const int c = compare_part_values(i, pa + 1, pa[0] != 0, part.MemoryDataSize, pb + 1, pb[0] != 0,
                                      part.MemoryDataSize, -1);
    if (c != 0) return c;
  }
  return 0;
}

int TABSRecordKeyRef::CompareRecords(const void* a, const void* b, int32_t count,
                                     const int32_t* prefix_lengths) const {
  const uint8_t* ra = static_cast<const uint8_t*>(a);
  const uint8_t* rb = static_cast<const uint8_t*>(b);
  if (count < 0 || count > PartCount()) count = count < 0 ? part_count_ : PartCount();
  for (int32_t i = 0; i < count; ++i) {
    const TABSRecordKeyPart& part = parts_[static_cast<size_t>(i)];
    const int c = compare_part_values(i, ra + part.MemoryOffset, is_null(ra, part.FieldNo), part.MemoryDataSize,
                                      rb + part.MemoryOffset, is_null(rb, part.FieldNo), part.MemoryDataSize,
                                      prefix_lengths ? prefix_lengths[i] : -1);
    if (c != 0) return c;
  }
  return 0;
}

}  // namespace dadoveri
