// TABSTableLocksFile: a table's lock file, a direct-access internal file (page type 7) of
// 12 × S bytes for S session slots. Its bytes are lock targets:
//   t × S + s        (t = 0 … 5) locked while session s holds a table lock of type t;
//                    type 5 also marks that session s holds a record lock in the table
//   6 × S + 6 × s    the RecordID (PageNo int32, SlotNo uint16) session s has locked
// The exclusive lock (type 6) has no byte: it is the file's own lock, the first byte of
// its first page, held for as long as the exclusive lock lasts.
#pragma once

#include <cstdint>

#include "engine/storage/internal_file.h"

namespace dadoveri {

class TABSDiskPageManager;

class TABSTableLocksFile {
 public:
  explicit TABSTableLocksFile(TABSDiskPageManager& pages);

  void CreateFile(int32_t session, int32_t max_connections);
  void OpenFile(int32_t start_page_no);
  void CloseFile();
  void DeleteFile(int32_t session);
  bool IsOpened() const { return file_.IsOpened(); }
  int32_t StartPageNo() const { return file_.StartPageNo(); }
  int32_t SlotCount() const { return slot_count_; }

  // The file's own lock, one attempt.
  bool TryLockFile();
  bool UnlockFile();
  bool LockTypeByte(int32_t type, int32_t session) { return file_.LockByte(type * slot_count_ + session); }
  bool UnlockTypeByte(int32_t type, int32_t session) { return file_.UnlockByte(type * slot_count_ + session); }
  // Whether any session but `session` holds a lock of `type` (two range tests).
  bool OthersHold(int32_t type, int32_t session);
  bool IsTypeByteLocked(int32_t type, int32_t session) { return file_.IsByteLocked(type * slot_count_ + session); }

  void WriteRecordID(int32_t session, int32_t page_no, uint16_t slot_no);
  void ReadRecordID(int32_t session, int32_t& page_no, uint16_t& slot_no);

 private:
  TABSDiskPageManager& pages_;
  TABSInternalDBDirectAccessFile file_;
  int32_t slot_count_ = 0;
};

}  // namespace dadoveri
