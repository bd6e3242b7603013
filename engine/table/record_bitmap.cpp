#include "engine/table/record_bitmap.h"

#include <algorithm>
#include <bit>

#include "engine/base/engine_error.h"

namespace dadoveri {

namespace {

// The lowest set bit at or after `from` within one block's words; -1 when none.
int64_t next_in_block(const std::array<uint64_t, 64>& words, int64_t from) {
  size_t w = static_cast<size_t>(from / 64);
  uint64_t word = words[w] & (~uint64_t{0} << (from % 64));
  while (true) {
    if (word) return static_cast<int64_t>(w) * 64 + std::countr_zero(word);
    if (++w >= words.size()) return -1;
    word = words[w];
  }
}

// The highest set bit at or before `from` within one block's words; -1 when none.
int64_t prior_in_block(const std::array<uint64_t, 64>& words, int64_t from) {
  size_t w = static_cast<size_t>(from / 64);
  const int shift = static_cast<int>(63 - from % 64);
  uint64_t word = (words[w] << shift) >> shift;
  while (true) {
    if (word) return static_cast<int64_t>(w) * 64 + 63 - std::countl_zero(word);
    if (w == 0) return -1;
    word = words[--w];
  }
}

}  // namespace

void TABSBitsArray::check(int64_t bit, int32_t code) const {
  if (bit < 0 || bit >= size_) RaiseError(code, static_cast<int32_t>(bit), static_cast<int32_t>(size_));
}

void TABSBitsArray::SetSize(int64_t bits) {
  if (bits < 0) RaiseError(10394, static_cast<int32_t>(bits), static_cast<int32_t>(size_));
  if (bits < size_) {
    last_ = LastBlock();
    // Bits past the new end are cleared, so that growing again finds them clear.
    auto it = blocks_.lower_bound(bits / kBlockBits);
    while (it != blocks_.end()) {
      const int64_t base = it->first * kBlockBits;
      Block& block = it->second;
      for (int64_t b = std::max(bits, base) - base; b < kBlockBits; ++b) {
        uint64_t& word = block.Words[static_cast<size_t>(b / 64)];
        const uint64_t mask = uint64_t{1} << (b % 64);
        if (word & mask) {
          word &= ~mask;
          --block.Count;
          --set_count_;
        }
      }
      if (block.Count == 0) it = blocks_.erase(it);
      else ++it;
    }
  }
  size_ = bits;
}

bool TABSBitsArray::GetBit(int64_t bit) const {
  check(bit, 10395);
  const auto it = blocks_.find(bit / kBlockBits);
  if (it == blocks_.end()) return false;
  const int64_t b = bit % kBlockBits;
  return (it->second.Words[static_cast<size_t>(b / 64)] >> (b % 64)) & 1;
}

void TABSBitsArray::SetBit(int64_t bit, bool value) {
  if (bit < 0) RaiseError(10428, static_cast<int32_t>(bit), static_cast<int32_t>(size_));
  if (bit >= size_) {
    if (!value) return;
    size_ = std::max<int64_t>(bit + 1, size_ + size_ / 2);
  }
  const int64_t number = bit / kBlockBits;
  if (last_.Number != number) {
    auto it = blocks_.find(number);
    if (it == blocks_.end()) {
      if (!value) return;
      it = blocks_.emplace(number, Block{}).first;
    }
    last_.Number = number;
    last_.Where = &it->second;
  }
  Block& block = *last_.Where;
  const int64_t b = bit % kBlockBits;
  uint64_t& word = block.Words[static_cast<size_t>(b / 64)];
  const uint64_t mask = uint64_t{1} << (b % 64);
  if (((word & mask) != 0) == value) return;
  word ^= mask;
  block.Count += value ? 1 : -1;
  set_count_ += value ? 1 : -1;
  if (block.Count == 0) {
    blocks_.erase(number);
    last_ = LastBlock();
  }
}

void TABSBitsArray::ClearAll() {
  last_ = LastBlock();
  blocks_.clear();
  set_count_ = 0;
}

int64_t TABSBitsArray::NextSetBit(int64_t from) const {
  if (from < 0) from = 0;
  if (from >= size_) return -1;
  for (auto it = blocks_.lower_bound(from / kBlockBits); it != blocks_.end(); ++it) {
    const int64_t base = it->first * kBlockBits;
    const int64_t found = next_in_block(it->second.Words, std::max(from, base) - base);
    if (found >= 0) return base + found;
  }
  return -1;
}

int64_t TABSBitsArray::PriorSetBit(int64_t from) const {
  if (from >= size_) from = size_ - 1;
  if (from < 0) return -1;
  auto it = blocks_.upper_bound(from / kBlockBits);
  while (it != blocks_.begin()) {
    --it;
    const int64_t base = it->first * kBlockBits;
    const int64_t found = prior_in_block(it->second.Words, std::min(from - base, kBlockBits - 1));
    if (found >= 0) return base + found;
  }
  return -1;
}

int64_t TABSBitsArray::NthSetBit(int64_t n) const {
  if (n < 1 || n > set_count_) return -1;
  for (const auto& [number, block] : blocks_) {
    if (n > block.Count) {
      n -= block.Count;
      continue;
    }
    for (size_t w = 0; w < block.Words.size(); ++w) {
      const int ones = std::popcount(block.Words[w]);
      if (n > ones) {
        n -= ones;
        continue;
      }
      uint64_t word = block.Words[w];
      for (int64_t i = 1; i < n; ++i) word &= word - 1;
      return number * kBlockBits + static_cast<int64_t>(w) * 64 + std::countr_zero(word);
    }
  }
  return -1;
}

int64_t TABSBitsArray::RankOf(int64_t bit) const {
  check(bit, 10429);
  int64_t rank = 0;
  const int64_t number = bit / kBlockBits;
  for (auto it = blocks_.begin(); it != blocks_.end() && it->first <= number; ++it) {
    if (it->first < number) {
      rank += it->second.Count;
      continue;
    }
    const int64_t b = bit % kBlockBits;
    const size_t w = static_cast<size_t>(b / 64);
    for (size_t i = 0; i < w; ++i) rank += std::popcount(it->second.Words[i]);
    if (b % 64) rank += std::popcount(it->second.Words[w] & ((uint64_t{1} << (b % 64)) - 1));
  }
  return rank;
}

}  // namespace dadoveri
