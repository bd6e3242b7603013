#include "engine/storage/ppmd.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace dadoveri {

namespace {

// ---- Model memory ------------------------------------------------------------------
//
// The model lives in one arena addressed by 32-bit offsets (0 is "none"). Contexts and
// symbol-state arrays are allocated in units of 12 bytes from the top part of the arena;
// the bottom part is the text area, where the symbols seen are written and where a
// state's successor points while no context has been built for it yet.

constexpr uint32_t kUnitSize = 12;
constexpr int kNumIndexes = 38;  // 4 sizes step 1, 4 step 2, 4 step 3, 26 step 4: 1..128 units
constexpr unsigned kMaxFreq = 124;
constexpr int kIntBits = 7;
constexpr int kPeriodBits = 7;
constexpr unsigned kBinScale = 1u << (kIntBits + kPeriodBits);
constexpr int kMaxOrderLimit = 64;

// The arena is raw bytes viewed as these records; the file is built with
// -fno-strict-aliasing, since a context's single state overlays its frequency sum and
// state-array reference, as the model's layout requires.
struct State {
  uint8_t Symbol;
  uint8_t Freq;
  uint16_t SuccessorLow;
  uint16_t SuccessorHigh;
};

struct Context {
  uint16_t NumStats;
  uint16_t SummFreq;
  uint32_t Stats;
  uint32_t Suffix;
};

static_assert(sizeof(State) == 6 && sizeof(Context) == 12);

// An adaptive escape estimate for contexts that have escaped before.
struct See {
  uint16_t Summ;
  uint8_t Shift;
  uint8_t Count;

  unsigned Mean() {
    const unsigned r = Summ >> Shift;
    Summ = static_cast<uint16_t>(Summ - r);
    return r + (r == 0);
  }
  void Update() {
    if (Shift < kPeriodBits && --Count == 0) {
      Summ = static_cast<uint16_t>(Summ << 1);
      Count = static_cast<uint8_t>(3 << Shift++);
    }
  }
};

inline uint32_t successor_of(const State* s) {
  return static_cast<uint32_t>(s->SuccessorLow) | (static_cast<uint32_t>(s->SuccessorHigh) << 16);
}
inline void set_successor(State* s, uint32_t v) {
  s->SuccessorLow = static_cast<uint16_t>(v & 0xFFFF);
  s->SuccessorHigh = static_cast<uint16_t>(v >> 16);
}
inline void swap_states(State* a, State* b) {
  const State t = *a;
  *a = *b;
  *b = t;
}

constexpr uint16_t kInitBinEsc[8] = {0x3CDD, 0x1F3F, 0x59BF, 0x48F3, 0x64A1, 0x5ABC, 0x6632, 0x6051};
constexpr uint8_t kExpEscape[16] = {25, 14, 9, 7, 5, 5, 4, 4, 4, 3, 3, 3, 2, 2, 2, 2};

// Tables that depend on nothing: unit-count classes, the SEE class of a symbol count, the
// binary-context class of a suffix's symbol count, and the "high bits" flag of a symbol.
struct Tables {
  uint8_t Indx2Units[kNumIndexes];
  uint8_t Units2Indx[128];
  uint8_t NS2Indx[256];
  uint8_t NS2BSIndx[256];
  uint8_t HB2Flag[256];

  Tables() {
    unsigned k = 0;
    for (unsigned i = 0; i < kNumIndexes; ++i) {
      unsigned step = i >= 12 ? 4 : (i >> 2) + 1;
      do {
        Units2Indx[k++] = static_cast<uint8_t>(i);
      } while (--step);
      Indx2Units[i] = static_cast<uint8_t>(k);
    }
    NS2BSIndx[0] = 0 << 1;
    NS2BSIndx[1] = 1 << 1;
    std::memset(NS2BSIndx + 2, 2 << 1, 9);
    std::memset(NS2BSIndx + 11, 3 << 1, 256 - 11);
    unsigned i = 0;
    for (; i < 3; ++i) NS2Indx[i] = static_cast<uint8_t>(i);
    for (unsigned m = i, step = 1; i < 256; ++i) {
      NS2Indx[i] = static_cast<uint8_t>(m);
      if (--step == 0) step = (++m) - 2;
    }
    std::memset(HB2Flag, 0, 0x40);
    std::memset(HB2Flag + 0x40, 8, 0x100 - 0x40);
  }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

// ---- Range coder -------------------------------------------------------------------
//
// A range coder with a 64-bit low end and carry propagation: the range never falls below
// 2^24 between symbols, so any total below 2^16 (every total this model produces) codes
// exactly.

constexpr uint32_t kTopValue = 1u << 24;

class RangeEncoder {
 public:
  explicit RangeEncoder(std::vector<uint8_t>& out) : out_(out) {}

