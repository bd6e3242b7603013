#include "engine/database/table_locks_file.h"

#include "engine/storage/disk_page_manager.h"
#include "engine/base/little_endian.h"
#include "engine/storage/page.h"

namespace dadoveri {

namespace {
constexpr int32_t kBytesPerSlot = 12;
constexpr int32_t kRecordIDSize = 6;
}  // namespace

TABSTableLocksFile::TABSTableLocksFile(TABSDiskPageManager& pages) : pages_(pages), file_(pages) {}

void TABSTableLocksFile::CreateFile(int32_t session, int32_t max_connections) {
  file_.CreateFile(session, ptTableLocks, kBytesPerSlot * max_connections);
  slot_count_ = max_connections;
}

void TABSTableLocksFile::OpenFile(int32_t start_page_no) {
  file_.OpenFile(start_page_no, ptTableLocks);
  slot_count_ = file_.GetSize() / kBytesPerSlot;
}

void TABSTableLocksFile::CloseFile() {
  file_.CloseFile();
  slot_count_ = 0;
}

void TABSTableLocksFile::DeleteFile(int32_t session) {
  file_.DeleteFile(session);
  slot_count_ = 0;
}

bool TABSTableLocksFile::TryLockFile() { return pages_.LockPageBytes(file_.StartPageNo(), 0, 1); }

bool TABSTableLocksFile::UnlockFile() { return pages_.UnlockPageBytes(file_.StartPageNo(), 0, 1); }

bool TABSTableLocksFile::OthersHold(int32_t type, int32_t session) {
  const int32_t base = type * slot_count_;
  if (session > 0 && file_.IsRegionLocked(base, session)) return true;
  const int32_t after = slot_count_ - session - 1;
  return after > 0 && file_.IsRegionLocked(base + session + 1, after);
}

void TABSTableLocksFile::WriteRecordID(int32_t session, int32_t page_no, uint16_t slot_no) {
  uint8_t bytes[kRecordIDSize];
  StoreLE(bytes, page_no);
  StoreLE(bytes + 4, slot_no);
  file_.DirectWriteBuffer(6 * slot_count_ + kRecordIDSize * session, bytes, kRecordIDSize);
}

void TABSTableLocksFile::ReadRecordID(int32_t session, int32_t& page_no, uint16_t& slot_no) {
  uint8_t bytes[kRecordIDSize];
  file_.DirectReadBuffer(6 * slot_count_ + kRecordIDSize * session, bytes, kRecordIDSize);
  page_no = LoadLE<int32_t>(bytes);
  slot_no = LoadLE<uint16_t>(bytes + 4);
}

}  // namespace dadoveri
