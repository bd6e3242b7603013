// Column types, base types and the dataset field types they are exposed as; the
// type-name table the SQL layer looks declared types up in; type-class predicates and
// the sizes every base type takes in the memory and the stored record.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace dadoveri {

// How a value is encoded, sized, converted and compared. 0 means no type.
enum TABSBaseType : uint8_t {
  btNone = 0,
  btChar = 1,
  btWideChar = 2,
  btString = 3,
  btWideString = 4,
  btShortint = 5,
  btSmallint = 6,
  btInteger = 7,
  btLargeint = 8,
  btByte = 9,
  btWord = 10,
  btCardinal = 11,
  btSingle = 12,
  btFloat = 13,
  btExtended = 14,
  btDate = 15,
  btTime = 16,
  btDateTime = 17,
  btBlob = 18,
  btMemo = 19,
  btWideMemo = 20,
  btLogical = 21,
  btCurrency = 22,
  btBytes = 23,
  btVarBytes = 24,
};
inline constexpr int kBaseTypeCount = 24;

// The declared type of a column. 0 means no type.
enum TABSColumnType : uint8_t {
  ctNone = 0,
  ctChar = 1,
  ctString = 2,
  ctWideChar = 3,
  ctWideString = 4,
  ctShortint = 5,
  ctSmallint = 6,
  ctInteger = 7,
  ctLargeint = 8,
  ctByte = 9,
  ctWord = 10,
  ctCardinal = 11,
  ctAutoinc = 12,
  ctAutoincShortint = 13,
  ctAutoincSmallint = 14,
  ctAutoincInteger = 15,
  ctAutoincLargeint = 16,
  ctAutoincByte = 17,
  ctAutoincWord = 18,
  ctAutoincCardinal = 19,
  ctSingle = 20,
  ctFloat = 21,
  ctExtended = 22,
  ctLogical = 23,
  ctCurrency = 24,
  ctDate = 25,
  ctTime = 26,
  ctDateTime = 27,
  ctTimeStamp = 28,
  ctBytes = 29,
  ctVarBytes = 30,
  ctBlob = 31,
  ctGraphic = 32,
  ctMemo = 33,
  ctFormattedMemo = 34,
  ctWideMemo = 35,
  ctGuid = 36,
};
inline constexpr int kColumnTypeCount = 36;

// The dataset framework's field types, in the framework's own order (their ordinals are
// what messages print).
enum TFieldType : uint8_t {
  ftUnknown, ftString, ftSmallint, ftInteger, ftWord, ftBoolean, ftFloat, ftCurrency,
  ftBCD, ftDate, ftTime, ftDateTime, ftBytes, ftVarBytes, ftAutoInc, ftBlob, ftMemo,
  ftGraphic, ftFmtMemo, ftParadoxOle, ftDBaseOle, ftTypedBinary, ftCursor, ftFixedChar,
  ftWideString, ftLargeint, ftADT, ftArray, ftReference, ftDataSet, ftOraBlob, ftOraClob,
  ftVariant, ftInterface, ftIDispatch, ftGuid, ftTimeStamp, ftFMTBcd,
};

// One row of the type-name table.
struct TSQLFieldType {
  const char* SqlName;
  TABSColumnType ColumnType;
  TABSBaseType BaseType;
  TFieldType FieldType;
};

// The 60 rows, in lookup order.
std::span<const TSQLFieldType> SQLFieldTypes();

// First row whose SQL name equals `name` (ASCII letters compared without case); null when
// there is none.
const TSQLFieldType* FindSQLFieldType(std::string_view name);

// Reverse lookups: each takes the first row that matches; btNone / ctNone / ftUnknown
// when no row does.
TABSBaseType ColumnTypeToBaseType(TABSColumnType column_type);
TABSColumnType BaseTypeToColumnType(TABSBaseType base_type);
TABSColumnType FieldTypeToColumnType(TFieldType field_type);
TFieldType ColumnTypeToFieldType(TABSColumnType column_type);
// Strict form: a field type without a row raises "Unknown DataType" (30289).
TABSColumnType FieldTypeToColumnTypeStrict(TFieldType field_type);

// Names from the first row carrying the code; "Unknown" when none does.
const char* ColumnTypeName(TABSColumnType column_type);
const char* BaseTypeName(TABSBaseType base_type);

// Type classes.
constexpr bool IsBlobBaseType(TABSBaseType t) { return t >= btBlob && t <= btWideMemo; }
constexpr bool IsBlobColumnType(TABSColumnType t) { return t >= ctBlob && t <= ctWideMemo; }
constexpr bool IsStringBaseType(TABSBaseType t) { return t >= btChar && t <= btWideString; }
constexpr bool IsWideStringBaseType(TABSBaseType t) { return t == btWideChar || t == btWideString; }
constexpr bool IsAnsiStringBaseType(TABSBaseType t) { return t == btChar || t == btString; }
constexpr bool IsStringColumnType(TABSColumnType t) { return (t >= ctChar && t <= ctWideString) || t == ctGuid; }
constexpr bool IsWideStringColumnType(TABSColumnType t) { return t == ctWideChar || t == ctWideString; }
constexpr bool IsBytesColumnType(TABSColumnType t) { return t == ctBytes || t == ctVarBytes; }
constexpr bool IsStringOrBytesColumnType(TABSColumnType t) { return IsStringColumnType(t) || IsBytesColumnType(t); }
constexpr bool IsAutoincColumnType(TABSColumnType t) { return t >= ctAutoinc && t <= ctAutoincCardinal; }
constexpr bool IsNumericBaseType(TABSBaseType t) { return (t >= btShortint && t <= btExtended) || t == btCurrency; }
constexpr bool IsDateTimeBaseType(TABSBaseType t) { return t >= btDate && t <= btDateTime; }
constexpr bool IsComparableColumnType(TABSColumnType t) {
  return (t >= ctChar && t <= ctTimeStamp) || (t >= ctMemo && t <= ctWideMemo);
}
constexpr bool IsIntegerBaseType(TABSBaseType t) { return t >= btShortint && t <= btCardinal; }
constexpr bool IsUnsignedBaseType(TABSBaseType t) { return t >= btByte && t <= btCardinal; }
constexpr bool IsFloatBaseType(TABSBaseType t) { return t >= btSingle && t <= btExtended; }

// Bytes a BLOB reference takes in the memory record and in the stored record.
inline constexpr int32_t kBlobReferenceMemorySize = 10;
inline constexpr int32_t kBlobReferenceStoredSize = 6;

// Size of a value of `base_type` in the memory record, `size` being the declared length.
// Unknown base types raise "Unknown DataType" (30050).
int32_t MemoryDataSize(TABSBaseType base_type, int32_t size);
// Size in the stored record: MemoryDataSize except 6 for the BLOB base types.
int32_t StoredDataSize(TABSBaseType base_type, int32_t size);

// Copies a value into a new block of the engine memory manager. Text takes its size from
// the text itself (terminator included); other types from MemoryDataSize(base_type, size).
// A failure while copying into the new block raises "Cannot copy data into new memory"
// (30054) after the block is released. The caller releases the block.
void* CopyValueToNewMemory(TABSBaseType base_type, const void* value, int32_t size = 0);

}  // namespace dadoveri
