#include "engine/storage/compressed_blob_stream.h"

#include <algorithm>
#include <cstring>

#include "engine/base/engine_error.h"
#include "engine/base/little_endian.h"
#include "engine/storage/checksum.h"

namespace dadoveri {

void TABSCompressedStreamParams::Store(uint8_t* record) const {
  StoreLE(record + 0, BlockSize);
  StoreLE(record + 4, BlockCount);
  StoreLE(record + 12, UncompressedSize);
  StoreLE(record + 20, StartPosition);
  record[28] = CompressionAlgorithm;
  record[29] = CompressionMode;
  record[30] = Reserved[0];
  record[31] = Reserved[1];
}

TABSCompressedStreamParams TABSCompressedStreamParams::Load(const uint8_t* record) {
  TABSCompressedStreamParams p;
  p.BlockSize = LoadLE<int32_t>(record + 0);
  p.BlockCount = LoadLE<int64_t>(record + 4);
  p.UncompressedSize = LoadLE<int64_t>(record + 12);
  p.StartPosition = LoadLE<int64_t>(record + 20);
  p.CompressionAlgorithm = record[28];
  p.CompressionMode = record[29];
  p.Reserved[0] = record[30];
  p.Reserved[1] = record[31];
  return p;
}

int32_t DefaultBlobBlockSize(uint8_t mode) {
  if (mode == 0) return 102400;
  if (mode <= 3) return 524288;
  if (mode <= 6) return 1048576;
  return 1572864;
}

TABSCompressedBLOBStream::TABSCompressedBLOBStream(TABSStream& underlying,
                                                   const TABSCompressedStreamParams& params,
                                                   bool new_value)
    : underlying_(underlying),
      block_size_(params.BlockSize),
      algorithm_(params.CompressionAlgorithm),
      mode_(params.CompressionMode),
      start_(params.StartPosition) {
  const int64_t stream_size = underlying_.GetSize();
  if (start_ < 0) RaiseError(10080, start_, underlying_.GetPosition(), stream_size);
  if (new_value) {
    if (block_size_ == 0) block_size_ = DefaultBlobBlockSize(mode_);
    if (block_size_ < 0) RaiseError(20149);
    return;
  }
  if (!compressed()) {
    if (params.UncompressedSize < 0) RaiseError(20248);
    if (stream_size - start_ < params.UncompressedSize)
      RaiseError(10081, stream_size, start_ + params.UncompressedSize);
    size_ = params.UncompressedSize;
    if (block_size_ <= 0) block_size_ = DefaultBlobBlockSize(mode_);
    return;
  }
  if (block_size_ <= 0) RaiseError(20149);
  if (params.BlockCount < 0 || params.UncompressedSize < 0) RaiseError(20248);
  open_blocks(params.BlockCount);
}

void TABSCompressedBLOBStream::open_blocks(int64_t block_count) {
  const int64_t stream_size = underlying_.GetSize();
  int64_t position = start_;
  for (int64_t i = 0; i < block_count; ++i) {
    if (position > stream_size || !underlying_.SetPosition(position))
      RaiseError(10080, position, underlying_.GetPosition(), stream_size);
    if (stream_size - position < kBlockHeaderSize)
      RaiseError(10082, stream_size, position + kBlockHeaderSize);
    uint8_t header[kBlockHeaderSize];
    const int64_t got = underlying_.Read(header, kBlockHeaderSize);
    if (got != kBlockHeaderSize) RaiseError(10086, position, stream_size, block_size_, got);
    Block block{position, LoadLE<int32_t>(header), LoadLE<int32_t>(header + 4),
                LoadLE<uint32_t>(header + 8)};
    const int64_t distance = LoadLE<int64_t>(header + 12);
    // Every block but the last is full; none holds more than the block size.
    const bool last = i + 1 == block_count;
    if (block.uncompressed <= 0 || block.uncompressed > block_size_ ||
        (!last && block.uncompressed != block_size_))
      RaiseError(10088, block_size_, block.uncompressed);
    const int64_t room = stream_size - position - kBlockHeaderSize;
    if (block.compressed <= 0 || block.compressed > room)
      RaiseError(10086, position + kBlockHeaderSize, stream_size, block_size_, room);
    if (distance < kBlockHeaderSize + static_cast<int64_t>(block.compressed) ||
        distance > stream_size - position)
      RaiseError(10083, distance > stream_size ? stream_size : position + distance, position, stream_size);
    blocks_.push_back(block);
    size_ += block.uncompressed;
    compressed_total_ += block.compressed;
    position += distance;
  }
}

void TABSCompressedBLOBStream::decode_block(size_t index, uint8_t* out) {
  const Block& block = blocks_[index];
  const int64_t stream_size = underlying_.GetSize();
  const int64_t data_at = block.position + kBlockHeaderSize;
  // The stored count is checked against the bytes there before anything is allocated.
  if (block.compressed > stream_size - data_at)
    RaiseError(10086, data_at, stream_size, block_size_, std::max<int64_t>(stream_size - data_at, 0));
  if (!underlying_.SetPosition(data_at)) RaiseError(10094, data_at, underlying_.GetPosition(), stream_size);
  packed_.resize(static_cast<size_t>(block.compressed));
  const int64_t got = underlying_.Read(packed_.data(), block.compressed);
  if (got != block.compressed) RaiseError(10086, data_at, stream_size, block_size_, got);
  const int64_t produced = DecompressBufferInto(algorithm_, packed_.data(), packed_.size(), out,
                                                static_cast<size_t>(block.uncompressed));
  if (produced < 0) RaiseError(10087, algorithm_, block.compressed, block.uncompressed);
  if (produced != block.uncompressed) RaiseError(10088, produced, block.uncompressed);
  const uint32_t checksum = BufferChecksum(0, out, static_cast<size_t>(produced));
  if (checksum != block.checksum) RaiseError(10089, checksum, block.checksum);
}

const std::vector<uint8_t>& TABSCompressedBLOBStream::load_block(size_t index) {
  if (cached_index_ == static_cast<int64_t>(index)) return cached_;
  cached_index_ = -1;
  cached_.resize(static_cast<size_t>(blocks_[index].uncompressed));
  decode_block(index, cached_.data());
  cached_index_ = static_cast<int64_t>(index);
  return cached_;
}

void TABSCompressedBLOBStream::write_block(size_t index, int64_t position, const uint8_t* data,
                                           size_t length) {
  const uint32_t checksum = BufferChecksum(0, data, length);
  std::vector<uint8_t> packed;
  if (!CompressBuffer(algorithm_, mode_, data, length, packed))
    RaiseError(10085, algorithm_, mode_, length, packed.size());
  const auto compressed = static_cast<int32_t>(packed.size());
  uint8_t header[kBlockHeaderSize];
  StoreLE(header, compressed);
  StoreLE(header + 4, static_cast<int32_t>(length));
  StoreLE(header + 8, checksum);
  StoreLE(header + 12, static_cast<int64_t>(compressed) + kBlockHeaderSize);
  if (!underlying_.SetPosition(position))
    RaiseError(10099, position, underlying_.GetPosition(), underlying_.GetSize());
  int64_t written = underlying_.Write(header, kBlockHeaderSize);
  if (written != kBlockHeaderSize) RaiseError(10100, position, underlying_.GetSize(), block_size_, written);
  written = underlying_.Write(packed.data(), compressed);
  if (written != compressed)
    RaiseError(10101, position + kBlockHeaderSize, underlying_.GetSize(), block_size_, written);

  const Block block{position, compressed, static_cast<int32_t>(length), checksum};
  if (index < blocks_.size()) {
    size_ -= blocks_[index].uncompressed;
    compressed_total_ -= blocks_[index].compressed;
    blocks_[index] = block;
  } else {
    blocks_.push_back(block);
  }
  size_ += block.uncompressed;
  compressed_total_ += block.compressed;
  // A partial block is kept, since the next write refills it; a full one is not read back
  // soon enough to be worth the copy.
  if (length < static_cast<size_t>(block_size_)) {
    if (cached_.data() != data) cached_.assign(data, data + length);
    cached_index_ = static_cast<int64_t>(index);
  } else if (cached_index_ == static_cast<int64_t>(index)) {
    cached_index_ = -1;
  }
}

int64_t TABSCompressedBLOBStream::end_position() const {
  if (blocks_.empty()) return start_;
  return blocks_.back().position + kBlockHeaderSize + blocks_.back().compressed;
}

void TABSCompressedBLOBStream::cut_underlying(int64_t end) {
  if (underlying_.GetSize() == end) return;
  if (!underlying_.SetSize(end) || underlying_.GetSize() != end) RaiseError(10093, underlying_.GetSize(), end);
}

void TABSCompressedBLOBStream::append(const uint8_t* data, int64_t count) {
  int64_t done = 0;
  if (!blocks_.empty() && blocks_.back().uncompressed < block_size_) {
    // Refill the partial last block and rewrite it in place.
    const size_t last = blocks_.size() - 1;
    std::vector<uint8_t> merged = load_block(last);
    const int64_t fill = std::min<int64_t>(count, block_size_ - blocks_[last].uncompressed);
    merged.insert(merged.end(), data, data + fill);
    write_block(last, blocks_[last].position, merged.data(), merged.size());
    done = fill;
  }
  while (done < count) {
    const int64_t n = std::min<int64_t>(count - done, block_size_);
    write_block(blocks_.size(), end_position(), data + done, static_cast<size_t>(n));
    done += n;
  }
  // A rewritten last block may have come out shorter: nothing stale stays behind it.
  if (underlying_.GetSize() > end_position()) cut_underlying(end_position());
}

void TABSCompressedBLOBStream::extend(int64_t new_size) {
  const int64_t extension = new_size - size_;
  if (extension <= 0) RaiseError(10098, new_size, size_, extension);
  const std::vector<uint8_t> zeros(static_cast<size_t>(std::min<int64_t>(extension, block_size_)), 0);
  for (int64_t left = extension; left > 0;) {
    const int64_t n = std::min<int64_t>(left, static_cast<int64_t>(zeros.size()));
    append(zeros.data(), n);
    left -= n;
  }
}

void TABSCompressedBLOBStream::truncate(int64_t new_size) {
  const auto k = static_cast<size_t>(new_size / block_size_);
  const int64_t keep = new_size % block_size_;
  std::vector<uint8_t> head;
  if (keep != 0) {
    const std::vector<uint8_t>& block = load_block(k);
    head.assign(block.begin(), block.begin() + keep);
  }
  const size_t first_dropped = keep != 0 ? k + 1 : k;
  int64_t end = first_dropped < blocks_.size() ? blocks_[first_dropped].position : end_position();
  while (blocks_.size() > first_dropped) {
    size_ -= blocks_.back().uncompressed;
    compressed_total_ -= blocks_.back().compressed;
    blocks_.pop_back();
  }
  if (cached_index_ >= static_cast<int64_t>(first_dropped)) cached_index_ = -1;
  if (keep != 0) {
    write_block(k, blocks_[k].position, head.data(), head.size());
    end = end_position();
  }
  cut_underlying(end);
}

int64_t TABSCompressedBLOBStream::Read(void* buffer, int64_t count) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (count <= 0 || position_ >= size_) return 0;
  const int64_t n = std::min(count, size_ - position_);
  auto* out = static_cast<uint8_t*>(buffer);
  if (!compressed()) {
    if (!underlying_.SetPosition(start_ + position_))
      RaiseError(10094, start_ + position_, underlying_.GetPosition(), underlying_.GetSize());
    const int64_t got = std::max<int64_t>(underlying_.Read(out, n), 0);
    position_ += got;
    return got;
  }
  int64_t done = 0;
  while (done < n) {
    const auto index = static_cast<size_t>(position_ / block_size_);
    const int64_t offset = position_ % block_size_;
    const int64_t whole = blocks_[index].uncompressed;
    if (offset == 0 && n - done >= whole && cached_index_ != static_cast<int64_t>(index)) {
      // A whole block asked for: decompressed straight into the caller's buffer.
      decode_block(index, out + done);
      done += whole;
      position_ += whole;
      continue;
    }
    const std::vector<uint8_t>& block = load_block(index);
    const int64_t span = std::min<int64_t>(n - done, static_cast<int64_t>(block.size()) - offset);
    std::memcpy(out + done, block.data() + offset, static_cast<size_t>(span));
    done += span;
    position_ += span;
  }
  return done;
}

