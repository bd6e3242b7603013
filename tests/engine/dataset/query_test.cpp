// The query dataset: the parameter scan, statement changes, preparing, live and read-only
// results, statements without a result, and the master link.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/utf8.h"
#include "engine/dataset/data_source.h"
#include "engine/dataset/database.h"
#include "engine/dataset/query.h"
#include "engine/dataset/table.h"
#include "tests/engine/dataset/table_dataset_fixture.h"
#include "tests/engine/test_support.h"

namespace dadoveri::testing {
namespace {

// Persian words of the fixture: salam, soltan (sharing the prefix "sal"/"sol" letters
// seen-lam), baba.
const std::u16string kSalam = u"\u0633\u0644\u0627\u0645";
const std::u16string kSoltan = u"\u0633\u0644\u0637\u0627\u0646";
const std::u16string kBaba = u"\u0628\u0627\u0628\u0627";
const std::u16string kSeenLamPrefix = u"\u0633\u0644%";

std::vector<std::string> ParamNames(const TABSQuery& q) {
  std::vector<std::string> names;
  for (int32_t i = 0; i < q.Params().Count(); ++i) names.push_back(q.Params().Items(i).Name);
  return names;
}

// ---- the parameter scan ----

struct ScanCase {
  std::u16string text;
  std::vector<std::string> names;
  std::u16string placeholder_text;
};

TEST(QueryParamScan, NamesAndPlaceholderText) {
  const std::vector<ScanCase> cases = {
      {u"SELECT *   FROM per2en WHERE per LIKE :Name", {"Name"}, u"SELECT *   FROM per2en WHERE per LIKE ?"},
      // Two colons are one literal colon.
      {u"SELECT a::b FROM t", {}, u"SELECT a:b FROM t"},
      // Colons inside any of the three quote characters are text.
      {u"WHERE x = ':no' AND y = :yes", {"yes"}, u"WHERE x = ':no' AND y = ?"},
      {u"WHERE \"a:b\" = :v", {"v"}, u"WHERE \"a:b\" = ?"},
      {u"WHERE `t:x` = :v", {"v"}, u"WHERE `t:x` = ?"},
      // A double-quoted colon inside a single-quoted text does not end the literal.
      {u"SELECT 'a\":\"b', :p", {"p"}, u"SELECT 'a\":\"b', ?"},
      // Every delimiter ends a name.
      {u":a,:b;:c)\r\n:d :e\r:f", {"a", "b", "c", "d", "e", "f"}, u"?,?;?)\r\n? ?\r?"},
      // Repeated names give repeated entries.
      {u"WHERE a = :x OR b = :X", {"x", "X"}, u"WHERE a = ? OR b = ?"},
      // A name in quotes loses them and keeps its delimiters.
      {u"WHERE a = :\"my name\" AND b = :'c,d'", {"my name", "c,d"}, u"WHERE a = ? AND b = ?"},
      // Quotes later in a name stay, and keep what they enclose in the name.
      {u"WHERE a = :x\"y z\"w", {"x\"y z\"w"}, u"WHERE a = ?"},
      // A question mark already in the text stays; only named parameters are listed.
      {u"WHERE a = ? AND b = :b", {"b"}, u"WHERE a = ? AND b = ?"},
      // A colon with no name after it names nothing.
      {u"SELECT a : b FROM t:", {}, u"SELECT a : b FROM t:"},
      // Non-ASCII names.
      {u"WHERE per = :\u0648\u0627\u0698\u0647", {Utf16ToUtf8(u"\u0648\u0627\u0698\u0647")}, u"WHERE per = ?"},
  };
  for (const ScanCase& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.text));
    TABSQuery q;
    q.SetSQL({c.text});
    EXPECT_EQ(ParamNames(q), c.names);
    EXPECT_EQ(Utf16ToUtf8(q.Text()), Utf16ToUtf8(c.placeholder_text));
  }
}

