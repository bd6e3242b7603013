// A temporary file of the engine: made in the system's temporary folder (TMPDIR when set,
// else /tmp) under a name beginning "DOD", and unlinked as soon as it is made, so that
// nothing of it outlives its descriptor, even when the process is killed. Read and
// written at positions; grows as written.
#pragma once

#include <cstdint>
#include <string>

namespace dadoveri {

// The folder temporary files go to: TMPDIR when set and not empty, else /tmp.
std::string TemporaryFolder();

class TemporaryFile {
 public:
  TemporaryFile() = default;
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Makes the file; false (with LastError) when it cannot be made.
  bool Create();
  bool IsOpen() const { return fd_ >= 0; }
  void Close();

  // Exactly `count` bytes at `position`; false on a short read or write.
  bool Read(void* buffer, int64_t count, int64_t position);
  bool Write(const void* buffer, int64_t count, int64_t position);
  bool GetSize(int64_t* size);
  bool SetSize(int64_t size);

  int Handle() const { return fd_; }
  int LastError() const { return last_error_; }
  // The name it had before it was unlinked.
  const std::string& Name() const { return name_; }

 private:
  bool fail();
  int fd_ = -1;
  int last_error_ = 0;
  std::string name_;
};

}  // namespace dadoveri
