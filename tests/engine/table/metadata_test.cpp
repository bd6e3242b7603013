// Table metadata: definitions and their lists, the stored form through a real metadata
// file, letter-case rules, index matching, derived and generated constraints.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/storage/disk_page_manager.h"
#include "engine/table/constraint_def.h"
#include "engine/table/field_def.h"
#include "engine/table/index_def.h"
#include "engine/table/table_metadata.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

using testing::CodeOf;
using testing::TempFolder;

bool SameVariant(const TABSVariant& a, const TABSVariant& b) {
  if (a.ValueType() != b.ValueType() || a.IsNull() != b.IsNull()) return false;
  if (a.IsNull()) return true;
  return a.DataSize() == b.DataSize() && std::memcmp(a.Data(), b.Data(), static_cast<size_t>(a.DataSize())) == 0;
}

void ExpectSameFields(const TABSFieldDefs& a, const TABSFieldDefs& b) {
  ASSERT_EQ(a.Count(), b.Count());
  for (int32_t i = 0; i < a.Count(); ++i) {
    const TABSFieldDef& x = *a.Item(i);
    const TABSFieldDef& y = *b.Item(i);
    SCOPED_TRACE(x.Name);
    EXPECT_EQ(x.Name, y.Name);
    EXPECT_EQ(x.ObjectID, y.ObjectID);
    EXPECT_EQ(x.BaseType, y.BaseType);
    EXPECT_EQ(x.ColumnType, y.ColumnType);
    EXPECT_EQ(x.Size, y.Size);
    EXPECT_EQ(x.MemoryDataSize, y.MemoryDataSize);
    EXPECT_EQ(x.StoredDataSize, y.StoredDataSize);
    EXPECT_EQ(x.MemoryOffset, y.MemoryOffset);
    EXPECT_EQ(x.StoredOffset, y.StoredOffset);
    EXPECT_EQ(x.BlobCompressionAlgorithm, y.BlobCompressionAlgorithm);
    EXPECT_EQ(x.BlobCompressionMode, y.BlobCompressionMode);
    EXPECT_EQ(x.BlobBlockSize, y.BlobBlockSize);
    EXPECT_EQ(x.Increment, y.Increment);
    EXPECT_EQ(x.InitialValue, y.InitialValue);
    EXPECT_EQ(x.MinValue, y.MinValue);
    EXPECT_EQ(x.MaxValue, y.MaxValue);
    EXPECT_EQ(x.Cycled, y.Cycled);
    EXPECT_TRUE(SameVariant(x.DefaultValue, y.DefaultValue));
  }
  EXPECT_EQ(a.MemoryRecordSize(), b.MemoryRecordSize());
  EXPECT_EQ(a.StoredRecordSize(), b.StoredRecordSize());
}