TEST(QueryParamScan, LinesAreScannedAsOneText) {
  TABSQuery q;
  q.SetSQL({u"SELECT * FROM t", u"WHERE a = :first", u"  AND b = :second"});
  EXPECT_EQ(ParamNames(q), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(Utf16ToUtf8(q.Text()), "SELECT * FROM t\r\nWHERE a = ?\r\n  AND b = ?");
  q.AddSQL(u"  AND c = :third");
  EXPECT_EQ(ParamNames(q), (std::vector<std::string>{"first", "second", "third"}));
}

// ---- parameters across statement changes ----

TEST(QueryParams, StatementChangeKeepsSameNamedValues) {
  TABSQuery q;
  q.SetSQLText(u"SELECT * FROM t WHERE per LIKE :Name AND n = :Old");
  q.ParamByName("Name").SetAsWideString(kSalam);
  q.ParamByName("Old").SetAsInteger(5);
  q.SetData("stored");

  q.SetSQLText(u"SELECT * FROM u WHERE w = :name OR z = :New");
  EXPECT_EQ(ParamNames(q), (std::vector<std::string>{"name", "New"}));
  const TParam& kept = q.ParamByName("NAME");
  EXPECT_EQ(kept.DataType, ftWideString);
  EXPECT_TRUE(kept.Bound);
  EXPECT_EQ(kept.AsWideString(), kSalam);
  // The name comes from the new text.
  EXPECT_EQ(kept.Name, "name");
  const TParam& fresh = q.ParamByName("New");
  EXPECT_EQ(fresh.DataType, ftUnknown);
  EXPECT_FALSE(fresh.Bound);
  EXPECT_TRUE(fresh.IsNull());
  EXPECT_TRUE(q.Data().empty());
  q.SetName("ABSQuery1");
  EXPECT_EQ(RaisedBy([&] { q.ParamByName("Old"); }),
            (std::pair<int32_t, std::string>{40960, "ABSQuery1: Parameter 'Old' not found"}));

  // Without ParamCheck the list stays as it was.
  q.SetParamCheck(false);
  q.SetSQLText(u"SELECT * FROM v WHERE a = :other");
  EXPECT_EQ(ParamNames(q), (std::vector<std::string>{"name", "New"}));
  EXPECT_EQ(Utf16ToUtf8(q.Text()), "SELECT * FROM v WHERE a = :other");
}

TEST(QueryParams, SettingParamsCopiesSameNamedValues) {
  TABSQuery q;
  q.SetSQLText(u"SELECT * FROM t WHERE a = :a AND b = :b");
  TParams given;
  given.CreateParam("B").SetAsString("bee");
  given.CreateParam("c").SetAsInteger(3);
  q.SetParams(given);
  EXPECT_EQ(ParamNames(q), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(q.ParamByName("a").IsNull());
  EXPECT_EQ(q.ParamByName("b").AsString(), "bee");
  EXPECT_EQ(q.ParamByName("b").DataType, ftString);
}

// What a parameter hands to the statement: the engine type of its field type, and a
// value of that type.
TEST(QueryParams, CopiedIntoTheEngineByType) {
  struct Case {
    const char* what;
    std::function<void(TParam&)> set;
    TABSBaseType type;
    bool null;
    std::string text;  // the engine value read as text
  };
  const std::vector<Case> cases = {
      {"null integer", [](TParam& p) { p.DataType = ftInteger; }, btInteger, true, ""},
      {"untyped null", [](TParam&) {}, btNone, true, ""},
      {"wide string", [](TParam& p) { p.SetAsWideString(u"\u0633\u0644"); }, btWideChar, false, "\u0633\u0644"},
      {"string", [](TParam& p) { p.SetAsString("abc"); }, btString, false, "abc"},
      {"integer", [](TParam& p) { p.SetAsInteger(-42); }, btInteger, false, "-42"},
      {"integer given as text", [](TParam& p) { p.DataType = ftInteger; p.SetValue(std::string("17")); }, btInteger,
       false, "17"},
      {"boolean", [](TParam& p) { p.SetAsBoolean(true); }, btLogical, false, "TRUE"},
      {"time", [](TParam& p) { p.SetAsTime(0.5); }, btTime, false, "12:00:00"},
      {"blob", [](TParam& p) { p.SetAsBlob(std::string("\x01\x00\x02", 3)); }, btBlob, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TParam p("p");
    c.set(p);
    TABSVariant v;
    p.CopyToEngine(v);
    EXPECT_EQ(int(v.ValueType()), int(c.type));
    EXPECT_EQ(v.IsNull(), c.null);
    if (c.type == btBlob) {
      EXPECT_EQ(v.DataSize(), 3);
    } else if (!c.null) {
      EXPECT_EQ(Utf16ToUtf8(v.GetAsWideString()), Utf16ToUtf8(Utf8ToUtf16(c.text)));
    }
  }
}

// ---- a database with the Persian–English table ----

class QueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.SetDatabaseName("dict");
    db_.SetDatabaseFileName(folder_.File("data.dat"));
    db_.SilentMode = false;
    db_.CreateDatabase();
    db_.Connect();
    Exec(u"CREATE TABLE per2en (per WIDESTRING(30), en VARCHAR(30)); CREATE INDEX iper ON per2en (per)");
    Exec(u"INSERT INTO per2en VALUES ('" + kSalam + u"', 'hello'), ('" + kSoltan + u"', 'sultan'), ('" + kBaba +
         u"', 'father')");
  }
  void TearDown() override { db_.Disconnect(); }

  std::unique_ptr<TABSQuery> NewQuery(const std::u16string& sql) {
    auto q = std::make_unique<TABSQuery>();
    q->SetDatabaseName("dict");
    q->SetSQLText(sql);
    return q;
  }

  int64_t Exec(const std::u16string& sql) {
    auto q = NewQuery(sql);
    q->ExecSQL();
    return q->RowsAffected();
  }

  static std::vector<std::string> Column(TDataSet& ds, const std::string& field) {
    std::vector<std::string> out;
    ds.First();
    while (!ds.Eof()) {
      out.push_back(Utf16ToUtf8(ds.FieldByName(field)->AsWideString()));
      ds.Next();
    }
    return out;
  }

  TempFolder folder_;
  TABSDatabase db_;
};

TEST_F(QueryTest, PrepareFailures) {
  struct Case {
    const char* what;
    std::vector<std::u16string> lines;
    bool open_first;
    int32_t code;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"no lines", {}, false, 20034, "No SQL statement available"},
      {"one character", {u"S"}, false, 30142, "No SQL statement available"},
      {"an empty line", {u""}, false, 30142, "No SQL statement available"},
      {"open", {u"SELECT * FROM per2en"}, true, 30141, "Cannot perform this operation on an open dataset"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto q = NewQuery(u"");
    q->SetSQL(c.lines);
    if (c.open_first) q->Open();
    const auto [code, message] = RaisedBy([&] { q->Prepare(); });
    EXPECT_EQ(code, c.code);
    EXPECT_TRUE(message.starts_with(c.message)) << message;
    if (!c.open_first) {
      // Opening fails the same way and leaves the query closed and unprepared.
      EXPECT_EQ(RaisedBy([&] { q->Open(); }).first, c.code);
      EXPECT_FALSE(q->Active());
      EXPECT_FALSE(q->Prepared());
    }
  }
}

TEST_F(QueryTest, FailingStatementLeavesQueryClosed) {
  auto q = NewQuery(u"SELECT * FROM nosuch");
  EXPECT_NE(RaisedBy([&] { q->Open(); }).first, 0);
  EXPECT_FALSE(q->Active());
  EXPECT_FALSE(q->Prepared());
  EXPECT_EQ(db_.DataSetCount(), 0);
  // The query is usable afterwards.
  q->SetSQLText(u"SELECT * FROM per2en");
  q->Open();
  EXPECT_EQ(q->RecordCount(), 3);
}

TEST_F(QueryTest, OpenPreparesAndCloseUnprepares) {
  auto q = NewQuery(u"SELECT * FROM per2en WHERE en = :e");
  q->ParamByName("e").SetAsString("father");
  q->Prepare();
  EXPECT_TRUE(q->Prepared());
  q->Open();
  EXPECT_EQ(Column(*q, "per"), (std::vector<std::string>{Utf16ToUtf8(kBaba)}));
  EXPECT_FALSE(db_.SilentMode);
  q->Close();
  EXPECT_FALSE(q->Prepared());
  // A statement change closes an open query.
  q->Open();
  q->SetSQLText(u"SELECT en FROM per2en");
  EXPECT_FALSE(q->Active());
  EXPECT_FALSE(q->Prepared());
  q->Open();
  EXPECT_EQ(q->FieldCount(), 1);
  EXPECT_EQ(q->RecordCount(), 3);
}

TEST_F(QueryTest, LiveOnlyWhenTheProcessorGivesALiveResult) {
  struct Case {
    const char* sql;
    bool request_live;
    bool read_only_database;
    bool read_only;
  };
  const std::vector<Case> cases = {
      {"SELECT *   FROM per2en WHERE per LIKE :Name", true, false, false},
      {"SELECT *   FROM per2en WHERE per LIKE :Name", false, false, true},
      {"SELECT *   FROM per2en WHERE per LIKE :Name", true, true, true},
      {"SELECT DISTINCT en FROM per2en WHERE per LIKE :Name", true, false, true},
      {"SELECT per, en || '!' FROM per2en WHERE per LIKE :Name", true, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.sql) + (c.request_live ? " live" : "") + (c.read_only_database ? " read-only" : ""));
    db_.ReadOnly = c.read_only_database;
    auto q = NewQuery(Utf8ToUtf16(c.sql));
    q->SetRequestLive(c.request_live);
    q->ParamByName("Name").SetAsWideString(kSeenLamPrefix);
    q->Open();
    q->Cursor()->InvalidateBitmap();
  EXPECT_EQ(q->RecordCount(), 2);
    EXPECT_EQ(q->ReadOnly(), c.read_only);
    EXPECT_EQ(q->CanModify(), !c.read_only);
    if (c.read_only) {
      EXPECT_NE(RaisedBy([&] { q->Edit(); }).first, 0);
      EXPECT_EQ(q->State(), TDataSetState::dsBrowse);
    }
    db_.ReadOnly = false;
  }
}

