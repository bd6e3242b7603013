#include "engine/table/record_layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/table/comparison.h"
#include "engine/table/date_time.h"
#include "engine/table/field_manager.h"

namespace dadoveri {
namespace {

TABSFieldLayout field(const char* name, TABSColumnType type, int32_t size = 0) {
  TABSFieldLayout f;
  f.Name = name;
  f.SetType(type, size);
  return f;
}

int32_t error_code(auto action) {
  try {
    action();
  } catch (const VODIDivodavir& e) {
    return e.NativeError;
  }
  return 0;
}

TEST(RecordLayout, NullFlagsAndOffsets) {
  std::vector<TABSFieldLayout> eight(8, field("f", ctInteger));
  TABSRecordLayout a(eight);
  EXPECT_EQ(a.NullFlagsSize(), 1);
  eight.push_back(field("g", ctBlob));
  TABSRecordLayout b(eight);
  EXPECT_EQ(b.NullFlagsSize(), 2);
  EXPECT_EQ(b.Field(8).MemoryOffset, 2 + 8 * 4);
  EXPECT_EQ(b.MemoryRecordSize(), 2 + 32 + 10);
  EXPECT_EQ(b.StoredRecordSize(), 2 + 32 + 6);

  std::vector<uint8_t> rec(static_cast<size_t>(b.MemoryRecordSize()));
  b.InitRecord(rec.data());
  for (int i = 0; i < 9; ++i) EXPECT_TRUE(b.IsNull(i, rec.data()));
  b.ClearNull(8, rec.data());
  EXPECT_EQ(rec[1], 0xFE);  // field 8 is bit 0 of the second byte
  EXPECT_EQ(rec[0], 0xFF);
  b.SetNull(8, rec.data());
  EXPECT_EQ(rec[1], 0xFF);

  TABSFieldLayout bad;
  EXPECT_EQ(error_code([&] { bad.SetType(static_cast<TABSColumnType>(40)); }), 30007);
}

// One field of every column type, with a value for it.
struct Sample {
  TABSFieldLayout field;
  TABSVariant value;
};

std::vector<Sample> samples() {
  std::vector<Sample> s;
  auto add = [&](TABSColumnType t, int32_t size, auto set) {
    Sample x{field(ColumnTypeName(t), t, size), TABSVariant(ColumnTypeToBaseType(t))};
    set(x.value);
    s.push_back(std::move(x));
  };
  add(ctChar, 5, [](TABSVariant& v) { v.SetAsString("ab"); });
  add(ctString, 20, [](TABSVariant& v) { v.SetAsString("hello world"); });
  add(ctWideChar, 4, [](TABSVariant& v) { v.SetAsWideString(u"\u06a9\u064a"); });
  add(ctWideString, 30, [](TABSVariant& v) { v.SetAsWideString(u"\u0641\u0627\u0631\u0633\u06cc text"); });
  add(ctShortint, 0, [](TABSVariant& v) { v.SetAsShortint(-5); });
  add(ctSmallint, 0, [](TABSVariant& v) { v.SetAsSmallint(-30000); });
  add(ctInteger, 0, [](TABSVariant& v) { v.SetAsInteger(INT32_MIN); });
  add(ctLargeint, 0, [](TABSVariant& v) { v.SetAsLargeint(INT64_MAX); });
  add(ctByte, 0, [](TABSVariant& v) { v.SetAsByte(255); });
  add(ctWord, 0, [](TABSVariant& v) { v.SetAsWord(65535); });
  add(ctCardinal, 0, [](TABSVariant& v) { v.SetAsCardinal(4000000000u); });
  add(ctAutoinc, 0, [](TABSVariant& v) { v.SetAsInteger(7); });
  add(ctSingle, 0, [](TABSVariant& v) { v.SetAsSingle(1.25f); });
  add(ctFloat, 0, [](TABSVariant& v) { v.SetAsFloat(-0.1); });
  add(ctExtended, 0, [](TABSVariant& v) { v.SetAsExtended(1.0L / 3); });
  add(ctLogical, 0, [](TABSVariant& v) { v.SetAsLogical(true); });
  add(ctCurrency, 0, [](TABSVariant& v) { v.SetAsCurrency(12.34); });
  add(ctDate, 0, [](TABSVariant& v) { v.SetAsDate(*EncodeDayNumber(2024, 1, 31)); });
  add(ctTime, 0, [](TABSVariant& v) { v.SetAsTime(86399999); });
  add(ctDateTime, 0, [](TABSVariant& v) { v.SetAsDateTime({*EncodeDayNumber(1999, 12, 31), 1}); });
  add(ctTimeStamp, 0, [](TABSVariant& v) { v.SetAsDateTime({1, 0}); });
  add(ctBytes, 4, [](TABSVariant& v) { v.SetFromBuffer("\x01\x00\x02\x03", 4, true, btBytes); });
  add(ctVarBytes, 3, [](TABSVariant& v) { v.SetFromBuffer("xyz", 3, true, btVarBytes); });
  add(ctGuid, 38, [](TABSVariant& v) { v.SetAsString("{00000000-0000-0000-0000-000000000001}"); });
  add(ctBlob, 0, [](TABSVariant& v) { v.SetFromBuffer("\x01\x02\x03\x04\x05\x06\x00\x00\x00\x00", 10, true, btBlob); });
  add(ctMemo, 0, [](TABSVariant& v) { v.SetFromBuffer("\x07\x00\x00\x00\x09\x00\x00\x00\x00\x00", 10, true, btMemo); });
  return s;
}

TEST(RecordLayout, EveryTypeSurvivesMemoryAndStoredRecords) {
  const std::vector<Sample> s = samples();
  std::vector<TABSFieldLayout> fields;
  for (const Sample& x : s) fields.push_back(x.field);
  TABSRecordLayout layout(fields);
  // Every field filled, then every field NULL, then alternating.
  for (int pattern = 0; pattern < 3; ++pattern) {
    SCOPED_TRACE(pattern);
    std::vector<uint8_t> memory(static_cast<size_t>(layout.MemoryRecordSize()));
    std::vector<uint8_t> stored(static_cast<size_t>(layout.StoredRecordSize()));
    std::vector<uint8_t> back(memory.size(), 0xCC);
    layout.InitRecord(memory.data());
    for (int32_t i = 0; i < layout.FieldCount(); ++i) {
      const bool null = pattern == 1 || (pattern == 2 && i % 2 == 1);
      layout.SetFieldValue(i, null ? TABSVariant(s[static_cast<size_t>(i)].value.ValueType()) : s[static_cast<size_t>(i)].value,
                           memory.data());
    }
    layout.MemoryToStored(memory.data(), stored.data());
    layout.StoredToMemory(stored.data(), back.data());
    EXPECT_TRUE(layout.CompareRecordImages(memory.data(), back.data()));
    for (int32_t i = 0; i < layout.FieldCount(); ++i) {
      const Sample& x = s[static_cast<size_t>(i)];
      SCOPED_TRACE(x.field.Name);
      const bool null = pattern == 1 || (pattern == 2 && i % 2 == 1);
      TABSVariant v;
      layout.GetFieldValue(i, back.data(), v);
      ASSERT_EQ(v.IsNull(), null);
      EXPECT_EQ(v.ValueType(), x.field.BaseType);
      if (null) continue;
      if (IsBlobBaseType(x.field.BaseType)) {
        // Only the first six bytes of a BLOB reference are stored; the rest reads as zero.
        EXPECT_EQ(std::memcmp(v.Data(), x.value.Data(), 6), 0);
        for (int k = 6; k < 10; ++k) EXPECT_EQ(static_cast<const uint8_t*>(v.Data())[k], 0);
      } else if (x.field.BaseType == btBytes || x.field.BaseType == btVarBytes) {
        EXPECT_EQ(std::memcmp(v.Data(), x.value.Data(), static_cast<size_t>(x.value.DataSize())), 0);
      } else {
        EXPECT_EQ(v.CompareRaw(x.value), cmpEqual);
      }
    }
  }
}

TEST(RecordLayout, SetFieldValueConvertsAndRefuses) {
  TABSRecordLayout layout({field("n", ctSmallint), field("s", ctString, 3), field("w", ctWideString, 2)});
  std::vector<uint8_t> rec(static_cast<size_t>(layout.MemoryRecordSize()));
  layout.InitRecord(rec.data());
  TABSVariant text;
  text.SetAsString("123");
  layout.SetFieldValue(0, text, rec.data());
  TABSVariant got;
  layout.GetFieldValue(0, rec.data(), got);
  EXPECT_EQ(got.GetAsSmallint(), 123);

  TABSVariant too_long;
  too_long.SetAsString("abcd");
  EXPECT_EQ(error_code([&] { layout.SetFieldValue(1, too_long, rec.data()); }), 20056);
  EXPECT_TRUE(layout.IsNull(1, rec.data()));
  TABSVariant wide_too_long;
  wide_too_long.SetAsWideString(u"abc");
  EXPECT_EQ(error_code([&] { layout.SetFieldValue(2, wide_too_long, rec.data()); }), 20056);

  // A value read from a wider field fits when its text does.
  TABSRecordLayout wider({field("s", ctString, 40), field("w", ctWideString, 40)});
  std::vector<uint8_t> wide_rec(static_cast<size_t>(wider.MemoryRecordSize()));
  wider.InitRecord(wide_rec.data());
  TABSVariant short_text;
  short_text.SetAsString("abc");
  wider.SetFieldValue(0, short_text, wide_rec.data());
  TABSVariant short_wide;
  short_wide.SetAsWideString(u"\u06a9\u06cc");
  wider.SetFieldValue(1, short_wide, wide_rec.data());
  TABSVariant from_field;
  wider.GetFieldValue(0, wide_rec.data(), from_field);
  EXPECT_EQ(from_field.StringLength(), 40);
  layout.SetFieldValue(1, from_field, rec.data());
  layout.GetFieldValue(1, rec.data(), got);
  EXPECT_EQ(got.GetAsString(), "abc");
  wider.GetFieldValue(1, wide_rec.data(), from_field);
  layout.SetFieldValue(2, from_field, rec.data());
  layout.GetFieldValue(2, rec.data(), got);
  EXPECT_EQ(got.GetAsWideString(), u"\u06a9\u06cc");
  // Bytes without a terminator still get one.
  TABSVariant unterminated;
  unterminated.SetFromBuffer("xyz", 3, true, btString);
  layout.SetFieldValue(1, unterminated, rec.data());
  layout.GetFieldValue(1, rec.data(), got);
  EXPECT_EQ(got.GetAsString(), "xyz");

  // A failed conversion leaves the field as it was: still NULL, bytes untouched.
  TABSVariant word;
  word.SetAsString("xyz");
  EXPECT_EQ(error_code([&] { layout.SetFieldValue(0, word, rec.data()); }), 30051);
  layout.GetFieldValue(0, rec.data(), got);
  EXPECT_EQ(got.GetAsSmallint(), 123);
  layout.SetFieldValue(0, TABSVariant(btSmallint), rec.data());
  EXPECT_TRUE(layout.IsNull(0, rec.data()));
  EXPECT_EQ(error_code([&] { layout.SetFieldValue(0, word, rec.data()); }), 30051);
  EXPECT_TRUE(layout.IsNull(0, rec.data()));

  EXPECT_EQ(error_code([&] { layout.GetFieldValue(3, rec.data(), got); }), 10000);
  EXPECT_EQ(error_code([&] { layout.SetFieldValue(3, got, rec.data()); }), 10004);
  EXPECT_EQ(error_code([&] { layout.GetFieldData(0, nullptr, nullptr); }), 10001);
  EXPECT_EQ(error_code([&] { layout.SetFieldData(0, nullptr, nullptr); }), 10003);
}

TEST(RecordLayout, NormalizeMakesEqualValuesEqualBytes) {
  TABSRecordLayout layout({field("s", ctString, 6), field("w", ctWideChar, 4), field("i", ctInteger)});
  std::vector<uint8_t> a(static_cast<size_t>(layout.MemoryRecordSize()), 0x55), b(a.size(), 0xAA);
  for (auto* rec : {&a, &b}) {
    rec->at(0) = 0;
    std::memcpy(rec->data() + layout.Field(0).MemoryOffset, "ab", 3);
    std::memcpy(rec->data() + layout.Field(1).MemoryOffset, u"x", 4);
    const int32_t seven = 7;
    std::memcpy(rec->data() + layout.Field(2).MemoryOffset, &seven, 4);
  }
  EXPECT_FALSE(layout.CompareRecordImages(a.data(), b.data()));
  layout.NormalizeRecord(a.data());
  layout.NormalizeRecord(b.data());
  EXPECT_TRUE(layout.CompareRecordImages(a.data(), b.data()));
  layout.SetNull(0, a.data());
  layout.NormalizeRecord(a.data());
  for (int k = 0; k < 7; ++k) EXPECT_EQ(a[static_cast<size_t>(layout.Field(0).MemoryOffset + k)], 0);
}

TEST(RecordLayout, DatasetBufferExchange) {
  TABSRecordLayout layout({field("sh", ctShortint), field("ca", ctCardinal), field("si", ctSingle),
                           field("ex", ctExtended), field("dt", ctDateTime), field("s", ctString, 5),
                           field("w", ctWideString, 5), field("b", ctBlob), field("d", ctDate)});
  std::vector<uint8_t> rec(static_cast<size_t>(layout.MemoryRecordSize()));
  layout.InitRecord(rec.data());
  uint8_t buffer[16] = {};
  EXPECT_FALSE(layout.GetFieldData(0, rec.data(), buffer));
  EXPECT_FALSE(layout.GetFieldData(0, rec.data(), nullptr));

  const int16_t minus_five = -5;
  layout.SetFieldData(0, &minus_five, rec.data());
  EXPECT_EQ(static_cast<int8_t>(rec[static_cast<size_t>(layout.Field(0).MemoryOffset)]), -5);
  int16_t sh = 0;
  EXPECT_TRUE(layout.GetFieldData(0, rec.data(), &sh));
  EXPECT_EQ(sh, -5);
  EXPECT_TRUE(layout.GetFieldData(0, rec.data(), nullptr));

  const int64_t big = 4000000000;
  layout.SetFieldData(1, &big, rec.data());
  int64_t ca = 0;
  layout.GetFieldData(1, rec.data(), &ca);
  EXPECT_EQ(ca, 4000000000);

  const double third = 1.0 / 3;
  layout.SetFieldData(2, &third, rec.data());
  double si = 0;
  layout.GetFieldData(2, rec.data(), &si);
  EXPECT_EQ(si, static_cast<double>(static_cast<float>(third)));
  layout.SetFieldData(3, &third, rec.data());
  double ex = 0;
  layout.GetFieldData(3, rec.data(), &ex);
  EXPECT_EQ(ex, third);

  // Date-times in the dataset's native form: milliseconds since 0001-01-01.
  const TABSDateTime when{*EncodeDayNumber(2024, 1, 31), 45296789};
  const double native = DateTimeToNative(when);
  EXPECT_EQ(native, (static_cast<double>(when.Date) - 1) * 86400000.0 + 45296789);
  layout.SetFieldData(4, &native, rec.data(), true);
  TABSVariant v;
  layout.GetFieldValue(4, rec.data(), v);
  EXPECT_EQ(v.GetAsDateTime(), when);
  double native_back = 0;
  layout.GetFieldData(4, rec.data(), &native_back, true);
  EXPECT_EQ(native_back, native);
  EXPECT_EQ(NativeToDateTime(DateTimeToNative({1, 0})), (TABSDateTime{1, 0}));

  // Empty text is stored as NULL.
  layout.SetFieldData(5, "abc\0\0", rec.data());
  EXPECT_FALSE(layout.IsNull(5, rec.data()));
  layout.SetFieldData(5, "\0bc\0\0", rec.data());
  EXPECT_TRUE(layout.IsNull(5, rec.data()));
  const char16_t empty_wide[6] = {};
  layout.SetFieldData(6, empty_wide, rec.data());
  EXPECT_TRUE(layout.IsNull(6, rec.data()));
  EXPECT_FALSE(layout.GetFieldData(6, rec.data(), buffer));

  // BLOB fields answer true without copying once they are not NULL.
  layout.ClearNull(7, rec.data());
  uint8_t untouched[10] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
  EXPECT_TRUE(layout.GetFieldData(7, rec.data(), untouched));
  EXPECT_EQ(untouched[0], 9);

  const int32_t day = *EncodeDayNumber(2000, 2, 29);
  layout.SetFieldData(8, &day, rec.data());
  int32_t day_back = 0;
  layout.GetFieldData(8, rec.data(), &day_back);
  EXPECT_EQ(day_back, day);

  EXPECT_EQ(error_code([&] { layout.GetFieldData(9, rec.data(), buffer); }), 10000);
  EXPECT_EQ(error_code([&] { layout.SetFieldData(-1, buffer, rec.data()); }), 10004);
}

TEST(FieldManager, DefaultsApplyToNewRecords) {
  TABSFieldLayout name = field("Name", ctString, 10);
  name.DefaultValue.SetAsString("guest");
  TABSFieldLayout count = field("Count", ctInteger);
  count.DefaultValue.SetAsString("12");  // converted to the field's type
  TABSFieldLayout none = field("None", ctFloat);
  TABSBaseFieldManager manager(TABSRecordLayout({name, count, none}));
  const TABSRecordLayout& layout = manager.Layout();
  std::vector<uint8_t> rec(static_cast<size_t>(layout.MemoryRecordSize()));
  manager.NewRecord(nullptr, rec.data());
  TABSVariant v;
  layout.GetFieldValue(0, rec.data(), v);
  EXPECT_EQ(v.GetAsString(), "guest");
  layout.GetFieldValue(1, rec.data(), v);
  EXPECT_EQ(v.GetAsInteger(), 12);
  EXPECT_TRUE(layout.IsNull(2, rec.data()));
}

// A default expression counting its evaluations, standing in for what the expression
// engine builds for defaults such as NOW.
class CountingDefault : public TABSDefaultExpression {
 public:
  void Evaluate(TABSVariant& result) override { result.SetAsInteger(++calls_); }

