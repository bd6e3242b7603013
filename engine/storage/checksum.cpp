#include "engine/storage/checksum.h"

#include <array>

namespace dadoveri {

namespace {

constexpr std::array<uint32_t, 256> make_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = make_table();

}  // namespace

uint32_t BufferChecksum(uint32_t start, const void* buffer, size_t length) {
  const auto* p = static_cast<const uint8_t*>(buffer);
  uint32_t r = start;
  for (size_t i = 0; i < length; ++i) r = kTable[(r ^ p[i]) & 0xFF] ^ (r >> 8);
  return r;
}

}  // namespace dadoveri
