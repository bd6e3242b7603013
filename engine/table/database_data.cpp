#include "engine/table/database_data.h"

#include <algorithm>

#include "engine/base/engine_error.h"
#include "engine/storage/page_manager.h"
#include "engine/table/meta_object_def.h"
#include "engine/table/table_data.h"

namespace dadoveri {

TABSDatabaseData::TABSDatabaseData() = default;
TABSDatabaseData::~TABSDatabaseData() = default;

void TABSDatabaseData::RegisterSession(int32_t session) {
  std::lock_guard guard(lock_);
  sessions_.push_back(session);
}

void TABSDatabaseData::UnregisterSession(int32_t session) {
  std::lock_guard guard(lock_);
  const auto it = std::find(sessions_.begin(), sessions_.end(), session);
  if (it != sessions_.end()) sessions_.erase(it);
}

bool TABSDatabaseData::Release() {
  std::lock_guard guard(lock_);
  return sessions_.empty();
}

void TABSDatabaseData::GetTableNames(std::vector<std::string>& names) {
  std::lock_guard guard(lock_);
  names.clear();
  for (const auto& table : tables_) names.push_back(table->TableName());
}

TABSTableData* TABSDatabaseData::FindTableData(std::string_view table_name) {
  std::lock_guard guard(lock_);
  for (const auto& table : tables_)
    if (!table->Dropped() && SameName(table->TableName(), table_name)) return table.get();
  return nullptr;
}

TABSTableData* TABSDatabaseData::FindOrOpenTableData(const std::string& table_name) {
  std::lock_guard guard(lock_);
  if (TABSTableData* found = FindTableData(table_name)) return found;
  return OpenTableData(table_name);
}

TABSTableData* TABSDatabaseData::AddTableData(std::unique_ptr<TABSTableData> table) {
  std::lock_guard guard(lock_);
  tables_.push_back(std::move(table));
  return tables_.back().get();
}

void TABSDatabaseData::CloseTableData(TABSTableData* table) {
  std::lock_guard guard(lock_);
  for (auto it = tables_.begin(); it != tables_.end(); ++it) {
    if (it->get() == table) {
      tables_.erase(it);
      return;
    }
  }
}

void TABSDatabaseData::CloseUnusedTables(size_t keep) {
  std::lock_guard guard(lock_);
  auto closable = [](const std::unique_ptr<TABSTableData>& t) {
    return t->Cursors().empty() && t->ClosableWhenUnused();
  };
  size_t unused = static_cast<size_t>(std::count_if(tables_.begin(), tables_.end(), closable));
  for (auto it = tables_.begin(); unused > keep && it != tables_.end();) {
    if (closable(*it)) {
      it = tables_.erase(it);
      --unused;
    } else {
      ++it;
    }
  }
}

int32_t TABSDatabaseData::OpenTableCount() {
  std::lock_guard guard(lock_);
  return static_cast<int32_t>(tables_.size());
}

void TABSDatabaseData::CloseAllTables() {
  std::lock_guard guard(lock_);
  tables_.clear();
}

void TABSDatabaseData::CommitSession(int32_t session) {
  std::lock_guard guard(lock_);
  if (TABSPageManager* pages = PageManager()) pages->CommitPages(session);
}

void TABSDatabaseData::RollbackSession(int32_t session) {
  std::lock_guard guard(lock_);
  if (TABSPageManager* pages = PageManager()) pages->RollbackPages(session);
  for (const auto& table : tables_) table->AfterRollback(session);
}

bool TABSDatabaseData::TableExists(std::string_view table_name) {
  std::vector<std::string> names;
  GetTableNames(names);
  return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return SameName(n, table_name); });
}

int32_t TABSDatabaseData::SessionCount() {
  std::lock_guard guard(lock_);
  return static_cast<int32_t>(sessions_.size());
}

}  // namespace dadoveri
