// TABSDiskTablePagesCacheManager: what the page cache needs to know, per session, about
// the tables the session works on in multi-user mode: for each table it holds locked,
// the table counter read from the table's most-updated file while locked (the first
// time only), and a stack of current tables pushed around every table operation.
// A cached page is trusted for a session when it was last validated under the current
// table's counter.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

namespace dadoveri {

class TABSDiskTablePagesCacheManager {
 public:
  void LockTable(int32_t session, int32_t object_id, bool exclusive);
  // When both lock counts fall to zero the table's counter becomes unknown again.
  void UnlockTable(int32_t session, int32_t object_id, bool exclusive);
  // Records the counter read under a lock; ignored when it is already known.
  void SetTableCounter(int32_t session, int32_t object_id, int32_t counter);
  void PushCurrentTable(int32_t session, int32_t object_id);
  void PopCurrentTable(int32_t session);
  // The counter of the session's current table, when the session holds a lock on it and
  // the counter is known.
  bool CurrentTableCounter(int32_t session, int32_t* counter) const;

 private:
  struct TableInfo {
    int32_t shared_locks = 0;
    int32_t exclusive_locks = 0;
    bool counter_known = false;
    int32_t counter = -1;
  };
  struct SessionTables {
    std::map<int32_t, TableInfo> tables;
    std::vector<int32_t> current;
  };
  SessionTables& session_tables(int32_t session);

  std::vector<SessionTables> sessions_;  // indexed by session + 2
};

}  // namespace dadoveri
