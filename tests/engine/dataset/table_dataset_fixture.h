// A database file (or the in-memory database) with a table "words" made through TABSTable:
// Id integer, Word string(30), Far wide string(8), Note memo, Wide wide memo, Data BLOB.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/dataset/database.h"
#include "engine/dataset/table.h"
#include "tests/engine/test_support.h"

namespace dadoveri::testing {

// The code and message of the database or engine error `fn` raises.
template <typename Fn>
std::pair<int32_t, std::string> RaisedBy(Fn&& fn) {
  try {
    fn();
  } catch (const EABSEngineError& e) {
    return {e.ErrorCode, e.what()};
  } catch (const EDatabaseError& e) {
    return {e.Code, e.what()};
  } catch (const VODIDivodavir& e) {
    return {e.NativeError, e.what()};
  }
  return {0, "<nothing raised>"};
}

inline void AddField(TABSFieldDefs& defs, const std::string& name, TABSColumnType type, int32_t size = 0) {
  TABSFieldDef* f = defs.AddFieldDef();
  f->Name = name;
  f->SetType(type, size);
}

class TableDataSetTest : public ::testing::TestWithParam<bool> {
 protected:
  // Param: true for the database file, false for the in-memory database.
  bool OnDisk() const { return GetParam(); }

  void SetUp() override {
    database_name_ = OnDisk() ? "words_db" : "MEMORY";
    if (OnDisk()) {
      db_ = std::make_unique<TABSDatabase>();
      db_->SetDatabaseName(database_name_);
      db_->SetDatabaseFileName(folder_.File("words.abs"));
      db_->SilentMode = true;
      db_->CreateDatabase();
      db_->Connect();
    }
    TABSTable maker;
    maker.SetDatabaseName(database_name_);
    maker.SetTableName("words");
    AddField(maker.TableFieldDefs, "Id", ctInteger);
    AddField(maker.TableFieldDefs, "Word", ctString, 30);
    AddField(maker.TableFieldDefs, "Far", ctWideString, 8);
    AddField(maker.TableFieldDefs, "Note", ctMemo);
    AddField(maker.TableFieldDefs, "Wide", ctWideMemo);
    AddField(maker.TableFieldDefs, "Data", ctBlob);
    maker.CreateTable();
  }

  void TearDown() override {
    if (!OnDisk()) {
      TABSTable dropper;
      dropper.SetDatabaseName(database_name_);
      dropper.SetTableName("words");
      try {
        dropper.DeleteTable();
      } catch (...) {
      }
    }
    if (db_) db_->Disconnect();
  }

  std::unique_ptr<TABSTable> OpenWords(bool read_only = false) {
    auto t = std::make_unique<TABSTable>();
    t->SetDatabaseName(database_name_);
    t->SetTableName("words");
    t->SetReadOnly(read_only);
    t->Open();
    return t;
  }

  void AppendWords(TABSTable& t, const std::vector<std::string>& words) {
    int id = static_cast<int>(t.RecordCount());
    for (const std::string& w : words) {
      t.Append();
      t.FieldByName("Id")->SetAsInteger(++id);
      t.FieldByName("Word")->SetAsString(w);
      t.Post();
    }
  }

  std::vector<std::string> Words(TABSTable& t) {
    std::vector<std::string> out;
    t.First();
    while (!t.Eof()) {
      out.push_back(t.FieldByName("Word")->AsString());
      t.Next();
    }
    return out;
  }

  TempFolder folder_;
  std::string database_name_;
  std::unique_ptr<TABSDatabase> db_;
};

}  // namespace dadoveri::testing