  void Encode(uint32_t start, uint32_t size, uint32_t total) {
    range_ /= total;
    low_ += static_cast<uint64_t>(start) * range_;
    range_ *= size;
    normalize();
  }
  // A binary decision against a probability of `size0` out of kBinScale.
  void EncodeBit0(uint32_t size0) {
    range_ = (range_ >> 14) * size0;
    normalize();
  }
  void EncodeBit1(uint32_t size0) {
    const uint32_t bound = (range_ >> 14) * size0;
    low_ += bound;
    range_ -= bound;
    normalize();
  }
  void Flush() {
    for (int i = 0; i < 5; ++i) shift_low();
  }

 private:
  void normalize() {
    while (range_ < kTopValue) {
      range_ <<= 8;
      shift_low();
    }
  }
  void shift_low() {
    if (static_cast<uint32_t>(low_) < 0xFF000000u || (low_ >> 32) != 0) {
      uint8_t carry_byte = cache_;
      do {
        out_.push_back(static_cast<uint8_t>(carry_byte + static_cast<uint8_t>(low_ >> 32)));
        carry_byte = 0xFF;
      } while (--cache_size_ != 0);
      cache_ = static_cast<uint8_t>(static_cast<uint32_t>(low_) >> 24);
    }
    ++cache_size_;
    low_ = static_cast<uint32_t>(low_) << 8;
  }

  std::vector<uint8_t>& out_;
  uint64_t low_ = 0;
  uint32_t range_ = 0xFFFFFFFFu;
  uint8_t cache_ = 0;
  uint64_t cache_size_ = 1;
};

class RangeDecoder {
 public:
  RangeDecoder(const uint8_t* data, size_t length) : p_(data), end_(data + length) {}

  // False when the stream does not start as the encoder starts every stream.
  bool Init() {
    if (next() != 0) return false;
    for (int i = 0; i < 4; ++i) code_ = (code_ << 8) | next();
    return code_ < 0xFFFFFFFFu;
  }
  uint32_t Threshold(uint32_t total) { return code_ / (range_ /= total); }
  void Decode(uint32_t start, uint32_t size) {
    code_ -= start * range_;
    range_ *= size;
    normalize();
  }
  unsigned DecodeBit(uint32_t size0) {
    const uint32_t bound = (range_ >> 14) * size0;
    unsigned bit;
    if (code_ < bound) {
      bit = 0;
      range_ = bound;
    } else {
      bit = 1;
      code_ -= bound;
      range_ -= bound;
    }
    normalize();
    return bit;
  }
  // Bytes asked for beyond the end of the input (read as zeros). The encoder's flush
  // leaves the decoder a few bytes short at most; more means a damaged stream.
  size_t Overrun() const { return overrun_; }

 private:
  uint8_t next() {
    if (p_ < end_) return *p_++;
    ++overrun_;
    return 0;
  }
  void normalize() {
    while (range_ < kTopValue) {
      code_ = (code_ << 8) | next();
      range_ <<= 8;
    }
  }

  const uint8_t* p_;
  const uint8_t* end_;
  uint32_t code_ = 0;
  uint32_t range_ = 0xFFFFFFFFu;
  size_t overrun_ = 0;
};

// ---- The model ---------------------------------------------------------------------

class Model {
 public:
  Model(int max_order, size_t size) : t_(tables()), max_order_(static_cast<unsigned>(max_order)) {
    // Offset 0 stays unused so that 0 can mean "none"; the text area starts at offset 4
    // and the arena's end is 4-aligned, so every unit (counted down from the end) is.
    size_ = static_cast<uint32_t>(size & ~size_t{3});
    arena_.reset(new uint8_t[size_ + 4 + kUnitSize]);
    base_ = arena_.get();
    restart();
    dummy_see_.Shift = kPeriodBits;
    dummy_see_.Summ = 0;
    dummy_see_.Count = 64;
  }

  void EncodeSymbol(RangeEncoder& rc, int symbol);
  // Restarts after the memory was used up (the first start not counted).
  uint32_t Restarts() const { return restarts_ - 1; }
  // The next symbol, -1 at the end-of-data code, -2 for a damaged code.
  int DecodeSymbol(RangeDecoder& rc);

 private:
  // Offsets and pointers.
  uint32_t ref(const void* p) const { return static_cast<uint32_t>(static_cast<const uint8_t*>(p) - base_); }
  Context* ctx(uint32_t r) const { return reinterpret_cast<Context*>(base_ + r); }
  State* stats(const Context* c) const { return reinterpret_cast<State*>(base_ + c->Stats); }
  static State* one_state(Context* c) { return reinterpret_cast<State*>(&c->SummFreq); }
  Context* suffix(const Context* c) const { return c->Suffix ? ctx(c->Suffix) : nullptr; }

  unsigned i2u(unsigned index) const { return t_.Indx2Units[index]; }
  unsigned u2i(unsigned units) const { return t_.Units2Indx[units - 1]; }
  static uint32_t u2b(unsigned units) { return units * kUnitSize; }