// A table of every column type, three indexes (one temporary) and every constraint kind,
// with names of 255 characters where names may be that long.
void BuildFullMetadata(TABSTableMetadata& m) {
  const std::string long_name(255, 'L');
  for (int ct = 1; ct <= kColumnTypeCount; ++ct) {
    TABSFieldDef* f = m.Fields.AddFieldDef();
    f->Name = "F" + std::to_string(ct) + "_" + ColumnTypeName(static_cast<TABSColumnType>(ct));
    f->ObjectID = 100 + ct;
    const auto type = static_cast<TABSColumnType>(ct);
    f->SetType(type, IsStringOrBytesColumnType(type) ? 17 + ct : 0);
    if (IsBlobColumnType(type)) {
      f->BlobCompressionAlgorithm = 1;
      f->BlobCompressionMode = static_cast<uint8_t>(ct % 9 + 1);
      f->BlobBlockSize = 4096 * ct;
    }
    if (IsAutoincColumnType(type)) {
      f->Increment = -ct;
      f->InitialValue = 1000 + ct;
      f->MinValue = -5;
      f->MaxValue = 0;
      f->Cycled = true;
    }
  }
  m.Fields.Item(0)->Name = long_name;
  m.Fields.Find("F2_STRING")->DefaultValue.SetAsString("hello");
  m.Fields.Find("F7_INTEGER")->DefaultValue.SetAsInteger(-42);
  m.Fields.Find("F21_FLOAT")->DefaultValue.SetAsFloat(2.5);
  m.Fields.Find("F4_WIDESTRING")->DefaultValue.SetAsWideString(u"\u0633\u0644\u0627\u0645");
  m.Fields.Find("F8_LARGEINT")->DefaultValue.Clear(btLargeint);  // typed null
  m.Fields.RecomputeOffsets();

  TABSIndexDef* pk = m.Indexes.AddIndexDef();
  pk->Name = long_name;
  pk->ObjectID = 500;
  pk->Primary = pk->Unique = true;
  pk->RootPageNo = 77;
  pk->Columns = {{long_name, false, false, 20}, {"F2_STRING", true, true, 255}};
  TABSIndexDef* temp = m.Indexes.AddIndexDef();
  temp->Name = "TempIdx";
  temp->ObjectID = 501;
  temp->Temporary = true;
  temp->OwnerSession = 3;
  temp->Columns = {{"F7_INTEGER", false, false, 20}};
  TABSIndexDef* byname = m.Indexes.AddIndexDef();
  byname->Name = "ByName";
  byname->ObjectID = 502;
  byname->Unique = true;
  byname->ChangeStamp = 9;
  byname->Columns = {{"F2_STRING", false, true, 40}};

  TABSConstraintDefNotNull* nn = m.Constraints.AddNotNull(long_name, long_name);
  nn->ObjectID = 600;
  nn->FirstReference() = {long_name, 7};
  nn->TableName() = {long_name, 8};
  nn->TargetName().ID = 101;
  TABSVariant lo, hi;
  lo.SetAsInteger(-10);
  hi.SetAsInteger(10);
  TABSConstraintDefCheck* check = m.Constraints.AddCheck("Chk", "F7_INTEGER", lo, TABSVariant(btInteger));
  check->ObjectID = 601;
  check->TableName().Name = "T";
  TABSConstraintDefPrimary* p = m.Constraints.AddPrimary("C_PK$x", long_name, {long_name, "F2_STRING"});
  p->ObjectID = 602;
  p->FirstReference() = {long_name, 3};
  p->Columns[0].FieldObjectID = 101;
  TABSConstraintDefUnique* u = m.Constraints.AddUnique("C_Unique$F2_STRING", "ByName", {"F2_STRING"});
  u->ObjectID = 603;
  m.StorageSections = std::string("\x01\x02\x00\x03", 4);
}

