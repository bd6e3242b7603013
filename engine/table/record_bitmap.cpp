#include "engine/table/record_bitmap.h"

#include <algorithm>
#include <bit>

#include "engine/base/engine_error.h"

namespace dadoveri {

void TABSBitsArray::check(int64_t bit, int32_t code) const {
  if (bit < 0 || bit >= size_) RaiseError(code, static_cast<int32_t>(bit), static_cast<int32_t>(size_));
}

void TABSBitsArray::SetSize(int64_t bits) {
  if (bits < 0) RaiseError(10394, static_cast<int32_t>(bits), static_cast<int32_t>(size_));
  if (bits < size_) {
    for (int64_t b = bits; b < size_; ++b)
      if (GetBit(b)) --set_count_;
  }
  words_.resize(static_cast<size_t>((bits + 63) / 64), 0);
  // Bits past the end stay clear so the word scans need no mask.
  if (bits % 64 != 0) words_.back() &= (uint64_t{1} << (bits % 64)) - 1;
  size_ = bits;
}

bool TABSBitsArray::GetBit(int64_t bit) const {
  check(bit, 10395);
  return (words_[static_cast<size_t>(bit / 64)] >> (bit % 64)) & 1;
}

void TABSBitsArray::SetBit(int64_t bit, bool value) {
  if (bit < 0) RaiseError(10428, static_cast<int32_t>(bit), static_cast<int32_t>(size_));
  if (bit >= size_) {
    if (!value) return;
    SetSize(std::max<int64_t>(bit + 1, size_ + size_ / 2));
  }
  uint64_t& word = words_[static_cast<size_t>(bit / 64)];
  const uint64_t mask = uint64_t{1} << (bit % 64);
  if (((word & mask) != 0) == value) return;
  word ^= mask;
  set_count_ += value ? 1 : -1;
}

void TABSBitsArray::ClearAll() {
  std::fill(words_.begin(), words_.end(), 0);
  set_count_ = 0;
}

int64_t TABSBitsArray::NextSetBit(int64_t from) const {
  if (from < 0) from = 0;
  if (from >= size_) return -1;
  size_t w = static_cast<size_t>(from / 64);
  uint64_t word = words_[w] & (~uint64_t{0} << (from % 64));
  while (true) {
    if (word) return static_cast<int64_t>(w) * 64 + std::countr_zero(word);
    if (++w >= words_.size()) return -1;
    word = words_[w];
  }
}

int64_t TABSBitsArray::PriorSetBit(int64_t from) const {
  if (from >= size_) from = size_ - 1;
  if (from < 0) return -1;
  size_t w = static_cast<size_t>(from / 64);
  const int shift = static_cast<int>(63 - from % 64);
  uint64_t word = (words_[w] << shift) >> shift;
  while (true) {
    if (word) return static_cast<int64_t>(w) * 64 + 63 - std::countl_zero(word);
    if (w == 0) return -1;
    word = words_[--w];
  }
}

int64_t TABSBitsArray::NthSetBit(int64_t n) const {
  if (n < 1 || n > set_count_) return -1;
  for (size_t w = 0; w < words_.size(); ++w) {
    const int ones = std::popcount(words_[w]);
    if (n > ones) {
      n -= ones;
      continue;
    }
    uint64_t word = words_[w];
    for (int64_t i = 1; i < n; ++i) word &= word - 1;
    return static_cast<int64_t>(w) * 64 + std::countr_zero(word);
  }
  return -1;
}

int64_t TABSBitsArray::RankOf(int64_t bit) const {
  check(bit, 10429);
  int64_t rank = 0;
  const size_t w = static_cast<size_t>(bit / 64);
  for (size_t i = 0; i < w; ++i) rank += std::popcount(words_[i]);
  if (bit % 64) rank += std::popcount(words_[w] & ((uint64_t{1} << (bit % 64)) - 1));
  return rank;
}

}  // namespace dadoveri
