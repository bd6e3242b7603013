// A randomized differential test of a table in a database file against a std::map model:
// inserts, updates (the primary key included), deletes and empties, alone (each committed
// at once) or inside transactions that are committed or rolled back, and reopens of the
// file. After every commit, rollback and reopen the table must hold exactly the model's
// rows: in storage order (identifiers ascending, every field), through the primary-key
// index (codes ascending) and by identifier. Plain and encrypted files, small and
// default pages.
//
// With BLOB values, every row also carries a value in a field of each compression
// algorithm, the raw one at the sizes where the stored layout changes (small up to
// L + 24 = DS - 1, large from DS, values ending at a page end, several pages); after every
// commit, rollback and reopen each value reads back as the model has it and the BLOB
// page checker finds nothing.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "engine/database/blob_storage_check.h"
#include "engine/database/local_cursor.h"
#include "engine/database/disk_database_data.h"
#include "engine/database/disk_table_data.h"
#include "engine/table/session.h"
#include "tests/engine/database/blob_table_schema.h"
#include "tests/engine/database/memory_table_schema.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

using testing::BlobColumns;
using testing::Fields;
using testing::GetBlob;
using testing::Row;
using testing::StandardTable;
using testing::TempFolder;

constexpr int kSteps = 4000;

constexpr int kBlobSteps = 700;

struct ModelRow {
  Row row;
  TABSRecordID id;
  std::vector<std::string> blobs;  // per BLOB column; "<null>" when NULL
};
using Model = std::map<int32_t, ModelRow>;  // by code

class RandomDiskTable : public ::testing::TestWithParam<std::tuple<uint16_t, bool>> {
 protected:
  void SetUp() override {
    name_ = folder_.File("r.dat");
    if (std::get<1>(GetParam())) password_ = {"random-secret", 4};
    TABSDiskDatabaseData maker(name_);
    maker.CreateSettings.PageSize = std::get<0>(GetParam());
    maker.CreateSettings.Password = password_;
    maker.CreateDatabase();
    connect();
    cursor_ = std::make_unique<TABSLocalCursor>(session_.get(), "T");
    cursor_->Open(*db_);
    TABSFieldDefs fields;
    TABSIndexDefs indexes;
    TABSConstraintDefs constraints;
    testing::StandardSchema(fields, indexes, constraints);
    testing::AddBlobFields(fields);
    cursor_->TableData()->CreateTable(cursor_.get(), fields, indexes, constraints);
    cursor_->RefreshDefinitions();
  }
  void TearDown() override { disconnect(); }

  void connect() {
    db_ = std::make_unique<TABSDiskDatabaseData>(name_);
    TABSConnectOptions options;
    options.Password = password_;
    options.DurableCommits = false;
    session_ = std::make_unique<TABSBaseSession>(db_->Connect(options));
  }
  void disconnect() {
    cursor_.reset();
    if (db_) db_->Disconnect(session_->SessionID);
    db_.reset();
  }
  void reopen() {
    disconnect();
    connect();
    cursor_ = std::make_unique<TABSLocalCursor>(session_.get(), "T");
    cursor_->Open(*db_);
  }
  int32_t s() const { return session_->SessionID; }
  void run(int steps);

