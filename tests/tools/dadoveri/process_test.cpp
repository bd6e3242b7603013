// Processes on one file: a bulk insert killed at random moments keeps every row whose
// commit ended and none whose commit never began, and the file stays sound; two processes
// in multi-user mode inserting into one table see each other's committed rows; three
// cursors of one process walk a table that another process changes under them.
#include <cstdlib>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/database/local_cursor.h"
#include "engine/base/engine_error.h"
#include "engine/base/little_endian.h"
#include "engine/storage/prologue.h"
#include "engine/database/disk_database_data.h"
#include "engine/database/disk_table_data.h"
#include "engine/query/cursor_filter_expression.h"
#include "engine/table/cursor.h"
#include "engine/table/date_time.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"
#include "engine/table/table_metadata.h"
#include "tests/engine/database/table_fixture.h"
#include "tests/engine/test_support.h"
#include "tools/dadoveri/database_survey.h"

namespace dadoveri {
namespace {

using testing::TempFolder;

// The row with identifier `id`: every field follows from it, so a reader can tell a row
// that is there with its exact values.
struct Values {
  int32_t id;
  std::string word;
  std::u16string wide;
  double value;
  int32_t day;
};

Values RowOf(int32_t id) {
  Values v;
  v.id = id;
  v.word = "w" + std::to_string(id * 7919 % 100000);
  v.wide = u"\u0641\u0627" + std::u16string(static_cast<size_t>(id % 9), u'\u06A9');
  v.value = id * 0.25 - 3;
  v.day = 730000 + id % 4000;
  return v;
}

void CreateTable(const std::string& file, const std::string& name) {
  TABSDiskDatabaseData db(file);
  const int32_t s = db.Connect({});
  TABSTableMetadata m;
  const char* names[] = {"Id", "Word", "Wide", "Value", "Day"};
  const TABSColumnType types[] = {ctInteger, ctString, ctWideString, ctFloat, ctDate};
  const int32_t sizes[] = {0, 12, 20, 0, 0};
  for (int i = 0; i < 5; ++i) {
    TABSFieldDef* f = m.Fields.AddFieldDef();
    f->Name = names[i];
    f->SetType(types[i], sizes[i]);
  }
  TABSIndexDef* pk = m.Indexes.AddIndexDef();
  pk->Name = "PK";
  pk->Primary = pk->Unique = true;
  TABSIndexDefs::BuildColumns(*pk, {"Id"}, {"ASC"}, {""});
  m.Constraints.AddConstraint(DeriveConstraintFromIndex(*pk));
  TABSIndexDef* by_word = m.Indexes.AddIndexDef();
  by_word->Name = "ByWord";
  TABSIndexDefs::BuildColumns(*by_word, {"Word"}, {"ASC"}, {""});
  db.CreateTable(s, name, m);
  db.Disconnect(s);
}

// A connection with a cursor on one table.
class Client {
 public:
  Client(const std::string& file, const std::string& table, bool durable = true) : db_(file) {
    TABSConnectOptions options;
    options.DurableCommits = durable;
    session_ = std::make_unique<TABSBaseSession>(db_.Connect(options));
    cursor_ = std::make_unique<TABSLocalCursor>(session_.get(), table);
    cursor_->Open(db_);
  }
  ~Client() {
    cursor_.reset();
    db_.Disconnect(session_->SessionID);
  }
  int32_t Insert(int32_t id) {
    const Values v = RowOf(id);
    const TABSRecordLayout& layout = cursor_->TableData()->FieldManager().Layout();
    cursor_->NewRecord();
    TABSVariant key, word, wide, value, day;
    key.SetAsInteger(v.id);
    word.SetAsString(v.word);
    wide.SetAsWideString(v.wide);
    value.SetAsFloat(v.value);
    day.SetAsDate(v.day);
    const TABSVariant* values[] = {&key, &word, &wide, &value, &day};
    for (int32_t f = 0; f < 5; ++f) layout.SetFieldValue(f, *values[f], cursor_->CurrentRecord);
    return cursor_->PostInsert();
  }
  // Every row in storage order: identifier → whether its values are exactly RowOf's.
  std::map<int32_t, bool> Rows() {
    std::map<int32_t, bool> rows;
    const TABSRecordLayout& layout = cursor_->TableData()->FieldManager().Layout();
    cursor_->GoToBegin();
    while (cursor_->Step(grmNext) == grrFound) {
      TABSVariant values[5];
      for (int32_t f = 0; f < 5; ++f) layout.GetFieldValue(f, cursor_->CurrentRecord, values[f]);
      const Values want = RowOf(values[0].GetAsInteger());
      const bool exact = values[1].GetAsString() == want.word && values[2].GetAsWideString() == want.wide &&
                         values[3].GetAsFloat() == want.value && values[4].GetAsDate() == want.day;
      rows[want.id] = exact;
    }
    return rows;
  }
  int64_t Count() { return cursor_->TableData()->GetRecordCount(session_->SessionID); }
  TABSDiskDatabaseData& db() { return db_; }
  TABSBaseSession& session() { return *session_; }

