#include "engine/platform/system_memory.h"

#include <sys/sysinfo.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace dadoveri {

namespace {

// MemAvailable from /proc/meminfo, in bytes; 0 when it cannot be read.
uint64_t meminfo_available() {
  std::ifstream in("/proc/meminfo");
  std::string line;
  while (std::getline(in, line)) {
    unsigned long long kb = 0;
    if (std::sscanf(line.c_str(), "MemAvailable: %llu kB", &kb) == 1) return static_cast<uint64_t>(kb) * 1024;
  }
  return 0;
}

// Bytes the process's cgroup (v2) may still take; UINT64_MAX when it has no limit.
uint64_t cgroup_headroom() {
  std::ifstream self("/proc/self/cgroup");
  std::string line, path;
  while (std::getline(self, line))
    if (line.rfind("0::", 0) == 0) path = line.substr(3);
  if (path.empty()) return UINT64_MAX;
  const std::string base = "/sys/fs/cgroup" + path;
  std::ifstream max_file(base + "/memory.max"), current_file(base + "/memory.current");
  std::string max_text;
  unsigned long long current = 0;
  if (!(max_file >> max_text) || max_text == "max" || !(current_file >> current)) return UINT64_MAX;
  const unsigned long long limit = std::strtoull(max_text.c_str(), nullptr, 10);
  return limit > current ? limit - current : 0;
}

}  // namespace

uint64_t AvailablePhysicalMemory() {
  uint64_t available = meminfo_available();
  if (available == 0) {
    struct sysinfo info;
    if (sysinfo(&info) == 0)
      available = (static_cast<uint64_t>(info.freeram) + info.bufferram) * info.mem_unit;
  }
  const uint64_t headroom = cgroup_headroom();
  return available < headroom ? available : headroom;
}

}  // namespace dadoveri
