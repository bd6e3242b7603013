#include "engine/table/blob_field.h"

#include "engine/base/engine_error.h"
#include "engine/base/little_endian.h"

namespace dadoveri {

uint32_t BlobHandleOf(const uint8_t* field) { return LoadLE<uint32_t>(field + kBlobHandleOffset); }

void SetBlobHandle(uint8_t* field, uint32_t handle) { StoreLE(field + kBlobHandleOffset, handle); }

uint32_t TABSBlobCache::Add(TABSBlobValue value, bool changed) {
  // Handles wrap after four billion entries; a live one is never handed out twice.
  do {
    ++next_;
  } while (next_ == 0 || entries_.count(next_));
  entries_[next_] = Entry{std::move(value), changed};
  return next_;
}

TABSBlobCache::Entry* TABSBlobCache::Find(uint32_t handle) {
  if (handle == 0) return nullptr;
  const auto it = entries_.find(handle);
  return it == entries_.end() ? nullptr : &it->second;
}

TABSBlobFieldStream::TABSBlobFieldStream(int32_t field_no, const TABSCompressedStreamParams& params,
                                         const TABSBlobValue* value, bool disable_temp_files)
    : field_no_(field_no), stored_(std::make_unique<TABSTemporaryStream>(disable_temp_files)) {
  TABSCompressedStreamParams p = params;
  p.StartPosition = 0;
  const bool fresh = value == nullptr || (value->UncompressedSize == 0 && value->Stored.empty());
  if (!fresh) {
    if (value->UncompressedSize < 0 || value->BlockCount < 0) RaiseError(20248);
    const auto size = static_cast<int64_t>(value->Stored.size());
    if (size > 0 && stored_->Write(value->Stored.data(), size) != size) RaiseError(10095);
    p.BlockCount = value->BlockCount;
    p.UncompressedSize = value->UncompressedSize;
  } else {
    p.BlockCount = 0;
    p.UncompressedSize = 0;
  }
  value_ = std::make_unique<TABSCompressedBLOBStream>(*stored_, p, fresh);
}

TABSBlobValue TABSBlobFieldStream::StoredValue() {
  TABSBlobValue v;
  const TABSCompressedStreamParams p = value_->Params();
  v.BlockCount = p.BlockCount;
  v.UncompressedSize = p.UncompressedSize;
  const int64_t size = v.UncompressedSize == 0 ? 0 : value_->StoredSize();
  v.Stored.resize(static_cast<size_t>(size));
  if (size > 0) {
    if (!stored_->SetPosition(0)) RaiseError(10079, 0, stored_->GetPosition(), stored_->GetSize());
    const int64_t got = stored_->Read(v.Stored.data(), size);
    if (got != size) RaiseError(10086, 0, stored_->GetSize(), size, got);
  }
  return v;
}

std::vector<uint8_t> TABSBlobFieldStream::ReadAll() {
  const int64_t size = value_->GetSize();
  std::vector<uint8_t> out(static_cast<size_t>(size));
  value_->Seek(0, TABSSeekOrigin::Beginning);
  int64_t done = 0;
  while (done < size) {
    const int64_t got = value_->Read(out.data() + done, size - done);
    if (got <= 0) RaiseError(20162);
    done += got;
  }
  return out;
}

}  // namespace dadoveri
