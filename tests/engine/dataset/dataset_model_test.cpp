// The dataset model over a dataset of rows in memory: the ring of record buffers against a
// plain index model, the notifications data links and data sources receive, the changes
// with their events, and the errors of operations in the wrong state.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/dataset/data_source.h"
#include "engine/dataset/database_error.h"
#include "tests/engine/dataset/rows_dataset.h"

namespace dadoveri::testing {
namespace {

std::unique_ptr<RowsDataSet> numbers(int n) {
  auto ds = std::make_unique<RowsDataSet>(
      std::vector<RowsDataSet::Column>{{"N", ftInteger}, {"Word", ftString, 20}, {"Wide", ftWideString, 8}});
  ds->SetName("Numbers");
  for (int i = 1; i <= n; ++i) ds->AddRow({int64_t{i}, "w" + std::to_string(i), std::monostate{}});
  return ds;
}

// A data link that records what it hears and shows BufferCount rows.
class RecordingLink : public TDataLink {
 public:
  std::vector<std::string> Heard;
  std::function<void()> OnUpdateData;
  // The N values of the rows of the link's window.
  std::vector<int64_t> Window() {
    std::vector<int64_t> out;
    TDataSet* ds = DataSet();
    const int32_t saved = ActiveRecord();
    for (int32_t i = 0; i < RecordCount(); ++i) {
      SetActiveRecord(i);
      out.push_back(ds->FieldByName("N")->AsInteger());
    }
    SetActiveRecord(saved);
    return out;
  }

