#include "engine/platform/system_memory.h"

#include <gtest/gtest.h>
#include <sys/sysinfo.h>

namespace dadoveri {
namespace {

TEST(SystemMemory, AvailableMemoryIsPlausible) {
  struct sysinfo info;
  ASSERT_EQ(sysinfo(&info), 0);
  const uint64_t total = static_cast<uint64_t>(info.totalram) * info.mem_unit;
  const uint64_t available = AvailablePhysicalMemory();
  EXPECT_GT(available, 0u);
  EXPECT_LE(available, total);
}

}  // namespace
}  // namespace dadoveri
