#include "engine/database/database_data.h"

#include <algorithm>

#include "engine/storage/page_manager.h"
#include "engine/table/meta_object_def.h"

namespace dadoveri {

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

void TABSDatabaseData::GetTableNames(std::vector<std::string>& names) { names.clear(); }

void TABSDatabaseData::CommitSession(int32_t session) {
  std::lock_guard guard(lock_);
  if (TABSPageManager* pages = PageManager()) pages->CommitPages(session);
}

void TABSDatabaseData::RollbackSession(int32_t session) {
  std::lock_guard guard(lock_);
  if (TABSPageManager* pages = PageManager()) pages->RollbackPages(session);
  // Telling every open table of the rollback arrives with the table data objects.
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
