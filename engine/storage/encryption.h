// Page encryption: the eight cipher algorithms, the key derived from the password, and
// the engine's chaining mode.
//
// Key: the password bytes hashed with the algorithm's key hash (RIPEMD-128 or -256); the
// first min(digest length, cipher's largest key) bytes are the key. Mode, with E and D
// the block cipher, B its block size and a B-byte feedback register F that starts as
// B bytes of 0xFF:
//   full block:  C = E(P xor F), F = F xor C;    decrypt P = D(C) xor F, F = F xor C
//   r-byte tail: C = P xor first r bytes of E(F) (both directions)
// Triple DES works on 24-byte blocks of three DES blocks (see encryption.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dadoveri {

// The password of a database and the cipher its pages are encrypted with.
struct TABSPassword {
  std::string Password;  // single-byte text; empty = not encrypted
  uint8_t CryptoAlgorithm = 0;
};

enum TABSCryptoAlgorithm : uint8_t {
  caRijndael_128 = 0,
  caRijndael_256 = 1,
  caDES_Single = 2,
  caDES_Triple = 3,
  caBlowfish = 4,
  caTwofish_128 = 5,
  caTwofish_256 = 6,
  caSquare = 7,
};
constexpr int kCipherCount = 8;

// "Rijndael_128" … "Square"; empty for an unknown code.
std::string_view CipherName(uint8_t code);
// Block size in bytes (16, 8 or 24); 0 for an unknown code.
int CipherBlockSize(uint8_t code);
// The key the cipher is set up with (for triple DES the 24 bytes after zero padding);
// empty for an unknown code.
std::vector<uint8_t> DeriveCipherKey(uint8_t code, std::string_view password);

// Whether `code` names one of the eight ciphers.
inline bool IsKnownCipher(uint8_t code) { return code < kCipherCount; }

// Encrypt or decrypt `length` bytes in place as one message. An unknown code, or a
// failure of the cipher, reports false; the cipher is set up before the first byte is
// touched, so a buffer that was refused is left as it was. Callers must check the
// result: a false answer means the buffer was not transformed.
// The key schedule of the last password used by the calling thread is kept, which gives
// the same bytes as building it anew on every call.
bool EncryptBuffer(uint8_t code, void* buffer, size_t length, std::string_view password);
bool DecryptBuffer(uint8_t code, void* buffer, size_t length, std::string_view password);

}  // namespace dadoveri
