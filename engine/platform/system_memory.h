// The amount of physical memory the machine can still hand out.
#pragma once

#include <cstdint>

namespace dadoveri {

// Available physical memory in bytes: the kernel's MemAvailable estimate (free memory plus
// reclaimable caches), lowered to what the process's memory cgroup still allows when it
// runs under a limit. Falls back to sysinfo's free and buffer memory when /proc is absent.
uint64_t AvailablePhysicalMemory();

}  // namespace dadoveri
