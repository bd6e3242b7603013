// The prologue of a database file: main header (76 bytes), check block (280), lock area
// (20) and the NextObjectID counter (4), then the pages. Each block is kept as its exact
// bytes with typed accessors, so that what is read is written back byte for byte.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "engine/base/little_endian.h"

namespace dadoveri {

inline constexpr char kDatabaseSignature[] = "VAD0EDARAVIDERUD";  // 16 bytes on disk
inline constexpr int kSignatureSize = 16;
inline constexpr int kMainHeaderSize = 76;
inline constexpr int kCheckBlockSize = 280;
inline constexpr int kLockAreaSize = 20;
inline constexpr int kPrologueSize = kMainHeaderSize + kCheckBlockSize + kLockAreaSize + 4;  // 380
inline constexpr double kFormatVersion = 5.04;
inline constexpr double kRepairBelowVersion = 2.99;
inline constexpr uint8_t kWriteStateConsistent = 2;
inline constexpr uint8_t kWriteStateWriting = 1;

// Lock bytes, relative to the base offset.
inline constexpr int64_t kTablesLockOffset = kMainHeaderSize + kCheckBlockSize + 3;  // 359
inline constexpr int64_t kHeaderLockOffset = kMainHeaderSize + kCheckBlockSize + 4;  // 360
inline constexpr int64_t kNextObjectIDOffset = kMainHeaderSize + kCheckBlockSize + kLockAreaSize;  // 376

class TABSMainHeader {
 public:
  // A new header: signature, sizes, version 5.04, no pages, consistent.
  TABSMainHeader();

  uint8_t* Bytes() { return bytes_.data(); }
  const uint8_t* Bytes() const { return bytes_.data(); }

  std::string Signature() const { return std::string(reinterpret_cast<const char*>(bytes_.data()), kSignatureSize); }
  bool HasSignature() const;
  int16_t HeaderSize() const { return LoadLE<int16_t>(&bytes_[16]); }
  double FormatVersion() const { return LoadLE<double>(&bytes_[18]); }
  void SetFormatVersion(double v) { StoreLE(&bytes_[18], v); }
  uint16_t PageSize() const { return LoadLE<uint16_t>(&bytes_[26]); }
  void SetPageSize(uint16_t v) { StoreLE(&bytes_[26], v); }
  uint16_t PagesPerExtent() const { return LoadLE<uint16_t>(&bytes_[28]); }
  void SetPagesPerExtent(uint16_t v) { StoreLE(&bytes_[28], v); }
  int32_t TotalPageCount() const { return LoadLE<int32_t>(&bytes_[30]); }
  void SetTotalPageCount(int32_t v) { StoreLE(&bytes_[30], v); }
  int32_t HighestUsedPageNo() const { return LoadLE<int32_t>(&bytes_[34]); }
  void SetHighestUsedPageNo(int32_t v) { StoreLE(&bytes_[34], v); }
  int32_t CommitCounter() const { return LoadLE<int32_t>(&bytes_[38]); }
  void SetCommitCounter(int32_t v) { StoreLE(&bytes_[38], v); }
  uint8_t WriteState() const { return bytes_[42]; }
  void SetWriteState(uint8_t v) { bytes_[42] = v; }
  bool Encrypted() const { return bytes_[43] != 0; }
  void SetEncrypted(bool v) { bytes_[43] = v ? 0xFF : 0; }

 private:
  std::array<uint8_t, kMainHeaderSize> bytes_{};
};

class TABSCheckBlock {
 public:
  TABSCheckBlock() { StoreLE<uint16_t>(&bytes_[0], kCheckBlockSize); }

  uint8_t* Bytes() { return bytes_.data(); }
  const uint8_t* Bytes() const { return bytes_.data(); }

  uint16_t Size() const { return LoadLE<uint16_t>(&bytes_[0]); }
  uint8_t CryptoAlgorithm() const { return bytes_[2]; }
  void SetCryptoAlgorithm(uint8_t v) { bytes_[2] = v; }
  uint8_t* CheckBytes() { return &bytes_[4]; }
  const uint8_t* CheckBytes() const { return &bytes_[4]; }
  static constexpr int kCheckByteCount = 256;
  uint32_t Checksum() const { return LoadLE<uint32_t>(&bytes_[260]); }
  void SetChecksum(uint32_t v) { StoreLE(&bytes_[260], v); }

 private:
  std::array<uint8_t, kCheckBlockSize> bytes_{};
};

class TABSLockArea {
 public:
  TABSLockArea() { StoreLE<uint16_t>(&bytes_[0], kLockAreaSize); }

  uint8_t* Bytes() { return bytes_.data(); }
  const uint8_t* Bytes() const { return bytes_.data(); }
  uint16_t Size() const { return LoadLE<uint16_t>(&bytes_[0]); }

 private:
  std::array<uint8_t, kLockAreaSize> bytes_{};
};

}  // namespace dadoveri