 private:
  TABSDiskDatabaseData db_;
  std::unique_ptr<TABSBaseSession> session_;
  std::unique_ptr<TABSCursor> cursor_;
};

void WriteLine(int fd, const std::string& line) {
  const std::string text = line + "\n";
  (void)!write(fd, text.data(), text.size());
}

// The bulk writer: from `first` on, alternately 50 rows committed one by one and a
// transaction of 1000 rows; before each commit it writes "S first last", after it
// "E first last".
[[noreturn]] void BulkWriter(const std::string& file, int32_t first, int fd) {
  int status = 0;
  try {
    Client c(file, "Bulk");
    for (int32_t id = first, round = 0;; ++round) {
      if (round % 2 == 0) {
        for (int k = 0; k < 50; ++k, ++id) {
          WriteLine(fd, "S " + std::to_string(id) + " " + std::to_string(id));
          if (c.Insert(id) != roOK) _exit(3);
          WriteLine(fd, "E " + std::to_string(id) + " " + std::to_string(id));
        }
      } else {
        c.session().InTransaction = true;
        for (int k = 0; k < 1000; ++k)
          if (c.Insert(id + k) != roOK) _exit(4);
        c.session().InTransaction = false;
        WriteLine(fd, "S " + std::to_string(id) + " " + std::to_string(id + 999));
        c.db().CommitSession(c.session().SessionID);
        WriteLine(fd, "E " + std::to_string(id) + " " + std::to_string(id + 999));
        id += 1000;
      }
    }
  } catch (...) {
    status = 5;
  }
  _exit(status);
}

// A commit writes its pages in page order after marking the header as writing. A process
// killed during it leaves the first k of those pages written and the others as they were.
// Each such file, for every k, is rebuilt here from the images before and after one
// commit; reopened in repair mode, the table's count agrees with its walk, every row of
// the earlier commits is there with its values, and the commit's rows are there once all
// its pages are.
TEST(Processes, CommitCutAfterEveryPageWriteRepairsToAgreeingCounts) {
  struct Case {
    const char* name;
    int32_t rows;  // inserted by the cut commit
    bool transaction;
  };
  const Case cases[] = {{"one row committed alone", 1, false}, {"a transaction of 600 rows", 600, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    const std::string file = folder.File("cut.dat");
    {
      TABSDiskDatabaseData maker(file);
      maker.CreateDatabase();
    }
    CreateTable(file, "Bulk");
    constexpr int32_t kBefore = 300;
    {
      Client client(file, "Bulk");
      client.session().InTransaction = true;
      for (int32_t id = 1; id <= kBefore; ++id) ASSERT_EQ(client.Insert(id), roOK);
      client.session().InTransaction = false;
      client.db().CommitSession(client.session().SessionID);
    }
    const std::vector<uint8_t> before = testing::ReadWholeFile(file);
    {
      Client client(file, "Bulk");
      client.session().InTransaction = c.transaction;
      for (int32_t id = kBefore + 1; id <= kBefore + c.rows; ++id) ASSERT_EQ(client.Insert(id), roOK);
      if (c.transaction) {
        client.session().InTransaction = false;
        client.db().CommitSession(client.session().SessionID);
      }
    }
    const std::vector<uint8_t> after = testing::ReadWholeFile(file);
    ASSERT_GE(after.size(), before.size());
    const size_t page_size = LoadLE<uint16_t>(&after[26]);
    const size_t first_page = kPrologueSize;
    // The pages the commit changed, in the order it writes them. Map pages are written
    // as pages are taken, before the commit starts.
    std::vector<int32_t> written;
    std::vector<int32_t> maps;
    {
      TABSDiskDatabaseData db(file);
      const int32_t s = db.Connect({});
      for (size_t at = first_page; at + page_size <= after.size(); at += page_size) {
        const int32_t page_no = static_cast<int32_t>((at - first_page) / page_size);
        const bool same = at + page_size <= before.size() &&
                          std::equal(after.begin() + at, after.begin() + at + page_size, before.begin() + at);
        if (same) continue;
        (db.DiskPageManager().IsMapPage(page_no) ? maps : written).push_back(page_no);
      }
      db.Disconnect(s);
    }
    ASSERT_FALSE(written.empty());
    for (size_t k = 0; k <= written.size(); ++k) {
      SCOPED_TRACE("cut after " + std::to_string(k) + " of " + std::to_string(written.size()) + " page writes");
      std::vector<uint8_t> image = before;
      image.resize(after.size(), 0);
      std::copy(after.begin(), after.begin() + first_page, image.begin());
      image[42] = kWriteStateWriting;
      auto take = [&](int32_t page_no) {
        const size_t at = first_page + static_cast<size_t>(page_no) * page_size;
        std::copy(after.begin() + at, after.begin() + at + page_size, image.begin() + at);
      };
      for (int32_t page_no : maps) take(page_no);
      for (size_t i = 0; i < k; ++i) take(written[i]);
      testing::WriteWholeFile(file, image);
      {
        TABSDiskDatabaseData db(file);
        const int32_t s = db.Connect({});
        ASSERT_TRUE(db.NeedsRepair());
        db.DiskPageManager().FreeSpace().Repairing = true;
        TABSDiskTableData table(&db, "Bulk");
        table.OpenTable(s, true);
        db.Disconnect(s);
      }
      std::map<int32_t, bool> rows;
      {
        Client client(file, "Bulk");
        rows = client.Rows();
        ASSERT_EQ(client.Count(), static_cast<int64_t>(rows.size()));
      }
      for (int32_t id = 1; id <= kBefore; ++id) ASSERT_TRUE(rows.count(id) && rows.at(id)) << "row " << id;
      for (const auto& [id, exact] : rows) {
        EXPECT_TRUE(exact) << "row " << id;
        EXPECT_LE(id, kBefore + c.rows);
      }
      if (k == written.size()) {
        EXPECT_EQ(rows.size(), static_cast<size_t>(kBefore + c.rows));
      }
      // The indexes agree with the records again; only pages the cut commit had taken
      // may be left marked in use.
      std::string text;
      for (const std::string& p : tool::CheckDatabase(file, {}))
        if (p.find("is marked in use but") == std::string::npos) text += p + "\n";
      EXPECT_TRUE(text.empty()) << text;
    }
  }
}

TEST(Processes, KilledBulkInsertKeepsEveryCommittedRow) {
  TempFolder folder;
  const std::string file = folder.File("bulk.dat");
  {
    TABSDiskDatabaseData maker(file);
    maker.CreateDatabase();
  }
  CreateTable(file, "Bulk");
  std::mt19937 rng(20261210);
  std::map<int32_t, bool> expected_present;  // id → the row must be there
  int32_t next_id = 1;
  int repairs = 0;
  int leaked_pages = 0;
  for (int run = 0; run < 6; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      BulkWriter(file, next_id, fds[1]);
    }
    close(fds[1]);
    // Kill after a random number of reported lines, at a random moment after it.
    const int lines_before_kill = static_cast<int>(rng() % 200);
    FILE* in = fdopen(fds[0], "r");
    ASSERT_NE(in, nullptr);
    struct Range {
      int32_t first, last;
      bool ended;
    };
    std::vector<Range> ranges;
    char kind = 0;
    int32_t first = 0, last = 0;
    for (int n = 0; n < lines_before_kill && std::fscanf(in, " %c %d %d", &kind, &first, &last) == 3; ++n) {
      if (kind == 'S') {
        ranges.push_back({first, last, false});
      } else if (!ranges.empty()) {
        ranges.back().ended = true;
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 20000));
    kill(pid, SIGKILL);
    // What the child reported up to its death.
    while (std::fscanf(in, " %c %d %d", &kind, &first, &last) == 3) {
      if (kind == 'S') ranges.push_back({first, last, false});
      else if (!ranges.empty()) ranges.back().ended = true;
    }
    std::fclose(in);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself with " << WEXITSTATUS(status);

    bool needs_repair = false;
    std::map<int32_t, bool> rows;
    {
      TABSDiskDatabaseData db(file);
      const int32_t s = db.Connect({});
      needs_repair = db.NeedsRepair();
      if (needs_repair) {
        // The repair open rebuilds what an interrupted commit left behind.
        ++repairs;
        db.DiskPageManager().FreeSpace().Repairing = true;
        TABSDiskTableData table(&db, "Bulk");
        table.OpenTable(s, true);
      }
      db.Disconnect(s);
    }
    {
      Client c(file, "Bulk");
      rows = c.Rows();
      EXPECT_EQ(c.Count(), static_cast<int64_t>(rows.size()));
    }
    for (const Range& r : ranges) {
      if (!r.ended) continue;
      for (int32_t id = r.first; id <= r.last; ++id) expected_present[id] = true;
    }
    // Every row of a finished commit, with its exact values.
    for (const auto& [id, must] : expected_present) {
      const auto it = rows.find(id);
      ASSERT_TRUE(it != rows.end()) << "row " << id << " of a finished commit is missing";
      EXPECT_TRUE(it->second) << "row " << id << " has other values";
    }
    // A commit that began but did not end is there whole or not at all; nothing later.
    int32_t started_last = next_id - 1;
    for (const Range& r : ranges) started_last = std::max(started_last, r.last);
    if (!ranges.empty() && !ranges.back().ended) {
      const Range& open = ranges.back();
      int32_t found = 0;
      for (int32_t id = open.first; id <= open.last; ++id) found += rows.count(id) ? 1 : 0;
      EXPECT_TRUE(found == 0 || found == open.last - open.first + 1) << found << " rows of an unfinished commit";
      if (found) {
        for (int32_t id = open.first; id <= open.last; ++id) expected_present[id] = true;
      }
    }
    for (const auto& [id, exact] : rows)
      EXPECT_TRUE(expected_present.count(id)) << "row " << id << " belongs to a commit that never began";
    // Without a repair flag the file is sound, but for pages a transaction had taken when
    // the process died: the free-space maps are written when a page is taken, not at the
    // commit, so they stay marked in use with nothing reaching them until a repair.
    if (!needs_repair) {
      const std::vector<std::string> problems = tool::CheckDatabase(file, {});
      std::string text;
      for (const auto& p : problems) {
        // A page freed earlier (a repair rebuilds the indexes and frees their old pages)
        // and taken again by the unfinished transaction still carries its freed mark.
        const bool leaked = p.find("is marked in use but has no page signature") != std::string::npos ||
                            p.find("is marked in use but was freed") != std::string::npos ||
                            // Taking a page writes its map before the header's highest page.
                            p.find("is marked in use beyond the highest used page") != std::string::npos ||
                            p.find("is marked in use but no table reaches it") != std::string::npos ||
                            p.find("is marked in use but no structure reaches it") != std::string::npos;
        if (leaked)
          ++leaked_pages;
        else
          text += p + "\n";
      }
      EXPECT_TRUE(text.empty()) << text;
    }
    next_id = started_last + 1;
    if (::testing::Test::HasFailure()) return;
  }
  std::printf("[ bulk     ] %zu rows kept, %d repair opens, %d pages left taken by unfinished transactions\n",
              expected_present.size(), repairs, leaked_pages);
}

// Reads one byte from `fd`; false at end of file.
bool Await(int fd) {
  char c = 0;
  return read(fd, &c, 1) == 1;
}
void Signal(int fd) { (void)!write(fd, "x", 1); }

TEST(Processes, TwoWritersSeeEachOthersCommittedRows) {
  TempFolder folder;
  const std::string file = folder.File("shared.dat");
  {
    TABSDiskDatabaseData maker(file);
    maker.CreateDatabase();
  }
  CreateTable(file, "Shared");
  constexpr int kRounds = 10;
  constexpr int kFreeRows = 150;
  int to_child[2], to_parent[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(to_parent), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Odd identifiers; each turn begins by reading what the other process committed.
    close(to_child[1]);
    close(to_parent[0]);
    int status = 0;
    try {
      Client c(file, "Shared");
      for (int round = 0; round < kRounds && status == 0; ++round) {
        if (!Await(to_child[0])) status = 10;
        else if (c.Count() != 2 * round + 1 || c.Rows().size() != static_cast<size_t>(2 * round + 1)) status = 11;
        else if (c.Insert(2 * round + 1) != roOK) status = 12;
        Signal(to_parent[1]);
      }
      // Then both insert at once.
      if (status == 0 && !Await(to_child[0])) status = 17;
      for (int k = 0; k < kFreeRows && status == 0; ++k)
        if (c.Insert(1001 + 2 * k) != roOK) status = 13;
      Signal(to_parent[1]);
      if (status == 0 && !Await(to_child[0])) status = 14;
      if (status == 0 && c.Count() != 2 * kRounds + 2 * kFreeRows) status = 15;
    } catch (...) {
      status = 16;
    }
    _exit(status);
  }
  close(to_child[0]);
  close(to_parent[1]);
  {
    Client c(file, "Shared");
    for (int round = 0; round < kRounds; ++round) {
      EXPECT_EQ(c.Count(), 2 * round);
      ASSERT_EQ(c.Insert(2 * round), roOK);
      Signal(to_child[1]);
      ASSERT_TRUE(Await(to_parent[0]));
      // The other process's row is there at the next read.
      const std::map<int32_t, bool> rows = c.Rows();
      ASSERT_EQ(rows.size(), static_cast<size_t>(2 * round + 2));
      EXPECT_TRUE(rows.count(2 * round + 1));
      EXPECT_TRUE(rows.at(2 * round + 1)) << "values of the other process's row";
    }
    Signal(to_child[1]);
    for (int k = 0; k < kFreeRows; ++k) ASSERT_EQ(c.Insert(1000 + 2 * k), roOK);
    ASSERT_TRUE(Await(to_parent[0]));
    Signal(to_child[1]);
    const std::map<int32_t, bool> rows = c.Rows();
    EXPECT_EQ(rows.size(), static_cast<size_t>(2 * kRounds + 2 * kFreeRows));
    for (const auto& [id, exact] : rows) EXPECT_TRUE(exact) << id;
  }
  close(to_child[1]);
  close(to_parent[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(tool::CheckDatabase(file, {}).empty());
}

// The other process's side of the walk below: it reads one change a line ("I k x",
// "U k x", "D k"), makes it in its own connection (each change committed alone) and
// answers with a byte once the change is in the file.
[[noreturn]] void ChangingWriter(const std::string& file, int in_fd, int out_fd) {
  int status = 0;
  try {
    TABSDiskDatabaseData db(file);
    TABSConnectOptions options;
    options.DurableCommits = false;
    TABSBaseSession session(db.Connect(options));
    {
      TABSLocalCursor w(&session, "Walked");
      w.Open(db);
      testing::Fields f(w);
      FILE* in = fdopen(in_fd, "r");
      char op = 0;
      int k = 0, x = 0;
      while (status == 0 && std::fscanf(in, " %c %d", &op, &k) == 2) {
        if (op != 'D' && std::fscanf(in, " %d", &x) != 1) status = 20;
        if (op == 'I') {
          w.NewRecord();
          f.SetInt("K", k);
          f.SetInt("X", x);
          if (w.PostInsert() != roOK) status = 21;
        } else {
          w.GoToBegin();
          bool found = false;
          while (!found && w.GetRecord(grmNext) == grrFound) found = f.Int("K") == k;
          if (!found) {
            status = 22;
          } else if (op == 'D') {
            if (w.DeleteCurrent() != roOK) status = 23;
          } else {
            if (w.BeginEdit() != roOK) status = 24;
            f.SetInt("X", x);
            if (status == 0 && w.PostEdit() != roOK) status = 25;
          }
        }
        Signal(out_fd);
      }
      std::fclose(in);
    }
    db.Disconnect(session.SessionID);
  } catch (...) {
    status = 26;
  }
  _exit(status);
}

// Three cursors of one table walk it while another process inserts, updates and deletes
// records, the cursors' current records included: a range on an active index, storage
// order with a built filter bitmap, and distinct navigation. A record that stays unchanged
// and qualifying for the whole walk is met exactly once, no record twice (unless the other
// process changed it), and counts follow every change.
TEST(Processes, ThreeCursorsWalkWhileAnotherProcessChangesTheTable) {
  TempFolder folder;
  const std::string file = folder.File("walked.dat");
  {
    TABSDiskDatabaseData maker(file);
    maker.CreateDatabase();
    const int32_t s = maker.Connect({});
    TABSTableMetadata m;
    testing::AddField(m.Fields, "K", ctInteger);
    testing::AddField(m.Fields, "X", ctInteger);
    TABSIndexDef* ix = m.Indexes.AddIndexDef();
    ix->Name = "IX";
    TABSIndexDefs::BuildColumns(*ix, {"X"}, {"ASC"}, {""});
    maker.CreateTable(s, "Walked", m);
    maker.Disconnect(s);
  }
  int to_child[2], to_parent[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(to_parent), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(to_child[1]);
    close(to_parent[0]);
    ChangingWriter(file, to_child[0], to_parent[1]);
  }
  close(to_child[0]);
  close(to_parent[1]);
  std::mt19937 rng(13);
  std::map<int64_t, int64_t> model;  // K -> X
  int32_t next_k = 0;
  // One change made by the other process, waited for.
  auto change = [&](const std::string& line) {
    WriteLine(to_child[1], line);
    return Await(to_parent[0]);
  };
  auto insert = [&] {
    const int32_t x = static_cast<int32_t>(rng() % 20);
    if (!change("I " + std::to_string(next_k) + " " + std::to_string(x))) return false;
    model[next_k++] = x;
    return true;
  };
  for (int i = 0; i < 60; ++i) ASSERT_TRUE(insert());
  {
    TABSDiskDatabaseData db(file);
    TABSBaseSession session(db.Connect({}));
    {
      TABSLocalCursor range(&session, "Walked"), filtered(&session, "Walked"), distinct(&session, "Walked");
      for (TABSLocalCursor* c : {&range, &filtered, &distinct}) {
        c->SetFilterFactory(&CursorExpressionFilterFactory());
        c->Open(db);
      }
      testing::Fields rf(range);
      range.SetIndexName("IX");
      std::vector<uint8_t> low(static_cast<size_t>(range.RecordSize)), high(low.size());
      range.InitRecordBuffer(low.data(), false);
      range.InitRecordBuffer(high.data(), false);
      rf.SetInt("X", 5, low.data());
      rf.SetInt("X", 14, high.data());
      range.SetRange(low.data(), high.data(), 1, 1, false, false);
      filtered.SetFilter(u"X >= 10", false, false);
      distinct.SetIndexName("IX");
      distinct.SetDistinctKeyFieldCount(1);

      auto qualifies = [&](TABSLocalCursor* c, int64_t x) {
        return c == &range ? x >= 5 && x <= 14 : c == &filtered ? x >= 10 : true;
      };
      auto count_of = [&](TABSLocalCursor* c) {
        std::set<int64_t> xs;
        int64_t n = 0;
        for (const auto& [k, x] : model) {
          if (!qualifies(c, x)) continue;
          ++n;
          xs.insert(x);
        }
        return c == &distinct ? static_cast<int64_t>(xs.size()) : n;
      };

      for (int round = 0; round < 3; ++round) {
        for (TABSLocalCursor* c : {&range, &filtered, &distinct}) {
          SCOPED_TRACE("round " + std::to_string(round) + " cursor " +
                       std::to_string(c == &range ? 0 : c == &filtered ? 1 : 2));
          ASSERT_EQ(c->GetRecordCount(), count_of(c));  // builds the bitmap
          const std::map<int64_t, int64_t> before = model;
          std::set<int64_t> changed, seen_k;
          int64_t prev_x = -1;
          c->GoToBegin();
          testing::Fields cf(*c);
          while (c->GetRecord(grmNext) == grrFound) {
            const int64_t k = *cf.Int("K"), x = *cf.Int("X");
            if (!seen_k.insert(k).second) {
              EXPECT_TRUE(changed.count(k)) << "twice: " << k;
            }
            // In index order the walk never goes back, and distinct steps leave each run.
            if (c != &filtered && prev_x >= 0) {
              if (c == &distinct) {
                EXPECT_GT(x, prev_x);
              } else {
                EXPECT_GE(x, prev_x);
              }
            }
            prev_x = x;
            EXPECT_TRUE(qualifies(c, x));
            // The other process changes something, often the record the cursor is on.
            const uint32_t what = rng() % 4;
            if (what == 0) {
              ASSERT_TRUE(insert());
              changed.insert(next_k - 1);
            } else if (what <= 2 && !model.empty()) {
              const int64_t target =
                  rng() % 2 == 0 ? k : std::next(model.begin(), static_cast<long>(rng() % model.size()))->first;
              if (!model.count(target)) continue;
              changed.insert(target);
              if (what == 1) {
                ASSERT_TRUE(change("D " + std::to_string(target)));
                model.erase(target);
              } else {
                const int32_t nx = static_cast<int32_t>(rng() % 20);
                ASSERT_TRUE(change("U " + std::to_string(target) + " " + std::to_string(nx)));
                model[target] = nx;
              }
            }
            EXPECT_EQ(c->GetRecordCount(), count_of(c));
          }
          if (c == &distinct) continue;  // a run's first record may change under the walk
          for (const auto& [k, x] : before) {
            if (!changed.count(k) && qualifies(c, x)) {
              EXPECT_TRUE(seen_k.count(k)) << "skipped: " << k;
            }
          }
        }
      }
    }
    db.Disconnect(session.SessionID);
  }
  close(to_child[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  close(to_parent[0]);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(tool::CheckDatabase(file, {}).empty());
}

}  // namespace
}  // namespace dadoveri