int64_t TABSCompressedBLOBStream::Write(const void* buffer, int64_t count) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (count <= 0) return 0;
  const auto* in = static_cast<const uint8_t*>(buffer);
  if (!compressed()) {
    const int64_t at = start_ + position_;
    if (!underlying_.SetPosition(at)) RaiseError(10099, at, underlying_.GetPosition(), underlying_.GetSize());
    const int64_t written = underlying_.Write(in, count);
    if (written != count) RaiseError(10097, at, underlying_.GetSize(), block_size_, written);
    position_ += count;
    size_ = std::max(size_, position_);
    return count;
  }
  if (position_ > size_) extend(position_);
  if (position_ == size_) {
    append(in, count);
  } else {
    // A write before the end: the blocks from the one it touches on are rebuilt.
    const int64_t first = position_ / block_size_ * block_size_;
    std::vector<uint8_t> tail(static_cast<size_t>(size_ - first));
    const int64_t saved = position_;
    position_ = first;
    Read(tail.data(), static_cast<int64_t>(tail.size()));
    position_ = saved;
    const auto offset = static_cast<size_t>(saved - first);
    if (tail.size() < offset + static_cast<size_t>(count)) tail.resize(offset + static_cast<size_t>(count));
    std::memcpy(tail.data() + offset, in, static_cast<size_t>(count));
    truncate(first);
    append(tail.data(), static_cast<int64_t>(tail.size()));
  }
  position_ += count;
  return count;
}

