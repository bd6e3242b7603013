// A database for SQL tests: a database file (with one connection) or an in-memory
// registry, the engine query over it, a processor, and reading a table back as text.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/base/utf8.h"
#include "engine/database/disk_database_data.h"
#include "engine/database/local_cursor.h"
#include "engine/database/memory_database_data.h"
#include "engine/query/sql_processor.h"
#include "engine/query/sql_query.h"
#include "engine/table/session.h"
#include "tests/engine/test_support.h"

namespace dadoveri::testing {

// UTF-8 to UTF-16 (test texts: well-formed).
inline std::u16string Wide(const std::string& text) { return Utf8ToUtf16(text); }

// The cursor's current row, visible fields joined by '|' (NULL as "NULL").
inline std::string RowText(TABSCursor* c) {
  TABSVariant v;
  std::string row;
  for (int32_t i = 0; i < c->VisibleFields.Count(); ++i) {
    c->GetFieldValue(i, false, v);
    if (i > 0) row += "|";
    row += v.IsNull() ? std::string("NULL") : Utf16ToUtf8(v.GetAsWideString());
  }
  return row;
}

// The rows of a result cursor from its current row on.
inline std::vector<std::string> ResultRows(TABSCursor* c) {
  std::vector<std::string> rows;
  if (!c) return rows;
  for (bool more = !c->AtEnd && c->ReadCurrent() == grrFound; more; more = c->GetRecord(grmNext) == grrFound)
    rows.push_back(RowText(c));
  return rows;
}

// Every row of a result cursor, from its first.
inline std::vector<std::string> AllResultRows(TABSCursor* c) {
  std::vector<std::string> rows;
  if (!c) return rows;
  c->GoToBegin();
  while (c->GetRecord(grmNext) == grrFound) rows.push_back(RowText(c));
  return rows;
}

class SQLTestDatabase {
 public:
  explicit SQLTestDatabase(bool on_disk) : on_disk_(on_disk) {
    if (on_disk_) {
      name_ = folder_.File("sql.dat");
      TABSDiskDatabaseData maker(name_);
      maker.CreateDatabase();
      disk_ = std::make_unique<TABSDiskDatabaseData>(name_);
      TABSConnectOptions options;
      options.DurableCommits = false;
      session_ = std::make_unique<TABSBaseSession>(disk_->Connect(options));
      database_ = disk_.get();
    } else {
      memory_ = std::make_unique<TABSMemoryDatabaseData>();
      session_ = std::make_unique<TABSBaseSession>(0);
      database_ = memory_.get();
    }
    query_ = std::make_unique<TABSSQLConnectionQuery>(*database_, *session_);
    processor_ = std::make_unique<TABSSQLProcessor>(*query_);
  }
  ~SQLTestDatabase() {
    processor_.reset();
    query_.reset();
    if (disk_ && session_) disk_->Disconnect(session_->SessionID);
  }

  bool OnDisk() const { return on_disk_; }
  TABSDatabaseData& Database() { return *database_; }
  TABSBaseSession& Session() { return *session_; }
  TABSSQLConnectionQuery& Query() { return *query_; }
  TABSSQLProcessor& Processor() { return *processor_; }

  // Runs SQL text; answers the rows affected.
  int64_t Run(const std::u16string& sql, const TABSSQLProcessor::StatementCallback& callback = {}) {
    processor_->SetSQL(sql);
    processor_->Execute(callback);
    return processor_->RowsAffected();
  }
  int64_t Run(const std::string& sql) { return Run(Wide(sql)); }

  // The rows of a table in storage order, each as its fields joined by '|', NULL as "NULL".
  std::vector<std::string> Rows(const std::string& table, bool in_memory = false) {
    TABSDatabaseData& db = in_memory ? query_->MemoryDatabase() : *database_;
    TABSLocalCursor c(session_.get(), table);
    c.InMemory = in_memory;
    c.Open(db);
    std::vector<std::string> rows;
    c.GoToBegin();
    TABSVariant v;
    while (c.GetRecord(grmNext) == grrFound) {
      std::string row;
      for (int32_t i = 0; i < c.TableFields.Count(); ++i) {
        c.GetFieldValue(i, true, v);
        if (i > 0) row += "|";
        row += v.IsNull() ? std::string("NULL") : Utf16ToUtf8(v.GetAsWideString());
      }
      rows.push_back(row);
    }
    c.Close();
    return rows;
  }
  // The field names of a table.
  std::vector<std::string> FieldNames(const std::string& table) {
    TABSLocalCursor c(session_.get(), table);
    c.Open(*database_);
    std::vector<std::string> names;
    for (int32_t i = 0; i < c.TableFields.Count(); ++i) names.push_back(c.TableFields.Item(i)->Name);
    c.Close();
    return names;
  }

 private:
  bool on_disk_;
  TempFolder folder_;
  std::string name_;
  std::unique_ptr<TABSDiskDatabaseData> disk_;
  std::unique_ptr<TABSMemoryDatabaseData> memory_;
  std::unique_ptr<TABSBaseSession> session_;
  TABSDatabaseData* database_ = nullptr;
  std::unique_ptr<TABSSQLConnectionQuery> query_;
  std::unique_ptr<TABSSQLProcessor> processor_;
};

}  // namespace dadoveri::testing
