// Byte streams of the engine: the base with its lock and copy helper, a stream in memory,
// a stream over a file, and the temporary stream that holds an open BLOB value (in memory,
// moving to a temporary file once it outgrows 1 MB unless temporary files are disabled).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/platform/file.h"
#include "engine/platform/temporary_file.h"

namespace dadoveri {

enum class TABSSeekOrigin : uint8_t { Beginning, Current, End };

// File stream modes: one access mode or'ed with one share mode, or fmCreate.
inline constexpr uint16_t fmCreate = 0xFF00;
inline constexpr uint16_t fmOpenRead = 0x0000;
inline constexpr uint16_t fmOpenWrite = 0x0001;
inline constexpr uint16_t fmOpenReadWrite = 0x0002;
inline constexpr uint16_t fmShareExclusive = 0x0010;
inline constexpr uint16_t fmShareDenyWrite = 0x0020;
inline constexpr uint16_t fmShareDenyNone = 0x0040;

class TABSStream {
 public:
  // Piece size of copies between streams.
  static constexpr int32_t kCopyBlockSize = 102400;

  virtual ~TABSStream() = default;

  // Reads up to `count` bytes at the position and moves past them: the number read.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes `count` bytes at the position and moves past them: the number written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves the position; returns the new one, or -1 when it cannot be set there.
  virtual int64_t Seek(int64_t offset, TABSSeekOrigin origin) = 0;
  virtual int64_t GetSize() = 0;
  // Grows (with zeros) or cuts the stream. False when the size cannot be set.
  virtual bool SetSize(int64_t size) = 0;

  int64_t GetPosition() { return Seek(0, TABSSeekOrigin::Current); }
  bool SetPosition(int64_t position) { return Seek(position, TABSSeekOrigin::Beginning) == position; }

  // Copies `count` bytes from `source`'s position (the whole of `source` from its start
  // when `count` is 0) in pieces of kCopyBlockSize. Raises 10090 when the source runs
  // short and 10095 when a write falls short. Returns the bytes copied.
  int64_t CopyFrom(TABSStream& source, int64_t count);

  void Lock() { lock_.lock(); }
  void Unlock() { lock_.unlock(); }

 protected:
  std::recursive_mutex lock_;
};

class TABSMemoryStream : public TABSStream {
 public:
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TABSSeekOrigin origin) override;
  int64_t GetSize() override { return static_cast<int64_t>(data_.size()); }
  bool SetSize(int64_t size) override;

  const std::vector<uint8_t>& Bytes() const { return data_; }
  std::vector<uint8_t>& MutableBytes() { return data_; }

 private:
  std::vector<uint8_t> data_;
  int64_t position_ = 0;
};

class TABSFileStream : public TABSStream {
 public:
  // Opens `name` with `mode` (access | share), or creates it new with fmCreate.
  // Raises "Cannot create file" (10104) or "Cannot open file" (10105).
  TABSFileStream(const std::string& name, uint16_t mode);

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TABSSeekOrigin origin) override;
  int64_t GetSize() override;
  bool SetSize(int64_t size) override;

 private:
  PlatformFile file_;
  int64_t position_ = 0;
};

class TABSTemporaryStream : public TABSStream {
 public:
  // Size beyond which the content moves to a temporary file.
  static constexpr int64_t kMemoryLimit = 1048576;

  // With `disable_temp_files` the content stays in memory whatever its size.
  explicit TABSTemporaryStream(bool disable_temp_files = false);

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TABSSeekOrigin origin) override;
  int64_t GetSize() override;
  bool SetSize(int64_t size) override;

  // Whether the content lives in a temporary file now.
  bool InFile() const { return file_ != nullptr; }
  // The descriptor of the temporary file, -1 while in memory.
  int FileHandle() const { return file_ ? file_->Handle() : -1; }

 private:
  // Moves the content to a temporary file when the stream is about to hold `new_size`
  // bytes and may do so. Raises 10104 when no file can be made, 10096 when the content
  // cannot be written to it.
  void spill_if_needed(int64_t new_size);

  bool disable_temp_files_;
  std::vector<uint8_t> memory_;
  std::unique_ptr<TemporaryFile> file_;
  int64_t file_size_ = 0;
  int64_t position_ = 0;
};

}  // namespace dadoveri