TEST(TableMetadata, EveryDefinitionSurvivesStoreReopenRead) {
  TempFolder folder;
  const std::string name = folder.File("meta.dat");
  TABSTableMetadata written;
  BuildFullMetadata(written);
  int32_t start = -1;
  {
    TABSDiskPageManager pm;
    pm.CreateDatabase(name, 4096, 8, {});
    start = CreateTableMetadataFile(pm, 0, written);
    pm.CommitPages(0);
    pm.FreeAllPages();
    pm.CloseDatabase();
  }
  TABSTableMetadata read;
  {
    TABSDiskPageManager pm;
    bool read_only = false, repair = false;
    pm.OpenDatabase(name, {}, read_only, false, false, repair);
    TABSPageHandle page = pm.GetPage(0, start);
    EXPECT_EQ(page.PageType(), ptTableMetaData);
    EXPECT_EQ(page.Data()[9], 1) << "metadata files are ZLIB-compressed";
    page.Release();
    ReadTableMetadataFile(pm, 0, start, read);
    pm.FreeAllPages();
    pm.CloseDatabase();
  }
  ExpectSameFields(written.Fields, read.Fields);

  // The temporary index is never written.
  ASSERT_EQ(read.Indexes.Count(), 2);
  for (int32_t i : {0, 1}) {
    const TABSIndexDef& x = *written.Indexes.Item(i == 0 ? 0 : 2);
    const TABSIndexDef& y = *read.Indexes.Item(i);
    EXPECT_EQ(x.Name, y.Name);
    EXPECT_EQ(x.ObjectID, y.ObjectID);
    EXPECT_EQ(x.Unique, y.Unique);
    EXPECT_EQ(x.Primary, y.Primary);
    EXPECT_EQ(x.RootPageNo, y.RootPageNo);
    EXPECT_EQ(x.Columns, y.Columns);
    EXPECT_FALSE(y.Temporary);
    EXPECT_EQ(y.OwnerSession, -1);
    EXPECT_EQ(y.ChangeStamp, 0);
  }

  ASSERT_EQ(read.Constraints.Count(), 4);
  for (int32_t i = 0; i < 4; ++i) {
    const TABSConstraintDef& x = *written.Constraints.Item(i);
    const TABSConstraintDef& y = *read.Constraints.Item(i);
    SCOPED_TRACE(x.ClassName());
    EXPECT_STREQ(x.ClassName(), y.ClassName());
    EXPECT_EQ(x.Name, y.Name);
    EXPECT_EQ(x.ObjectID, y.ObjectID);
    EXPECT_EQ(x.ConstraintType, y.ConstraintType);
    EXPECT_EQ(x.References, y.References);
  }
  const auto& wc = static_cast<const TABSConstraintDefCheck&>(*written.Constraints.Item(1));
  const auto& rc = static_cast<const TABSConstraintDefCheck&>(*read.Constraints.Item(1));
  EXPECT_TRUE(SameVariant(wc.MinValue, rc.MinValue));
  EXPECT_TRUE(SameVariant(wc.MaxValue, rc.MaxValue));
  EXPECT_EQ(static_cast<const TABSConstraintDefUnique&>(*written.Constraints.Item(2)).Columns,
            static_cast<const TABSConstraintDefUnique&>(*read.Constraints.Item(2)).Columns);
  EXPECT_EQ(static_cast<const TABSConstraintDefUnique&>(*written.Constraints.Item(3)).Columns,
            static_cast<const TABSConstraintDefUnique&>(*read.Constraints.Item(3)).Columns);
  EXPECT_EQ(read.StorageSections, written.StorageSections);
  // Saving what was read gives the same block, byte for byte, minus the temporary index.
  written.Indexes.Delete(1);
  EXPECT_EQ(read.Save(), written.Save());
}

TEST(TableMetadata, StoredFormOfSmallDefinitions) {
  TABSFieldDefs fields;
  TABSFieldDef* f = fields.AddFieldDef();
  f->Name = "Id";
  f->ObjectID = 5;
  f->SetType(ctInteger);
  TABSMetaWriter w;
  fields.SaveToStream(w);
  const std::string expected = std::string("\x01\x00\x00\x00", 4) + "\x02Id" + std::string("\x05\x00\x00\x00", 4) +
                               std::string("\x07\x07\x00\x00\x00\x00", 6) +  // base, column, size
                               std::string("\x01\0\0\0\0\0\0\0", 8) + std::string(8, '\0') + std::string(8, '\0') +
                               std::string("\xff\xff\xff\xff\xff\xff\xff\x7f", 8) + std::string("\x00", 1) +
                               std::string("\x00\x01", 2);  // Cycled; a null default without a type
  EXPECT_EQ(w.Bytes(), expected);

  TABSConstraintDefs constraints;
  constraints.AddNotNull("N", "Id")->TargetName().ID = 5;
  TABSMetaWriter cw;
  constraints.SaveToStream(cw);
  const std::string body = std::string("\x01\x00\x00\x00", 4) + "\x03" + "\x01N" + std::string("\xff\xff\xff\xff", 4) +
                           std::string(8, '\0') + std::string("\x05\x00\x00\x00", 4) + std::string("\x01\x00", 2) +
                           std::string("\x01\x00", 2) + std::string("\x03\x02Id", 4);
  EXPECT_EQ(cw.Bytes(), body);
}

