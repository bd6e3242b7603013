#include "engine/base/memory_manager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "engine/base/engine_error.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

using testing::CodeOf;

TEST(MemoryManager, BlocksCarryTheirSizeAndAreCounted) {
  TABSMemoryManager m;
  void* p = m.GetMemZero(100);
  EXPECT_EQ(m.GetMemSize(p), 100);
  EXPECT_EQ(m.BytesInUse(), 100);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(static_cast<uint8_t*>(p)[i], 0);
  std::memset(p, 7, 100);
  m.ReallocMem(p, 150);
  EXPECT_EQ(m.GetMemSize(p), 150);
  EXPECT_EQ(static_cast<uint8_t*>(p)[99], 7);
  EXPECT_EQ(static_cast<uint8_t*>(p)[100], 0);  // the grown part is zeroed
  m.ReallocMem(p, 10);
  EXPECT_EQ(static_cast<uint8_t*>(p)[9], 7);
  EXPECT_EQ(m.BytesInUse(), 10);
  m.FreeAndNillMem(p);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(m.BytesInUse(), 0);
  EXPECT_EQ(m.GetMemSize(nullptr), 0);
  m.FreeAndNillMem(p);  // null is left alone
}

TEST(MemoryManager, RefusalsCarryTheirCodes) {
  TABSMemoryManager m;
  EXPECT_EQ(CodeOf([&] { m.GetMem(0); }), 30286);
  m.SetMemoryLimit(1000);
  void* p = m.GetMem(600);
  EXPECT_EQ(CodeOf([&] { m.GetMem(401); }), 30004);
  EXPECT_EQ(m.BytesInUse(), 600);
  void* q = m.GetMem(400);  // exactly at the limit
  EXPECT_EQ(CodeOf([&] { m.ReallocMem(q, 800); }), 30014);
  EXPECT_EQ(m.GetMemSize(q), 400);  // a failed resize keeps the block
  m.FreeAndNillMem(q);
  m.FreeAndNillMem(p);
  EXPECT_LE(m.GetAvailableMemory(), 1000u);
  m.SetMemoryLimit(0);
  EXPECT_GT(m.GetAvailableMemory(), 1000u);

  // A pointer that is not the start of a block.
  p = m.GetMem(64);
  void* inner = static_cast<uint8_t*>(p) + 32;
  EXPECT_EQ(CodeOf([&] { m.FreeAndNillMem(inner); }), 30001);
  EXPECT_EQ(CodeOf([&] { m.ReallocMem(inner, 10); }), 30002);
  EXPECT_EQ(CodeOf([&] { m.GetMemSize(inner); }), 30005);
  m.FreeAndNillMem(p);
}

TEST(MemoryManager, WritesPastEitherEndAreCaughtOnRelease) {
  TABSMemoryManager m;
  // One byte past the end: the block is still released, then the overrun is reported.
  for (int32_t size : {1, 7, 16, 1000}) {
    void* p = m.GetMem(size);
    static_cast<uint8_t*>(p)[size] ^= 0xFF;
    EXPECT_EQ(CodeOf([&] { m.FreeAndNillMem(p); }), 30137) << size;
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(m.BytesInUse(), 0);
  }
  // One byte before the start damages the signature: refused, nothing released.
  void* p = m.GetMem(32);
  uint8_t* before = static_cast<uint8_t*>(p) - 1;
  const uint8_t saved = *before;
  *before ^= 0xFF;
  EXPECT_EQ(CodeOf([&] { m.FreeAndNillMem(p); }), 30001);
  EXPECT_NE(p, nullptr);
  *before = saved;
  m.FreeAndNillMem(p);
}

TEST(MemoryManager, CounterIsSafeAcrossThreads) {
  TABSMemoryManager m;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&m] {
      for (int i = 0; i < 2000; ++i) {
        void* p = m.GetMem(1 + i % 50);
        m.FreeAndNillMem(p);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(m.BytesInUse(), 0);
}

}  // namespace
}  // namespace dadoveri
