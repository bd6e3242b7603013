// TABSActiveSessionsFile: the active-sessions file of a database, a direct-access internal
// file (page type 5) whose byte i is the slot of session number i. Its content is never
// read: a connected session keeps its slot byte locked for as long as it is connected, so
// the slots of a process that dies are freed with its handle.
#pragma once

#include <cstdint>

#include "engine/storage/internal_file.h"

namespace dadoveri {

class TABSDiskPageManager;

inline constexpr int32_t kDefaultMaxConnections = 500;

class TABSActiveSessionsFile {
 public:
  explicit TABSActiveSessionsFile(TABSDiskPageManager& pages);

  // Creates the file with one slot per allowed connection, in `session`.
  void CreateFile(int32_t session, int32_t max_connections);
  // Opens it; the slot count is the stored size, limited to what the pages hold.
  void OpenFile(int32_t start_page_no);
  void CloseFile();
  bool IsOpened() const { return file_.IsOpened(); }
  int32_t StartPageNo() const { return file_.StartPageNo(); }
  int32_t SlotCount() const { return slot_count_; }

  // Multi-user connection: under the file lock, the lowest slot whose byte can be locked
  // stays locked and is the session number. No free slot: "Cannot connect session. Maximum
  // connections quantity exceeded or database is open in single-user mode" (20094).
  int32_t ConnectSession();
  // Unlocks the slot under the file lock ("Cannot disconnect session", 20095).
  void DisconnectSession(int32_t session);
  // Single-user: under the file lock, when no slot is locked by anyone, locks every slot
  // and answers true; otherwise takes none and answers false.
  bool TakeAllSlots();
  void ReleaseAllSlots();
  // Whether another handle (or another connection of this one) holds slot i.
  bool IsSlotLocked(int32_t slot);

 private:
  void lock_file();
  void unlock_file(int32_t error_code);

  TABSInternalDBDirectAccessFile file_;
  int32_t slot_count_ = 0;
};

}  // namespace dadoveri
