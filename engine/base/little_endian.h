// Little-endian integer access to byte buffers: every integer in a database file is
// stored little-endian.
#pragma once

#include <cstdint>
#include <cstring>

namespace dadoveri {

template <typename T>
inline T LoadLE(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);  // the host is little-endian (x86-64, AArch64 Linux)
  return v;
}

template <typename T>
inline void StoreLE(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the file layout assumes a little-endian host");

}  // namespace dadoveri
