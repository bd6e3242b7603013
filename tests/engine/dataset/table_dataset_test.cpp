// The table dataset on a database file and on the in-memory database: record changes and
// their round trips, wide strings and memo text, BLOB streams, record numbers, bookmarks,
// filters, Locate, and each operation in each wrong state.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "engine/database/disk_database_data.h"
#include "engine/database/local_cursor.h"
#include "engine/dataset/data_source.h"
#include "engine/dataset/blob_stream.h"
#include "tests/engine/dataset/table_dataset_fixture.h"

namespace dadoveri::testing {
namespace {

TEST_P(TableDataSetTest, AppendEditDeleteRoundTrip) {
  {
    auto t = OpenWords();
    EXPECT_EQ(t->RecordCount(), 0);
    EXPECT_TRUE(t->Bof() && t->Eof());
    AppendWords(*t, {"alpha", "beta", "gamma"});
    EXPECT_EQ(t->RecordCount(), 3);
    EXPECT_EQ(Words(*t), (std::vector<std::string>{"alpha", "beta", "gamma"}));
    t->First();
    t->Next();
    t->Edit();
    t->FieldByName("Word")->SetAsString("BETA");
    t->Post();
    EXPECT_EQ(t->FieldByName("Word")->AsString(), "BETA");
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 2);
    t->First();
    t->Delete();
    EXPECT_EQ(t->FieldByName("Word")->AsString(), "BETA");
    t->Close();
  }
  if (OnDisk()) {
    // Through a fresh connection to the file.
    db_->Disconnect();
    db_->Connect();
  }
  auto t = OpenWords();
  EXPECT_EQ(Words(*t), (std::vector<std::string>{"BETA", "gamma"}));
  EXPECT_EQ(t->RecordCount(), 2);
  // A cancelled edit and a cancelled insert leave the table as it was.
  t->First();
  t->Edit();
  t->FieldByName("Word")->SetAsString("changed");
  t->Cancel();
  t->Append();
  t->FieldByName("Word")->SetAsString("never");
  t->Cancel();
  EXPECT_EQ(Words(*t), (std::vector<std::string>{"BETA", "gamma"}));
}

TEST_P(TableDataSetTest, WideStringKeepsSizeMinusOneCharactersWhenTooLong) {
  auto t = OpenWords();
  struct Case {
    std::u16string written, stored;
  };
  const Case cases[] = {
      {u"", u""},
      {u"\u0633\u0644\u0627\u0645", u"\u0633\u0644\u0627\u0645"},
      {u"abcdefgh", u"abcdefgh"},     // exactly Size: whole
      {u"abcdefghi", u"abcdefg"},     // Size + 1: Size - 1 kept
      {u"abcdefghij", u"abcdefg"},    // ten into eight: seven
  };
  for (const Case& c : cases) {
    t->Append();
    t->FieldByName("Far")->SetAsWideString(c.written);
    t->Post();
    EXPECT_EQ(t->FieldByName("Far")->AsWideString(), c.stored) << std::string(c.written.begin(), c.written.end());
  }
  t->Close();
  t->Open();
  t->First();
  for (const Case& c : cases) {
    EXPECT_EQ(t->FieldByName("Far")->AsWideString(), c.stored);
    t->Next();
  }
}

TEST_P(TableDataSetTest, MemoWideMemoAndBlobValuesSurviveReopening) {
  const std::string memo(70000, 'm');  // larger than one BLOB block
  const std::u16string wide = u"\u0641\u0627\u0631\u0633\u06cc text";
  const std::string bytes("\0\1\2\3\xff", 5);
  {
    auto t = OpenWords();
    t->Append();
    t->FieldByName("Id")->SetAsInteger(1);
    t->FieldByName("Note")->SetAsString(memo);
    t->FieldByName("Wide")->SetAsWideString(wide);
    t->FieldByName("Data")->SetValue(bytes);
    t->Post();
    t->Append();
    t->FieldByName("Id")->SetAsInteger(2);
    t->Post();
    // Edited: one value changes, one is cleared.
    t->First();
    t->Edit();
    t->FieldByName("Note")->SetAsString("short");
    t->FieldByName("Data")->Clear();
    t->Post();
  }
  if (OnDisk()) {
    db_->Disconnect();
    db_->Connect();
  }
  auto t = OpenWords();
  t->First();
  EXPECT_EQ(t->FieldByName("Note")->AsString(), "short");
  EXPECT_EQ(t->FieldByName("Wide")->AsWideString(), wide);
  EXPECT_TRUE(t->FieldByName("Data")->IsNull());
  t->Next();
  EXPECT_TRUE(t->FieldByName("Note")->IsNull());
  EXPECT_TRUE(t->FieldByName("Wide")->IsNull());
}

TEST_P(TableDataSetTest, BlobStreamReadsWritesAndTruncates) {
  auto t = OpenWords();
  t->Append();
  t->FieldByName("Id")->SetAsInteger(1);
  {
    auto s = t->CreateBlobStream(*t->FieldByName("Note"), TBlobStreamMode::bmWrite);
    const std::string text = "hello, memo world";
    EXPECT_EQ(s->Write(text.data(), static_cast<int64_t>(text.size())), static_cast<int64_t>(text.size()));
    s->SetPosition(5);
    s->Truncate();
  }
  t->Post();
  EXPECT_EQ(t->FieldByName("Note")->AsString(), "hello");
  {
    auto s = t->CreateBlobStream(*t->FieldByName("Note"), TBlobStreamMode::bmRead);
    EXPECT_EQ(s->GetSize(), 5);
    char out[8] = {};
    EXPECT_EQ(s->Read(out, 8), 5);
    EXPECT_STREQ(out, "hello");
    // Writing to a stream opened for reading.
    EXPECT_EQ(CodeOf([&] { s->Write("x", 1); }), 10115);
    EXPECT_EQ(MessageOf([&] { s->Write("x", 1); }), "Cannot write to read only stream - Native error: 10115");
  }
  // Appending through a read-write stream in edit state.
  t->Edit();
  {
    auto s = t->CreateBlobStream(*t->FieldByName("Note"), TBlobStreamMode::bmReadWrite);
    s->Seek(0, TABSSeekOrigin::End);
    s->Write(" there", 6);
  }
  t->Post();
  t->Close();
  t->Open();
  EXPECT_EQ(t->FieldByName("Note")->AsString(), "hello there");
  // Writing needs edit or insert state; a read-only dataset refuses a writing stream.
  EXPECT_EQ(CodeOf([&] { t->CreateBlobStream(*t->FieldByName("Note"), TBlobStreamMode::bmWrite); }), 10111);
  auto ro = OpenWords(true);
  EXPECT_EQ(RaisedBy([&] { ro->CreateBlobStream(*ro->FieldByName("Note"), TBlobStreamMode::bmWrite); }).second,
            "Dataset is in read only mode - Native error: 10107");
}

TEST_P(TableDataSetTest, BlobFieldOpensOnceAtATime) {
  auto t = OpenWords();
  t->Append();
  auto* cursor = dynamic_cast<TABSLocalCursor*>(t->Cursor());
  ASSERT_NE(cursor, nullptr);
  const int32_t note = t->FieldByName("Note")->FieldNo - 1;
  cursor->OpenBlobStream(note, bomRead);
  EXPECT_EQ(MessageOf([&] { cursor->OpenBlobStream(note, bomRead); }),
            "BLOB field already opened. FieldNo = " + std::to_string(note) + ", FieldName = Note - Native error: 10115");
  cursor->CloseBlobStream(note);
  EXPECT_EQ(CodeOf([&] { cursor->OpenBlobStream(99, bomRead); }), 10118);
  t->Cancel();
}

TEST_P(TableDataSetTest, RecordNumbersBookmarksAndReadingRowsAside) {
  auto t = OpenWords();
  AppendWords(*t, {"a", "b", "c", "d", "e"});
  t->First();
  EXPECT_EQ(t->RecNo(), 1);
  t->SetRecNo(4);
  EXPECT_EQ(t->FieldByName("Word")->AsString(), "d");
  EXPECT_EQ(t->RecNo(), 4);
  const TBookmark at_d = t->GetBookmark();
  EXPECT_EQ(at_d.size(), 7u);
  // Row 2 read aside: the current record stays d.
  std::vector<TFieldValue> values;
  ASSERT_TRUE(t->ReadRecordValues(2, values));
  EXPECT_EQ(std::get<std::string>(values[1]), "b");
  EXPECT_FALSE(t->ReadRecordValues(6, values));
  EXPECT_EQ(t->FieldByName("Word")->AsString(), "d");
  t->Next();
  EXPECT_EQ(t->FieldByName("Word")->AsString(), "e");
  t->First();
  EXPECT_EQ(t->MoveBy(2), 2);
  const TBookmark at_c = t->GetBookmark();
  EXPECT_EQ(t->CompareBookmarks(at_c, at_d), -1);
  EXPECT_EQ(t->CompareBookmarks(at_d, at_c), 1);
  EXPECT_EQ(t->CompareBookmarks(at_d, at_d), 0);
  t->GotoBookmark(at_d);
  EXPECT_EQ(t->FieldByName("Word")->AsString(), "d");
  EXPECT_TRUE(t->BookmarkValid(at_c));
  t->GotoBookmark(at_c);
  t->Delete();
  EXPECT_FALSE(t->BookmarkValid(at_c));
  t->Last();
  EXPECT_EQ(t->RecNo(), 4);
  EXPECT_EQ(t->MoveBy(-10), -3);
  EXPECT_TRUE(t->Bof());
}

TEST_P(TableDataSetTest, FilterAndLocate) {
  auto t = OpenWords();
  AppendWords(*t, {"abandon", "Abc", "abc", "abd", "xyz", "ab"});
  t->SetFilter("Word = 'ab*'");
  EXPECT_EQ(t->RecordCount(), 6);  // not applied while Filtered is off
  t->SetFiltered(true);
  EXPECT_EQ(Words(*t), (std::vector<std::string>{"abandon", "abc", "abd", "ab"}));
  EXPECT_EQ(t->RecordCount(), 4);
  t->SetRecNo(3);
  EXPECT_EQ(t->FieldByName("Word")->AsString(), "abd");
  // Setting Filtered again still goes to the first record.
  t->SetFiltered(true);
  EXPECT_EQ(t->RecNo(), 1);
  t->SetFilterOptions({.foCaseInsensitive = true});
  EXPECT_EQ(t->RecordCount(), 5);
  t->SetFiltered(false);
  EXPECT_EQ(t->RecordCount(), 6);
  EXPECT_EQ(t->FieldByName("Word")->AsString(), "abandon");
  // The filter search runs with the filter even when Filtered is off.
  t->SetFilterOptions({});
  t->SetFilter("Word = 'x*'");
  EXPECT_TRUE(t->FindFirst());
  EXPECT_EQ(t->FieldByName("Word")->AsString(), "xyz");
  EXPECT_FALSE(t->FindNext());
  EXPECT_EQ(t->RecordCount(), 6);
  // OnFilterRecord after the expression.
  t->SetFilter("");
  t->SetOnFilterRecord([](TDataSet& d, bool& accept) { accept = d.FieldByName("Id")->AsInteger() % 2 == 0; });
  t->SetFiltered(true);
  EXPECT_EQ(Words(*t), (std::vector<std::string>{"Abc", "abd", "ab"}));
  t->SetFiltered(false);
  // Locate: exact, partial, case-insensitive.
  const TFieldValue abc[] = {std::string("ABC")};
  EXPECT_FALSE(t->Locate("Word", abc, {}));
  EXPECT_TRUE(t->Locate("Word", abc, {.loCaseInsensitive = true}));
  EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 2);
  const TFieldValue xy[] = {std::string("xy")};
  EXPECT_TRUE(t->Locate("Word", xy, {.loPartialKey = true}));
  EXPECT_EQ(t->FieldByName("Word")->AsString(), "xyz");
  const auto found = t->Lookup("Id", std::vector<TFieldValue>{int64_t{4}}, "Word");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(std::get<std::string>(found[0]), "abd");
  EXPECT_EQ(t->FieldByName("Word")->AsString(), "xyz");
}