  // Allocator.
  void insert_node(void* node, unsigned index) {
    uint32_t next = free_list_[index];
    std::memcpy(node, &next, 4);
    free_list_[index] = ref(node);
  }
  void* remove_node(unsigned index) {
    uint8_t* node = base_ + free_list_[index];
    uint32_t next;
    std::memcpy(&next, node, 4);
    free_list_[index] = next;
    return node;
  }
  void split_block(void* ptr, unsigned old_index, unsigned new_index);
  void glue_free_blocks();
  void* alloc_units_rare(unsigned index);
  void* alloc_units(unsigned index);
  void* shrink_units(void* old_ptr, unsigned old_nu, unsigned new_nu);

  // Model.
  void restart();
  Context* create_successors(bool skip);
  void update_model();
  void rescale();
  See* make_esc_freq(unsigned num_masked, uint32_t* esc_freq);
  void next_context();
  void update1();
  void update1_0();
  void update_bin();
  void update2();
  uint16_t* bin_summ();

  const Tables& t_;
  std::unique_ptr<uint8_t[]> arena_;
  uint8_t* base_ = nullptr;
  uint32_t size_ = 0;
  uint8_t* text_ = nullptr;
  uint8_t* units_start_ = nullptr;
  uint8_t* lo_unit_ = nullptr;
  uint8_t* hi_unit_ = nullptr;
  uint32_t glue_count_ = 0;
  uint32_t restarts_ = 0;
  uint32_t free_list_[kNumIndexes] = {};

  Context* min_context_ = nullptr;
  Context* max_context_ = nullptr;
  State* found_state_ = nullptr;
  unsigned order_fall_ = 0;
  unsigned init_esc_ = 0;
  unsigned prev_success_ = 0;
  unsigned max_order_;
  unsigned hi_bits_flag_ = 0;
  int32_t run_length_ = 0;
  int32_t init_rl_ = 0;