// A live result run again with the same statement and parameters may take the bitmap the
// last run left to the table: the same rows and count each time, and any change to the
// table, another parameter or the dataset's own filter gives the rows as they now are.
TEST_F(QueryTest, RunAgainGivesTheRowsAsTheTableNowIs) {
  auto q = NewQuery(u"SELECT *   FROM per2en WHERE per LIKE :Name");
  q->SetRequestLive(true);
  auto run = [&](const std::u16string& prefix) {
    q->Close();
    q->ParamByName("Name").SetAsWideString(prefix);
    q->Open();
    EXPECT_EQ(q->RecordCount(), static_cast<int64_t>(Column(*q, "per").size()));
  };
  const std::vector<std::string> seen_lam = {Utf16ToUtf8(kSalam), Utf16ToUtf8(kSoltan)};
  for (int i = 0; i < 2; ++i) {
    run(kSeenLamPrefix);
    EXPECT_EQ(Column(*q, "per"), seen_lam);
    run(kBaba + u"%");
    EXPECT_EQ(Column(*q, "per"), (std::vector<std::string>{Utf16ToUtf8(kBaba)}));
  }

  // A row added by another statement.
  const std::u16string salib = u"\u0633\u0644\u06cc\u0628";
  Exec(u"INSERT INTO per2en VALUES ('" + salib + u"', 'cross')");
  run(kSeenLamPrefix);
  EXPECT_EQ(q->RecordCount(), 3);
  run(kSeenLamPrefix);
  EXPECT_EQ(q->RecordCount(), 3);

  // An edit through the result itself that takes a row out of it.
  q->First();
  q->Edit();
  q->FieldByName("per")->SetAsWideString(kBaba);
  q->Post();
  q->Close();
  q->Open();
  EXPECT_EQ(Column(*q, "per"), (std::vector<std::string>{Utf16ToUtf8(kSoltan), Utf16ToUtf8(salib)}));
  EXPECT_EQ(q->RecordCount(), 2);

  // With the dataset's own filter on, the result's bitmap is not the statement's.
  q->SetFilter("en <> 'sultan'");
  q->SetFiltered(true);
  EXPECT_EQ(Column(*q, "per"), (std::vector<std::string>{Utf16ToUtf8(salib)}));
  q->Close();
  q->SetFiltered(false);
  q->Open();
  EXPECT_EQ(q->RecordCount(), 2);
  EXPECT_EQ(Column(*q, "per"), (std::vector<std::string>{Utf16ToUtf8(kSoltan), Utf16ToUtf8(salib)}));
}

