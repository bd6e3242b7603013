// The bits of record bitmaps against a plain vector of flags: set and clear, growth, next
// and prior set bits, the n-th set bit and ranks; and the refusals of bits outside.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "engine/table/record_bitmap.h"
#include "engine/table/session.h"
#include "tests/engine/test_support.h"

namespace dadoveri {
namespace {

using testing::CodeOf;

TEST(BitsArray, AgreesWithAVectorOfFlags) {
  std::mt19937 rng(7);
  TABSBitsArray bits;
  std::vector<bool> model;
  for (int round = 0; round < 3000; ++round) {
    const int64_t bit = static_cast<int64_t>(rng() % 700);
    const bool value = rng() % 3 != 0;
    bits.SetBit(bit, value);
    if (value && bit >= static_cast<int64_t>(model.size())) model.resize(static_cast<size_t>(bit) + 1, false);
    if (bit < static_cast<int64_t>(model.size())) model[static_cast<size_t>(bit)] = value;
    if (round % 100 == 0) {
      const int64_t size = static_cast<int64_t>(rng() % 700);
      bits.SetSize(size);
      model.resize(static_cast<size_t>(size), false);
    }
    ASSERT_GE(bits.Size(), static_cast<int64_t>(model.size()));
    model.resize(static_cast<size_t>(bits.Size()), false);
    int64_t set = 0;
    for (bool b : model) set += b;
    ASSERT_EQ(bits.SetBitCount(), set);
    const int64_t probe = bits.Size() ? static_cast<int64_t>(rng() % static_cast<uint64_t>(bits.Size())) : 0;
    int64_t next = -1, prior = -1, rank = 0;
    for (int64_t i = probe; i < static_cast<int64_t>(model.size()); ++i)
      if (model[static_cast<size_t>(i)]) {
        next = i;
        break;
      }
    for (int64_t i = std::min<int64_t>(probe, static_cast<int64_t>(model.size()) - 1); i >= 0; --i)
      if (model[static_cast<size_t>(i)]) {
        prior = i;
        break;
      }
    for (int64_t i = 0; i < probe; ++i) rank += model[static_cast<size_t>(i)];
    ASSERT_EQ(bits.NextSetBit(probe), next) << round;
    ASSERT_EQ(bits.PriorSetBit(probe), prior) << round;
    if (bits.Size() > 0) {
      ASSERT_EQ(bits.RankOf(probe), rank) << round;
      ASSERT_EQ(bits.GetBit(probe), model[static_cast<size_t>(probe)]);
    }
    if (set > 0) {
      const int64_t n = 1 + static_cast<int64_t>(rng() % static_cast<uint64_t>(set));
      int64_t seen = 0, nth = -1;
      for (int64_t i = 0; i < static_cast<int64_t>(model.size()); ++i)
        if (model[static_cast<size_t>(i)] && ++seen == n) {
          nth = i;
          break;
        }
      ASSERT_EQ(bits.NthSetBit(n), nth) << round;
    }
    ASSERT_EQ(bits.NthSetBit(set + 1), -1);
  }
}

// Bits set and cleared over several blocks, with copies taken, assigned and cleared on the
// way: every array keeps to its own bits (a copy shares no block with the original).
TEST(BitsArray, CopiesAndClearedArraysKeepTheirOwnBlocks) {
  std::mt19937 rng(11);
  constexpr int64_t kSpan = 3 * 4096;
  TABSBitsArray bits[2];
  std::set<int64_t> model[2];
  for (int round = 0; round < 4000; ++round) {
    const int which = static_cast<int>(rng() % 2);
    // Runs of neighbouring bits, as a walk in index order sets them, and jumps between blocks.
    const int64_t bit = rng() % 4 == 0 ? static_cast<int64_t>(rng() % kSpan)
                                        : (round * 7 + static_cast<int64_t>(rng() % 5)) % kSpan;
    const bool value = rng() % 4 != 0;
    bits[which].SetBit(bit, value);
    if (value) model[which].insert(bit);
    else model[which].erase(bit);
    switch (rng() % 300) {
      case 0:  // a copy
        bits[1 - which] = TABSBitsArray(bits[which]);
        model[1 - which] = model[which];
        break;
      case 1:  // an assignment
        bits[1 - which] = bits[which];
        model[1 - which] = model[which];
        break;
      case 2:
        bits[which].ClearAll();
        model[which].clear();
        break;
      case 3:  // a shrink that cuts through a block
        bits[which].SetSize(bit);
        model[which].erase(model[which].lower_bound(bit), model[which].end());
        break;
      default:
        break;
    }
    for (int k = 0; k < 2; ++k) {
      ASSERT_EQ(bits[k].SetBitCount(), static_cast<int64_t>(model[k].size())) << round;
      const int64_t probe = static_cast<int64_t>(rng() % kSpan);
      const auto next = model[k].lower_bound(probe);
      ASSERT_EQ(bits[k].NextSetBit(probe), next == model[k].end() ? -1 : *next) << round;
    }
  }
}

TEST(BitsArray, SparseBitsFarApartKeepRankAndOrder) {
  // Index ordinals run to the page capacity raised to the tree's depth: bits far apart
  // must cost memory by the bits set, and rank, n-th bit and neighbours stay right.
  TABSBitsArray bits;
  const std::vector<int64_t> set = {5, 4095, 4096, 1'000'000'007, 1'000'000'008, 987'654'321'012};
  for (int64_t b : set) bits.SetBit(b, true);
  EXPECT_EQ(bits.SetBitCount(), static_cast<int64_t>(set.size()));
  std::vector<int64_t> sorted = set;
  std::sort(sorted.begin(), sorted.end());
  for (size_t i = 0; i < sorted.size(); ++i) {
    EXPECT_EQ(bits.NthSetBit(static_cast<int64_t>(i) + 1), sorted[i]);
    EXPECT_EQ(bits.RankOf(sorted[i]), static_cast<int64_t>(i));
    EXPECT_EQ(bits.NextSetBit(sorted[i] - 1 < 0 ? 0 : sorted[i]), sorted[i]);
    if (i > 0) {
      EXPECT_EQ(bits.PriorSetBit(sorted[i] - 1), sorted[i - 1]);
      EXPECT_EQ(bits.NextSetBit(sorted[i - 1] + 1), sorted[i]);
    }
  }
  bits.SetBit(1'000'000'007, false);
  EXPECT_EQ(bits.NextSetBit(4097), 1'000'000'008);
  bits.SetSize(4096);
  EXPECT_EQ(bits.SetBitCount(), 2);
  EXPECT_EQ(bits.NextSetBit(4096), -1);
}

TEST(BitsArray, BitsOutsideAreRefused) {
  TABSBitsArray bits;
  bits.SetSize(10);
  struct Case {
    int64_t bit;
    int32_t code;
  };
  const Case reads[] = {{-1, 10395}, {10, 10395}, {1000, 10395}};
  for (const Case& k : reads) EXPECT_EQ(CodeOf([&] { (void)bits.GetBit(k.bit); }), k.code) << k.bit;
  EXPECT_EQ(CodeOf([&] { (void)bits.RankOf(10); }), 10429);
  EXPECT_EQ(CodeOf([&] { bits.SetBit(-3, true); }), 10428);
  EXPECT_EQ(testing::MessageOf([&] { (void)bits.GetBit(12); }),
            "Invalid bit no = 12, number of bits = 10 - Native error: 10395");
  // Clearing a bit beyond the end changes nothing; setting one grows the array.
  bits.SetBit(50, false);
  EXPECT_EQ(bits.Size(), 10);
  bits.SetBit(50, true);
  EXPECT_GT(bits.Size(), 50);
  EXPECT_EQ(bits.SetBitCount(), 1);
}

TEST(RecordBitmap, IsCurrentOnlyWhenBuiltAtTheTablesCounter) {
  TABSRecordBitmap bitmap;
  EXPECT_FALSE(bitmap.IsCurrent(0));
  bitmap.Built = true;
  bitmap.ChangeCounter = 4;
  bitmap.Bits.SetBit(3, true);
  EXPECT_TRUE(bitmap.IsCurrent(4));
  EXPECT_FALSE(bitmap.IsCurrent(5));
  bitmap.Invalidate();
  EXPECT_FALSE(bitmap.IsCurrent(4));
  EXPECT_EQ(bitmap.Bits.SetBitCount(), 0);
}

TEST(BaseSession, NamedObjectsReplaceByIDOrName) {
  TABSBaseSession session(3);
  auto named = [](int32_t id, const char* name) {
    auto o = std::make_unique<TABSSessionNamedObjectSequenceValue>();
    o->ObjectID = id;
    o->Name = name;
    return o;
  };
  session.AddNamedObject(named(7, "Alpha"));
  session.AddNamedObject(named(-1, "Beta"));
  session.AddNamedObject(named(7, "Gamma"));    // same ID: replaces Alpha
  session.AddNamedObject(named(-1, "BETA"));    // no ID, same name: replaces Beta
  EXPECT_EQ(session.FindNamedObject("alpha"), nullptr);
  ASSERT_NE(session.FindNamedObjectByID(7), nullptr);
  EXPECT_EQ(session.FindNamedObjectByID(7)->Name, "Gamma");
  ASSERT_NE(session.FindNamedObject("beta"), nullptr);
  EXPECT_EQ(session.FindNamedObject("beta")->Name, "BETA");
  int64_t value = 0;
  EXPECT_FALSE(session.GetLastSequenceValue(9, value));
  session.SetLastSequenceValue(9, "Counter", 41);
  session.SetLastSequenceValue(9, "Counter", 42);
  ASSERT_TRUE(session.GetLastSequenceValue(9, value));
  EXPECT_EQ(value, 42);
  EXPECT_EQ(session.FindNamedObject("COUNTER")->ObjectID, 9);
}

}  // namespace
}  // namespace dadoveri
