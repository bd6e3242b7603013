#include "engine/table/column_type.h"

#include <cstring>
#include <string>

#include "engine/base/engine_error.h"
#include "engine/base/memory_manager.h"

namespace dadoveri {

namespace {

const TSQLFieldType kTypes[] = {
    {"CHAR", ctChar, btChar, ftFixedChar},
    {"FIXEDCHAR", ctChar, btChar, ftFixedChar},
    {"STRING", ctString, btString, ftString},
    {"VARCHAR", ctString, btString, ftString},
    {"VARCHAR2", ctString, btString, ftString},
    {"WIDECHAR", ctWideChar, btWideChar, ftWideString},
    {"FIXEDWIDECHAR", ctWideChar, btWideChar, ftWideString},
    {"WIDESTRING", ctWideString, btWideString, ftWideString},
    {"WIDEVARCHAR", ctWideString, btWideString, ftWideString},
    {"SMALLINT", ctSmallint, btSmallint, ftSmallint},
    {"SIGNEDINT16", ctSmallint, btSmallint, ftSmallint},
    {"SHORTINT", ctShortint, btShortint, ftSmallint},
    {"SIGNEDINT8", ctShortint, btShortint, ftSmallint},
    {"INTEGER", ctInteger, btInteger, ftInteger},
    {"SIGNEDINT32", ctInteger, btInteger, ftInteger},
    {"LARGEINT", ctLargeint, btLargeint, ftLargeint},
    {"INT64", ctLargeint, btLargeint, ftLargeint},
    {"SIGNEDINT64", ctLargeint, btLargeint, ftLargeint},
    {"WORD", ctWord, btWord, ftWord},
    {"UNSIGNEDINT16", ctWord, btWord, ftWord},
    {"BYTE", ctByte, btByte, ftWord},
    {"UNSIGNEDINT8", ctByte, btByte, ftWord},
    {"CARDINAL", ctCardinal, btCardinal, ftLargeint},
    {"UNSIGNEDINT32", ctCardinal, btCardinal, ftLargeint},
    {"AUTOINC", ctAutoinc, btInteger, ftAutoInc},
    {"AUTOINCSHORTINT", ctAutoincShortint, btShortint, ftAutoInc},
    {"AUTOINCSMALLINT", ctAutoincSmallint, btSmallint, ftAutoInc},
    {"AUTOINCINTEGER", ctAutoincInteger, btInteger, ftAutoInc},
    {"AUTOINCLARGEINT", ctAutoincLargeint, btLargeint, ftLargeint},
    {"AUTOINCBYTE", ctAutoincByte, btByte, ftAutoInc},
    {"AUTOINCWORD", ctAutoincWord, btWord, ftAutoInc},
    {"AUTOINCCARDINAL", ctAutoincCardinal, btCardinal, ftAutoInc},
    {"FLOAT", ctFloat, btFloat, ftFloat},
    {"FLOAT", ctFloat, btFloat, ftBCD},
    {"SINGLE", ctSingle, btSingle, ftFloat},
    {"DOUBLE", ctFloat, btFloat, ftFloat},
    {"EXTENDED", ctExtended, btExtended, ftFloat},
    {"LOGICAL", ctLogical, btLogical, ftBoolean},
    {"BOOLEAN", ctLogical, btLogical, ftBoolean},
    {"BOOL", ctLogical, btLogical, ftBoolean},
    {"BIT", ctLogical, btLogical, ftBoolean},
    {"CURRENCY", ctCurrency, btCurrency, ftCurrency},
    {"MONEY", ctCurrency, btCurrency, ftCurrency},
    {"DATE", ctDate, btDate, ftDate},
    {"TIME", ctTime, btTime, ftTime},
    {"DATETIME", ctDateTime, btDateTime, ftDateTime},
    {"TIMESTAMP", ctTimeStamp, btDateTime, ftTimeStamp},
    {"BYTES", ctBytes, btBytes, ftBytes},
    {"VARBYTES", ctVarBytes, btVarBytes, ftVarBytes},
    {"BLOB", ctBlob, btBlob, ftBlob},
    {"BLOB", ctBlob, btBlob, ftParadoxOle},
    {"BLOB", ctBlob, btBlob, ftTypedBinary},
    {"BLOB", ctBlob, btBlob, ftDBaseOle},
    {"GRAPHIC", ctGraphic, btBlob, ftGraphic},
    {"MEMO", ctMemo, btMemo, ftMemo},
    {"CLOB", ctMemo, btMemo, ftMemo},
    {"FORMATTEDMEMO", ctFormattedMemo, btMemo, ftFmtMemo},
    {"WIDEMEMO", ctWideMemo, btWideMemo, ftBlob},
    {"WIDECLOB", ctWideMemo, btWideMemo, ftMemo},
    {"GUID", ctGuid, btChar, ftGuid},
};
static_assert(std::size(kTypes) == 60);

template <typename Pred>
const TSQLFieldType* first_row(Pred pred) {
  for (const TSQLFieldType& row : kTypes)
    if (pred(row)) return &row;
  return nullptr;
}

char upper_ascii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

}  // namespace

std::span<const TSQLFieldType> SQLFieldTypes() { return kTypes; }

const TSQLFieldType* FindSQLFieldType(std::string_view name) {
  return first_row([&](const TSQLFieldType& row) {
    const size_t n = std::strlen(row.SqlName);
    if (n != name.size()) return false;
    for (size_t i = 0; i < n; ++i)
      if (upper_ascii(name[i]) != row.SqlName[i]) return false;
    return true;
  });
}

TABSBaseType ColumnTypeToBaseType(TABSColumnType column_type) {
  const TSQLFieldType* row = first_row([&](const TSQLFieldType& r) { return r.ColumnType == column_type; });
  return row ? row->BaseType : btNone;
}

TABSColumnType BaseTypeToColumnType(TABSBaseType base_type) {
  const TSQLFieldType* row = first_row([&](const TSQLFieldType& r) { return r.BaseType == base_type; });
  return row ? row->ColumnType : ctNone;
}

TABSColumnType FieldTypeToColumnType(TFieldType field_type) {
  const TSQLFieldType* row = first_row([&](const TSQLFieldType& r) { return r.FieldType == field_type; });
  return row ? row->ColumnType : ctNone;
}

TFieldType ColumnTypeToFieldType(TABSColumnType column_type) {
  const TSQLFieldType* row = first_row([&](const TSQLFieldType& r) { return r.ColumnType == column_type; });
  return row ? row->FieldType : ftUnknown;
}

TABSColumnType FieldTypeToColumnTypeStrict(TFieldType field_type) {
  const TABSColumnType t = FieldTypeToColumnType(field_type);
  if (t == ctNone) RaiseError(30289, std::to_string(static_cast<int>(field_type)));
  return t;
}

const char* ColumnTypeName(TABSColumnType column_type) {
  const TSQLFieldType* row = first_row([&](const TSQLFieldType& r) { return r.ColumnType == column_type; });
  return row ? row->SqlName : "Unknown";
}

const char* BaseTypeName(TABSBaseType base_type) {
  const TSQLFieldType* row = first_row([&](const TSQLFieldType& r) { return r.BaseType == base_type; });
  return row ? row->SqlName : "Unknown";
}

int32_t MemoryDataSize(TABSBaseType base_type, int32_t size) {
  switch (base_type) {
    case btChar:
    case btString:
      return size + 1;
    case btWideChar:
    case btWideString:
      return 2 * (size + 1);
    case btShortint:
    case btByte:
      return 1;
    case btSmallint:
    case btWord:
    case btLogical:
      return 2;
    case btInteger:
    case btCardinal:
    case btSingle:
    case btDate:
    case btTime:
      return 4;
    case btLargeint:
    case btFloat:
    case btDateTime:
    case btCurrency:
      return 8;
    case btExtended:
      return 10;
    case btBlob:
    case btMemo:
    case btWideMemo:
      return kBlobReferenceMemorySize;
    case btBytes:
    case btVarBytes:
      return size;
    default:
      RaiseError(30050, BaseTypeName(base_type));
  }
}

int32_t StoredDataSize(TABSBaseType base_type, int32_t size) {
  if (IsBlobBaseType(base_type)) return kBlobReferenceStoredSize;
  return MemoryDataSize(base_type, size);
}

void* CopyValueToNewMemory(TABSBaseType base_type, const void* value, int32_t size) {
  if (value == nullptr) RaiseError(30054);
  int32_t bytes;
  if (IsAnsiStringBaseType(base_type)) {
    bytes = static_cast<int32_t>(std::strlen(static_cast<const char*>(value))) + 1;
  } else if (IsWideStringBaseType(base_type)) {
    const char16_t* p = static_cast<const char16_t*>(value);
    int32_t n = 0;
    // The text may sit at any byte offset of a record, so units are read bytewise.
    for (;; ++n) {
      char16_t unit;
      std::memcpy(&unit, reinterpret_cast<const char*>(p) + 2 * n, 2);
      if (unit == 0) break;
    }
    bytes = 2 * (n + 1);
  } else {
    bytes = MemoryDataSize(base_type, size);
  }
  void* block = MemoryManager().GetMem(bytes);
  std::memcpy(block, value, static_cast<size_t>(bytes));
  return block;
}

}  // namespace dadoveri
