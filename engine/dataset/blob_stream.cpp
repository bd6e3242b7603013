#include "engine/dataset/blob_stream.h"

#include <cstring>

#include "engine/base/engine_error.h"
#include "engine/database/local_blob_stream.h"
#include "engine/database/local_cursor.h"

namespace dadoveri {

TABSBLOBStream::TABSBLOBStream(TABSDataSet& dataset, TField& field, TBlobStreamMode mode)
    : dataset_(dataset), field_(field), mode_(mode) {
  auto* cursor = dynamic_cast<TABSLocalCursor*>(dataset.Cursor());
  if (!cursor) RaiseError(10108);
  if (mode != TBlobStreamMode::bmRead) {
    if (dataset.ReadOnly()) RaiseError(10106);
    const TDataSetState s = dataset.State();
    if (s != TDataSetState::dsEdit && s != TDataSetState::dsInsert) RaiseError(10111);
  }
  TRecordBuffer buffer = dataset.ActiveRecordBuffer();
  if (!buffer) RaiseError(10108);
  field_no_ = field.FieldNo - 1;
  // The cursor works on its own record: it takes the dataset's row, and a written value
  // comes back into the row when the stream closes.
  std::memcpy(cursor->CurrentRecord, buffer, static_cast<size_t>(cursor->RecordSize));
  const int32_t open_mode = mode == TBlobStreamMode::bmRead ? bomRead : mode == TBlobStreamMode::bmWrite ? bomWrite
                                                                                                        : bomReadWrite;
  cursor->OpenBlobStream(field_no_, open_mode);
  stream_ = cursor->BlobStream(field_no_);
  if (!stream_) {
    // The cursor had no stream for the field: refresh the dataset once and try again.
    dataset.Refresh();
    std::memcpy(cursor->CurrentRecord, dataset.ActiveRecordBuffer(), static_cast<size_t>(cursor->RecordSize));
    cursor->OpenBlobStream(field_no_, open_mode);
    stream_ = cursor->BlobStream(field_no_);
    if (!stream_) RaiseError(10108);
  }
}

TABSBLOBStream::~TABSBLOBStream() {
  auto* cursor = dynamic_cast<TABSLocalCursor*>(dataset_.Cursor());
  if (!cursor || !stream_) return;
  try {
    const bool changed = stream_->Writing() && stream_->Modified();
    cursor->CloseBlobStream(field_no_);
    if (changed) {
      if (TRecordBuffer buffer = dataset_.ActiveRecordBuffer()) {
        std::memcpy(buffer, cursor->CurrentRecord, static_cast<size_t>(cursor->RecordSize));
        field_.Change();
      }
    }
  } catch (...) {
  }
}

TABSLocalBLOBStream& TABSBLOBStream::stream() const {
  if (!stream_) RaiseError(10108);
  return *stream_;
}

int64_t TABSBLOBStream::Read(void* buffer, int64_t count) { return stream().Read(buffer, count); }

int64_t TABSBLOBStream::Write(const void* buffer, int64_t count) {
  if (mode_ == TBlobStreamMode::bmRead) RaiseError(10115);
  return stream().Write(buffer, count);
}

int64_t TABSBLOBStream::Seek(int64_t offset, TABSSeekOrigin origin) { return stream().Seek(offset, origin); }

int64_t TABSBLOBStream::GetSize() { return stream().GetSize(); }

bool TABSBLOBStream::SetSize(int64_t size) {
  if (mode_ == TBlobStreamMode::bmRead) RaiseError(10115);
  return stream().SetSize(size);
}

}  // namespace dadoveri