int64_t TABSCompressedBLOBStream::Seek(int64_t offset, TABSSeekOrigin origin) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  int64_t from = 0;
  if (origin == TABSSeekOrigin::Current) from = position_;
  if (origin == TABSSeekOrigin::End) from = size_;
  int64_t target;
  if (__builtin_add_overflow(from, offset, &target) || target < 0) RaiseError(10079, target, position_, size_);
  position_ = target;
  return target;
}

int64_t TABSCompressedBLOBStream::GetSize() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return size_;
}

bool TABSCompressedBLOBStream::SetSize(int64_t size) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (size < 0) RaiseError(10093, size, 0);
  if (!compressed()) {
    const int64_t end = start_ + size;
    if (!underlying_.SetSize(end) || underlying_.GetSize() != end) RaiseError(10093, underlying_.GetSize(), end);
    size_ = size;
    return true;
  }
  if (size > size_)
    extend(size);
  else if (size < size_)
    truncate(size);
  return true;
}

double TABSCompressedBLOBStream::CompressionRate() const {
  if (!compressed() || size_ == 0) return 0.0;
  return (1.0 - static_cast<double>(compressed_total_) / static_cast<double>(size_)) * 100.0;
}

int64_t TABSCompressedBLOBStream::StoredSize() const {
  return compressed() ? end_position() - start_ : size_;
}

TABSCompressedStreamParams TABSCompressedBLOBStream::Params() const {
  TABSCompressedStreamParams p;
  p.BlockSize = block_size_;
  p.BlockCount = compressed() ? static_cast<int64_t>(blocks_.size()) : 0;
  p.UncompressedSize = size_;
  p.StartPosition = start_;
  p.CompressionAlgorithm = algorithm_;
  p.CompressionMode = mode_;
  return p;
}

}  // namespace dadoveri