TEST_P(TableDataSetTest, ReapplyingAnUnchangedFilterKeepsItsBitmap) {
  auto t = OpenWords();
  AppendWords(*t, {"ab", "abc", "x"});
  t->SetFilter("Word = 'ab*'");
  t->SetFiltered(true);
  EXPECT_EQ(t->RecordCount(), 2);
  TABSCursor& c = *t->Cursor();
  ASSERT_TRUE(c.Bitmap.Built);
  const TABSCursorFilter* compiled = c.Filter.get();
  t->SetFilter("Word = 'ab*'");
  t->SetFiltered(true);
  EXPECT_EQ(c.Filter.get(), compiled);
  EXPECT_TRUE(c.Bitmap.Built);
  // A change of the table or of the text rebuilds it.
  t->Append();
  t->FieldByName("Word")->SetAsString("abd");
  t->Post();
  EXPECT_EQ(t->RecordCount(), 3);
  t->SetFilter("Word = 'abc*'");
  EXPECT_NE(c.Filter.get(), compiled);
  EXPECT_EQ(t->RecordCount(), 1);
}

TEST_P(TableDataSetTest, WideLocateIsPartial) {
  auto t = OpenWords();
  t->Append();
  t->FieldByName("Far")->SetAsWideString(u"\u06a9\u062a\u0627\u0628");
  t->Post();
  const TFieldValue prefix[] = {std::u16string(u"\u06a9\u062a")};
  t->First();
  EXPECT_TRUE(t->Locate("Far", prefix, {.loPartialKey = true}));
  EXPECT_FALSE(t->Locate("Far", prefix, {}));
}

