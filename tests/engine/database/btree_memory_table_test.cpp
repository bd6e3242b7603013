// The record index's randomized differential test over a real in-memory table: records in
// the table's record manager, read back through the table data object, and index pages in
// the memory page manager.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/database/local_cursor.h"
#include "engine/database/memory_database_data.h"
#include "engine/table/cursor.h"
#include "engine/table/session.h"
#include "tests/engine/table/btree_random_model.h"

namespace dadoveri {
namespace {

using testing::Config;
using testing::Keys;
using testing::RandomIndex;

class MemoryTableBacking final : public testing::IndexBacking {
 public:
  explicit MemoryTableBacking(const TABSFieldDefs& fields) : cursor_(&session_, "R") {
    cursor_.Open(db_);
    cursor_.TableData()->CreateTable(&cursor_, fields, TABSIndexDefs(), TABSConstraintDefs());
    table_ = cursor_.TableData();
  }
  ~MemoryTableBacking() override { db_.MemoryPages().RollbackPages(testing::S); }

  TABSPageManager* Pages() override { return &db_.MemoryPages(); }
  TABSIndexRecordSource* Source() override { return table_; }
  TABSRecordID Add(const std::vector<uint8_t>& record) override {
    TABSRecordID id;
    EXPECT_TRUE(table_->RecordManager().InsertRecord(testing::S, record.data(), id));
    return id;
  }
  void Put(const TABSRecordID& id, const std::vector<uint8_t>& record) override {
    EXPECT_TRUE(table_->RecordManager().UpdateRecord(testing::S, record.data(), id));
  }
  void Remove(const TABSRecordID& id) override { EXPECT_TRUE(table_->RecordManager().DeleteRecord(testing::S, id)); }
  std::vector<uint8_t> Get(const TABSRecordID& id) override {
    std::vector<uint8_t> record(static_cast<size_t>(table_->MemoryRecordSize()));
    EXPECT_TRUE(table_->ReadRecord(testing::S, id, record.data()));
    return record;
  }
  // An in-memory table commits every change: nothing is rolled back.
  bool CanRollBack() const override { return false; }
  void Restore(const testing::RecordMap&) override {}

 private:
  TABSMemoryDatabaseData db_;
  TABSBaseSession session_{testing::S};
  TABSLocalCursor cursor_;
  TABSTableData* table_ = nullptr;
};

class BTreeOverMemoryTable : public ::testing::TestWithParam<Config> {};

TEST_P(BTreeOverMemoryTable, MatchesASortedModel) {
  RandomIndex run(GetParam(), 4242, [](const TABSFieldDefs& fields, uint16_t) {
    return std::make_unique<MemoryTableBacking>(fields);
  });
  run.Run();
  EXPECT_GE(run.Depth(), 2);
}

INSTANTIATE_TEST_SUITE_P(Keys, BTreeOverMemoryTable,
                         ::testing::Values(Config{Keys::Ansi, kMemoryPageSize, 12000},
                                           Config{Keys::MultiPart, kMemoryPageSize, 12000}),
                         [](const ::testing::TestParamInfo<Config>& info) {
                           return std::string(info.param.keys == Keys::Ansi ? "Ansi" : "MultiPart");
                         });

}  // namespace
}  // namespace dadoveri
