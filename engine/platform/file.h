// An operating-system file as the engine uses it: opened with an access mode and a
// share mode, read and written at positions, sized, flushed and byte-range locked.
//
// Share modes are emulated with open-file-description locks on marker bytes far beyond
// any data: every handle read-locks markers for the access it has and for the access it
// denies to others, and an open is refused when it conflicts with another handle's
// markers, as a sharing violation would refuse it. (A whole-file lock would not do: the
// handle's own byte locks would merge into it and their unlocks punch holes in it.)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/platform/byte_lock.h"
#include "engine/platform/file_mapping.h"

namespace dadoveri {

// The write path of a file: every change to its bytes and size, and the barriers that
// order those changes on the medium. PlatformFile is the real one. A layer put in
// front of it (tests record each call and replay what a power cut could have left)
// sees the changes in order; reads never pass through here, so the read path costs no
// virtual call.
class FileWriter {
 public:
  virtual ~FileWriter() = default;
  virtual bool Write(const void* buffer, size_t count, int64_t position) = 0;
  // Writes `count` blocks of `block_size` bytes back to back from `position`, as that
  // many Write calls in order (the default makes them; the platform file makes one
  // gathering call).
  virtual bool WriteRun(const uint8_t* const* blocks, size_t count, size_t block_size, int64_t position) {
    for (size_t i = 0; i < count; ++i)
      if (!Write(blocks[i], block_size, position + static_cast<int64_t>(i * block_size))) return false;
    return true;
  }
  virtual bool SetSize(int64_t size) = 0;
  // Barrier: returns once every earlier write and size change of the file is on the
  // medium (fdatasync), so that no later write can reach the medium before them.
  virtual bool SyncData() = 0;
  // As SyncData, and the file's metadata too (fsync).
  virtual bool Flush() = 0;
};

enum class FileAccess : uint8_t { Read, ReadWrite };
// What other handles may do while this one is open.
enum class FileShare : uint8_t { None, ReadWrite, Read };

class PlatformFile : public FileWriter {
 public:
  PlatformFile() = default;
  ~PlatformFile() override;
  PlatformFile(const PlatformFile&) = delete;
  PlatformFile& operator=(const PlatformFile&) = delete;

  // Creates a new file (replacing nothing: the caller deletes an old one first).
  bool Create(const std::string& name, FileAccess access, FileShare share);
  bool Open(const std::string& name, FileAccess access, FileShare share);
  bool Close();
  bool IsOpen() const { return fd_ >= 0; }
  int Handle() const { return fd_; }

  // Reads exactly `count` bytes at `position`; a short read (end of file) fails.
  bool Read(void* buffer, size_t count, int64_t position);
  bool Write(const void* buffer, size_t count, int64_t position) override;
  bool WriteRun(const uint8_t* const* blocks, size_t count, size_t block_size, int64_t position) override;
  bool Seek(int64_t position);
  bool GetPosition(int64_t* position);
  bool GetSize(int64_t* size);
  bool SetSize(int64_t size) override;
  bool SyncData() override;
  bool Flush() override;

  // Byte-range locks of this handle. A failed call leaves the reason in LastError():
  // IsLockConflictError tells a range held elsewhere from a handle that failed.
  bool LockRange(int64_t offset, int64_t count);
  bool UnlockRange(int64_t offset, int64_t count);
  // The ranges this handle holds (or held until its connection was lost).
  std::vector<ByteLockTable::Range> HeldLocks() const { return locks_.Held(); }

  // Loses the connection to the file as a dropped network share does: the descriptor
  // goes (and the locks with it, for every other handle to take), while this handle
  // still believes itself open and every call on it fails with EBADF. Close() then
  // completes the loss. For tests of the recovery above.
  void DropConnection();

  // errno of the last failed call and its text.
  int LastError() const { return last_error_; }
  std::string LastErrorText() const;
  void SetLastError(int error) { last_error_ = error; }

 private:
  bool OpenWith(const std::string& name, int flags, FileAccess access, FileShare share);
  bool fail();

  int fd_ = -1;
  // Descriptor that carries the byte-range locks: the file's own one, or for a handle
  // opened for reading a second one opened for writing where the file allows it, so that
  // its locks stay exclusive. Without it the locks are shared ones (F_RDLCK), which
  // still conflict with every lock of a writer.
  int lock_fd_ = -1;
  short lock_type_ = 0;
  int last_error_ = 0;
  ByteLockTable locks_;
  // Serves reads of a large file without a system call each.
  FileMapping mapping_;
};

std::string PlatformErrorText(int error);
bool PlatformFileExists(const std::string& name);
// The read-only attribute: no write permission bit is set.
bool PlatformFileIsReadOnly(const std::string& name);
// Gives the file plain attributes (owner may read and write).
bool PlatformClearReadOnly(const std::string& name);
bool PlatformDeleteFile(const std::string& name);

}  // namespace dadoveri