TEST(TableMetadata, DamagedBlocksAreRefused) {
  TABSTableMetadata m;
  BuildFullMetadata(m);
  const std::string block = m.Save();
  // Every cut inside the three lists ends the stream early.
  for (size_t cut : {size_t{0}, size_t{3}, size_t{40}, block.size() / 2, block.size() - 5}) {
    TABSTableMetadata r;
    EXPECT_EQ(CodeOf([&] { r.Load(std::string_view(block).substr(0, cut)); }), 10086) << cut;
  }
  TABSConstraintDefs constraints;
  constraints.AddNotNull("N", "Id");
  TABSMetaWriter w;
  constraints.SaveToStream(w);
  w.Bytes()[4] = 1;  // a constraint type that is not built
  TABSMetaReader r(w.Bytes());
  EXPECT_EQ(CodeOf([&] { constraints.LoadFromStream(r); }), 30316);
  TABSFieldDef f;
  EXPECT_EQ(CodeOf([&] { f.SetType(static_cast<TABSColumnType>(37)); }), 30007);
}

// Definitions read from a file are held to what a table can have before anything is sized
// from them: a type pair that does not belong together (an autoincrement column over text
// once wrote a 64-bit counter into a 101-byte field), a length out of its type's range (a
// length of INT32_MAX overflowed the size arithmetic), a record larger than a page, an
// index column keeping no byte or more than a key holds, a stored value that does not fit
// its type.
TEST(TableMetadata, StoredDefinitionsOutOfRangeAreRefused) {
  struct FieldCase {
    const char* what;
    TABSColumnType column;
    TABSBaseType base;
    int32_t size;
    int32_t code;  // 0: loads
  };
  const FieldCase field_cases[] = {
      {"autoincrement column over a text base", ctAutoincInteger, btString, 100, 40302},
      {"text length INT32_MAX", ctString, btString, INT32_MAX, 40302},
      {"negative text length", ctString, btString, -2, 40302},
      {"wide text too long for a record", ctWideString, btWideString, 40000, 40302},
      {"byte array too long for a record", ctBytes, btBytes, 70000, 40302},
      {"column type without a row", static_cast<TABSColumnType>(77), btInteger, 0, 40302},
      {"no base type", ctInteger, btNone, 0, 40302},
      {"base type beyond the table", ctInteger, static_cast<TABSBaseType>(99), 0, 40302},
      {"integer with any length", ctInteger, btInteger, INT32_MAX, 0},
      {"longest text a record holds", ctString, btString, 65533, 0},
      {"one character longer", ctString, btString, 65534, 40303},
      {"GUID over its text base", ctGuid, btChar, 38, 0},
  };
  for (const FieldCase& c : field_cases) {
    SCOPED_TRACE(c.what);
    TABSFieldDefs fields;
    TABSFieldDef* f = fields.AddFieldDef();
    f->Name = "F";
    f->ColumnType = c.column;
    f->BaseType = c.base;
    f->Size = c.size;
    TABSMetaWriter w;
    fields.SaveToStream(w);
    TABSFieldDefs back;
    TABSMetaReader r(w.Bytes());
    EXPECT_EQ(CodeOf([&] { back.LoadFromStream(r); }), c.code);
  }
  {
    TABSFieldDefs fields;
    for (const char* name : {"A", "B", "C"}) fields.AddFieldDef()->Name = name;
    for (int32_t i = 0; i < 3; ++i) fields.Item(i)->SetType(ctString, 30000);
    TABSMetaWriter w;
    fields.SaveToStream(w);
    TABSFieldDefs back;
    TABSMetaReader r(w.Bytes());
    EXPECT_EQ(testing::MessageOf([&] { back.LoadFromStream(r); }),
              "Invalid record size = 90004. Limit is 65535 - Native error: 40303");
  }
  for (const int32_t max_indexed : {0, -1, 65536, INT32_MAX, 1, 65535}) {
    SCOPED_TRACE(max_indexed);
    TABSIndexDefs indexes;
    TABSIndexDef* index = indexes.AddIndexDef();
    index->Name = "IX";
    index->Columns.push_back({"F", false, false, max_indexed});
    TABSMetaWriter w;
    indexes.SaveToStream(w);
    TABSIndexDefs back;
    TABSMetaReader r(w.Bytes());
    EXPECT_EQ(CodeOf([&] { back.LoadFromStream(r); }), max_indexed >= 1 && max_indexed <= 65535 ? 0 : 40304);
  }
  struct ValueCase {
    const char* what;
    TABSBaseType type;
    std::string bytes;
    bool fits;
  };
  const ValueCase value_cases[] = {
      {"64-bit integer of one byte", btLargeint, std::string(1, 'x'), false},
      {"float of its size", btFloat, std::string(8, '\0'), true},
      {"extended of eight bytes", btExtended, std::string(8, '\0'), false},
      {"text without its terminator", btString, "abc", false},
      {"text with its terminator", btString, std::string("abc", 4), true},
      {"wide text of an odd size", btWideString, std::string("a\0b", 3), false},
      {"wide text without its terminator", btWideString, std::string("a\0b\0", 4), false},
      {"memo of any bytes", btMemo, "abc", true},
      {"a type beyond the table", static_cast<TABSBaseType>(60), "abc", false},
      {"data without a type", btNone, "abc", false},
  };
  for (const ValueCase& c : value_cases) {
    SCOPED_TRACE(c.what);
    TABSVariant v;
    v.SetFromBuffer(c.bytes.data(), static_cast<int32_t>(c.bytes.size()), true, c.type);
    TABSMetaWriter w;
    w.WriteVariant(v);
    TABSMetaReader r(w.Bytes());
    TABSVariant back;
    EXPECT_EQ(CodeOf([&] { r.ReadVariant(back); }), c.fits ? 0 : 40301);
  }
  // An index of so many columns that even its key size would overflow.
  TABSTableMetadata m;
  m.Fields.AddFieldDef()->Name = "F";
  m.Fields.Item(0)->SetType(ctString, 60000);
  TABSIndexDef* wide = m.Indexes.AddIndexDef();
  wide->Name = "IX";
  wide->Columns.assign(40000, TABSIndexColumn{"F", false, false, 20});
  TABSTableMetadata back;
  EXPECT_EQ(CodeOf([&] { back.Load(m.Save()); }), 20296);
}