 protected:
  void ActiveChanged() override { Heard.push_back(Active() ? "active" : "inactive"); }
  void EditingChanged() override { Heard.push_back(Editing() ? "editing" : "not editing"); }
  void RecordChanged(TField* f) override { Heard.push_back(f ? "record " + f->FieldName : "record"); }
  void DataSetChanged() override { Heard.push_back("dataset"); }
  void DataSetScrolled(int32_t d) override { Heard.push_back("scrolled " + std::to_string(d)); }
  void LayoutChanged() override { Heard.push_back("layout"); }
  void UpdateData() override {
    Heard.push_back("update");
    if (OnUpdateData) OnUpdateData();
  }
  void CheckBrowseMode() override { Heard.push_back("check"); }
};

template <typename Fn>
std::pair<int32_t, std::string> DatabaseErrorOf(Fn&& fn) {
  try {
    fn();
  } catch (const EDatabaseError& e) {
    return {e.Code, e.what()};
  }
  return {0, "<nothing raised>"};
}

// The current record, Bof, Eof and the link's window follow a plain model of an index
// into the rows through random moves, for rings of several sizes.
TEST(DataSetRing, NavigationFollowsPlainModel) {
  std::mt19937 random(7);
  for (int rows : {0, 1, 2, 5, 13}) {
    for (int buffers : {1, 2, 3, 4, 7, 20}) {
      SCOPED_TRACE("rows " + std::to_string(rows) + ", buffers " + std::to_string(buffers));
      auto ds = numbers(rows);
      TDataSource source;
      source.SetDataSet(ds.get());
      RecordingLink link;
      link.SetDataSource(&source);
      link.SetBufferCount(buffers);
      ds->Open();
      int model = 0;  // index of the current row
      for (int step = 0; step < 200; ++step) {
        const int op = static_cast<int>(random() % 6);
        int moved = 0;
        bool bof = false, eof = false;
        if (op == 0) {
          ds->First();
          model = 0;
          bof = true;
          eof = rows == 0;
        } else if (op == 1) {
          ds->Last();
          model = std::max(rows - 1, 0);
          eof = true;
          bof = rows == 0;
        } else {
          const int by = static_cast<int>(random() % 11) - 5;
          const bool was_bof = ds->Bof(), was_eof = ds->Eof();
          moved = ds->MoveBy(by);
          int target = model + by;
          if ((by > 0 && was_eof) || (by < 0 && was_bof)) target = model;
          const int clamped = std::clamp(target, 0, std::max(rows - 1, 0));
          EXPECT_EQ(moved, (by > 0 && was_eof) || (by < 0 && was_bof) ? 0 : clamped - model);
          bof = by < 0 ? (was_bof || target < 0) : (by == 0 ? was_bof : false);
          eof = by > 0 ? (was_eof || target > rows - 1) : (by == 0 ? was_eof : false);
          if (rows == 0) bof = eof = true;
          model = clamped;
        }
        ASSERT_EQ(ds->Bof(), bof) << "step " << step << " op " << op;
        ASSERT_EQ(ds->Eof(), eof) << "step " << step << " op " << op;
        if (rows == 0) {
          EXPECT_TRUE(ds->IsEmpty());
          EXPECT_TRUE(ds->FieldByName("N")->IsNull());
          continue;
        }
        ASSERT_EQ(ds->FieldByName("N")->AsInteger(), model + 1) << "step " << step;
        // The window holds consecutive rows and shows the current one.
        const std::vector<int64_t> window = link.Window();
        ASSERT_FALSE(window.empty());
        ASSERT_LE(static_cast<int>(window.size()), buffers);
        EXPECT_EQ(static_cast<int>(window.size()), std::min(buffers, rows));
        for (size_t i = 1; i < window.size(); ++i) EXPECT_EQ(window[i], window[i - 1] + 1);
        EXPECT_EQ(window[static_cast<size_t>(link.ActiveRecord())], model + 1);
      }
    }
  }
}

// Changes keep the ring in step with the rows: inserting, appending, editing and deleting
// at various places in rings of several sizes.
TEST(DataSetRing, ChangesKeepRingInStep) {
  for (int buffers : {1, 3, 6}) {
    SCOPED_TRACE("buffers " + std::to_string(buffers));
    auto ds = numbers(6);
    TDataSource source;
    source.SetDataSet(ds.get());
    RecordingLink link;
    link.SetDataSource(&source);
    link.SetBufferCount(buffers);
    ds->Open();
    ds->MoveBy(2);  // on 3
    ds->Insert();
    ds->FieldByName("N")->SetAsInteger(100);
    ds->Post();
    EXPECT_EQ(ds->FieldByName("N")->AsInteger(), 100);
    EXPECT_EQ(ds->Rows()[2].Values[0], TFieldValue(int64_t{100}));
    ds->Append();
    EXPECT_TRUE(ds->Eof());
    ds->FieldByName("N")->SetAsString("200");
    ds->Post();
    EXPECT_EQ(ds->FieldByName("N")->AsInteger(), 200);
    EXPECT_EQ(ds->Rows().back().Values[0], TFieldValue(int64_t{200}));
    ds->First();
    ds->Edit();
    ds->FieldByName("Word")->SetAsString("changed");
    ds->Post();
    EXPECT_EQ(ds->Rows()[0].Values[1], TFieldValue(std::string("changed")));
    ds->Next();
    ds->Delete();  // row 2 goes; the current one is the next
    EXPECT_EQ(ds->FieldByName("N")->AsInteger(), 100);
    EXPECT_EQ(ds->Rows().size(), 7u);
    // Cancelling an insert leaves rows and current record as they were.
    ds->Insert();
    ds->FieldByName("N")->SetAsInteger(300);
    ds->Cancel();
    EXPECT_EQ(ds->FieldByName("N")->AsInteger(), 100);
    EXPECT_EQ(ds->Rows().size(), 7u);
    // Walking the whole table sees every row once, in order.
    std::vector<int64_t> seen;
    for (ds->First(); !ds->Eof(); ds->Next()) seen.push_back(ds->FieldByName("N")->AsInteger());
    EXPECT_EQ(seen, (std::vector<int64_t>{1, 100, 3, 4, 5, 6, 200}));
    const std::vector<int64_t> window = link.Window();
    EXPECT_EQ(window.back(), 200);
  }
}

TEST(DataSetEvents, OperationsFireTheirEventsInOrder) {
  auto ds = numbers(3);
  std::vector<std::string> log;
  auto note = [&log](const char* what) { return [&log, what](TDataSet&) { log.push_back(what); }; };
  ds->BeforeOpen = note("BeforeOpen");
  ds->AfterOpen = note("AfterOpen");
  ds->BeforeScroll = note("BeforeScroll");
  ds->AfterScroll = note("AfterScroll");
  ds->BeforeEdit = note("BeforeEdit");
  ds->AfterEdit = note("AfterEdit");
  ds->BeforePost = note("BeforePost");
  ds->AfterPost = note("AfterPost");
  ds->BeforeInsert = note("BeforeInsert");
  ds->OnNewRecord = [&log](TDataSet& d) {
    log.push_back("OnNewRecord");
    d.FieldByName("Word")->SetAsString("fresh");
  };
  ds->AfterInsert = note("AfterInsert");
  ds->BeforeCancel = note("BeforeCancel");
  ds->AfterCancel = note("AfterCancel");
  ds->BeforeDelete = note("BeforeDelete");
  ds->AfterDelete = note("AfterDelete");
  ds->BeforeClose = note("BeforeClose");
  ds->AfterClose = note("AfterClose");
  ds->Open();
  ds->Next();
  ds->Edit();
  ds->Post();
  ds->Insert();
  EXPECT_EQ(ds->FieldByName("Word")->AsString(), "fresh");
  EXPECT_FALSE(ds->Modified());
  ds->Cancel();
  ds->Delete();
  ds->Close();
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeOpen", "AfterOpen", "AfterScroll", "BeforeScroll", "AfterScroll",
                                           "BeforeEdit", "AfterEdit", "BeforePost", "AfterPost", "BeforeInsert",
                                           "BeforeScroll", "OnNewRecord", "AfterInsert", "AfterScroll",
                                           "BeforeCancel", "AfterCancel", "BeforeDelete", "BeforeScroll",
                                           "AfterDelete", "AfterScroll", "BeforeClose", "AfterClose"}));
}

