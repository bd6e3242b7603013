// A temporary file for data that outgrows memory: created in the system temporary folder
// (TMPDIR when set, else /tmp) under a unique name starting with "DOD", opened for
// exclusive read/write and unlinked at once, so nothing is left behind even when the
// process is killed. Closing the handle (or destroying it) releases the storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace dadoveri {

class TemporaryFile {
 public:
  TemporaryFile() = default;
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Creates the file; false (LastError() says why) when no file could be made.
  bool Create();
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  int Handle() const { return fd_; }
  // The name the file had before it was unlinked (for messages).
  const std::string& Name() const { return name_; }

  // Reads up to `count` bytes at `position`: the number read (short at the end of file),
  // -1 on failure.
  int64_t Read(void* buffer, size_t count, int64_t position);
  // Writes all `count` bytes at `position`; false on failure.
  bool Write(const void* buffer, size_t count, int64_t position);
  bool GetSize(int64_t* size);
  bool SetSize(int64_t size);
  int LastError() const { return last_error_; }

  // The folder temporary files are made in.
  static std::string Folder();

 private:
  bool fail();

  int fd_ = -1;
  int last_error_ = 0;
  std::string name_;
};

}  // namespace dadoveri
