#include "engine/storage/checksum.h"

#include <array>
#include <cstring>

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

}  // namespace

uint32_t BufferChecksum(uint32_t start, const void* buffer, size_t length) {
  const auto* p = static_cast<const uint8_t*>(buffer);
  uint32_t r = start;
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

}  // namespace dadoveri
