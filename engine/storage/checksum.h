// The engine's 32-bit checksum: the reflected CRC-32 table (polynomial 0xEDB88320) with a
// register that starts at the caller's value and is returned as it stands, without the
// usual final inversion. Used for the password check block, encrypted pages and
// compressed BLOB blocks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dadoveri {

uint32_t BufferChecksum(uint32_t start, const void* buffer, size_t length);

}  // namespace dadoveri