  int32_t unused_code() {
    for (;;) {
      const int32_t code = static_cast<int32_t>(rng_() % 5000);
      if (!model_.count(code)) return code;
    }
  }
  Row random_row(int32_t code) {
    return Row{code, "n" + std::to_string(code), static_cast<int32_t>(rng_() % 50),
               std::string(1 + rng_() % 9, static_cast<char>('a' + rng_() % 26)),
               static_cast<int32_t>(10 + rng_() % 991)};
  }
  bool at(const TABSRecordID& id) {
    cursor_->Position = id;
    cursor_->AtBegin = cursor_->AtEnd = false;
    return cursor_->ReadCurrent() == grrFound;
  }
  // A value for BLOB column `c`: the raw column at the sizes where the stored layout
  // changes, the compressed ones text or noise over several blocks.
  std::string blob_value(size_t c) {
    const int64_t ds = std::get<0>(GetParam()) - 40;
    size_t size = 0;
    if (BlobColumns()[c].algorithm == acNone) {
      const int64_t sizes[] = {0, 1, ds - 25, ds - 24, ds - 32 + ds, ds - 32 + 2 * ds,
                               static_cast<int64_t>(1 + rng_() % 200), static_cast<int64_t>(1 + rng_() % (3 * ds))};
      size = static_cast<size_t>(sizes[rng_() % 8]);
    } else {
      const uint32_t dice = rng_() % 10;
      size = dice < 2 ? 0 : dice < 6 ? 1 + rng_() % 300 : 1 + rng_() % 4000;
    }
    return size == 0 ? std::string() : testing::BlobBytes(rng_, size, rng_() % 2);
  }
  // Gives each BLOB field of the cursor's record a new value, or with `keep` leaves some as
  // they are; `blobs` follows.
  void set_blobs(std::vector<std::string>& blobs, bool keep) {
    blobs.resize(BlobColumns().size(), "<null>");
    for (size_t c = 0; c < BlobColumns().size(); ++c) {
      if (keep && rng_() % 2) continue;
      const std::string value = blob_value(c);
      testing::SetBlob(*cursor_, s(), BlobColumns()[c].name, value);
      blobs[c] = value.empty() ? "<null>" : value;
    }
  }

  const ModelRow& pick() {
    auto it = model_.begin();
    std::advance(it, static_cast<long>(rng_() % model_.size()));
    return it->second;
  }

  void insert() {
    const int32_t code = unused_code();
    const Row row = random_row(code);
    StandardTable::Fill(*cursor_, row);
    std::vector<std::string> blobs(BlobColumns().size(), "<null>");
    if (with_blobs_) set_blobs(blobs, false);
    ASSERT_EQ(cursor_->PostInsert(), roOK) << cursor_->LastMessage;
    model_[code] = ModelRow{row, cursor_->Position, blobs};
  }
  void update() {
    if (model_.empty()) return;
    const ModelRow old = pick();
    ASSERT_TRUE(at(old.id));
    ASSERT_EQ(cursor_->BeginEdit(), roOK);
    const int32_t code = rng_() % 2 ? unused_code() : *old.row.code;
    const Row row = random_row(code);
    Fields f(*cursor_);
    f.SetInt("Code", row.code);
    f.SetText("Name", row.name);
    f.SetInt("A", row.a);
    f.SetText("B", row.b);
    f.SetInt("Q", row.q);
    std::vector<std::string> blobs = old.blobs;
    if (with_blobs_) set_blobs(blobs, true);
    ASSERT_EQ(cursor_->PostEdit(), roOK) << cursor_->LastMessage;
    model_.erase(*old.row.code);
    // Updates keep the record where it is.
    model_[code] = ModelRow{row, old.id, blobs};
  }
  void remove() {
    if (model_.empty()) return;
    const ModelRow old = pick();
    ASSERT_TRUE(at(old.id));
    ASSERT_EQ(cursor_->DeleteCurrent(), roOK);
    model_.erase(*old.row.code);
  }
  void empty() {
    cursor_->TableData()->EmptyTable(cursor_.get());
    model_.clear();
  }

