#include "engine/storage/encryption.h"

#include <cryptopp/aes.h>
#include <cryptopp/blowfish.h>
#include <cryptopp/des.h>
#include <cryptopp/modes.h>
#include <cryptopp/rijndael.h>
#include <cryptopp/ripemd.h>
#include <cryptopp/square.h>
#include <cryptopp/twofish.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/storage/checksum.h"

namespace dadoveri {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(Checksum, ReflectedCrcWithCallerStartAndNoFinalInversion) {
  EXPECT_EQ(BufferChecksum(0, "abc", 3), 0xCA6598D0u);
  EXPECT_EQ(BufferChecksum(0x12345678u, "", 0), 0x12345678u);
  // Started at all ones and inverted by the caller it is the usual CRC-32.
  // Every length shape of the byte, eight-byte and 64-byte paths, from an odd address.
  std::mt19937 rng(7);
  Bytes data(5000);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  for (size_t n : {0, 1, 7, 8, 9, 15, 17, 63, 64, 65, 79, 80, 127, 128, 129, 200, 4056, 4999}) {
    EXPECT_EQ(~BufferChecksum(0xFFFFFFFFu, data.data() + 1, n),
              crc32(0, data.data() + 1, static_cast<uInt>(n)))
        << n;
    EXPECT_EQ(BufferChecksum(0x1234567u, data.data() + 1, n),
              ~static_cast<uint32_t>(crc32(~0x1234567u, data.data() + 1, static_cast<uInt>(n))))
        << n;
  }
  // Checksumming in two pieces chains through the register.
  EXPECT_EQ(BufferChecksum(BufferChecksum(0, data.data(), 300), data.data() + 300, 700),
            BufferChecksum(0, data.data(), 1000));
  EXPECT_EQ(BufferChecksum(BufferChecksum(0, data.data(), 3), data.data() + 3, 997),
            BufferChecksum(0, data.data(), 1000));
}

TEST(Encryption, CipherTableAndKeyDerivation) {
  struct Case {
    uint8_t code;
    const char* name;
    int block;
    size_t key_length;
  };
  const Case cases[] = {
      {caRijndael_128, "Rijndael_128", 16, 16}, {caRijndael_256, "Rijndael_256", 16, 32},
      {caDES_Single, "DES_Single", 8, 8},        {caDES_Triple, "DES_Triple", 24, 24},
      {caBlowfish, "Blowfish", 8, 32},           {caTwofish_128, "Twofish_128", 16, 16},
      {caTwofish_256, "Twofish_256", 16, 32},    {caSquare, "Square", 16, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CipherName(c.code), c.name);
    EXPECT_EQ(CipherBlockSize(c.code), c.block);
    EXPECT_EQ(DeriveCipherKey(c.code, "41736285").size(), c.key_length);
  }
  EXPECT_EQ(CipherName(8), "");
  EXPECT_TRUE(DeriveCipherKey(8, "x").empty());
  // Triple DES: the 16-byte RIPEMD-128 digest followed by eight zero bytes.
  const Bytes tdes = DeriveCipherKey(caDES_Triple, "secret");
  EXPECT_EQ(Bytes(tdes.begin() + 16, tdes.end()), Bytes(8, 0));
  EXPECT_EQ(Bytes(tdes.begin(), tdes.begin() + 16), DeriveCipherKey(caRijndael_128, "secret"));
  EXPECT_EQ(Bytes(tdes.begin(), tdes.begin() + 8), DeriveCipherKey(caDES_Single, "secret"));
}

TEST(Encryption, RoundTripOverEveryLengthShape) {
  const int lengths[] = {1, 7, 8, 15, 16, 17, 23, 24, 25, 4056};
  std::mt19937 rng(11);
  for (uint8_t code = 0; code < kCipherCount; ++code) {
    for (int length : lengths) {
      SCOPED_TRACE(std::string(CipherName(code)) + " length " + std::to_string(length));
      Bytes plain(static_cast<size_t>(length));
      for (auto& b : plain) b = static_cast<uint8_t>(rng());
      Bytes buffer = plain;
      ASSERT_TRUE(EncryptBuffer(code, buffer.data(), buffer.size(), "p@ss"));
      if (length >= 8) {
        EXPECT_NE(buffer, plain);
      }
      ASSERT_TRUE(DecryptBuffer(code, buffer.data(), buffer.size(), "p@ss"));
      EXPECT_EQ(buffer, plain);
      // Another password does not give the plain text back.
      Bytes other = plain;
      EncryptBuffer(code, other.data(), other.size(), "p@ss");
      DecryptBuffer(code, other.data(), other.size(), "p@sS");
      if (length >= 8) {
        EXPECT_NE(other, plain);
      }
    }
  }
}

TEST(Encryption, UnknownCodeIsRefusedAndLeavesTheBuffer) {
  // Reporting success here would let plain text pass for cipher text.
  for (const int code : {8, 9, 200, 255}) {
    SCOPED_TRACE(code);
    EXPECT_FALSE(IsKnownCipher(static_cast<uint8_t>(code)));
    Bytes buffer = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    const Bytes before = buffer;
    EXPECT_FALSE(EncryptBuffer(static_cast<uint8_t>(code), buffer.data(), buffer.size(), "x"));
    EXPECT_EQ(buffer, before);
    EXPECT_FALSE(DecryptBuffer(static_cast<uint8_t>(code), buffer.data(), buffer.size(), "x"));
    EXPECT_EQ(buffer, before);
  }
  for (uint8_t code = 0; code < kCipherCount; ++code) EXPECT_TRUE(IsKnownCipher(code));
}

// Known answers computed by hand from the definition, independently of the engine's
// code: the key is the RIPEMD digest of the password truncated to the cipher's key
// length (taken from the raw hash here), each block cipher is Crypto++ in ECB mode on
// single blocks (triple DES assembled from single DES with the word exchange), and the
// chaining is done step by step below:
//   F = B bytes of 0xFF; full block: C = E(P xor F), F ^= C; tail: C = P xor E(F)[0..r).
using BlockFn = std::function<Bytes(const Bytes&)>;

Bytes ripemd(int bits, const std::string& text) {
  Bytes digest(static_cast<size_t>(bits / 8));
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  if (bits == 128)
    CryptoPP::RIPEMD128().CalculateDigest(digest.data(), p, text.size());
  else
    CryptoPP::RIPEMD256().CalculateDigest(digest.data(), p, text.size());
  return digest;
}

template <typename Cipher>
BlockFn ecb_encrypt(const Bytes& key, size_t block) {
  return [key, block](const Bytes& in) {
    typename CryptoPP::ECB_Mode<Cipher>::Encryption e(key.data(), key.size());
    Bytes out(block);
    e.ProcessData(out.data(), in.data(), block);
    return out;
  };
}

template <typename Cipher>
BlockFn ecb_decrypt(const Bytes& key, size_t block) {
  return [key, block](const Bytes& in) {
    typename CryptoPP::ECB_Mode<Cipher>::Decryption d(key.data(), key.size());
    Bytes out(block);
    d.ProcessData(out.data(), in.data(), block);
    return out;
  };
}

Bytes slice(const Bytes& b, size_t from, size_t n) { return Bytes(b.begin() + from, b.begin() + from + n); }

// Triple DES on 24 bytes, stage by stage: each 8-byte third through DES, the words at
// bytes 4-7 and 8-11 exchanged between stages.
BlockFn triple_des_24(const Bytes& key24) {
  const Bytes k1 = slice(key24, 0, 8), k2 = slice(key24, 8, 8), k3 = slice(key24, 16, 8);
  return [=](const Bytes& in) {
    auto each = [](BlockFn f, const Bytes& x) {
      Bytes out;
      for (int i = 0; i < 3; ++i) {
        Bytes part = f(slice(x, 8 * static_cast<size_t>(i), 8));
        out.insert(out.end(), part.begin(), part.end());
      }
      return out;
    };
    auto swap12 = [](Bytes x) {
      for (int i = 0; i < 4; ++i) std::swap(x[4 + static_cast<size_t>(i)], x[8 + static_cast<size_t>(i)]);
      return x;
    };
    Bytes x = each(ecb_encrypt<CryptoPP::DES>(k1, 8), in);
    x = swap12(x);
    x = each(ecb_decrypt<CryptoPP::DES>(k2, 8), x);
    x = swap12(x);
    return each(ecb_encrypt<CryptoPP::DES>(k3, 8), x);
  };
}

Bytes chain_by_hand(const BlockFn& encrypt, size_t block, const Bytes& plain) {
  Bytes out;
  Bytes feedback(block, 0xFF);
  size_t i = 0;
  for (; i + block <= plain.size(); i += block) {
    Bytes x = slice(plain, i, block);
    for (size_t k = 0; k < block; ++k) x[k] ^= feedback[k];
    const Bytes c = encrypt(x);
    for (size_t k = 0; k < block; ++k) feedback[k] ^= c[k];
    out.insert(out.end(), c.begin(), c.end());
  }
  if (i < plain.size()) {
    const Bytes stream = encrypt(feedback);
    for (size_t k = 0; i + k < plain.size(); ++k) out.push_back(plain[i + k] ^ stream[k]);
  }
  return out;
}

TEST(Encryption, KnownAnswersComputedByHandFromTheDefinition) {
  const std::string password = "41736285";
  const Bytes r128 = ripemd(128, password);
  const Bytes r256 = ripemd(256, password);
  Bytes tdes_key = r128;
  tdes_key.resize(24, 0);
  struct Case {
    uint8_t code;
    BlockFn block_encrypt;
    size_t block;
  };
  const Case cases[] = {
      {caRijndael_128, ecb_encrypt<CryptoPP::AES>(r128, 16), 16},
      {caRijndael_256, ecb_encrypt<CryptoPP::AES>(r256, 16), 16},
      {caDES_Single, ecb_encrypt<CryptoPP::DES>(slice(r128, 0, 8), 8), 8},
      {caDES_Triple, triple_des_24(tdes_key), 24},
      {caBlowfish, ecb_encrypt<CryptoPP::Blowfish>(r256, 8), 8},
      {caTwofish_128, ecb_encrypt<CryptoPP::Twofish>(r128, 16), 16},
      {caTwofish_256, ecb_encrypt<CryptoPP::Twofish>(r256, 16), 16},
      {caSquare, ecb_encrypt<CryptoPP::Square>(r128, 16), 16},
  };
  // 3 full 16-byte blocks (6 DES blocks, 2 triple-DES blocks) and a 5-byte tail.
  Bytes plain(53);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 7 + 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(CipherName(c.code)));
    const Bytes expected = chain_by_hand(c.block_encrypt, c.block, plain);
    Bytes buffer = plain;
    ASSERT_TRUE(EncryptBuffer(c.code, buffer.data(), buffer.size(), password));
    EXPECT_EQ(buffer, expected);
    ASSERT_TRUE(DecryptBuffer(c.code, buffer.data(), buffer.size(), password));
    EXPECT_EQ(buffer, plain);
  }
}