// The dictionary's Persian search through the query: live, and an edit reaches per2en.
TEST_F(QueryTest, WorkedExampleIsLiveAndEditsTheTable) {
  auto q = NewQuery(u"SELECT *   FROM per2en WHERE per LIKE :Name");
  q->SetRequestLive(true);
  q->ParamByName("Name").SetAsWideString(kSeenLamPrefix);
  q->Open();
  ASSERT_FALSE(q->ReadOnly());
  // Opened on the first row of the result, not the one the statement looked at last.
  EXPECT_EQ(q->RecNo(), 1);
  EXPECT_EQ(q->FieldByName("per")->AsWideString(), kSalam);
  // The count comes from the index range alone: the prefix is answered by the keys.
  q->Cursor()->InvalidateBitmap();
  EXPECT_EQ(q->RecordCount(), 2);
  EXPECT_EQ(q->Cursor()->LastSearchPlan.Plan, TABSSearchPlanInfo::spIndexRange);
  EXPECT_EQ(q->Cursor()->LastSearchPlan.RecordsRead, 0);
  EXPECT_EQ(Column(*q, "per"), (std::vector<std::string>{Utf16ToUtf8(kSalam), Utf16ToUtf8(kSoltan)}));
  // The dataset's own filter narrows the statement's rows and does not replace them.
  q->SetFilter("en <> 'sultan'");
  q->SetFiltered(true);
  EXPECT_EQ(Column(*q, "per"), (std::vector<std::string>{Utf16ToUtf8(kSalam)}));
  q->SetFiltered(false);
  EXPECT_EQ(Column(*q, "per"), (std::vector<std::string>{Utf16ToUtf8(kSalam), Utf16ToUtf8(kSoltan)}));
  q->First();
  q->Edit();
  q->FieldByName("en")->SetAsString("greeting");
  q->Post();
  q->Close();

  TABSTable t;
  t.SetDatabaseName("dict");
  t.SetTableName("per2en");
  t.Open();
  ASSERT_TRUE(t.Locate("per", std::vector<TFieldValue>{kSalam}, {}));
  EXPECT_EQ(t.FieldByName("en")->AsString(), "greeting");
  EXPECT_EQ(t.RecordCount(), 3);
}

