#include "engine/storage/compression.h"

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <climits>

#include "engine/storage/ppmd.h"

namespace dadoveri {

namespace {

constexpr int kPpmOrders[9] = {2, 3, 4, 5, 7, 8, 10, 13, 16};
constexpr int kPpmMemoryMB[9] = {2, 3, 7, 16, 22, 25, 40, 100, 100};

// The first output buffer of a compressor: (n + n ÷ 10 + 267) rounded down to a multiple
// of 256; it grows by 256 bytes while output remains.
size_t compress_buffer_size(size_t n) { return (n + n / 10 + 267) / 256 * 256; }

// The growth step of a decompressor: n rounded up to a multiple of 256.
size_t decompress_step(size_t n) { return (n + 255) / 256 * 256; }

// The libraries count in unsigned int: larger buffers are not theirs to take.
bool fits_library(size_t n) { return n < UINT_MAX / 2; }

bool zlib_compress(int level, const uint8_t* data, size_t length, std::vector<uint8_t>& out) {
  z_stream z{};
  if (deflateInit(&z, level) != Z_OK) return false;
  out.resize(compress_buffer_size(length));
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(length);
  int rc;
  for (;;) {
    z.next_out = out.data() + z.total_out;
    z.avail_out = static_cast<uInt>(out.size() - z.total_out);
    rc = deflate(&z, Z_FINISH);
    if (rc != Z_OK && rc != Z_BUF_ERROR) break;
    out.resize(out.size() + 256);
  }
  const size_t produced = z.total_out;
  deflateEnd(&z);
  if (rc != Z_STREAM_END) return false;
  out.resize(produced);
  return true;
}

bool zlib_decompress(const uint8_t* data, size_t length, size_t expected, std::vector<uint8_t>& out) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  const size_t step = (expected >= 1 && expected <= 10000) ? expected : decompress_step(length);
  out.resize(step);
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(length);
  int rc;
  for (;;) {
    z.next_out = out.data() + z.total_out;
    z.avail_out = static_cast<uInt>(out.size() - z.total_out);
    rc = inflate(&z, Z_NO_FLUSH);
    if (rc == Z_STREAM_END || (rc != Z_OK && rc != Z_BUF_ERROR)) break;
    if (z.avail_out != 0) break;  // input used up before the stream's end
    if (z.total_out > expected) break;  // more than the block can hold
    out.resize(out.size() + step);
  }
  const size_t produced = z.total_out;
  inflateEnd(&z);
  if (rc != Z_STREAM_END || produced > expected) return false;
  out.resize(produced);
  return true;
}

bool bzip_compress(int block_size, const uint8_t* data, size_t length, std::vector<uint8_t>& out) {
  bz_stream b{};
  if (BZ2_bzCompressInit(&b, block_size, 0, 0) != BZ_OK) return false;
  out.resize(compress_buffer_size(length));
  b.next_in = const_cast<char*>(reinterpret_cast<const char*>(data));
  b.avail_in = static_cast<unsigned>(length);
  size_t produced = 0;
  int rc;
  for (;;) {
    b.next_out = reinterpret_cast<char*>(out.data() + produced);
    b.avail_out = static_cast<unsigned>(out.size() - produced);
    rc = BZ2_bzCompress(&b, BZ_FINISH);
    produced = out.size() - b.avail_out;
    if (rc != BZ_FINISH_OK) break;
    out.resize(out.size() + 256);
  }
  BZ2_bzCompressEnd(&b);
  if (rc != BZ_STREAM_END) return false;
  out.resize(produced);
  return true;
}

bool bzip_decompress(const uint8_t* data, size_t length, size_t expected, std::vector<uint8_t>& out) {
  bz_stream b{};
  if (BZ2_bzDecompressInit(&b, 0, 0) != BZ_OK) return false;
  // The first buffer is the expected size, but never more than the input can plausibly
  // yield at once: a damaged size costs nothing until the stream really produces it.
  const size_t step = expected != 0 ? std::min(expected, decompress_step(length) * 64)
                                    : decompress_step(length);
  out.resize(step);
  b.next_in = const_cast<char*>(reinterpret_cast<const char*>(data));
  b.avail_in = static_cast<unsigned>(length);
  size_t produced = 0;
  int rc;
  for (;;) {
    b.next_out = reinterpret_cast<char*>(out.data() + produced);
    b.avail_out = static_cast<unsigned>(out.size() - produced);
    rc = BZ2_bzDecompress(&b);
    produced = out.size() - b.avail_out;
    if (rc != BZ_OK) break;
    if (b.avail_out != 0) break;  // input used up before the stream's end
    if (produced > expected) break;
    out.resize(out.size() + step);
  }
  BZ2_bzDecompressEnd(&b);
  if (rc != BZ_STREAM_END || produced > expected) return false;
  out.resize(produced);
  return true;
}

// Into a buffer of the expected size: a stream that would write past it has failed.
int64_t zlib_decompress_into(const uint8_t* data, size_t length, uint8_t* out, size_t capacity) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return -1;
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(length);
  z.next_out = out;
  z.avail_out = static_cast<uInt>(capacity);
  int rc;
  do {
    rc = inflate(&z, Z_NO_FLUSH);  // Z_OK means progress: it cannot loop for ever
  } while (rc == Z_OK);
  const int64_t produced = static_cast<int64_t>(z.total_out);
  inflateEnd(&z);
  return rc == Z_STREAM_END ? produced : -1;
}

