#include "engine/storage/stream.h"

#include <algorithm>
#include <cstring>

#include "engine/base/engine_error.h"

namespace dadoveri {

namespace {

// The position a seek asks for, or -1 when it would be negative or overflow.
int64_t seek_target(int64_t offset, TABSSeekOrigin origin, int64_t position, int64_t size) {
  int64_t from = 0;
  if (origin == TABSSeekOrigin::Current) from = position;
  if (origin == TABSSeekOrigin::End) from = size;
  int64_t target;
  if (__builtin_add_overflow(from, offset, &target) || target < 0) return -1;
  return target;
}

}  // namespace

// ---- TABSStream ---------------------------------------------------------------------

int64_t TABSStream::CopyFrom(TABSStream& source, int64_t count) {
  std::lock_guard<std::recursive_mutex> mine(lock_);
  std::lock_guard<std::recursive_mutex> theirs(source.lock_);
  if (count == 0) {
    source.SetPosition(0);
    count = source.GetSize();
  }
  std::vector<uint8_t> piece(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(count, 0), kCopyBlockSize)));
  int64_t done = 0;
  while (done < count) {
    const int64_t n = std::min<int64_t>(count - done, kCopyBlockSize);
    if (source.Read(piece.data(), n) != n) RaiseError(10090, n);
    if (Write(piece.data(), n) != n) RaiseError(10095);
    done += n;
  }
  return done;
}

// ---- TABSMemoryStream ---------------------------------------------------------------

int64_t TABSMemoryStream::Read(void* buffer, int64_t count) {
  const int64_t size = GetSize();
  if (count <= 0 || position_ >= size) return 0;
  const int64_t n = std::min(count, size - position_);
  std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TABSMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const int64_t end = position_ + count;
  if (end > GetSize()) data_.resize(static_cast<size_t>(end));
  std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
  position_ = end;
  return count;
}

int64_t TABSMemoryStream::Seek(int64_t offset, TABSSeekOrigin origin) {
  const int64_t target = seek_target(offset, origin, position_, GetSize());
  if (target >= 0) position_ = target;
  return target;
}

bool TABSMemoryStream::SetSize(int64_t size) {
  if (size < 0) return false;
  data_.resize(static_cast<size_t>(size));
  return true;
}

// ---- TABSFileStream -----------------------------------------------------------------

TABSFileStream::TABSFileStream(const std::string& name, uint16_t mode) {
  if (mode == fmCreate) {
    // Created new, replacing a file of that name.
    PlatformDeleteFile(name);
    if (!file_.Create(name, FileAccess::ReadWrite, FileShare::None)) RaiseError(10104, name);
    return;
  }
  const FileAccess access = (mode & 0x3) == fmOpenRead ? FileAccess::Read : FileAccess::ReadWrite;
  FileShare share = FileShare::None;
  if ((mode & 0xF0) == fmShareDenyWrite) share = FileShare::Read;
  if ((mode & 0xF0) == fmShareDenyNone) share = FileShare::ReadWrite;
  if (!file_.Open(name, access, share)) RaiseError(10105, name, mode);
}

int64_t TABSFileStream::Read(void* buffer, int64_t count) {
  const int64_t size = GetSize();
  if (count <= 0 || position_ >= size) return 0;
  const int64_t n = std::min(count, size - position_);
  if (!file_.Read(buffer, static_cast<size_t>(n), position_)) return 0;
  position_ += n;
  return n;
}

int64_t TABSFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (!file_.Write(buffer, static_cast<size_t>(count), position_)) return 0;
  position_ += count;
  return count;
}

int64_t TABSFileStream::Seek(int64_t offset, TABSSeekOrigin origin) {
  const int64_t target = seek_target(offset, origin, position_, GetSize());
  if (target >= 0) position_ = target;
  return target;
}

int64_t TABSFileStream::GetSize() {
  int64_t size = 0;
  return file_.GetSize(&size) ? size : 0;
}

bool TABSFileStream::SetSize(int64_t size) { return size >= 0 && file_.SetSize(size); }

// ---- TABSTemporaryStream ------------------------------------------------------------

TABSTemporaryStream::TABSTemporaryStream(bool disable_temp_files)
    : disable_temp_files_(disable_temp_files) {}

void TABSTemporaryStream::spill_if_needed(int64_t new_size) {
  if (file_ || disable_temp_files_ || new_size <= kMemoryLimit) return;
  auto file = std::make_unique<TemporaryFile>();
  if (!file->Create()) RaiseError(10104, TemporaryFile::Folder() + "/DOD");
  if (!memory_.empty() && !file->Write(memory_.data(), memory_.size(), 0)) RaiseError(10096);
  file_size_ = static_cast<int64_t>(memory_.size());
  file_ = std::move(file);
  std::vector<uint8_t>().swap(memory_);
}

int64_t TABSTemporaryStream::GetSize() {
  return file_ ? file_size_ : static_cast<int64_t>(memory_.size());
}

int64_t TABSTemporaryStream::Read(void* buffer, int64_t count) {
  const int64_t size = GetSize();
  if (count <= 0 || position_ >= size) return 0;
  const int64_t n = std::min(count, size - position_);
  if (file_) {
    const int64_t got = file_->Read(buffer, static_cast<size_t>(n), position_);
    if (got <= 0) return 0;
    position_ += got;
    return got;
  }
  std::memcpy(buffer, memory_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TABSTemporaryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const int64_t end = position_ + count;
  spill_if_needed(end);
  if (file_) {
    if (!file_->Write(buffer, static_cast<size_t>(count), position_)) return 0;
    file_size_ = std::max(file_size_, end);
  } else {
    if (end > static_cast<int64_t>(memory_.size())) memory_.resize(static_cast<size_t>(end));
    std::memcpy(memory_.data() + position_, buffer, static_cast<size_t>(count));
  }
  position_ = end;
  return count;
}

int64_t TABSTemporaryStream::Seek(int64_t offset, TABSSeekOrigin origin) {
  const int64_t target = seek_target(offset, origin, position_, GetSize());
  if (target >= 0) position_ = target;
  return target;
}

bool TABSTemporaryStream::SetSize(int64_t size) {
  if (size < 0) return false;
  spill_if_needed(size);
  if (file_) {
    if (!file_->SetSize(size)) return false;
    file_size_ = size;
    return true;
  }
  memory_.resize(static_cast<size_t>(size));
  return true;
}

}  // namespace dadoveri