  See dummy_see_{};
  See see_[25][16];
  uint16_t bin_summ_[128][64];
};

void Model::split_block(void* ptr, unsigned old_index, unsigned new_index) {
  const unsigned nu = i2u(old_index) - i2u(new_index);
  uint8_t* p = static_cast<uint8_t*>(ptr) + u2b(i2u(new_index));
  unsigned i = u2i(nu);
  if (i2u(i) != nu) {
    const unsigned k = i2u(--i);
    insert_node(p + u2b(k), nu - k - 1);
  }
  insert_node(p, i);
}

// Merges neighbouring free blocks: every free block is taken off its list, the blocks are
// ordered by address, runs of adjacent ones become one, and the results go back on the
// lists in the largest classes that fit.
void Model::glue_free_blocks() {
  glue_count_ = 255;
  std::vector<std::pair<uint32_t, uint32_t>> blocks;  // offset, units
  for (unsigned i = 0; i < kNumIndexes; ++i) {
    while (free_list_[i] != 0) {
      void* node = remove_node(i);
      blocks.emplace_back(ref(node), i2u(i));
    }
  }
  std::sort(blocks.begin(), blocks.end());
  const uint32_t gap_start = ref(lo_unit_);
  for (size_t b = 0; b < blocks.size();) {
    uint32_t start = blocks[b].first;
    uint64_t units = blocks[b].second;
    size_t e = b + 1;
    // The gap between the low and the high unit pointers is not a free block: a run stops
    // at it.
    while (e < blocks.size() && blocks[e].first == start + units * kUnitSize &&
           !(lo_unit_ != hi_unit_ && blocks[e].first == gap_start)) {
      units += blocks[e].second;
      ++e;
    }
    b = e;
    uint8_t* p = base_ + start;
    while (units > 128) {
      insert_node(p, kNumIndexes - 1);
      p += u2b(128);
      units -= 128;
    }
    unsigned nu = static_cast<unsigned>(units);
    unsigned i = u2i(nu);
    if (i2u(i) != nu) {
      const unsigned k = i2u(--i);
      insert_node(p + u2b(k), nu - k - 1);
    }
    insert_node(p, i);
  }
}

void* Model::alloc_units_rare(unsigned index) {
  if (glue_count_ == 0) {
    glue_free_blocks();
    if (free_list_[index] != 0) return remove_node(index);
  }
  unsigned i = index;
  do {
    if (++i == kNumIndexes) {
      const uint32_t num_bytes = u2b(i2u(index));
      --glue_count_;
      if (static_cast<uint32_t>(units_start_ - text_) > num_bytes) {
        units_start_ -= num_bytes;
        return units_start_;
      }
      return nullptr;
    }
  } while (free_list_[i] == 0);
  void* block = remove_node(i);
  split_block(block, i, index);
  return block;
}

void* Model::alloc_units(unsigned index) {
  if (free_list_[index] != 0) return remove_node(index);
  const uint32_t num_bytes = u2b(i2u(index));
  if (num_bytes <= static_cast<uint32_t>(hi_unit_ - lo_unit_)) {
    void* r = lo_unit_;
    lo_unit_ += num_bytes;
    return r;
  }
  return alloc_units_rare(index);
}

void* Model::shrink_units(void* old_ptr, unsigned old_nu, unsigned new_nu) {
  const unsigned i0 = u2i(old_nu);
  const unsigned i1 = u2i(new_nu);
  if (i0 == i1) return old_ptr;
  if (free_list_[i1] != 0) {
    void* p = remove_node(i1);
    std::memcpy(p, old_ptr, u2b(new_nu));
    insert_node(old_ptr, i0);
    return p;
  }
  split_block(old_ptr, i0, i1);
  return old_ptr;
}

void Model::restart() {
  ++restarts_;
  std::memset(free_list_, 0, sizeof free_list_);
  text_ = base_ + 4;
  hi_unit_ = text_ + size_;
  lo_unit_ = units_start_ = hi_unit_ - size_ / 8 / kUnitSize * 7 * kUnitSize;
  glue_count_ = 0;

  order_fall_ = max_order_;
  run_length_ = init_rl_ = -static_cast<int32_t>(max_order_ < 12 ? max_order_ : 12) - 1;
  prev_success_ = 0;

  hi_unit_ -= kUnitSize;
  min_context_ = max_context_ = reinterpret_cast<Context*>(hi_unit_);
  min_context_->Suffix = 0;
  min_context_->NumStats = 256;
  min_context_->SummFreq = 256 + 1;
  found_state_ = reinterpret_cast<State*>(lo_unit_);
  lo_unit_ += u2b(256 / 2);
  min_context_->Stats = ref(found_state_);
  for (unsigned i = 0; i < 256; ++i) {
    State* s = &found_state_[i];
    s->Symbol = static_cast<uint8_t>(i);
    s->Freq = 1;
    set_successor(s, 0);
  }
  for (unsigned i = 0; i < 128; ++i)
    for (unsigned k = 0; k < 8; ++k) {
      const uint16_t val = static_cast<uint16_t>(kBinScale - kInitBinEsc[k] / (i + 2));
      for (unsigned m = 0; m < 64; m += 8) bin_summ_[i][k + m] = val;
    }
  for (unsigned i = 0; i < 25; ++i)
    for (unsigned k = 0; k < 16; ++k) {
      See& s = see_[i][k];
      s.Shift = kPeriodBits - 4;
      s.Summ = static_cast<uint16_t>((5 * i + 10) << s.Shift);
      s.Count = 4;
    }
}

Context* Model::create_successors(bool skip) {
  Context* c = min_context_;
  const uint32_t up_branch = successor_of(found_state_);
  State* ps[kMaxOrderLimit];
  unsigned num_ps = 0;
  if (!skip) ps[num_ps++] = found_state_;
  while (c->Suffix) {
    c = suffix(c);
    State* s;
    if (c->NumStats != 1) {
      for (s = stats(c); s->Symbol != found_state_->Symbol; ++s) {
      }
    } else {
      s = one_state(c);
    }
    const uint32_t succ = successor_of(s);
    if (succ != up_branch) {
      c = ctx(succ);
      if (num_ps == 0) return c;
      break;
    }
    ps[num_ps++] = s;
  }
  State up_state;
  up_state.Symbol = base_[up_branch];
  set_successor(&up_state, up_branch + 1);
  if (c->NumStats == 1) {
    up_state.Freq = one_state(c)->Freq;
  } else {
    State* s;
    for (s = stats(c); s->Symbol != up_state.Symbol; ++s) {
    }
    const uint32_t cf = s->Freq - 1u;
    const uint32_t s0 = c->SummFreq - c->NumStats - cf;
    up_state.Freq = static_cast<uint8_t>(
        1 + ((2 * cf <= s0) ? (5 * cf > s0) : ((2 * cf + 3 * s0 - 1) / (2 * s0))));
  }
  do {
    Context* c1;
    if (hi_unit_ != lo_unit_) {
      hi_unit_ -= kUnitSize;
      c1 = reinterpret_cast<Context*>(hi_unit_);
    } else if (free_list_[0] != 0) {
      c1 = static_cast<Context*>(remove_node(0));
    } else {
      c1 = static_cast<Context*>(alloc_units_rare(0));
      if (!c1) return nullptr;
    }
    c1->NumStats = 1;
    *one_state(c1) = up_state;
    c1->Suffix = ref(c);
    set_successor(ps[--num_ps], ref(c1));
    c = c1;
  } while (num_ps != 0);
  return c;
}

void Model::update_model() {
  uint32_t f_successor = successor_of(found_state_);
  if (found_state_->Freq < kMaxFreq / 4 && min_context_->Suffix != 0) {
    Context* c = suffix(min_context_);
    if (c->NumStats == 1) {
      State* s = one_state(c);
      if (s->Freq < 32) ++s->Freq;
    } else {
      State* s = stats(c);
      if (s->Symbol != found_state_->Symbol) {
        do {
          ++s;
        } while (s->Symbol != found_state_->Symbol);
        if (s[0].Freq >= s[-1].Freq) {
          swap_states(&s[0], &s[-1]);
          --s;
        }
      }
      if (s->Freq < kMaxFreq - 9) {
        s->Freq = static_cast<uint8_t>(s->Freq + 2);
        c->SummFreq = static_cast<uint16_t>(c->SummFreq + 2);
      }
    }
  }

  if (order_fall_ == 0) {
    min_context_ = max_context_ = create_successors(true);
    if (min_context_ == nullptr) {
      restart();
      return;
    }
    set_successor(found_state_, ref(min_context_));
    return;
  }

  *text_++ = found_state_->Symbol;
  uint32_t successor = ref(text_);
  if (text_ >= units_start_) {
    restart();
    return;
  }

  if (f_successor) {
    if (f_successor <= successor) {  // still a position in the text: build the context
      Context* cs = create_successors(false);
      if (cs == nullptr) {
        restart();
        return;
      }
      f_successor = ref(cs);
    }
    if (--order_fall_ == 0) {
      successor = f_successor;
      text_ -= (max_context_ != min_context_);
    }
  } else {
    set_successor(found_state_, successor);
    f_successor = ref(min_context_);
  }

  const unsigned ns = min_context_->NumStats;
  const unsigned s0 = min_context_->SummFreq - ns - (found_state_->Freq - 1u);
  for (Context* c = max_context_; c != min_context_; c = suffix(c)) {
    const unsigned ns1 = c->NumStats;
    if (ns1 != 1) {
      if ((ns1 & 1) == 0) {
        // The state array is full at an even count: move it to a block one unit larger.
        const unsigned old_nu = ns1 >> 1;
        const unsigned i = u2i(old_nu);
        if (i != u2i(old_nu + 1)) {
          void* p = alloc_units(i + 1);
          if (!p) {
            restart();
            return;
          }
          void* old_ptr = stats(c);
          std::memcpy(p, old_ptr, u2b(old_nu));
          insert_node(old_ptr, i);
          c->Stats = ref(p);
        }
      }
      c->SummFreq = static_cast<uint16_t>(c->SummFreq + (2 * ns1 < ns) +
                                          2 * ((4 * ns1 <= ns) & (c->SummFreq <= 8 * ns1)));
    } else {
      State* s = static_cast<State*>(alloc_units(0));
      if (!s) {
        restart();
        return;
      }
      *s = *one_state(c);
      c->Stats = ref(s);
      if (s->Freq < kMaxFreq / 4 - 1)
        s->Freq = static_cast<uint8_t>(s->Freq << 1);
      else
        s->Freq = kMaxFreq - 4;
      c->SummFreq = static_cast<uint16_t>(s->Freq + init_esc_ + (ns > 3));
    }
    uint32_t cf = 2u * found_state_->Freq * (c->SummFreq + 6u);
    const uint32_t sf = s0 + c->SummFreq;
    if (cf < 6 * sf) {
      cf = 1 + (cf > sf) + (cf >= 4 * sf);
      c->SummFreq = static_cast<uint16_t>(c->SummFreq + 3);
    } else {
      cf = 4 + (cf >= 9 * sf) + (cf >= 12 * sf) + (cf >= 15 * sf);
      c->SummFreq = static_cast<uint16_t>(c->SummFreq + cf);
    }
    State* s = stats(c) + ns1;
    set_successor(s, successor);
    s->Symbol = found_state_->Symbol;
    s->Freq = static_cast<uint8_t>(cf);
    c->NumStats = static_cast<uint16_t>(ns1 + 1);
  }
  max_context_ = min_context_ = ctx(f_successor);
}

void Model::rescale() {
  State* st = stats(min_context_);
  State* s = found_state_;
  {
    // The found state moves to the front.
    const State tmp = *s;
    for (; s != st; --s) s[0] = s[-1];
    *s = tmp;
  }
  unsigned esc_freq = min_context_->SummFreq - s->Freq;
  s->Freq = static_cast<uint8_t>(s->Freq + 4);
  const unsigned adder = order_fall_ != 0;
  s->Freq = static_cast<uint8_t>((s->Freq + adder) >> 1);
  unsigned sum_freq = s->Freq;

  unsigned i = min_context_->NumStats - 1u;
  do {
    esc_freq -= (++s)->Freq;
    s->Freq = static_cast<uint8_t>((s->Freq + adder) >> 1);
    sum_freq += s->Freq;
    if (s[0].Freq > s[-1].Freq) {
      State* s1 = s;
      const State tmp = *s1;
      do {
        s1[0] = s1[-1];
      } while (--s1 != st && tmp.Freq > s1[-1].Freq);
      *s1 = tmp;
    }
  } while (--i);

  if (s->Freq == 0) {
    const unsigned num_stats = min_context_->NumStats;
    do {
      ++i;
    } while ((--s)->Freq == 0);
    esc_freq += i;
    min_context_->NumStats = static_cast<uint16_t>(min_context_->NumStats - i);
    if (min_context_->NumStats == 1) {
      State tmp = *st;
      do {
        tmp.Freq = static_cast<uint8_t>(tmp.Freq - (tmp.Freq >> 1));
        esc_freq >>= 1;
      } while (esc_freq > 1);
      insert_node(st, u2i((num_stats + 1) >> 1));
      *(found_state_ = one_state(min_context_)) = tmp;
      return;
    }
    const unsigned n0 = (num_stats + 1) >> 1;
    const unsigned n1 = (min_context_->NumStats + 1u) >> 1;
    if (n0 != n1) min_context_->Stats = ref(shrink_units(st, n0, n1));
  }
  min_context_->SummFreq = static_cast<uint16_t>(sum_freq + esc_freq - (esc_freq >> 1));
  found_state_ = stats(min_context_);
}

See* Model::make_esc_freq(unsigned num_masked, uint32_t* esc_freq) {
  const unsigned num_stats = min_context_->NumStats;
  if (num_stats != 256) {
    const unsigned non_masked = num_stats - num_masked;
    See* see = see_[t_.NS2Indx[non_masked - 1]] +
               (non_masked < static_cast<unsigned>(suffix(min_context_)->NumStats) - num_stats) +
               2 * static_cast<unsigned>(min_context_->SummFreq < 11 * num_stats) +
               4 * static_cast<unsigned>(num_masked > non_masked) + hi_bits_flag_;
    *esc_freq = see->Mean();
    return see;
  }
  *esc_freq = 1;
  return &dummy_see_;
}

void Model::next_context() {
  Context* c = ctx(successor_of(found_state_));
  if (order_fall_ == 0 && reinterpret_cast<uint8_t*>(c) > text_)
    min_context_ = max_context_ = c;
  else
    update_model();
}

void Model::update1() {
  State* s = found_state_;
  s->Freq = static_cast<uint8_t>(s->Freq + 4);
  min_context_->SummFreq = static_cast<uint16_t>(min_context_->SummFreq + 4);
  if (s[0].Freq > s[-1].Freq) {
    swap_states(&s[0], &s[-1]);
    found_state_ = --s;
    if (s->Freq > kMaxFreq) rescale();
  }
  next_context();
}

void Model::update1_0() {
  prev_success_ = (2u * found_state_->Freq > min_context_->SummFreq);
  run_length_ += static_cast<int32_t>(prev_success_);
  min_context_->SummFreq = static_cast<uint16_t>(min_context_->SummFreq + 4);
  found_state_->Freq = static_cast<uint8_t>(found_state_->Freq + 4);
  if (found_state_->Freq > kMaxFreq) rescale();
  next_context();
}

void Model::update_bin() {
  found_state_->Freq = static_cast<uint8_t>(found_state_->Freq + (found_state_->Freq < 128 ? 1 : 0));
  prev_success_ = 1;
  ++run_length_;
  next_context();
}

void Model::update2() {
  State* s = found_state_;
  s->Freq = static_cast<uint8_t>(s->Freq + 4);
  min_context_->SummFreq = static_cast<uint16_t>(min_context_->SummFreq + 4);
  if (s->Freq > kMaxFreq) rescale();
  run_length_ = init_rl_;
  update_model();
}

uint16_t* Model::bin_summ() {
  State* one = one_state(min_context_);
  hi_bits_flag_ = t_.HB2Flag[found_state_->Symbol];
  return &bin_summ_[one->Freq - 1u][prev_success_ + t_.NS2BSIndx[suffix(min_context_)->NumStats - 1u] +
                                    hi_bits_flag_ + 2u * t_.HB2Flag[one->Symbol] +
                                    ((static_cast<uint32_t>(run_length_) >> 26) & 0x20)];
}

inline uint16_t prob_after_0(uint16_t prob) {
  return static_cast<uint16_t>(prob + (1u << kIntBits) - ((prob + (1u << (kPeriodBits - 2))) >> kPeriodBits));
}
inline uint16_t prob_after_1(uint16_t prob) {
  return static_cast<uint16_t>(prob - ((prob + (1u << (kPeriodBits - 2))) >> kPeriodBits));
}

void Model::EncodeSymbol(RangeEncoder& rc, int symbol) {
  uint8_t mask[256];
  if (min_context_->NumStats != 1) {
    State* s = stats(min_context_);
    if (s->Symbol == symbol) {
      rc.Encode(0, s->Freq, min_context_->SummFreq);
      found_state_ = s;
      update1_0();
      return;
    }
    prev_success_ = 0;
    uint32_t sum = s->Freq;
    unsigned i = min_context_->NumStats - 1u;
    do {
      if ((++s)->Symbol == symbol) {
        rc.Encode(sum, s->Freq, min_context_->SummFreq);
        found_state_ = s;
        update1();
        return;
      }
      sum += s->Freq;
    } while (--i);
    hi_bits_flag_ = t_.HB2Flag[found_state_->Symbol];
    std::memset(mask, 0xFF, sizeof mask);
    mask[s->Symbol] = 0;
    i = min_context_->NumStats - 1u;
    do {
      mask[(--s)->Symbol] = 0;
    } while (--i);
    rc.Encode(sum, min_context_->SummFreq - sum, min_context_->SummFreq);
  } else {
    uint16_t* prob = bin_summ();
    State* s = one_state(min_context_);
    if (s->Symbol == symbol) {
      rc.EncodeBit0(*prob);
      *prob = prob_after_0(*prob);
      found_state_ = s;
      update_bin();
      return;
    }
    rc.EncodeBit1(*prob);
    *prob = prob_after_1(*prob);
    init_esc_ = kExpEscape[*prob >> 10];
    std::memset(mask, 0xFF, sizeof mask);
    mask[s->Symbol] = 0;
    prev_success_ = 0;
  }
  for (;;) {
    const unsigned num_masked = min_context_->NumStats;
    do {
      ++order_fall_;
      min_context_ = suffix(min_context_);
      if (min_context_ == nullptr) return;  // the end-of-data code has been written
    } while (min_context_->NumStats == num_masked);
    uint32_t esc_freq;
    See* see = make_esc_freq(num_masked, &esc_freq);
    State* s = stats(min_context_);
    uint32_t sum = 0;
    unsigned i = min_context_->NumStats;
    do {
      const int cur = s->Symbol;
      if (cur == symbol) {
        const uint32_t low = sum;
        State* s1 = s;
        do {
          sum += (s->Freq & mask[s->Symbol]);
          ++s;
        } while (--i);
        rc.Encode(low, s1->Freq, sum + esc_freq);
        see->Update();
        found_state_ = s1;
        update2();
        return;
      }
      sum += (s->Freq & mask[cur]);
      mask[cur] = 0;
      ++s;
    } while (--i);
    rc.Encode(sum, esc_freq, sum + esc_freq);
    see->Summ = static_cast<uint16_t>(see->Summ + sum + esc_freq);
  }
}

int Model::DecodeSymbol(RangeDecoder& rc) {
  uint8_t mask[256];
  if (min_context_->NumStats != 1) {
    State* s = stats(min_context_);
    const uint32_t count = rc.Threshold(min_context_->SummFreq);
    uint32_t hi_cnt = s->Freq;
    if (count < hi_cnt) {
      rc.Decode(0, s->Freq);
      found_state_ = s;
      const int symbol = s->Symbol;
      update1_0();
      return symbol;
    }
    prev_success_ = 0;
    unsigned i = min_context_->NumStats - 1u;
    do {
      if ((hi_cnt += (++s)->Freq) > count) {
        rc.Decode(hi_cnt - s->Freq, s->Freq);
        found_state_ = s;
        const int symbol = s->Symbol;
        update1();
        return symbol;
      }
    } while (--i);
    if (count >= min_context_->SummFreq) return -2;
    hi_bits_flag_ = t_.HB2Flag[found_state_->Symbol];
    rc.Decode(hi_cnt, min_context_->SummFreq - hi_cnt);
    std::memset(mask, 0xFF, sizeof mask);
    mask[s->Symbol] = 0;
    i = min_context_->NumStats - 1u;
    do {
      mask[(--s)->Symbol] = 0;
    } while (--i);
  } else {
    uint16_t* prob = bin_summ();
    if (rc.DecodeBit(*prob) == 0) {
      *prob = prob_after_0(*prob);
      found_state_ = one_state(min_context_);
      const int symbol = found_state_->Symbol;
      update_bin();
      return symbol;
    }
    *prob = prob_after_1(*prob);
    init_esc_ = kExpEscape[*prob >> 10];
    std::memset(mask, 0xFF, sizeof mask);
    mask[one_state(min_context_)->Symbol] = 0;
    prev_success_ = 0;
  }
  for (;;) {
    State* ps[256];
    const unsigned num_masked = min_context_->NumStats;
    do {
      ++order_fall_;
      min_context_ = suffix(min_context_);
      if (min_context_ == nullptr) return -1;
    } while (min_context_->NumStats == num_masked);
    uint32_t hi_cnt = 0;
    State* s = stats(min_context_);
    unsigned n = 0;
    const unsigned num = min_context_->NumStats - num_masked;
    do {
      if (mask[s->Symbol]) {
        hi_cnt += s->Freq;
        ps[n++] = s;
      }
      ++s;
    } while (n != num);
    uint32_t freq_sum;
    See* see = make_esc_freq(num_masked, &freq_sum);
    freq_sum += hi_cnt;
    const uint32_t count = rc.Threshold(freq_sum);
    if (count < hi_cnt) {
      State** pps = ps;
      for (hi_cnt = 0; (hi_cnt += (*pps)->Freq) <= count; ++pps) {
      }
      s = *pps;
      rc.Decode(hi_cnt - s->Freq, s->Freq);
      see->Update();
      found_state_ = s;
      const int symbol = s->Symbol;
      update2();
      return symbol;
    }
    if (count >= freq_sum) return -2;
    rc.Decode(hi_cnt, freq_sum - hi_cnt);
    see->Summ = static_cast<uint16_t>(see->Summ + freq_sum);
    do {
      mask[ps[--n]->Symbol] = 0;
    } while (n != 0);
  }
}

bool valid(int order, int memory_mb) {
  return order >= kPpmdMinOrder && order <= kPpmdMaxOrder && memory_mb >= 1 && memory_mb <= kPpmdMaxMemoryMB;
}

}  // namespace

uint32_t PpmdHeader(int order, int memory_mb) {
  return static_cast<uint32_t>((memory_mb - 1) * 16 + (order - 1) + 0x6000);
}

size_t PpmdModelBytes(int order, int memory_mb, size_t length) {
  // Measured on text, random bytes and random words, a model takes at most about 16 bytes
  // per coded byte below order 5 and 24 at order 16 before it fills up: the factor here
  // leaves about ten times that, so a block never restarts for want of memory it would
  // have had with the whole of the mode's memory. The floor holds the order-0 context and
  // its 256 states with room to spare.
  constexpr size_t kFloor = size_t{1} << 16;
  const size_t cap = static_cast<size_t>(memory_mb) << 20;
  const size_t per_byte = 12 * static_cast<size_t>(order) + 64;
  if (length > (cap - kFloor) / per_byte) return cap;
  return std::min(cap, kFloor + length * per_byte);
}

bool PpmdCompress(int order, int memory_mb, const uint8_t* data, size_t length, std::vector<uint8_t>& out,
                  uint32_t* restarts) {
  if (!valid(order, memory_mb)) return false;
  const uint32_t header = PpmdHeader(order, memory_mb);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(header >> (8 * i)));
  Model model(order, PpmdModelBytes(order, memory_mb, length));
  RangeEncoder rc(out);
  for (size_t i = 0; i < length; ++i) model.EncodeSymbol(rc, data[i]);
  model.EncodeSymbol(rc, -1);  // end of data
  rc.Flush();
  if (restarts) *restarts = model.Restarts();
  return true;
}

