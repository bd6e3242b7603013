// Compression of one buffer (a BLOB block or an internal file's content) by algorithm code
// and mode:
//   acZLIB  zlib stream (deflate with zlib header and Adler-32 trailer), level = mode
//   acBZIP  bzip2 stream, block size = mode × 100 000 bytes, work factor 0
//   acPPM   PPMd variant G, model order and memory from the mode (see PpmModeOrder)
// A buffer whose input or output would be empty counts as failed, as does any library
// error. Each call has state of its own: calls may overlap on several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dadoveri {

enum TABSCompressionAlgorithm : uint8_t { acNone = 0, acZLIB = 1, acBZIP = 2, acPPM = 3 };

// The PPM model order and memory (MB) of a compression mode 1..9; 0 outside that range.
int PpmModeOrder(int mode);
int PpmModeMemoryMB(int mode);

// Replaces `out` with the compressed form of `data`. False on failure.
bool CompressBuffer(uint8_t algorithm, uint8_t mode, const uint8_t* data, size_t length,
                    std::vector<uint8_t>& out);

// Replaces `out` with the decompressed form of `data`, which should hold `expected` bytes.
// False on failure, including output beyond `expected` bytes: the output buffer grows with
// what the stream yields and never takes a damaged size on trust. A stream that ends short
// of `expected` returns true with fewer bytes (the caller compares sizes).
bool DecompressBuffer(uint8_t algorithm, const uint8_t* data, size_t length, size_t expected,
                      std::vector<uint8_t>& out);

// Decompresses `data`, which should hold `capacity` bytes, straight into `out`; returns the
// bytes produced, or -1 on failure, including a stream that holds more than `capacity`.
int64_t DecompressBufferInto(uint8_t algorithm, const uint8_t* data, size_t length, uint8_t* out,
                             size_t capacity);

}  // namespace dadoveri
