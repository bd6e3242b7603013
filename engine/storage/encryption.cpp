#include "engine/storage/encryption.h"

#include <cryptopp/blowfish.h>
#include <cryptopp/des.h>
#include <cryptopp/rijndael.h>
#include <cryptopp/ripemd.h>
#include <cryptopp/square.h>
#include <cryptopp/twofish.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace dadoveri {

namespace {

struct CipherInfo {
  std::string_view name;
  int block;
  int digest;   // 16 = RIPEMD-128, 32 = RIPEMD-256
  int max_key;  // the cipher's largest key
};

constexpr CipherInfo kCiphers[kCipherCount] = {
    {"Rijndael_128", 16, 16, 32}, {"Rijndael_256", 16, 32, 32}, {"DES_Single", 8, 16, 8},
    {"DES_Triple", 24, 16, 24},   {"Blowfish", 8, 32, 56},      {"Twofish_128", 16, 16, 32},
    {"Twofish_256", 16, 32, 32},  {"Square", 16, 16, 16},
};

// One block cipher keyed for both directions.
class BlockCipher {
 public:
  virtual ~BlockCipher() = default;
  virtual void Encrypt(const uint8_t* in, uint8_t* out) const = 0;
  virtual void Decrypt(const uint8_t* in, uint8_t* out) const = 0;
  // out = D(in) xor xor_blocks over `length` bytes of whole blocks, as many blocks at a
  // time as the implementation can; `out` may be `in`.
  virtual void DecryptBlocks(const uint8_t* in, const uint8_t* xor_blocks, uint8_t* out,
                             size_t length, size_t block) const {
    for (size_t i = 0; i < length; i += block) {
      Decrypt(in + i, out + i);
      for (size_t k = 0; k < block; ++k) out[i + k] ^= xor_blocks[i + k];
    }
  }
};

template <typename Algorithm>
class CryptoppCipher final : public BlockCipher {
 public:
  CryptoppCipher(const uint8_t* key, size_t length) : enc_(key, length), dec_(key, length) {}
  void Encrypt(const uint8_t* in, uint8_t* out) const override { enc_.ProcessBlock(in, out); }
  void Decrypt(const uint8_t* in, uint8_t* out) const override { dec_.ProcessBlock(in, out); }
  void DecryptBlocks(const uint8_t* in, const uint8_t* xor_blocks, uint8_t* out, size_t length,
                     size_t) const override {
    dec_.AdvancedProcessBlocks(in, xor_blocks, out, length, 0);
  }

 private:
  typename Algorithm::Encryption enc_;
  typename Algorithm::Decryption dec_;
};

// Triple DES on 24-byte blocks X0 X1 X2 (three DES blocks). Between the stages the
// block's 32-bit words 1 and 2 (bytes 4-7 and 8-11) change places.
class TripleDes24 final : public BlockCipher {
 public:
  explicit TripleDes24(const uint8_t* key)
      : e1_(key, 8), d1_(key, 8), e2_(key + 8, 8), d2_(key + 8, 8), e3_(key + 16, 8),
        d3_(key + 16, 8) {}

  void Encrypt(const uint8_t* in, uint8_t* out) const override {
    if (out != in) std::memcpy(out, in, 24);
    each(e1_, out);
    swap_words(out);
    each(d2_, out);
    swap_words(out);
    each(e3_, out);
  }
  void Decrypt(const uint8_t* in, uint8_t* out) const override {
    if (out != in) std::memcpy(out, in, 24);
    each(d3_, out);
    swap_words(out);
    each(e2_, out);
    swap_words(out);
    each(d1_, out);
  }

 private:
  static void each(const CryptoPP::BlockTransformation& t, uint8_t* block) {
    for (int i = 0; i < 3; ++i) t.ProcessBlock(block + 8 * i);
  }
  static void swap_words(uint8_t* block) {
    uint8_t tmp[4];
    std::memcpy(tmp, block + 4, 4);
    std::memcpy(block + 4, block + 8, 4);
    std::memcpy(block + 8, tmp, 4);
  }