TEST_F(QueryTest, RefreshRunsAReadOnlyResultAgain) {
  auto q = NewQuery(u"SELECT * FROM per2en ORDER BY en");
  q->Open();
  ASSERT_TRUE(q->ReadOnly());
  EXPECT_EQ(q->RecordCount(), 3);
  Exec(u"INSERT INTO per2en VALUES ('x', 'zebra')");
  EXPECT_EQ(q->RecordCount(), 3);
  q->Refresh();
  EXPECT_TRUE(q->Active());
  EXPECT_EQ(q->RecordCount(), 4);
}

TEST_F(QueryTest, ExecSQLAndRowsAffected) {
  auto q = NewQuery(u"INSERT INTO per2en VALUES (:per, :en)");
  EXPECT_EQ(q->RowsAffected(), -1);
  const int32_t uses = db_.RefCount();
  q->ParamByName("per").SetAsWideString(u"\u0622\u0628");
  q->ParamByName("en").SetAsString("water");
  q->ExecSQL();
  EXPECT_EQ(q->RowsAffected(), 1);
  EXPECT_FALSE(q->Prepared());
  EXPECT_FALSE(q->Active());
  // The database is released after the run.
  EXPECT_EQ(db_.RefCount(), uses);
  EXPECT_EQ(db_.DataSetCount(), 0);

  q->SetSQLText(u"UPDATE per2en SET en = en || '!' WHERE per LIKE :p");
  q->ParamByName("p").SetAsWideString(kSeenLamPrefix);
  q->ExecSQL();
  EXPECT_EQ(q->RowsAffected(), 2);
  EXPECT_EQ(Exec(u"DELETE FROM per2en WHERE en LIKE '%!'"), 2);

  // ExecSQL wants a closed query.
  auto open = NewQuery(u"SELECT * FROM per2en");
  open->Open();
  EXPECT_EQ(RaisedBy([&] { open->ExecSQL(); }).first, 40921);
  // While prepared, the count is the processor's.
  open->Close();
  EXPECT_EQ(open->RowsAffected(), 0);
}

TEST_F(QueryTest, DisconnectClosesQueriesAndTables) {
  auto q = NewQuery(u"SELECT *   FROM per2en WHERE per LIKE :Name");
  q->SetRequestLive(true);
  q->ParamByName("Name").SetAsWideString(kSeenLamPrefix);
  TABSTable t;
  t.SetDatabaseName("dict");
  t.SetTableName("per2en");
  t.Open();
  q->Open();
  db_.Disconnect();
  EXPECT_FALSE(q->Active());
  EXPECT_FALSE(q->Prepared());
  EXPECT_FALSE(t.Active());
  db_.Connect();
}

// ---- the master link ----

