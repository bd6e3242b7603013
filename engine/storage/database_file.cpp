#include "engine/storage/database_file.h"

#include <cerrno>

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
}

void TABSDatabaseFile::CloseFile() {
  require_open("CloseFile");
  opened_ = false;
  if (!file_.Close()) RaiseError(30365, file_name_, file_.LastError(), file_.LastErrorText());
}

bool TABSDatabaseFile::reconnect() {
  int64_t size = 0;
  if (file_.GetSize(&size)) return true;
  const int saved_error = file_.LastError();
  for (int attempt = 0; attempt < 3; ++attempt) {
    file_.Close();
    if (open_platform()) {
      file_.SetLastError(saved_error);
      return true;
    }
    SleepMilliseconds(reconnect_pause_ms_);
  }
  file_.SetLastError(saved_error);
  return file_.IsOpen();
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
  require_open("Seek");
  return with_retry([&] { return file_.Seek(position); });
}

void TABSDatabaseFile::SetPosition(int64_t position) {
  require_open("SetPosition");
  if (Seek(position)) return;
  int64_t current = -1;
  if (file_.IsOpen()) file_.GetPosition(&current);
  RaiseError(30372, position, file_name_, current, size_or_minus_one());
}

int64_t TABSDatabaseFile::GetPosition() {
  require_open("GetPosition");
  int64_t position = 0;
  if (!with_retry([&] { return file_.GetPosition(&position); }))
    RaiseError(30373, file_name_, file_.LastError(), file_.LastErrorText());
  return position;
}

void TABSDatabaseFile::SetSize(int64_t size) {
  require_open("SetSize");
  if (!with_retry([&] { return writer_->SetSize(size); }))
    RaiseError(30370, file_name_, size, file_.LastError(), file_.LastErrorText());
}

int64_t TABSDatabaseFile::GetSize() {
  require_open("GetSize");
  int64_t size = 0;
  if (!with_retry([&] { return file_.GetSize(&size); }))
    RaiseError(30371, file_name_, file_.LastError(), file_.LastErrorText());
  return size;
}

bool TABSDatabaseFile::ReadBuffer(void* buffer, int32_t, int64_t position, int32_t count) {
  require_open("ReadBuffer");
  if (count < 0) return false;
  return with_retry([&] {
    return file_.Read(buffer, static_cast<size_t>(count), position);
  });
}

void TABSDatabaseFile::ReadBufferWithError(void* buffer, int32_t error_code, int64_t position,
                                           int32_t count) {
  require_open("ReadBuffer");
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
  require_open("WriteBuffer");
  const bool ok = count >= 0 && with_retry([&] {
    return writer_->Write(buffer, static_cast<size_t>(count), position);
  });
  if (!ok) {
    const int error = count < 0 ? EINVAL : file_.LastError();
    RaiseError(error_code, file_name_, position, count, position, size_or_minus_one(), error,
               PlatformErrorText(error));
  }
}

void TABSDatabaseFile::FlushFileBuffers() {
  require_open("FlushFileBuffers");
  if (!writer_->Flush()) RaiseError(30379, file_name_, file_.LastError(), file_.LastErrorText());
}

void TABSDatabaseFile::SyncData() {
  require_open("SyncData");
  if (!writer_->SyncData()) RaiseError(30379, file_name_, file_.LastError(), file_.LastErrorText());
}

bool TABSDatabaseFile::lock_result(bool ok) {
  if (ok) return true;
  if (IsLostConnectionError(file_.LastError())) lost_connection_ = true;
  return lost_connection_;
}

bool TABSDatabaseFile::LockByte(int32_t count, int64_t offset) {
  require_open("LockByte");
  if (file_.LockRange(offset, count)) return true;
  lock_result(false);
  if (!reconnect()) return lost_connection_;
  lost_connection_ = false;
  return lock_result(file_.LockRange(offset, count));
}

bool TABSDatabaseFile::UnlockByte(int32_t count, int64_t offset) {
  require_open("UnlockByte");
  if (file_.UnlockRange(offset, count)) return true;
  lock_result(false);
  if (!reconnect()) return lost_connection_;
  lost_connection_ = false;
  return lock_result(file_.UnlockRange(offset, count));
}

bool TABSDatabaseFile::IsByteLocked(int64_t offset) {
  require_open("IsByteLocked");
  return IsRegionLocked(1, offset);
}

bool TABSDatabaseFile::IsRegionLocked(int32_t count, int64_t offset) {
  require_open("IsRegionLocked");
  if (!LockByte(count, offset)) return true;
  UnlockByte(count, offset);
  return false;
}

}  // namespace dadoveri