TEST(DataSetEvents, PostErrorEventMayRetryOrAbort) {
  auto ds = numbers(1);
  ds->Open();
  int calls = 0;
  ds->OnPostError = [&](TDataSet& d, const std::exception&, TDataAction& action) {
    ++calls;
    static_cast<RowsDataSet&>(d).RefusePost = false;
    action = TDataAction::daRetry;
  };
  ds->RefusePost = true;
  ds->Edit();
  ds->FieldByName("N")->SetAsInteger(9);
  ds->Post();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(ds->State(), TDataSetState::dsBrowse);
  ds->OnPostError = [](TDataSet&, const std::exception&, TDataAction& action) { action = TDataAction::daAbort; };
  ds->RefusePost = true;
  ds->Edit();
  ds->FieldByName("N")->SetAsInteger(10);
  EXPECT_THROW(ds->Post(), EAbort);
  // A failed post leaves the dataset editing so that the caller can cancel.
  EXPECT_EQ(ds->State(), TDataSetState::dsEdit);
  ds->Cancel();
  EXPECT_EQ(ds->FieldByName("N")->AsInteger(), 9);
}

// Each operation in a state that does not allow it: its message (prefixed by the
// dataset's name) and code.
TEST(DataSetErrors, WrongStatesGiveTheirMessages) {
  struct Case {
    const char* what;
    std::function<void(RowsDataSet&)> action;
    int32_t code;
    const char* message;
  };
  const Case cases[] = {
      {"next on a closed dataset", [](RowsDataSet& d) { d.Next(); }, kMsgDataSetClosed,
       "Numbers: Cannot perform this operation on a closed dataset"},
      {"edit on a closed dataset", [](RowsDataSet& d) { d.Edit(); }, kMsgDataSetClosed,
       "Numbers: Cannot perform this operation on a closed dataset"},
      {"delete on a closed dataset", [](RowsDataSet& d) { d.Delete(); }, kMsgDataSetClosed,
       "Numbers: Cannot perform this operation on a closed dataset"},
      {"write in browse state", [](RowsDataSet& d) { d.Open(); d.FieldByName("N")->SetAsInteger(1); },
       kMsgNotEditing, "Numbers: Dataset not in edit or insert mode"},
      {"post in browse state", [](RowsDataSet& d) { d.Open(); d.Post(); }, kMsgNotEditing,
       "Numbers: Dataset not in edit or insert mode"},
      {"edit a read-only dataset", [](RowsDataSet& d) { d.ReadOnlyRows = true; d.Open(); d.Edit(); },
       kMsgDataSetReadOnly, "Numbers: Cannot modify a read-only dataset"},
      {"insert into a read-only dataset", [](RowsDataSet& d) { d.ReadOnlyRows = true; d.Open(); d.Insert(); },
       kMsgDataSetReadOnly, "Numbers: Cannot modify a read-only dataset"},
      {"delete from an empty dataset", [](RowsDataSet& d) { d.Rows().clear(); d.Open(); d.Delete(); },
       kMsgDataSetEmpty, "Numbers: Cannot perform this operation on an empty dataset"},
      {"unknown field", [](RowsDataSet& d) { d.Open(); d.FieldByName("nope"); }, kMsgFieldNotFound,
       "Numbers: Field 'nope' not found"},
      {"text into an integer field",
       [](RowsDataSet& d) { d.Open(); d.Edit(); d.FieldByName("N")->SetAsString("12x"); },
       kMsgInvalidIntegerValue, "'12x' is not a valid integer value"},
      {"read-only field", [](RowsDataSet& d) { d.Open(); d.Edit(); d.FieldByName("N")->ReadOnly = true;
                                                d.FieldByName("N")->SetAsInteger(3); },
       kMsgFieldReadOnly, "Numbers: Field 'N' cannot be modified"},
      {"required field left empty",
       [](RowsDataSet& d) { d.Open(); d.FieldByName("Word")->Required = true; d.Append(); d.Post(); },
       kMsgFieldRequired, "Numbers: Field 'Word' must have a value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto ds = numbers(3);
    const auto [code, message] = DatabaseErrorOf([&] { c.action(*ds); });
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(message, c.message);
  }
}

TEST(DataLinks, HearEveryNotification) {
  auto ds = numbers(5);
  TDataSource source;
  std::vector<std::string> source_log;
  source.OnStateChange = [&](TDataSource& s) { source_log.push_back("state " + std::to_string(static_cast<int>(s.State()))); };
  source.OnDataChange = [&](TDataSource&, TField* f) { source_log.push_back(f ? "data " + f->FieldName : "data"); };
  source.OnUpdateData = [&](TDataSource&) { source_log.push_back("update"); };
  source.SetDataSet(ds.get());
  RecordingLink link;
  link.SetDataSource(&source);
  link.SetBufferCount(2);
  ds->Open();
  EXPECT_EQ(link.Heard, (std::vector<std::string>{"active", "dataset"}));
  link.Heard.clear();
  ds->Next();
  ds->Next();  // the ring of two turns
  EXPECT_EQ(link.Heard, (std::vector<std::string>{"check", "scrolled 0", "check", "scrolled 1"}));
  link.Heard.clear();
  // A link's edit starts editing through the source (AutoEdit).
  EXPECT_TRUE(link.Edit());
  ds->FieldByName("Word")->SetAsString("x");
  link.OnUpdateData = [&] { ds->FieldByName("N")->SetAsInteger(42); };
  ds->Post();
  // The link that writes its pending change does not hear of that change.
  EXPECT_EQ(link.Heard, (std::vector<std::string>{"check", "editing", "record", "record Word", "update", "check",
                                                  "not editing", "dataset"}));
  EXPECT_EQ(ds->Rows()[2].Values[0], TFieldValue(int64_t{42}));
  link.Heard.clear();
  // Disabled controls hear nothing until enabled, then one dataset change.
  ds->DisableControls();
  ds->Next();
  ds->Prior();
  ds->Last();
  EXPECT_TRUE(link.Heard.empty());
  ds->EnableControls();
  EXPECT_EQ(link.Heard, (std::vector<std::string>{"dataset"}));
  link.Heard.clear();
  // A disabled source silences its links; closing makes them inactive.
  source.AutoEdit = false;
  EXPECT_FALSE(link.Edit());
  ds->Close();
  EXPECT_EQ(link.Heard, (std::vector<std::string>{"inactive"}));
  EXPECT_EQ(source.State(), TDataSetState::dsInactive);
  EXPECT_NE(std::find(source_log.begin(), source_log.end(), "update"), source_log.end());
  EXPECT_NE(std::find(source_log.begin(), source_log.end(), "data Word"), source_log.end());
}

TEST(DataLinks, FreedDataSetLeavesSourceInactive) {
  TDataSource source;
  RecordingLink link;
  link.SetDataSource(&source);
  {
    auto ds = numbers(2);
    source.SetDataSet(ds.get());
    ds->Open();
    EXPECT_TRUE(link.Active());
  }
  EXPECT_EQ(source.DataSet(), nullptr);
  EXPECT_FALSE(link.Active());
}

TEST(DataSetFields, CalculatedFieldsAndRecordFilter) {
  auto ds = numbers(6);
  auto* twice = new TField(ds.get());
  twice->SetName("NumbersTwice");
  twice->FieldName = "Twice";
  twice->DataType = ftInteger;
  twice->FieldKind = TFieldKind::fkCalculated;
  twice->SetDataSet(ds.get());
  ds->OnCalcFields = [](TDataSet& d) {
    d.FieldByName("Twice")->SetAsInteger(d.FieldByName("N")->AsInteger() * 2);
  };
  ds->SetOnFilterRecord([](TDataSet& d, bool& accept) { accept = d.FieldByName("N")->AsInteger() % 2 == 0; });
  ds->SetFiltered(true);
  ds->Open();
  std::vector<int64_t> seen;
  for (; !ds->Eof(); ds->Next()) seen.push_back(ds->FieldByName("Twice")->AsInteger());
  EXPECT_EQ(seen, (std::vector<int64_t>{4, 8, 12}));
  EXPECT_EQ(ds->RecordCount(), 3);
  // A calculated field is recomputed when a data field changes.
  ds->First();
  ds->Edit();
  ds->FieldByName("N")->SetAsInteger(10);
  EXPECT_EQ(ds->FieldByName("Twice")->AsInteger(), 20);
  ds->Cancel();
  // The persistent field stays with the dataset over a close; the default ones go.
  ds->Close();
  EXPECT_EQ(ds->FieldCount(), 1);
  ds->Open();
  EXPECT_EQ(ds->FieldCount(), 4);
}

TEST(DataSetFields, ConversionsAndNativeDateTimes) {
  auto ds = std::make_unique<RowsDataSet>(std::vector<RowsDataSet::Column>{
      {"D", ftDate}, {"T", ftTime}, {"DT", ftDateTime}, {"F", ftFloat}, {"B", ftBoolean}, {"W", ftWideString, 8}});
  ds->AddRow({std::monostate{}, std::monostate{}, std::monostate{}, std::monostate{}, std::monostate{}, std::monostate{}});
  ds->Open();
  ds->Edit();
  // 2000-01-01 12:00 is TDateTime 36526.5; its native forms are a day number, milliseconds.
  ds->FieldByName("D")->SetAsDateTime(36526.5);
  ds->FieldByName("T")->SetAsDateTime(36526.5);
  ds->FieldByName("DT")->SetAsDateTime(36526.5);
  EXPECT_EQ(ds->FieldByName("D")->Value(), TFieldValue(int64_t{36526 + kDateDelta}));
  EXPECT_EQ(ds->FieldByName("T")->Value(), TFieldValue(int64_t{43200000}));
  EXPECT_DOUBLE_EQ(ds->FieldByName("DT")->AsDateTime(), 36526.5);
  EXPECT_DOUBLE_EQ(ds->FieldByName("D")->AsDateTime(), 36526.0);
  ds->FieldByName("F")->SetAsString("2.5");
  EXPECT_DOUBLE_EQ(ds->FieldByName("F")->AsFloat(), 2.5);
  EXPECT_EQ(ds->FieldByName("F")->AsInteger(), 3);
  ds->FieldByName("B")->SetAsString("true");
  EXPECT_TRUE(ds->FieldByName("B")->AsBoolean());
  EXPECT_EQ(ds->FieldByName("B")->AsString(), "True");
  ds->FieldByName("W")->SetAsWideString(u"\u06A9\u062A\u0627\u0628");
  EXPECT_EQ(ds->FieldByName("W")->AsWideString(), u"\u06A9\u062A\u0627\u0628");
  ds->FieldByName("W")->SetAsWideString(u"");
  EXPECT_TRUE(ds->FieldByName("W")->IsNull());
  ds->FieldByName("F")->Clear();
  EXPECT_TRUE(ds->FieldByName("F")->IsNull());
  EXPECT_EQ(ds->FieldByName("F")->AsString(), "");
  ds->Post();
}

TEST(DataSetSearch, LocateLookupAndBookmarks) {
  auto ds = numbers(8);
  ds->Open();
  const TFieldValue key[] = {std::string("W5")};
  EXPECT_FALSE(ds->Locate("Word", key, {}));
  EXPECT_EQ(ds->FieldByName("N")->AsInteger(), 1);  // stays where it was
  EXPECT_TRUE(ds->Locate("Word", key, {.loCaseInsensitive = true}));
  EXPECT_EQ(ds->FieldByName("N")->AsInteger(), 5);
  const TBookmark mark = ds->GetBookmark();
  const TFieldValue partial[] = {std::string("w7")};
  const std::vector<TFieldValue> found = ds->Lookup("Word", partial, "N;Word");
  EXPECT_EQ(found, (std::vector<TFieldValue>{int64_t{7}, std::string("w7")}));
  EXPECT_EQ(ds->FieldByName("N")->AsInteger(), 5);
  ds->Last();
  ds->GotoBookmark(mark);
  EXPECT_EQ(ds->FieldByName("N")->AsInteger(), 5);
  ds->Next();
  EXPECT_EQ(ds->FieldByName("N")->AsInteger(), 6);
  const TFieldValue two[] = {int64_t{3}, std::string("w3")};
  EXPECT_TRUE(ds->Locate("N;Word", two, {}));
  EXPECT_EQ(ds->FieldByName("N")->AsInteger(), 3);
}

TEST(Components, OwnerFreesWhatItOwnsAndReferencesAreDropped) {
  auto owner = std::make_unique<TComponent>();
  auto* ds = new RowsDataSet({{"N", ftInteger}}, owner.get());
  ds->SetName("Rows1");
  auto* source = new TDataSource(owner.get());
  source->SetDataSet(ds);
  EXPECT_EQ(owner->ComponentCount(), 2);
  EXPECT_EQ(owner->FindComponent("rows1"), ds);
  delete ds;  // the source hears of it
  EXPECT_EQ(source->DataSet(), nullptr);
  EXPECT_EQ(owner->ComponentCount(), 1);
  owner.reset();  // frees the source; ASan reports any leak or double free
}

}  // namespace
}  // namespace dadoveri::testing