TEST(Encryption, TheFirstBlockOfAnAllFeedbackMessageIsEOfPlainXorOnes) {
  // With P = 0xFF…, the first cipher block is E(0) — a fixed point of the definition
  // that catches a wrong initial vector even when the mode is otherwise right.
  const Bytes key = ripemd(128, "k");
  Bytes buffer(16, 0xFF);
  EncryptBuffer(caRijndael_128, buffer.data(), buffer.size(), "k");
  EXPECT_EQ(buffer, ecb_encrypt<CryptoPP::AES>(key, 16)(Bytes(16, 0)));
}

}  // namespace
}  // namespace dadoveri

namespace dadoveri {
namespace {

TEST(Encryption, ThreadsWithDifferentPasswordsDoNotDisturbEachOther) {
  // Each thread keeps its own key schedule: results equal those of a single thread.
  const std::vector<uint8_t> plain(4056, 0x3C);
  std::vector<std::vector<uint8_t>> expected(4, plain);
  for (int t = 0; t < 4; ++t)
    EncryptBuffer(static_cast<uint8_t>(t), expected[t].data(), plain.size(), "pw" + std::to_string(t));
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        std::vector<uint8_t> buffer = plain;
        EncryptBuffer(static_cast<uint8_t>(t), buffer.data(), buffer.size(), "pw" + std::to_string(t));
        if (buffer != expected[t]) ++mismatches[t];
        DecryptBuffer(static_cast<uint8_t>(t), buffer.data(), buffer.size(), "pw" + std::to_string(t));
        if (buffer != plain) ++mismatches[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace dadoveri
