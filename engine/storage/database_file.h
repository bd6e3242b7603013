// TABSDatabaseFile: the operating-system file of one open database. Every byte of the
// database is read, written and locked through it.
//
// Failed positioning, size, read, write and lock calls are retried once after a
// reconnect check: when the handle no longer answers a size query (as after a dropped
// network share) the file is closed and reopened with the stored name and modes, up to
// three times a second apart, and every byte lock the old handle held is taken again on
// the new one. When the file cannot be reopened while locks were held, or a lock cannot
// be taken back, the file is lost for good: the handle is closed and every operation
// but CloseFile raises "Connection to database file '%s' was lost together with its
// locks..." (40207), since continuing without the locks would let other users in.
//
// A lock or unlock reports success only when it was done. A conflict with another
// holder fails at once; any other failure (which sets the lost-connection mark when it
// means a dead handle) goes through the reconnect check and one retry, and fails if
// that does not succeed either.
//
// A failed flush or data barrier is never retried: the system reports a lost write-back
// once, so a second attempt would succeed although written data never reached the
// medium. The failure goes to the caller.
//
// Writes, size changes and barriers go through a FileWriter: the platform file itself,
// or a layer a test puts in front of it (SetWriter).
#pragma once

#include <cstdint>
#include <string>

#include "engine/platform/file.h"

namespace dadoveri {

class TABSDatabaseFile {
 public:
  TABSDatabaseFile() = default;
  ~TABSDatabaseFile();
  TABSDatabaseFile(const TABSDatabaseFile&) = delete;
  TABSDatabaseFile& operator=(const TABSDatabaseFile&) = delete;

  // Access modes: 0 read, 1 read/write. Share modes: 0 none, 1 others read and write,
  // 2 others read only.
  void CreateFile(const std::string& file_name);
  void OpenFile(const std::string& file_name, uint8_t access_mode, uint8_t share_mode);
  void CloseFile();

  bool Seek(int64_t position);
  void SetPosition(int64_t position);
  int64_t GetPosition();
  void SetSize(int64_t size);
  int64_t GetSize();
  // Reads `count` bytes at `position`; reports failure without raising (except that a
  // lost file raises, as every operation on it does).
  bool ReadBuffer(void* buffer, int32_t error_code, int64_t position, int32_t count);
  // Reads `count` bytes at `position` or raises the read error with `error_code`.
  void ReadBufferWithError(void* buffer, int32_t error_code, int64_t position, int32_t count);
  void WriteBuffer(const void* buffer, int32_t error_code, int64_t position, int32_t count);
  // Writes `count` blocks of `block_size` bytes back to back from `position`, or raises
  // the write error with `error_code`.
  void WriteRun(const uint8_t* const* blocks, int32_t count, int32_t block_size, int32_t error_code,
                int64_t position);
  // Forces written data and metadata to the medium (fsync).
  void FlushFileBuffers();
  // Write barrier: returns once every earlier write and size change is on the medium
  // (fdatasync). Raises the flush error (30379) on failure.
  void SyncData();
  bool LockByte(int32_t count, int64_t offset);
  bool UnlockByte(int32_t count, int64_t offset);
  bool IsByteLocked(int64_t offset);
  bool IsRegionLocked(int32_t count, int64_t offset);

  bool IsOpened() const { return opened_; }
  // The connection was lost and the locks could not be taken back (see above).
  bool Lost() const { return lost_; }
  const std::string& FileName() const { return file_name_; }
  uint8_t AccessMode() const { return access_mode_; }
  uint8_t ShareMode() const { return share_mode_; }
  bool LostConnection() const { return lost_connection_; }

  // Pause between reconnect attempts (1000 ms; tests shorten it).
  void SetReconnectPause(int milliseconds) { reconnect_pause_ms_ = milliseconds; }
  // The platform handle, for tests that simulate a lost connection.
  PlatformFile& Platform() { return file_; }
  // Puts `writer` in front of the platform file for writes, size changes and barriers;
  // nullptr restores the platform file. The writer must outlive its use.
  void SetWriter(FileWriter* writer) { writer_ = writer ? writer : &file_; }

 private:
  void require_open(const char* operation) const;
  // require_open, and the file must not be lost.
  void require_usable(const char* operation) const;
  [[noreturn]] void lose();
  void require_closed(const char* operation) const;
  bool open_platform();
  // The reconnect check: true when the handle is valid afterwards.
  bool reconnect();
  template <typename Op>
  bool with_retry(Op&& op);
  template <typename Op>
  bool retry_lock(Op&& op);
  int64_t size_or_minus_one();

  std::string file_name_;
  uint8_t access_mode_ = 1;
  uint8_t share_mode_ = 1;
  bool opened_ = false;
  bool lost_connection_ = false;
  bool lost_ = false;
  int reconnect_pause_ms_ = 1000;
  PlatformFile file_;
  FileWriter* writer_ = &file_;
};

}  // namespace dadoveri
