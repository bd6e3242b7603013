// A BLOB value seen through its compression format, over an underlying stream that holds
// the stored bytes from a start position on.
//
// Raw (algorithm acNone): the value's bytes as they are; the size is the uncompressed size.
// Compressed (acZLIB, acBZIP, acPPM): the value cut into blocks of BlockSize uncompressed
// bytes (the last may be shorter), each stored as a 20-byte header and its compressed bytes,
// one after another:
//   0  int32  compressed byte count C
//   4  int32  uncompressed byte count U
//   8  uint32 checksum of the U bytes (BufferChecksum from 0)
//   12 int64  distance to the next block's header: C + 20
// Reading decompresses the block it touches (and keeps the last one); writing at the end
// appends (refilling a partial last block first); a write before the end rewrites the
// blocks from the one it touches on. Every size read from the stored bytes is checked
// against the block size and the bytes stored before anything is allocated for it.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/storage/compression.h"
#include "engine/storage/stream.h"

namespace dadoveri {

// The 32-byte parameter record of a compressed stream.
struct TABSCompressedStreamParams {
  int32_t BlockSize = 0;
  int64_t BlockCount = 0;
  int64_t UncompressedSize = 0;
  int64_t StartPosition = 0;
  uint8_t CompressionAlgorithm = acNone;
  uint8_t CompressionMode = 0;
  uint8_t Reserved[2] = {0, 0};

  static constexpr int kRecordSize = 32;
  void Store(uint8_t* record) const;
  static TABSCompressedStreamParams Load(const uint8_t* record);
};

inline constexpr int kBlockHeaderSize = 20;

// The block size a new stream takes when its own is 0: by compression mode.
int32_t DefaultBlobBlockSize(uint8_t mode);

class TABSCompressedBLOBStream : public TABSStream {
 public:
  // With `new_value` the stream starts empty at the start position (a block size of 0
  // takes DefaultBlobBlockSize); otherwise it opens the value stored there: a raw one
  // must fit in the underlying stream (10081), a compressed one has its block headers
  // read (10080, 10082, 10083, 10086, 10088 for headers that cannot be what they claim).
  TABSCompressedBLOBStream(TABSStream& underlying, const TABSCompressedStreamParams& params,
                           bool new_value);

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TABSSeekOrigin origin) override;
  int64_t GetSize() override;
  // Grows with zero bytes or cuts the value; raises on a failure of the underlying stream.
  bool SetSize(int64_t size) override;

  // (1 − compressed bytes ÷ size) × 100; 0 for an empty or raw value.
  double CompressionRate() const;
  int64_t BlockCount() const { return static_cast<int64_t>(blocks_.size()); }
  int32_t BlockSize() const { return block_size_; }
  // Bytes the value takes in the underlying stream (block headers included).
  int64_t StoredSize() const;
  // The parameter record that describes the value now.
  TABSCompressedStreamParams Params() const;

 private:
  struct Block {
    int64_t position;  // of the header in the underlying stream
    int32_t compressed;
    int32_t uncompressed;
    uint32_t checksum;
  };

  bool compressed() const { return algorithm_ != acNone; }
  void open_blocks(int64_t block_count);
  // The bytes of block `index`, decompressed and checked (kept until another is loaded).
  const std::vector<uint8_t>& load_block(size_t index);
  // Decompresses block `index` into `out` (room for its U bytes) and checks it.
  void decode_block(size_t index, uint8_t* out);
  // Compresses `data` and writes it as block `index` at `position` (replacing the block
  // of that index or adding one).
  void write_block(size_t index, int64_t position, const uint8_t* data, size_t length);
  int64_t end_position() const;
  void append(const uint8_t* data, int64_t count);
  void extend(int64_t new_size);
  void truncate(int64_t new_size);
  void cut_underlying(int64_t end);

  TABSStream& underlying_;
  int32_t block_size_;
  uint8_t algorithm_;
  uint8_t mode_;
  int64_t start_;
  int64_t size_ = 0;
  int64_t compressed_total_ = 0;
  int64_t position_ = 0;
  std::vector<Block> blocks_;
  int64_t cached_index_ = -1;
  std::vector<uint8_t> cached_;
  std::vector<uint8_t> packed_;  // the compressed bytes of the block being read
};

}  // namespace dadoveri