TEST(TableMetadata, NamesIgnoreLetterCase) {
  TABSFieldDefs source;
  source.AddFieldDef()->Name = "Name";
  source.AddFieldDef()->Name = "NAME";
  TABSFieldDefs target;
  EXPECT_EQ(CodeOf([&] { target.Assign(source); }), 10424);
  source.Item(1)->Name = "Word";
  target.Assign(source);
  EXPECT_EQ(target.IndexOf("nAmE"), 0);
  EXPECT_EQ(target.IndexOf("WORD"), 1);
  EXPECT_EQ(target.IndexOf("Wor"), -1);
  EXPECT_EQ(target.Find("absent"), nullptr);
  // Non-ASCII names go through the code page's upper-case rule.
  EXPECT_TRUE(SameName("\xe9t\xe9", "\xc9T\xc9"));  // été / ÉTÉ in Windows-1252
  EXPECT_FALSE(SameName("a", "b"));

  // Lists without an item class refuse to create one.
  TABSMetaObjectDefs base;
  EXPECT_EQ(CodeOf([&] { base.InternalAddCreated(); }), 30339);
  TABSConstraintDefs constraints;
  EXPECT_EQ(CodeOf([&] { constraints.InternalAddCreated(); }), 30339);
}

TEST(TableMetadata, ListOperations) {
  TABSIndexDefs list;
  for (const char* n : {"A", "B", "C"}) {
    TABSIndexDef* d = list.AddIndexDef();
    d->Name = n;
    d->ObjectID = n[0];
  }
  list.Move(0, 2);
  EXPECT_EQ(list.Item(0)->Name + list.Item(1)->Name + list.Item(2)->Name, "BCA");
  list.Delete(1);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.IndexOfObjectID('A'), 1);
  EXPECT_EQ(list.FindByObjectID('C'), nullptr);
  auto d = std::make_unique<TABSIndexDef>();
  d->Name = "Z";
  list.Insert(0, std::move(d));
  EXPECT_EQ(list.IndexOf("z"), 0);
  TABSIndexDef replacement;
  replacement.Name = "R";
  list.SetItem(0, replacement);
  EXPECT_EQ(list.GetItem(0)->Name, "R");

  TABSConstraintDefs constraints;
  constraints.AddNotNull("", "F");
  constraints.AddNotNull("", "F");  // nameless items are not duplicates
  constraints.AddPrimary("P", "I", {"F"});
  TABSConstraintDefs copy;
  copy.Assign(constraints);
  ASSERT_EQ(copy.Count(), 3);
  EXPECT_STREQ(copy.Item(2)->ClassName(), "TABSConstraintDefPrimary");
  EXPECT_EQ(copy.Item(2)->ConstraintType, ctPrimaryKey);
}