  void compare(const char* when) {
    SCOPED_TRACE(::testing::Message() << when << " at step " << step_);
    TABSTableData& data = *cursor_->TableData();
    ASSERT_EQ(data.GetRecordCount(s()), static_cast<int64_t>(model_.size()));
    Fields f(*cursor_);
    // Storage order: identifiers ascending, every row as the model has it.
    cursor_->SetIndexName("");
    cursor_->GoToBegin();
    size_t seen = 0;
    TABSRecordID last{-1, 0};
    while (cursor_->Step(grmNext) == grrFound) {
      const TABSRecordID id = cursor_->Position;
      ASSERT_EQ(data.RecordManager().CompareRecordPositions(last, id), -1);
      last = id;
      const auto code = f.Int("Code");
      ASSERT_TRUE(code.has_value());
      const auto it = model_.find(static_cast<int32_t>(*code));
      ASSERT_NE(it, model_.end()) << "row " << *code << " is not in the model";
      const Row& row = it->second.row;
      EXPECT_EQ(it->second.id.PageNo, id.PageNo);
      EXPECT_EQ(it->second.id.SlotNo, id.SlotNo);
      EXPECT_EQ(f.Text("Name"), row.name);
      EXPECT_EQ(f.Int("A"), row.a);
      EXPECT_EQ(f.Text("B"), row.b);
      EXPECT_EQ(f.Int("Q"), row.q);
      if (with_blobs_) {
        for (size_t c = 0; c < BlobColumns().size(); ++c)
          EXPECT_TRUE(GetBlob(*cursor_, s(), BlobColumns()[c].name) == it->second.blobs[c])
              << "row " << *code << ", field " << BlobColumns()[c].name;
      }
      ++seen;
    }
    ASSERT_EQ(seen, model_.size());
    if (with_blobs_) {
      std::vector<std::string> problems;
      CheckBlobStorage(static_cast<TABSDiskTableData&>(data), s(), problems);
      for (const std::string& p : problems) ADD_FAILURE() << p;
    }
    // The primary-key index.
    cursor_->SetIndexName("PK");
    std::vector<int64_t> codes = testing::WalkInts(*cursor_, "Code");
    std::vector<int64_t> expected;
    for (const auto& [code, row] : model_) expected.push_back(code);
    EXPECT_EQ(codes, expected);
    cursor_->SetIndexName("");
    // Storage-order record numbers agree with the walk's order.
    if (!model_.empty()) {
      const int64_t k = 1 + static_cast<int64_t>(rng_() % model_.size());
      ASSERT_TRUE(data.SetRecordNoInStorageOrder(cursor_.get(), k));
      EXPECT_EQ(data.GetRecordNoInStorageOrder(cursor_.get()), k);
    }
  }

  TempFolder folder_;
  std::string name_;
  TABSPassword password_;
  std::unique_ptr<TABSDiskDatabaseData> db_;
  std::unique_ptr<TABSBaseSession> session_;
  std::unique_ptr<TABSCursor> cursor_;
  std::mt19937 rng_{20261210};
  Model model_;
  int step_ = 0;
  bool with_blobs_ = false;
  size_t row_target_ = 300;
};

TEST_P(RandomDiskTable, MatchesAMapModel) { run(kSteps); }

TEST_P(RandomDiskTable, KeepsBlobValuesAndPages) {
  with_blobs_ = true;
  row_target_ = 40;
  run(kBlobSteps);
}

void RandomDiskTable::run(int steps) {
  rng_.seed(20261210u + std::get<0>(GetParam()) + (std::get<1>(GetParam()) ? 7u : 0u));
  bool in_transaction = false;
  Model committed;
  int rollbacks = 0, commits = 0, reopens = 0;
  for (step_ = 0; step_ < steps; ++step_) {
    const uint32_t dice = rng_() % 1000;
    const uint32_t inserts = model_.size() < row_target_ ? 520 : 380;
    if (dice < inserts) insert();
    else if (dice < 700) update();
    else if (dice < 930) remove();
    else if (dice < 932) empty();
    else if (dice < 960) {
      if (!in_transaction) {
        committed = model_;
        session_->InTransaction = in_transaction = true;
      } else if (rng_() % 2) {
        session_->InTransaction = in_transaction = false;
        db_->CommitSession(s());
        ++commits;
        compare("commit");
      } else {
        session_->InTransaction = in_transaction = false;
        db_->RollbackSession(s());
        model_ = committed;
        ++rollbacks;
        compare("rollback");
      }
    } else if (dice < 968) {
      if (in_transaction) continue;
      reopen();
      ++reopens;
      compare("reopen");
    } else if (!in_transaction && step_ % 25 == 0) {
      compare("auto-commit");
    }
    if (::testing::Test::HasFatalFailure()) return;
  }
  if (in_transaction) {
    session_->InTransaction = false;
    db_->CommitSession(s());
  }
  reopen();
  compare("end");
  EXPECT_GT(rollbacks, 0);
  EXPECT_GT(commits, 0);
  EXPECT_GT(reopens, 0);
}

INSTANTIATE_TEST_SUITE_P(Files, RandomDiskTable,
                         ::testing::Combine(::testing::Values<uint16_t>(1024, 4096), ::testing::Bool()),
                         [](const auto& info) {
                           return "Page" + std::to_string(std::get<0>(info.param)) +
                                  (std::get<1>(info.param) ? "Encrypted" : "Plain");
                         });

}  // namespace
}  // namespace dadoveri
