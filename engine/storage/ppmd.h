// PPM compression of one buffer: Dmitry Shkarin's PPMd, variant G — a context model of
// bounded order with SEE (secondary escape estimation), binary contexts, and a full model
// restart when its memory is used up — driving a range coder.
//
// Stored form: a 4-byte little-endian header (memory MB − 1) × 16 + (order − 1) + 0x6000
// (the high nibble names the variant), then the coded symbols and the end-of-data code
// (an escape out of the order-0 context).
//
// The model is an object of its own per call, so calls may overlap on several threads.
// It takes no more memory than the buffer can use: the header's memory is an upper bound,
// and both sides size the model from the uncompressed length (see PpmdModelBytes), so a
// small block costs a small model while the stream still names the mode's memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dadoveri {

inline constexpr int kPpmdMinOrder = 2;
inline constexpr int kPpmdMaxOrder = 16;
inline constexpr int kPpmdMaxMemoryMB = 256;
inline constexpr uint32_t kPpmdHeaderSize = 4;

// The header word of a stream at `order` and `memory_mb`.
uint32_t PpmdHeader(int order, int memory_mb);

// Bytes of model memory a buffer of `length` bytes is coded with at `order` within
// `memory_mb`: what the model can use on that many bytes, plus a floor, never more than
// the memory named.
size_t PpmdModelBytes(int order, int memory_mb, size_t length);

// Appends the header and the coded bytes of `data` to `out`. Returns false for an order or
// memory outside the header's range. `restarts`, when given, receives how often the model
// used up its memory and started afresh.
bool PpmdCompress(int order, int memory_mb, const uint8_t* data, size_t length,
                  std::vector<uint8_t>& out, uint32_t* restarts = nullptr);

// Decodes a stream that holds exactly `expected` bytes into `out` (resized to what was
// decoded). Returns false for a header of another variant or out of range, a damaged code,
// or a stream that decodes to more than `expected` bytes; one that ends early decodes to
// fewer bytes and returns true (the caller compares the size).
bool PpmdDecompress(const uint8_t* data, size_t length, size_t expected, std::vector<uint8_t>& out);

// As PpmdDecompress, into `out`, which holds `capacity` (the expected count) bytes; returns
// the bytes decoded or -1.
int64_t PpmdDecompressInto(const uint8_t* data, size_t length, uint8_t* out, size_t capacity);

}  // namespace dadoveri
