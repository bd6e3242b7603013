// TABSBitsArray, a growable array of bits with the rank and select queries that record
// numbers need, and TABSRecordBitmap, the set of records that pass a cursor's restrictions:
// one bit per record ordinal (storage order, or index order when built for an active
// index), stale once the table's change counter moves past the one it was built at.
#pragma once

#include <array>
#include <cstdint>
#include <map>

namespace dadoveri {

// The bits live in blocks of 4096 that exist only while they hold a set bit, so memory
// follows the set bits: index ordinals are sparse (a path's entry numbers in a base of
// the page capacity), and a bitmap in index order may span a range far wider than the
// table. Each block keeps its set-bit count, so rank and n-th bit walk blocks, not words.
class TABSBitsArray {
 public:
  int64_t Size() const { return size_; }
  // Grows or shrinks to `bits` bits; new bits are clear.
  void SetSize(int64_t bits);
  // "Invalid bit no = %d, number of bits = %d" for a bit outside the array.
  bool GetBit(int64_t bit) const;
  // Setting a bit beyond the end grows the array first.
  void SetBit(int64_t bit, bool value);
  void ClearAll();
  int64_t SetBitCount() const { return set_count_; }
  // The first set bit at or after `from` (at or before for the prior form); -1 when none.
  int64_t NextSetBit(int64_t from) const;
  int64_t PriorSetBit(int64_t from) const;
  // The n-th set bit, counted from 1; -1 when fewer are set.
  int64_t NthSetBit(int64_t n) const;
  // The number of set bits before `bit`.
  int64_t RankOf(int64_t bit) const;

 private:
  static constexpr int64_t kBlockBits = 4096;
  static constexpr int64_t kBlockWords = kBlockBits / 64;
  struct Block {
    std::array<uint64_t, kBlockWords> Words{};
    int32_t Count = 0;
  };
  // The block the last SetBit set a bit in: bits set in order stay in one block for a
  // while. A copy starts without it.
  struct LastBlock {
    int64_t Number = -1;
    Block* Where = nullptr;
    LastBlock() = default;
    LastBlock(const LastBlock&) {}
    LastBlock& operator=(const LastBlock&) {
      Number = -1;
      Where = nullptr;
      return *this;
    }
  };
  void check(int64_t bit, int32_t code) const;
  std::map<int64_t, Block> blocks_;
  LastBlock last_;
  int64_t size_ = 0;
  int64_t set_count_ = 0;
};

class TABSRecordBitmap {
 public:
  TABSBitsArray Bits;
  bool Built = false;
  bool IndexOrder = false;
  int32_t ChangeCounter = 0;

  // Clears the bits and the built flag.
  void Invalidate() {
    Bits.ClearAll();
    Built = false;
  }
  bool IsCurrent(int32_t table_change_counter) const { return Built && ChangeCounter == table_change_counter; }
};

}  // namespace dadoveri
