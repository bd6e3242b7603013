#include "engine/storage/prologue.h"

#include <cstring>

namespace dadoveri {

TABSMainHeader::TABSMainHeader() {
  std::memcpy(&bytes_[0], kDatabaseSignature, kSignatureSize);
  StoreLE<int16_t>(&bytes_[16], kMainHeaderSize);
  StoreLE<double>(&bytes_[18], kFormatVersion);
  StoreLE<uint16_t>(&bytes_[26], 4096);
  StoreLE<uint16_t>(&bytes_[28], 8);
  StoreLE<int32_t>(&bytes_[30], 0);
  StoreLE<int32_t>(&bytes_[34], -1);
  StoreLE<int32_t>(&bytes_[38], 0);
  bytes_[42] = kWriteStateConsistent;
  bytes_[43] = 0;
}

bool TABSMainHeader::HasSignature() const {
  return std::memcmp(&bytes_[0], kDatabaseSignature, kSignatureSize) == 0;
}

}  // namespace dadoveri