INSTANTIATE_TEST_SUITE_P(DiskAndMemory, TableDataSetTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Disk" : "Memory"; });


// In a file shared with other processes every read takes the table's read lock unless a
// read scope holds it: each filling of the ring (opening, First, Last, a move that turns
// the ring, a refresh, a filter's first rows) takes it once, not once per row; so does a
// grid's read of one row by its number.
TEST(TableDataSetReadLocks, OneReadLockPerBufferFill) {
  TempFolder folder;
  TABSDatabase db;
  db.SetDatabaseName("shared_db");
  db.SetDatabaseFileName(folder.File("shared.abs"));
  db.SilentMode = true;
  db.MultiUser = true;
  db.CreateDatabase();
  db.Connect();
  {
    TABSTable maker;
    maker.SetDatabaseName("shared_db");
    maker.SetTableName("rows");
    AddField(maker.TableFieldDefs, "Id", ctInteger);
    AddField(maker.TableFieldDefs, "Word", ctString, 30);
    maker.CreateTable();
  }
  constexpr int kRows = 40;
  constexpr int kWindow = 10;
  TABSTable t;
  t.SetDatabaseName("shared_db");
  t.SetTableName("rows");
  t.Open();
  for (int i = 1; i <= kRows; ++i) {
    t.Append();
    t.FieldByName("Id")->SetAsInteger(i);
    t.FieldByName("Word")->SetAsString((i % 2 ? "odd" : "even") + std::to_string(i));
    t.Post();
  }
  t.Close();
  TDataSource source;
  source.SetDataSet(&t);
  TDataLink link;
  link.SetDataSource(&source);
  link.SetBufferCount(kWindow);
  int64_t before = 0;
  TABSDatabaseTableLockManager* locks = nullptr;
  auto taken = [&] { return locks->LocksTaken(ltRead) - before; };
  t.Open();
  locks = &dynamic_cast<TABSDiskDatabaseData&>(*t.Cursor()->Database()).LockManager();
  EXPECT_EQ(link.RecordCount(), kWindow);
  struct Case {
    const char* what;
    std::function<void()> fill;
    int64_t id;  // the current row's Id afterwards
  };
  const Case cases[] = {
      {"First", [&] { t.First(); }, 1},
      {"Last", [&] { t.Last(); }, kRows},
      {"a move that turns the ring by several rows", [&] {
         t.First();
         before = locks->LocksTaken(ltRead);
         t.MoveBy(25);
       }, 26},
      {"a move back", [&] {
         t.Last();
         before = locks->LocksTaken(ltRead);
         t.MoveBy(-25);
       }, kRows - 25},
      {"Refresh", [&] { t.Refresh(); }, kRows - 25},
      {"a filter's first rows", [&] {
         t.SetFilterText(u"Word = 'odd*'");
         t.SetFiltered(true);
       }, 1},
      {"a grid row read by its number", [&] {
         std::vector<TFieldValue> values;
         ASSERT_TRUE(t.ReadRecordValues(7, values));
         EXPECT_EQ(std::get<int64_t>(values.at(0)), 13);
       }, 1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    before = locks->LocksTaken(ltRead);
    k.fill();
    EXPECT_EQ(taken(), 1);
    EXPECT_EQ(t.FieldByName("Id")->AsInteger(), k.id);
    EXPECT_EQ(link.RecordCount(), kWindow);
  }
  t.Close();
  db.Disconnect();
}

}  // namespace
}  // namespace dadoveri::testing