  CryptoPP::DES::Encryption e1_;
  CryptoPP::DES::Decryption d1_;
  CryptoPP::DES::Encryption e2_;
  CryptoPP::DES::Decryption d2_;
  CryptoPP::DES::Encryption e3_;
  CryptoPP::DES::Decryption d3_;
};

std::unique_ptr<BlockCipher> make_cipher(uint8_t code, const std::vector<uint8_t>& key) {
  const uint8_t* k = key.data();
  const size_t n = key.size();
  switch (code) {
    case caRijndael_128:
    case caRijndael_256:
      return std::make_unique<CryptoppCipher<CryptoPP::Rijndael>>(k, n);
    case caDES_Single:
      return std::make_unique<CryptoppCipher<CryptoPP::DES>>(k, n);
    case caDES_Triple:
      return std::make_unique<TripleDes24>(k);
    case caBlowfish:
      return std::make_unique<CryptoppCipher<CryptoPP::Blowfish>>(k, n);
    case caTwofish_128:
    case caTwofish_256:
      return std::make_unique<CryptoppCipher<CryptoPP::Twofish>>(k, n);
    case caSquare:
      return std::make_unique<CryptoppCipher<CryptoPP::Square>>(k, n);
    default:
      return nullptr;
  }
}

// The calling thread's last key schedule. Rebuilding it for the same password and code
// gives the same cipher, so keeping it changes no output byte.
struct ScheduleCache {
  uint8_t code = 0xFF;
  std::string password;
  std::unique_ptr<BlockCipher> cipher;
};

const BlockCipher* cipher_for(uint8_t code, std::string_view password) {
  thread_local ScheduleCache cache;
  if (cache.cipher && cache.code == code && cache.password == password) return cache.cipher.get();
  cache.cipher.reset();
  cache.cipher = make_cipher(code, DeriveCipherKey(code, password));
  cache.code = code;
  cache.password.assign(password);
  return cache.cipher.get();
}

bool process(bool encrypt, uint8_t code, void* buffer, size_t length,
             std::string_view password) {
  if (!IsKnownCipher(code)) return false;
  try {
    const BlockCipher* cipher = cipher_for(code, password);
    if (!cipher) return false;
    const size_t b = static_cast<size_t>(kCiphers[code].block);
    const size_t words = b / 8;  // every block size is a whole number of 64-bit words
    uint64_t feedback[3];
    uint64_t work[3];
    for (size_t w = 0; w < words; ++w) feedback[w] = ~uint64_t{0};
    auto* p = static_cast<uint8_t*>(buffer);
    size_t left = length;
    if (encrypt) {
      // Each block's input depends on the cipher text before it: one block at a time.
      for (; left >= b; left -= b, p += b) {
        for (size_t w = 0; w < words; ++w) {
          uint64_t x;
          std::memcpy(&x, p + 8 * w, 8);
          work[w] = x ^ feedback[w];
        }
        cipher->Encrypt(reinterpret_cast<const uint8_t*>(work), p);
        for (size_t w = 0; w < words; ++w) {
          uint64_t c;
          std::memcpy(&c, p + 8 * w, 8);
          feedback[w] ^= c;
        }
      }
    } else if (left >= b) {
      // The feedback of every block is known from the cipher text alone, so all blocks
      // are decrypted in one pass: P(i) = D(C(i)) xor F(i), F(i+1) = F(i) xor C(i).
      const size_t whole = left / b * b;
      thread_local std::vector<uint64_t> feedbacks;
      feedbacks.resize(whole / 8);
      uint64_t* f = feedbacks.data();
      for (size_t at = 0; at < whole; at += b) {
        for (size_t w = 0; w < words; ++w) {
          uint64_t c;
          std::memcpy(&c, p + at + 8 * w, 8);
          *f++ = feedback[w];
          feedback[w] ^= c;
        }
      }
      cipher->DecryptBlocks(p, reinterpret_cast<const uint8_t*>(feedbacks.data()), p, whole, b);
      p += whole;
      left -= whole;
    }
    if (left > 0) {
      uint8_t stream[24];
      cipher->Encrypt(reinterpret_cast<const uint8_t*>(feedback), stream);
      for (size_t i = 0; i < left; ++i) p[i] ^= stream[i];
    }
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

std::string_view CipherName(uint8_t code) {
  return code < kCipherCount ? kCiphers[code].name : std::string_view{};
}

int CipherBlockSize(uint8_t code) { return code < kCipherCount ? kCiphers[code].block : 0; }

std::vector<uint8_t> DeriveCipherKey(uint8_t code, std::string_view password) {
  if (code >= kCipherCount) return {};
  const CipherInfo& info = kCiphers[code];
  uint8_t digest[32];
  const auto* text = reinterpret_cast<const uint8_t*>(password.data());
  if (info.digest == 16)
    CryptoPP::RIPEMD128().CalculateDigest(digest, text, password.size());
  else
    CryptoPP::RIPEMD256().CalculateDigest(digest, text, password.size());
  std::vector<uint8_t> key(digest, digest + std::min(info.digest, info.max_key));
  if (code == caDES_Triple) key.resize(24, 0);  // K3 = eight zero bytes
  return key;
}

bool EncryptBuffer(uint8_t code, void* buffer, size_t length, std::string_view password) {
  return process(true, code, buffer, length, password);
}

bool DecryptBuffer(uint8_t code, void* buffer, size_t length, std::string_view password) {
  return process(false, code, buffer, length, password);
}

}  // namespace dadoveri
