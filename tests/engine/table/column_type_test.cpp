#include "engine/table/column_type.h"

#include <gtest/gtest.h>

#include <cstring>

#include "engine/base/engine_error.h"
#include "engine/base/memory_manager.h"

namespace dadoveri {
namespace {

TEST(ColumnType, EveryColumnTypeHasItsNameBaseAndFieldType) {
  struct Row {
    TABSColumnType column;
    const char* name;
    TABSBaseType base;
    TFieldType field;
  };
  const Row rows[] = {
      {ctChar, "CHAR", btChar, ftFixedChar},
      {ctString, "STRING", btString, ftString},
      {ctWideChar, "WIDECHAR", btWideChar, ftWideString},
      {ctWideString, "WIDESTRING", btWideString, ftWideString},
      {ctShortint, "SHORTINT", btShortint, ftSmallint},
      {ctSmallint, "SMALLINT", btSmallint, ftSmallint},
      {ctInteger, "INTEGER", btInteger, ftInteger},
      {ctLargeint, "LARGEINT", btLargeint, ftLargeint},
      {ctByte, "BYTE", btByte, ftWord},
      {ctWord, "WORD", btWord, ftWord},
      {ctCardinal, "CARDINAL", btCardinal, ftLargeint},
      {ctAutoinc, "AUTOINC", btInteger, ftAutoInc},
      {ctAutoincShortint, "AUTOINCSHORTINT", btShortint, ftAutoInc},
      {ctAutoincSmallint, "AUTOINCSMALLINT", btSmallint, ftAutoInc},
      {ctAutoincInteger, "AUTOINCINTEGER", btInteger, ftAutoInc},
      {ctAutoincLargeint, "AUTOINCLARGEINT", btLargeint, ftLargeint},
      {ctAutoincByte, "AUTOINCBYTE", btByte, ftAutoInc},
      {ctAutoincWord, "AUTOINCWORD", btWord, ftAutoInc},
      {ctAutoincCardinal, "AUTOINCCARDINAL", btCardinal, ftAutoInc},
      {ctSingle, "SINGLE", btSingle, ftFloat},
      {ctFloat, "FLOAT", btFloat, ftFloat},
      {ctExtended, "EXTENDED", btExtended, ftFloat},
      {ctLogical, "LOGICAL", btLogical, ftBoolean},
      {ctCurrency, "CURRENCY", btCurrency, ftCurrency},
      {ctDate, "DATE", btDate, ftDate},
      {ctTime, "TIME", btTime, ftTime},
      {ctDateTime, "DATETIME", btDateTime, ftDateTime},
      {ctTimeStamp, "TIMESTAMP", btDateTime, ftTimeStamp},
      {ctBytes, "BYTES", btBytes, ftBytes},
      {ctVarBytes, "VARBYTES", btVarBytes, ftVarBytes},
      {ctBlob, "BLOB", btBlob, ftBlob},
      {ctGraphic, "GRAPHIC", btBlob, ftGraphic},
      {ctMemo, "MEMO", btMemo, ftMemo},
      {ctFormattedMemo, "FORMATTEDMEMO", btMemo, ftFmtMemo},
      {ctWideMemo, "WIDEMEMO", btWideMemo, ftBlob},
      {ctGuid, "GUID", btChar, ftGuid},
  };
  ASSERT_EQ(std::size(rows), 36u);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_STREQ(ColumnTypeName(r.column), r.name);
    EXPECT_EQ(ColumnTypeToBaseType(r.column), r.base);
    EXPECT_EQ(ColumnTypeToFieldType(r.column), r.field);
  }
  EXPECT_EQ(SQLFieldTypes().size(), 60u);
}

TEST(ColumnType, ReverseLookupsTakeTheFirstMatchingRow) {
  EXPECT_STREQ(BaseTypeName(btFloat), "FLOAT");
  EXPECT_STREQ(BaseTypeName(btInteger), "INTEGER");
  EXPECT_STREQ(BaseTypeName(btChar), "CHAR");
  EXPECT_STREQ(BaseTypeName(btWideMemo), "WIDEMEMO");
  EXPECT_STREQ(BaseTypeName(btNone), "Unknown");
  EXPECT_STREQ(BaseTypeName(static_cast<TABSBaseType>(25)), "Unknown");
  EXPECT_STREQ(ColumnTypeName(static_cast<TABSColumnType>(37)), "Unknown");

  const std::pair<TFieldType, TABSColumnType> by_field[] = {
      {ftWideString, ctWideChar}, {ftSmallint, ctSmallint}, {ftWord, ctWord},       {ftBCD, ctFloat},
      {ftFloat, ctFloat},         {ftParadoxOle, ctBlob},  {ftTypedBinary, ctBlob}, {ftDBaseOle, ctBlob},
      {ftMemo, ctMemo},           {ftLargeint, ctLargeint}, {ftAutoInc, ctAutoinc}, {ftBlob, ctBlob},
  };
  for (auto [field, column] : by_field) EXPECT_EQ(FieldTypeToColumnType(field), column) << int(field);
  EXPECT_EQ(BaseTypeToColumnType(btInteger), ctInteger);
  EXPECT_EQ(BaseTypeToColumnType(btChar), ctChar);
  EXPECT_EQ(BaseTypeToColumnType(btDateTime), ctDateTime);
  EXPECT_EQ(FieldTypeToColumnType(ftCursor), ctNone);

  try {
    FieldTypeToColumnTypeStrict(ftCursor);
    FAIL();
  } catch (const VODIDivodavir& e) {
    EXPECT_EQ(e.NativeError, 30289);
    EXPECT_STREQ(e.what(), "Unknown DataType: '22' - Native error: 30289");
  }
  EXPECT_EQ(FieldTypeToColumnTypeStrict(ftGuid), ctGuid);
}

TEST(ColumnType, SqlNamesAreFoundWithoutRegardToCase) {
  const std::pair<const char*, TABSColumnType> names[] = {
      {"varchar2", ctString}, {"Int64", ctLargeint}, {"BIT", ctLogical}, {"double", ctFloat},
      {"money", ctCurrency},  {"clob", ctMemo},      {"WIDECLOB", ctWideMemo}, {"unsignedint8", ctByte},
  };
  for (auto [name, column] : names) {
    const TSQLFieldType* row = FindSQLFieldType(name);
    ASSERT_NE(row, nullptr) << name;
    EXPECT_EQ(row->ColumnType, column) << name;
  }
  EXPECT_EQ(FindSQLFieldType("FLOAT")->FieldType, ftFloat);  // the first of the two FLOAT rows
  EXPECT_EQ(FindSQLFieldType("WIDECLOB")->FieldType, ftMemo);
  EXPECT_EQ(FindSQLFieldType("NUMBER"), nullptr);
}

TEST(ColumnType, TypeClasses) {
  for (int c = 1; c <= kColumnTypeCount; ++c) {
    const auto t = static_cast<TABSColumnType>(c);
    EXPECT_EQ(IsBlobColumnType(t), c >= 31 && c <= 35) << c;
    EXPECT_EQ(IsStringColumnType(t), (c >= 1 && c <= 4) || c == 36) << c;
    EXPECT_EQ(IsWideStringColumnType(t), c == 3 || c == 4) << c;
    EXPECT_EQ(IsBytesColumnType(t), c == 29 || c == 30) << c;
    EXPECT_EQ(IsStringOrBytesColumnType(t), (c >= 1 && c <= 4) || c == 36 || c == 29 || c == 30) << c;
    EXPECT_EQ(IsAutoincColumnType(t), c >= 12 && c <= 19) << c;
    EXPECT_EQ(IsComparableColumnType(t), (c >= 1 && c <= 28) || (c >= 33 && c <= 35)) << c;
  }
  for (int b = 1; b <= kBaseTypeCount; ++b) {
    const auto t = static_cast<TABSBaseType>(b);
    EXPECT_EQ(IsBlobBaseType(t), b >= 18 && b <= 20) << b;
    EXPECT_EQ(IsStringBaseType(t), b >= 1 && b <= 4) << b;
    EXPECT_EQ(IsWideStringBaseType(t), b == 2 || b == 4) << b;
    EXPECT_EQ(IsNumericBaseType(t), (b >= 5 && b <= 14) || b == 22) << b;
    EXPECT_EQ(IsDateTimeBaseType(t), b >= 15 && b <= 17) << b;
  }
}

TEST(ColumnType, MemoryAndStoredSizes) {
  const int32_t memory[] = {0, 11, 22, 11, 22, 1, 2, 4, 8, 1, 2, 4, 4, 8, 10, 4, 4, 8, 10, 10, 10, 2, 8, 10, 10};
  for (int b = 1; b <= kBaseTypeCount; ++b) {
    const auto t = static_cast<TABSBaseType>(b);
    EXPECT_EQ(MemoryDataSize(t, 10), memory[b]) << b;
    EXPECT_EQ(StoredDataSize(t, 10), IsBlobBaseType(t) ? 6 : memory[b]) << b;
  }
  for (int bad : {0, 25, 200}) {
    try {
      MemoryDataSize(static_cast<TABSBaseType>(bad), 1);
      FAIL();
    } catch (const VODIDivodavir& e) {
      EXPECT_EQ(e.NativeError, 30050);
      EXPECT_STREQ(e.what(), "Unknown DataType: 'Unknown' - Native error: 30050");
    }
  }
}

TEST(ColumnType, CopyValueToNewMemorySizesTextByItsLength) {
  const char ansi[] = "abc\0def";
  void* a = CopyValueToNewMemory(btString, ansi, 20);
  EXPECT_EQ(MemoryManager().GetMemSize(a), 4);
  EXPECT_STREQ(static_cast<char*>(a), "abc");
  MemoryManager().FreeAndNillMem(a);

  const char16_t wide[] = u"\u0641\u0627\u0631\u0633\u06cc";
  void* w = CopyValueToNewMemory(btWideString, wide, 100);
  EXPECT_EQ(MemoryManager().GetMemSize(w), 12);
  EXPECT_EQ(std::memcmp(w, wide, 12), 0);
  MemoryManager().FreeAndNillMem(w);

  const int64_t n = -42;
  void* i = CopyValueToNewMemory(btLargeint, &n);
  EXPECT_EQ(MemoryManager().GetMemSize(i), 8);
  EXPECT_EQ(std::memcmp(i, &n, 8), 0);
  MemoryManager().FreeAndNillMem(i);

  EXPECT_THROW(CopyValueToNewMemory(btInteger, nullptr), VODIDivodavir);
}

}  // namespace
}  // namespace dadoveri
