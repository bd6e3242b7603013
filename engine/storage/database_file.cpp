#include "engine/storage/database_file.h"

#include <cerrno>
#include <vector>

#include "engine/platform/sleep.h"
#include "engine/base/engine_error.h"

namespace dadoveri {

namespace {

FileAccess to_access(uint8_t mode) {
  return mode == 0 ? FileAccess::Read : FileAccess::ReadWrite;
}

FileShare to_share(uint8_t mode) {
  switch (mode) {
    case 0: return FileShare::None;
    case 2: return FileShare::Read;
    default: return FileShare::ReadWrite;
  }
}

}  // namespace

TABSDatabaseFile::~TABSDatabaseFile() {
  if (opened_) file_.Close();
}

void TABSDatabaseFile::require_open(const char* operation) const {
  if (!opened_) RaiseError(30376, operation);
}

void TABSDatabaseFile::require_usable(const char* operation) const {
  require_open(operation);
  if (lost_) RaiseError(40207, file_name_);
}

void TABSDatabaseFile::lose() {
  file_.Close();
  lost_ = true;
  lost_connection_ = true;
  RaiseError(40207, file_name_);
}

void TABSDatabaseFile::require_closed(const char* operation) const {
  if (opened_) RaiseError(30377, operation);
}

bool TABSDatabaseFile::open_platform() {
  return file_.Open(file_name_, to_access(access_mode_), to_share(share_mode_));
}

void TABSDatabaseFile::CreateFile(const std::string& file_name) {
  require_closed("CreateFile");
  if (file_name.empty()) RaiseError(30374);
  file_name_ = file_name;
  access_mode_ = 1;
  share_mode_ = 0;
  if (PlatformFileExists(file_name)) {
    PlatformClearReadOnly(file_name);
    PlatformDeleteFile(file_name);
  }
  if (!file_.Create(file_name, FileAccess::ReadWrite, FileShare::None))
    RaiseError(30361, file_name, file_.LastError(), file_.LastErrorText());
  opened_ = true;
  lost_connection_ = false;
  lost_ = false;
}

void TABSDatabaseFile::OpenFile(const std::string& file_name, uint8_t access_mode,
                                uint8_t share_mode) {
  require_closed("OpenFile");
  if (access_mode > 1) RaiseError(30366, access_mode);
  if (share_mode > 2) RaiseError(30367, share_mode);
  file_name_ = file_name;
  access_mode_ = access_mode;
  share_mode_ = share_mode;
  if (!open_platform()) RaiseError(30364, file_name, file_.LastError(), file_.LastErrorText());
  opened_ = true;
  lost_connection_ = false;
  lost_ = false;
}

void TABSDatabaseFile::CloseFile() {
  require_open("CloseFile");
  opened_ = false;
  lost_ = false;
  if (!file_.Close()) RaiseError(30365, file_name_, file_.LastError(), file_.LastErrorText());
}

bool TABSDatabaseFile::reconnect() {
  int64_t size = 0;
  if (file_.GetSize(&size)) return true;
  const int saved_error = file_.LastError();
  // Closing the dead handle gives up its byte locks; they are taken again below.
  const std::vector<ByteLockTable::Range> held = file_.HeldLocks();
  bool reopened = false;
  for (int attempt = 0; attempt < 3 && !reopened; ++attempt) {
    file_.Close();
    reopened = open_platform();
    if (!reopened) SleepMilliseconds(reconnect_pause_ms_);
  }
  if (!reopened) {
    if (!held.empty()) lose();
    file_.SetLastError(saved_error);
    return false;
  }
  // Another user may have taken a lock in the meantime: then what it guarded cannot be
  // trusted any more.
  for (const ByteLockTable::Range& range : held)
    if (!file_.LockRange(range.offset, range.count)) lose();
  file_.SetLastError(saved_error);
  return true;
}

template <typename Op>
bool TABSDatabaseFile::with_retry(Op&& op) {
  if (op()) return true;
  if (!reconnect()) return false;
  return op();
}

int64_t TABSDatabaseFile::size_or_minus_one() {
  int64_t size = -1;
  if (!file_.IsOpen() || !file_.GetSize(&size)) return -1;
  return size;
}

bool TABSDatabaseFile::Seek(int64_t position) {
  require_usable("Seek");
  return with_retry([&] { return file_.Seek(position); });
}

void TABSDatabaseFile::SetPosition(int64_t position) {
  require_usable("SetPosition");
  if (Seek(position)) return;
  int64_t current = -1;
  if (file_.IsOpen()) file_.GetPosition(&current);
  RaiseError(30372, position, file_name_, current, size_or_minus_one());
}

int64_t TABSDatabaseFile::GetPosition() {
  require_usable("GetPosition");
  int64_t position = 0;
  if (!with_retry([&] { return file_.GetPosition(&position); }))
    RaiseError(30373, file_name_, file_.LastError(), file_.LastErrorText());
  return position;
}

void TABSDatabaseFile::SetSize(int64_t size) {
  require_usable("SetSize");
  if (!with_retry([&] { return writer_->SetSize(size); }))
    RaiseError(30370, file_name_, size, file_.LastError(), file_.LastErrorText());
}

int64_t TABSDatabaseFile::GetSize() {
  require_usable("GetSize");
  int64_t size = 0;
  if (!with_retry([&] { return file_.GetSize(&size); }))
    RaiseError(30371, file_name_, file_.LastError(), file_.LastErrorText());
  return size;
}

bool TABSDatabaseFile::ReadBuffer(void* buffer, int32_t, int64_t position, int32_t count) {
  require_usable("ReadBuffer");
  if (count < 0) return false;
  return with_retry([&] {
    return file_.Read(buffer, static_cast<size_t>(count), position);
  });
}

void TABSDatabaseFile::ReadBufferWithError(void* buffer, int32_t error_code, int64_t position,
                                           int32_t count) {
  require_usable("ReadBuffer");
  bool ok = count >= 0 && file_.Read(buffer, static_cast<size_t>(count), position);
  if (!ok && count > 0) {
    // A byte lock of another handle may have been in the way: probe it, then repeat.
    IsRegionLocked(count, position);
    ok = file_.Read(buffer, static_cast<size_t>(count), position);
  }
  if (!ok && count > 0 && reconnect())
    ok = file_.Read(buffer, static_cast<size_t>(count), position);
  if (!ok) {
    const int error = file_.LastError();
    RaiseError(error_code, file_name_, position, count, position, size_or_minus_one(), error,
               PlatformErrorText(error));
  }
}

void TABSDatabaseFile::WriteBuffer(const void* buffer, int32_t error_code, int64_t position,
                                   int32_t count) {
  require_usable("WriteBuffer");
  const bool ok = count >= 0 && with_retry([&] {
    return writer_->Write(buffer, static_cast<size_t>(count), position);
  });
  if (!ok) {
    const int error = count < 0 ? EINVAL : file_.LastError();
    RaiseError(error_code, file_name_, position, count, position, size_or_minus_one(), error,
               PlatformErrorText(error));
  }
}

void TABSDatabaseFile::WriteRun(const uint8_t* const* blocks, int32_t count, int32_t block_size,
                                int32_t error_code, int64_t position) {
  require_usable("WriteBuffer");
  const bool ok = count >= 0 && block_size >= 0 && with_retry([&] {
    return writer_->WriteRun(blocks, static_cast<size_t>(count), static_cast<size_t>(block_size), position);
  });
  if (!ok) {
    const int error = count < 0 || block_size < 0 ? EINVAL : file_.LastError();
    RaiseError(error_code, file_name_, position, static_cast<int64_t>(count) * block_size, position,
               size_or_minus_one(), error, PlatformErrorText(error));
  }
}

void TABSDatabaseFile::FlushFileBuffers() {
  require_usable("FlushFileBuffers");
  if (!writer_->Flush()) RaiseError(30379, file_name_, file_.LastError(), file_.LastErrorText());
}

void TABSDatabaseFile::SyncData() {
  require_usable("SyncData");
  if (!writer_->SyncData()) RaiseError(30379, file_name_, file_.LastError(), file_.LastErrorText());
}

template <typename Op>
bool TABSDatabaseFile::retry_lock(Op&& op) {
  if (op()) return true;
  // Another holder: waiting is the caller's business, a reconnect cannot help.
  if (IsLockConflictError(file_.LastError())) return false;
  lost_connection_ = IsLostConnectionError(file_.LastError());
  if (!reconnect()) return false;
  lost_connection_ = false;
  if (op()) return true;
  lost_connection_ = IsLostConnectionError(file_.LastError());
  return false;
}

bool TABSDatabaseFile::LockByte(int32_t count, int64_t offset) {
  require_usable("LockByte");
  return retry_lock([&] { return file_.LockRange(offset, count); });
}

bool TABSDatabaseFile::UnlockByte(int32_t count, int64_t offset) {
  require_usable("UnlockByte");
  return retry_lock([&] { return file_.UnlockRange(offset, count); });
}

bool TABSDatabaseFile::IsByteLocked(int64_t offset) {
  require_usable("IsByteLocked");
  return IsRegionLocked(1, offset);
}

bool TABSDatabaseFile::IsRegionLocked(int32_t count, int64_t offset) {
  require_usable("IsRegionLocked");
  if (!LockByte(count, offset)) return true;
  UnlockByte(count, offset);
  return false;
}

}  // namespace dadoveri
