#include "engine/database/sessions_file.h"

#include <algorithm>

#include "engine/base/engine_error.h"
#include "engine/storage/disk_page_manager.h"
#include "engine/storage/page.h"

namespace dadoveri {

TABSActiveSessionsFile::TABSActiveSessionsFile(TABSDiskPageManager& pages) : file_(pages) {}

void TABSActiveSessionsFile::CreateFile(int32_t session, int32_t max_connections) {
  file_.CreateFile(session, ptActiveSessionList, max_connections);
  slot_count_ = max_connections;
}

void TABSActiveSessionsFile::OpenFile(int32_t start_page_no) {
  file_.OpenFile(start_page_no, ptActiveSessionList);
  slot_count_ = std::max(0, std::min(file_.GetSize(), file_.Capacity()));
}

void TABSActiveSessionsFile::CloseFile() {
  file_.CloseFile();
  slot_count_ = 0;
}

void TABSActiveSessionsFile::lock_file() {
  if (!file_.LockFile()) RaiseError(20094);
}

void TABSActiveSessionsFile::unlock_file(int32_t error_code) {
  if (!file_.UnlockFile()) RaiseError(error_code);
}

int32_t TABSActiveSessionsFile::ConnectSession() {
  lock_file();
  int32_t slot = -1;
  try {
    for (int32_t i = 0; i < slot_count_; ++i) {
      if (file_.LockByte(i)) {
        slot = i;
        break;
      }
    }
  } catch (...) {
    file_.UnlockFile();
    throw;
  }
  unlock_file(20093);
  if (slot < 0) RaiseError(20094);
  return slot;
}

void TABSActiveSessionsFile::DisconnectSession(int32_t session) {
  lock_file();
  const bool ok = file_.UnlockByte(session);
  unlock_file(20096);
  if (!ok) RaiseError(20095);
}

bool TABSActiveSessionsFile::TakeAllSlots() {
  lock_file();
  bool taken = false;
  try {
    if (slot_count_ > 0 && !file_.IsRegionLocked(0, slot_count_)) {
      int32_t locked = 0;
      while (locked < slot_count_ && file_.LockByte(locked)) ++locked;
      taken = locked == slot_count_;
      if (!taken)
        for (int32_t i = 0; i < locked; ++i) file_.UnlockByte(i);
    }
  } catch (...) {
    file_.UnlockFile();
    throw;
  }
  unlock_file(20240);
  return taken;
}

void TABSActiveSessionsFile::ReleaseAllSlots() {
  lock_file();
  for (int32_t i = 0; i < slot_count_; ++i) file_.UnlockByte(i);
  unlock_file(20241);
}

bool TABSActiveSessionsFile::IsSlotLocked(int32_t slot) { return file_.IsByteLocked(slot); }

}  // namespace dadoveri
