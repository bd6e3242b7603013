#include "engine/storage/table_pages_cache.h"

#include "engine/base/engine_error.h"

namespace dadoveri {

TABSDiskTablePagesCacheManager::SessionTables& TABSDiskTablePagesCacheManager::session_tables(
    int32_t session) {
  if (session < -2) RaiseError(20186);
  const size_t index = static_cast<size_t>(session + 2);
  if (sessions_.size() <= index) sessions_.resize(index + 1);
  return sessions_[index];
}

void TABSDiskTablePagesCacheManager::LockTable(int32_t session, int32_t object_id,
                                               bool exclusive) {
  TableInfo& info = session_tables(session).tables[object_id];
  ++(exclusive ? info.exclusive_locks : info.shared_locks);
}

void TABSDiskTablePagesCacheManager::UnlockTable(int32_t session, int32_t object_id,
                                                 bool exclusive) {
  TableInfo& info = session_tables(session).tables[object_id];
  int32_t& count = exclusive ? info.exclusive_locks : info.shared_locks;
  if (count > 0) --count;
  if (info.shared_locks == 0 && info.exclusive_locks == 0) {
    info.counter_known = false;
    info.counter = -1;
  }
}

void TABSDiskTablePagesCacheManager::SetTableCounter(int32_t session, int32_t object_id,
                                                     int32_t counter) {
  TableInfo& info = session_tables(session).tables[object_id];
  if (info.counter_known) return;
  if (info.shared_locks == 0 && info.exclusive_locks == 0) return;
  info.counter_known = true;
  info.counter = counter;
}

void TABSDiskTablePagesCacheManager::PushCurrentTable(int32_t session, int32_t object_id) {
  session_tables(session).current.push_back(object_id);
}

void TABSDiskTablePagesCacheManager::PopCurrentTable(int32_t session) {
  SessionTables& tables = session_tables(session);
  if (!tables.current.empty()) tables.current.pop_back();
}

bool TABSDiskTablePagesCacheManager::CurrentTableCounter(int32_t session,
                                                         int32_t* counter) const {
  const size_t index = static_cast<size_t>(session + 2);
  if (session < -2 || index >= sessions_.size()) return false;
  const SessionTables& tables = sessions_[index];
  if (tables.current.empty()) return false;
  auto it = tables.tables.find(tables.current.back());
  if (it == tables.tables.end()) return false;
  const TableInfo& info = it->second;
  if (info.shared_locks + info.exclusive_locks <= 0 || !info.counter_known) return false;
  *counter = info.counter;
  return true;
}

}  // namespace dadoveri