 private:
  int calls_ = 0;
};

TEST(FieldManager, DefaultExpressionsAreEvaluatedForEachRecord) {
  SetDefaultExpressionBuilder([](const TABSVariant& text) -> std::shared_ptr<TABSDefaultExpression> {
    if (text.GetAsString() == "COUNTER()") return std::make_shared<CountingDefault>();
    return nullptr;
  });
  TABSFieldLayout f = field("Stamp", ctString, 10);
  f.DefaultValue.SetAsString("COUNTER()");
  BuildDefaultExpression(f);
  TABSFieldLayout word = field("Word", ctString, 10);
  word.DefaultValue.SetAsString("bare");
  BuildDefaultExpression(word);
  SetDefaultExpressionBuilder(nullptr);
  EXPECT_EQ(word.DefaultExpression, nullptr);

  TABSBaseFieldManager manager(TABSRecordLayout({f, word}));
  std::vector<uint8_t> rec(static_cast<size_t>(manager.Layout().MemoryRecordSize()));
  TABSVariant v;
  for (int n = 1; n <= 3; ++n) {
    manager.NewRecord(nullptr, rec.data());
    manager.Layout().GetFieldValue(0, rec.data(), v);
    EXPECT_EQ(v.GetAsString(), std::to_string(n));
    manager.Layout().GetFieldValue(1, rec.data(), v);
    EXPECT_EQ(v.GetAsString(), "bare");
  }
}

TEST(FieldManager, AutoincrementNumbering) {
  TABSFieldLayout id = field("Id", ctAutoincByte);
  id.ObjectID = 11;
  id.Increment = 0;  // counts by 1
  id.InitialValue = 5;
  TABSFieldLayout cyc = field("Cyc", ctAutoinc);
  cyc.ObjectID = 12;
  cyc.Increment = 10;
  cyc.MinValue = 3;
  cyc.MaxValue = 25;
  cyc.Cycled = true;
  TABSFieldLayout capped = field("Capped", ctAutoincLargeint);
  capped.MaxValue = 2;
  TABSFieldLayout plain = field("Plain", ctInteger);
  TABSBaseFieldManager manager(TABSRecordLayout({id, cyc, capped, plain}));
  EXPECT_EQ(manager.LastAutoinc(), (std::vector<int64_t>{5, 0, 0, 0}));

  TABSBaseSession session(0);
  EXPECT_EQ(error_code([&] { manager.GetLastAutoincValueInSession(&session, 0); }), 30012);
  const TABSRecordLayout& layout = manager.Layout();
  std::vector<uint8_t> rec(static_cast<size_t>(layout.MemoryRecordSize()));
  TABSVariant v;
  const int64_t want_cyc[] = {10, 20, 3, 13};
  for (int n = 0; n < 4; ++n) {
    layout.InitRecord(rec.data());
    layout.SetFieldValue(2, [] { TABSVariant x; x.SetAsLargeint(0); return x; }(), rec.data());
    manager.ApplyAutoincValues(&session, rec.data());
    layout.GetFieldValue(0, rec.data(), v);
    EXPECT_EQ(v.GetAsByte(), 6 + n);
    layout.GetFieldValue(1, rec.data(), v);
    EXPECT_EQ(v.GetAsInteger(), want_cyc[n]);
    EXPECT_TRUE(layout.IsNull(3, rec.data()));
  }
  EXPECT_EQ(manager.GetLastAutoincValueInSession(&session, 0), 9);
  EXPECT_EQ(manager.GetLastAutoincValueInSession(&session, 1), 13);

  // An explicit value above the counter moves it up; a lower one leaves it.
  TABSVariant zero;
  zero.SetAsLargeint(0);
  layout.InitRecord(rec.data());
  layout.SetFieldValue(2, zero, rec.data());
  TABSVariant explicit_value;
  explicit_value.SetAsByte(100);
  layout.SetFieldValue(0, explicit_value, rec.data());
  manager.ApplyAutoincValues(&session, rec.data());
  EXPECT_EQ(manager.LastAutoinc()[0], 100);
  EXPECT_EQ(manager.GetLastAutoincValueInSession(&session, 0), 100);
  explicit_value.SetAsByte(50);
  layout.InitRecord(rec.data());
  layout.SetFieldValue(2, zero, rec.data());
  layout.SetFieldValue(0, explicit_value, rec.data());
  manager.ApplyAutoincValues(&session, rec.data());
  EXPECT_EQ(manager.LastAutoinc()[0], 100);
  EXPECT_EQ(manager.GetNextAutoincValue(0), 101);

  // Past the maximum without cycling.
  EXPECT_EQ(manager.GetNextAutoincValue(2), 1);
  EXPECT_EQ(manager.GetNextAutoincValue(2), 2);
  try {
    manager.GetNextAutoincValue(2);
    FAIL();
  } catch (const VODIDivodavir& e) {
    EXPECT_STREQ(e.what(), "Autoinc max value exceeded for field 'Capped' - Native error: 20160");
  }
  EXPECT_EQ(error_code([&] { manager.GetNextAutoincValue(4); }), 30402);

  // The counters' stored form.
  const std::string block = manager.SaveAutoincCounters();
  EXPECT_EQ(block.size(), 4u + 4 * 8);
  TABSBaseFieldManager reloaded(TABSRecordLayout({id, cyc, capped, plain}));
  reloaded.LoadAutoincCounters(block);
  EXPECT_EQ(reloaded.LastAutoinc(), manager.LastAutoinc());
}

TEST(FieldManager, BlobFieldCheck) {
  TABSFieldLayout blob = field("Pic", ctGraphic);
  TABSFieldLayout zero = field("Notes", ctMemo);
  zero.BlobBlockSize = 0;
  EXPECT_FALSE(TABSBaseFieldManager(TABSRecordLayout({field("a", ctInteger)})).CheckBlobFields());
  EXPECT_TRUE(TABSBaseFieldManager(TABSRecordLayout({blob, zero})).CheckBlobFields());
  EXPECT_EQ(error_code([&] { TABSBaseFieldManager(TABSRecordLayout({zero, blob})).CheckBlobFields(); }), 10421);
}

}  // namespace
}  // namespace dadoveri
