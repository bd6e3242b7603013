// Sleeping and the engine's pseudo-random source.
#pragma once

#include <cstdint>

namespace dadoveri {

void SleepMilliseconds(int milliseconds);

// A uniformly distributed number in 0 .. limit - 1 (0 when limit <= 0). Thread-safe:
// every thread has its own generator, seeded from the system's entropy.
int32_t RandomNumber(int32_t limit);

}  // namespace dadoveri