class QueryMasterTest : public QueryTest {
 protected:
  void SetUp() override {
    QueryTest::SetUp();
    Exec(u"CREATE TABLE en2per (en VARCHAR(30), n INTEGER); "
         u"INSERT INTO en2per VALUES ('hello', 1), ('sultan', 2), ('father', 3)");
    master_.SetDatabaseName("dict");
    master_.SetTableName("en2per");
    master_.SetName("ABSTable1");
    source_.SetDataSet(&master_);
  }
  void TearDown() override {
    source_.SetDataSet(nullptr);
    master_.Close();
    QueryTest::TearDown();
  }

  TABSTable master_;
  TDataSource source_;
};

TEST_F(QueryMasterTest, MasterMoveRunsAgainAndLeavesBoundParamsAlone) {
  auto q = NewQuery(u"SELECT * FROM per2en WHERE en = :en OR per = :per");
  q->SetDataSource(&source_);
  q->ParamByName("per").SetAsWideString(kBaba);
  master_.Open();
  q->Open();
  // First master row: hello, plus the bound baba.
  EXPECT_EQ(Column(*q, "en"), (std::vector<std::string>{"hello", "father"}));
  EXPECT_FALSE(q->ParamByName("en").Bound);
  EXPECT_EQ(q->ParamByName("en").AsString(), "hello");

  // A row added meanwhile shows only because the move runs the statement again.
  Exec(u"INSERT INTO per2en VALUES ('y', 'sultan')");
  master_.Next();
  EXPECT_TRUE(q->Active());
  EXPECT_EQ(Column(*q, "en"), (std::vector<std::string>{"sultan", "father", "sultan"}));
  EXPECT_FALSE(q->ParamByName("en").Bound);
  EXPECT_EQ(q->ParamByName("en").AsString(), "sultan");
  EXPECT_TRUE(q->ParamByName("per").Bound);
  EXPECT_EQ(q->ParamByName("per").AsWideString(), kBaba);

  // A closed query stays closed when the master moves.
  q->Close();
  master_.Next();
  EXPECT_FALSE(q->Active());
}

TEST_F(QueryMasterTest, NullMasterValueGivesAnIntegerParameter) {
  Exec(u"INSERT INTO en2per VALUES (NULL, 4)");
  auto q = NewQuery(u"SELECT * FROM per2en WHERE en = :en");
  q->SetDataSource(&source_);
  master_.Open();
  master_.Last();
  q->Open();
  EXPECT_EQ(q->RecordCount(), 0);
  EXPECT_EQ(q->ParamByName("en").DataType, ftInteger);
  EXPECT_TRUE(q->ParamByName("en").IsNull());
  EXPECT_FALSE(q->ParamByName("en").Bound);
}

TEST_F(QueryMasterTest, MasterWithoutTheFieldFailsEveryOpen) {
  auto q = NewQuery(u"SELECT * FROM per2en WHERE per = :per");
  q->SetDataSource(&source_);
  master_.Open();
  for (int attempt = 0; attempt < 2; ++attempt) {
    SCOPED_TRACE(attempt);
    EXPECT_EQ(RaisedBy([&] { q->Open(); }),
              (std::pair<int32_t, std::string>{40923, "ABSTable1: Field 'per' not found"}));
    EXPECT_FALSE(q->Active());
  }
  // Binding the parameter lets it open.
  q->ParamByName("per").SetAsWideString(kBaba);
  q->Open();
  EXPECT_EQ(q->RecordCount(), 1);
}

TEST_F(QueryMasterTest, CircularDataLinksAreRefused) {
  auto a = NewQuery(u"SELECT * FROM per2en");
  auto b = NewQuery(u"SELECT * FROM per2en");
  TDataSource sa, sb;
  sa.SetDataSet(a.get());
  sb.SetDataSet(b.get());
  b->SetDataSource(&sa);
  EXPECT_EQ(RaisedBy([&] { a->SetDataSource(&sa); }).second, "Circular datalinks are not allowed");
  EXPECT_EQ(RaisedBy([&] { a->SetDataSource(&sb); }).second, "Circular datalinks are not allowed");
  EXPECT_EQ(a->DataSource(), nullptr);
  // A source over a query's own master chain is refused as well.
  EXPECT_EQ(RaisedBy([&] { sa.SetDataSet(b.get()); }).first, kMsgCircularDataLink);
  sb.SetDataSet(nullptr);
  sa.SetDataSet(nullptr);
}

}  // namespace
}  // namespace dadoveri::testing