namespace {

// Decodes a whole stream, handing each symbol to `put`, which returns false when there is
// no room for it. False for anything but a clean end-of-data code.
template <typename Put>
bool decode_stream(const uint8_t* data, size_t length, size_t expected, Put&& put) {
  if (length < kPpmdHeaderSize) return false;
  const uint32_t header = static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
                          (static_cast<uint32_t>(data[2]) << 16) | (static_cast<uint32_t>(data[3]) << 24);
  if ((header >> 12) != 6) return false;  // another variant, or not a PPM block at all
  const int order = static_cast<int>(header & 0x0F) + 1;
  const int memory_mb = static_cast<int>((header >> 4) & 0xFF) + 1;
  if (!valid(order, memory_mb)) return false;
  RangeDecoder rc(data + kPpmdHeaderSize, length - kPpmdHeaderSize);
  if (!rc.Init()) return false;
  Model model(order, PpmdModelBytes(order, memory_mb, expected));
  for (;;) {
    const int symbol = model.DecodeSymbol(rc);
    if (symbol == -1) break;
    // The encoder's flush leaves at most 4 bytes unread past the code's last byte.
    if (symbol < 0 || rc.Overrun() > 4 || !put(static_cast<uint8_t>(symbol))) return false;
  }
  return rc.Overrun() <= 4;
}

}  // namespace

bool PpmdDecompress(const uint8_t* data, size_t length, size_t expected, std::vector<uint8_t>& out) {
  out.clear();
  out.reserve(std::min<size_t>(expected, length * 64 + 4096));
  return decode_stream(data, length, expected, [&](uint8_t b) {
    if (out.size() >= expected) return false;
    out.push_back(b);
    return true;
  });
}

int64_t PpmdDecompressInto(const uint8_t* data, size_t length, uint8_t* out, size_t capacity) {
  size_t produced = 0;
  const bool ok = decode_stream(data, length, capacity, [&](uint8_t b) {
    if (produced >= capacity) return false;
    out[produced++] = b;
    return true;
  });
  return ok ? static_cast<int64_t>(produced) : -1;
}

}  // namespace dadoveri
