#include "engine/database/local_blob_stream.h"

#include "engine/base/engine_error.h"

namespace dadoveri {

int64_t TABSLocalBLOBStream::Write(const void* buffer, int64_t count) {
  if (!Writing()) RaiseError(10115);
  modified_ = true;
  return field_->Value().Write(buffer, count);
}

bool TABSLocalBLOBStream::SetSize(int64_t size) {
  if (!Writing()) RaiseError(10115);
  modified_ = true;
  return field_->Value().SetSize(size);
}

}  // namespace dadoveri