int64_t bzip_decompress_into(const uint8_t* data, size_t length, uint8_t* out, size_t capacity) {
  bz_stream b{};
  if (BZ2_bzDecompressInit(&b, 0, 0) != BZ_OK) return -1;
  b.next_in = const_cast<char*>(reinterpret_cast<const char*>(data));
  b.avail_in = static_cast<unsigned>(length);
  b.next_out = reinterpret_cast<char*>(out);
  b.avail_out = static_cast<unsigned>(capacity);
  int rc;
  for (;;) {
    const unsigned in_before = b.avail_in, out_before = b.avail_out;
    rc = BZ2_bzDecompress(&b);
    if (rc != BZ_OK) break;
    if (b.avail_in == in_before && b.avail_out == out_before) break;  // no room or no input left
  }
  const int64_t produced = static_cast<int64_t>(capacity - b.avail_out);
  BZ2_bzDecompressEnd(&b);
  return rc == BZ_STREAM_END ? produced : -1;
}

}  // namespace

int PpmModeOrder(int mode) { return mode >= 1 && mode <= 9 ? kPpmOrders[mode - 1] : 0; }
int PpmModeMemoryMB(int mode) { return mode >= 1 && mode <= 9 ? kPpmMemoryMB[mode - 1] : 0; }

bool CompressBuffer(uint8_t algorithm, uint8_t mode, const uint8_t* data, size_t length,
                    std::vector<uint8_t>& out) {
  out.clear();
  if (length == 0 || !fits_library(length)) return false;
  bool ok = false;
  switch (algorithm) {
    case acZLIB:
      ok = zlib_compress(mode, data, length, out);
      break;
    case acBZIP:
      ok = bzip_compress(mode, data, length, out);
      break;
    case acPPM:
      // The output is not held to the n + n ÷ 20 + 50 bytes a PPM buffer starts with: it
      // grows as needed, so incompressible input stores too.
      ok = PpmModeOrder(mode) != 0 &&
           PpmdCompress(PpmModeOrder(mode), PpmModeMemoryMB(mode), data, length, out);
      break;
    default:
      break;
  }
  if (!ok || out.empty()) {
    out.clear();
    return false;
  }
  return true;
}

bool DecompressBuffer(uint8_t algorithm, const uint8_t* data, size_t length, size_t expected,
                      std::vector<uint8_t>& out) {
  out.clear();
  if (length == 0 || expected == 0 || !fits_library(length) || !fits_library(expected)) return false;
  bool ok = false;
  switch (algorithm) {
    case acZLIB:
      ok = zlib_decompress(data, length, expected, out);
      break;
    case acBZIP:
      ok = bzip_decompress(data, length, expected, out);
      break;
    case acPPM:
      ok = PpmdDecompress(data, length, expected, out);
      break;
    default:
      break;
  }
  if (!ok || out.empty()) {
    out.clear();
    return false;
  }
  return true;
}

int64_t DecompressBufferInto(uint8_t algorithm, const uint8_t* data, size_t length, uint8_t* out,
                             size_t capacity) {
  if (length == 0 || capacity == 0 || !fits_library(length) || !fits_library(capacity)) return -1;
  int64_t produced = -1;
  switch (algorithm) {
    case acZLIB:
      produced = zlib_decompress_into(data, length, out, capacity);
      break;
    case acBZIP:
      produced = bzip_decompress_into(data, length, out, capacity);
      break;
    case acPPM:
      produced = PpmdDecompressInto(data, length, out, capacity);
      break;
    default:
      break;
  }
  return produced > 0 ? produced : -1;
}

}  // namespace dadoveri
