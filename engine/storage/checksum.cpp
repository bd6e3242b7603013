#include "engine/storage/checksum.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace dadoveri {

namespace {

// T[0] is the reflected CRC-32 table; T[k] advances a byte through k further zero bytes,
// which lets the loop below take eight bytes per step with the same result as taking
// them one at a time.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables make_tables() {
  Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (int k = 1; k < 8; ++k)
    for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  return t;
}

constexpr Tables kT = make_tables();

uint32_t by_table(uint32_t r, const uint8_t* p, size_t length) {
  for (; length >= 8; length -= 8, p += 8) {
    uint32_t lo, hi;
    std::memcpy(&lo, p, 4);  // little-endian host
    std::memcpy(&hi, p + 4, 4);
    lo ^= r;
    r = kT[7][lo & 0xFF] ^ kT[6][(lo >> 8) & 0xFF] ^ kT[5][(lo >> 16) & 0xFF] ^ kT[4][lo >> 24] ^
        kT[3][hi & 0xFF] ^ kT[2][(hi >> 8) & 0xFF] ^ kT[1][(hi >> 16) & 0xFF] ^ kT[0][hi >> 24];
  }
  for (; length > 0; --length, ++p) r = kT[0][(r ^ *p) & 0xFF] ^ (r >> 8);
  return r;
}

#if defined(__x86_64__)
// The same register computed with carry-less multiplication: the buffer is folded 64
// bytes at a time into four 128-bit lanes, the lanes into one, and the result reduced
// to 32 bits (Barrett). The constants are powers of x modulo the reflected polynomial.
// `length` is a multiple of 16 and at least 64.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold128(__m128i acc, __m128i next,
                                                                 __m128i k) {
  const __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
  const __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(hi, next), lo);
}

__attribute__((target("pclmul,sse4.1"))) uint32_t by_clmul(uint32_t r, const uint8_t* p,
                                                          size_t length) {
  alignas(16) static const uint64_t k1k2[2] = {0x0154442bd4, 0x01c6e41596};
  alignas(16) static const uint64_t k3k4[2] = {0x01751997d0, 0x00ccaa009e};
  alignas(16) static const uint64_t k5k0[2] = {0x0163cd6124, 0x0000000000};
  alignas(16) static const uint64_t poly[2] = {0x01db710641, 0x01f7011641};
  auto load = [](const uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); };
  __m128i x1 = load(p), x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
  x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(r)));
  __m128i x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
  p += 64;
  length -= 64;
  while (length >= 64) {
    const __m128i x5 = _mm_clmulepi64_si128(x1, x0, 0x00);
    const __m128i x6 = _mm_clmulepi64_si128(x2, x0, 0x00);
    const __m128i x7 = _mm_clmulepi64_si128(x3, x0, 0x00);
    const __m128i x8 = _mm_clmulepi64_si128(x4, x0, 0x00);
    x1 = _mm_clmulepi64_si128(x1, x0, 0x11);
    x2 = _mm_clmulepi64_si128(x2, x0, 0x11);
    x3 = _mm_clmulepi64_si128(x3, x0, 0x11);
    x4 = _mm_clmulepi64_si128(x4, x0, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, x5), load(p));
    x2 = _mm_xor_si128(_mm_xor_si128(x2, x6), load(p + 16));
    x3 = _mm_xor_si128(_mm_xor_si128(x3, x7), load(p + 32));
    x4 = _mm_xor_si128(_mm_xor_si128(x4, x8), load(p + 48));
    p += 64;
    length -= 64;
  }
  x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
  x1 = fold128(x1, x2, x0);
  x1 = fold128(x1, x3, x0);
  x1 = fold128(x1, x4, x0);
  for (; length >= 16; length -= 16, p += 16) x1 = fold128(x1, load(p), x0);
  // 128 bits to 64.
  x2 = _mm_clmulepi64_si128(x1, x0, 0x10);
  x3 = _mm_setr_epi32(~0, 0, ~0, 0);
  x1 = _mm_srli_si128(x1, 8);
  x1 = _mm_xor_si128(x1, x2);
  x0 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_and_si128(x1, x3);
  x1 = _mm_clmulepi64_si128(x1, x0, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  // Barrett reduction to 32 bits.
  x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
  x2 = _mm_and_si128(x1, x3);
  x2 = _mm_clmulepi64_si128(x2, x0, 0x10);
  x2 = _mm_and_si128(x2, x3);
  x2 = _mm_clmulepi64_si128(x2, x0, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

const bool kHasClmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
#endif

}  // namespace

uint32_t BufferChecksum(uint32_t start, const void* buffer, size_t length) {
  const auto* p = static_cast<const uint8_t*>(buffer);
  uint32_t r = start;
#if defined(__x86_64__)
  if (kHasClmul && length >= 64) {
    const size_t bulk = length & ~size_t{15};
    r = by_clmul(r, p, bulk);
    p += bulk;
    length -= bulk;
  }
#endif
  return by_table(r, p, length);
}

}  // namespace dadoveri