TEST(TableMetadata, BuildColumnsFromLists) {
  TABSIndexDef index;
  TABSIndexDefs::BuildColumns(index, {"a", "b", "c"}, {"DESC", "desc", ""}, {"NO_CASE", "CASE", "no_case"});
  ASSERT_EQ(index.ColumnCount(), 3);
  EXPECT_TRUE(index.Columns[0].Descending);
  EXPECT_TRUE(index.Columns[0].CaseInsensitive);
  EXPECT_FALSE(index.Columns[1].Descending);
  EXPECT_FALSE(index.Columns[2].CaseInsensitive);
  for (const auto& c : index.Columns) EXPECT_EQ(c.MaxIndexedSize, 20);
  EXPECT_EQ(CodeOf([&] { TABSIndexDefs::BuildColumns(index, {"a"}, {}, {"x"}); }), 10278);
  EXPECT_EQ(CodeOf([&] { TABSIndexDefs::BuildColumns(index, {"a"}, {"x"}, {}); }), 10279);
}

TEST(TableMetadata, MatchingIndex) {
  TABSFieldDefs fields;
  TABSFieldDef* word = fields.AddFieldDef();
  word->Name = "Word";
  word->SetType(ctString, 40);
  TABSFieldDef* num = fields.AddFieldDef();
  num->Name = "Num";
  num->SetType(ctInteger);
  TABSFieldDef* meaning = fields.AddFieldDef();
  meaning->Name = "Meaning";
  meaning->SetType(ctString, 40);

  TABSIndexDefs indexes;
  auto add = [&](int32_t id, std::vector<TABSIndexColumn> columns, bool temporary = false, int32_t owner = -1) {
    TABSIndexDef* d = indexes.AddIndexDef();
    d->Name = "I" + std::to_string(id);
    d->ObjectID = id;
    d->Columns = std::move(columns);
    d->Temporary = temporary;
    d->OwnerSession = owner;
  };
  add(1, {{"Word", false, false, 20}});                                // case-sensitive
  add(2, {{"WORD", false, true, 20}, {"Meaning", false, false, 20}});  // case-insensitive, two columns
  add(3, {{"Num", true, false, 20}}, true, 4);                         // temporary, descending, session 4
  add(4, {{"Num", false, true, 20}});                                  // ascending

  struct Case {
    std::vector<std::string> names, dirs, cases;
    int32_t session;
    int32_t expected;
  };
  const Case cases[] = {
      {{"Word"}, {"ASC"}, {"NO_CASE"}, 0, 2},
      {{"word"}, {"ASC"}, {"CASE"}, 0, 1},
      {{"Word"}, {""}, {""}, 0, 1},
      {{"Word"}, {"DESC"}, {""}, 0, -1},
      {{"Word", "Meaning"}, {"", "ASC"}, {"", "CASE"}, 0, 2},
      {{"Word", "Num"}, {"", ""}, {"", ""}, 0, -1},
      {{"Num"}, {"DESC"}, {""}, 4, 3},
      {{"Num"}, {"DESC"}, {""}, 5, -1},  // another session never matches a temporary index
      {{"Num"}, {""}, {""}, 5, 4},
      {{"Num"}, {"ASC"}, {"CASE"}, 0, 4},  // the case word counts only for string fields
      {{}, {}, {}, 0, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(indexes.FindMatchingIndex(fields, &c.names, &c.dirs, &c.cases, c.session), c.expected)
        << (c.names.empty() ? "" : c.names[0]) << " " << (c.dirs.empty() ? "" : c.dirs[0]) << " " << c.session;
  }
  const std::vector<std::string> one{"x"}, none;
  EXPECT_EQ(CodeOf([&] { indexes.FindMatchingIndex(fields, nullptr, &one, &one, 0); }), 10389);
  EXPECT_EQ(CodeOf([&] { indexes.FindMatchingIndex(fields, &one, nullptr, &one, 0); }), 10390);
  EXPECT_EQ(CodeOf([&] { indexes.FindMatchingIndex(fields, &one, &one, nullptr, 0); }), 10391);
  EXPECT_EQ(CodeOf([&] { indexes.FindMatchingIndex(fields, &one, &none, &one, 0); }), 10276);
  EXPECT_EQ(CodeOf([&] { indexes.FindMatchingIndex(fields, &one, &one, &none, 0); }), 10277);
}

TEST(TableMetadata, DerivedResolvedAndGeneratedConstraints) {
  TABSFieldDefs fields;
  for (const char* n : {"Id", "Part", "Word"}) {
    TABSFieldDef* f = fields.AddFieldDef();
    f->Name = n;
    f->ObjectID = 10 + n[0];
    f->SetType(ctInteger);
  }
  TABSIndexDefs indexes;
  TABSIndexDef* pk = indexes.AddIndexDef();
  pk->Name = "PkIdx";
  pk->ObjectID = 90;
  pk->Primary = true;
  TABSIndexDefs::BuildColumns(*pk, {"Id", "Part"}, {"", ""}, {"", ""});
  TABSIndexDef* uq = indexes.AddIndexDef();
  uq->Name = "WordIdx";
  uq->ObjectID = 91;
  uq->Unique = true;
  TABSIndexDefs::BuildColumns(*uq, {"Word"}, {""}, {""});
  TABSIndexDef plain;
  EXPECT_EQ(DeriveConstraintFromIndex(plain), nullptr);

  TABSConstraintDefs constraints;
  auto derived = DeriveConstraintFromIndex(*pk);
  EXPECT_EQ(derived->Name, "C_PK$Id$Part");
  EXPECT_STREQ(derived->ClassName(), "TABSConstraintDefPrimary");
  constraints.AddConstraint(std::move(derived));
  auto unique = DeriveConstraintFromIndex(*uq);
  EXPECT_EQ(unique->Name, "C_Unique$Word");
  EXPECT_EQ(unique->ConstraintType, ctUnique);
  constraints.AddConstraint(std::move(unique));
  constraints.AddNotNull("", "word");
  constraints.AddNotNull("", "Word");
  constraints.AddCheck("", "Id", TABSVariant(), TABSVariant());
  constraints.SetTableName("Dict");
  constraints.ResolveReferences(fields, indexes);
  constraints.GenerateNames();

  EXPECT_EQ(constraints.Item(0)->TargetName().ID, 90);
  EXPECT_EQ(static_cast<TABSConstraintDefUnique*>(constraints.Item(0))->Columns[1].FieldObjectID, 10 + 'P');
  EXPECT_EQ(constraints.IndexOfDerived(91), 1);
  EXPECT_EQ(constraints.IndexOfDerived(92), -1);
  EXPECT_EQ(constraints.Item(2)->TargetName().ID, 10 + 'W');
  EXPECT_EQ(constraints.Item(2)->Name, "$C_NotNull$Dict$word");
  // The second one's base name is taken (letter case ignored): a number is appended.
  const std::string second = constraints.Item(3)->Name;
  ASSERT_GT(second.size(), std::string("$C_NotNull$Dict$Word").size());
  EXPECT_EQ(second.substr(0, 20), "$C_NotNull$Dict$Word");
  EXPECT_LT(std::stol(second.substr(20)), 65535);
  EXPECT_EQ(constraints.Item(4)->Name, "$C_Check$Dict$Id");

  TABSConstraintDefs bad;
  bad.AddNotNull("n", "Missing");
  EXPECT_EQ(CodeOf([&] { bad.ResolveReferences(fields, indexes); }), 30027);
  TABSConstraintDefs bad_pk;
  bad_pk.AddPrimary("p", "NoIndex", {"Id"});
  EXPECT_EQ(CodeOf([&] { bad_pk.ResolveReferences(fields, indexes); }), 30325);
  TABSConstraintDefs bad_uq;
  bad_uq.AddUnique("u", "WordIdx", {"Nope"});
  EXPECT_EQ(CodeOf([&] { bad_uq.ResolveReferences(fields, indexes); }), 30332);
  TABSConstraintDefs nameless;
  nameless.AddUnique("", "WordIdx", {"Word"});
  EXPECT_EQ(CodeOf([&] { nameless.GenerateNames(); }), 30038);
}

TEST(TableMetadata, RenameFieldReachesEveryIndex) {
  TABSTableMetadata m;
  EXPECT_EQ(CodeOf([&] { m.MemoryRecordSize(); }), 10131);
  for (const char* n : {"Word", "Meaning"}) {
    TABSFieldDef* f = m.Fields.AddFieldDef();
    f->Name = n;
    f->SetType(ctString, 10);
  }
  m.Fields.RecomputeOffsets();
  EXPECT_EQ(m.MemoryRecordSize(), 1 + 2 * m.Fields.Item(0)->MemoryDataSize);
  TABSIndexDef* a = m.Indexes.AddIndexDef();
  TABSIndexDefs::BuildColumns(*a, {"word", "Meaning"}, {"", ""}, {"", ""});
  TABSIndexDef* b = m.Indexes.AddIndexDef();
  TABSIndexDefs::BuildColumns(*b, {"Meaning", "WORD"}, {"", ""}, {"", ""});
  m.RenameField("WORD", "Headword");
  EXPECT_EQ(m.Fields.Item(0)->Name, "Headword");
  EXPECT_EQ(a->Columns[0].FieldName, "Headword");
  EXPECT_EQ(b->Columns[1].FieldName, "Headword");
  EXPECT_EQ(b->Columns[0].FieldName, "Meaning");
  EXPECT_EQ(CodeOf([&] { m.RenameField("Headword", "meaning"); }), 30344);
  EXPECT_EQ(m.Fields.Item(0)->Name, "Headword");
  EXPECT_EQ(a->Columns[0].FieldName, "Headword");
  EXPECT_EQ(CodeOf([&] { m.RenameField("Word", "X"); }), 30343);
  m.RenameField("headword", "HeadWord");  // a change of letter case only
  EXPECT_EQ(a->Columns[0].FieldName, "HeadWord");
}

}  // namespace
}  // namespace dadoveri
