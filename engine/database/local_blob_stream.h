// TABSLocalBLOBStream: a table cursor's open BLOB field. It forwards read, write, seek and
// size changes to the field's stream over the uncompressed value; a stream opened for
// reading refuses writes and size changes ("Cannot write to read only stream", 10115).
#pragma once

#include <cstdint>
#include <memory>

#include "engine/storage/stream.h"
#include "engine/table/blob_field.h"

namespace dadoveri {

enum TABSBlobOpenMode : int32_t { bomRead = 0, bomWrite = 1, bomReadWrite = 2 };

class TABSLocalBLOBStream : public TABSStream {
 public:
  TABSLocalBLOBStream(int32_t table_field_no, TABSBlobOpenMode mode, std::unique_ptr<TABSBlobFieldStream> field)
      : table_field_no_(table_field_no), mode_(mode), field_(std::move(field)) {}

  int64_t Read(void* buffer, int64_t count) override { return field_->Value().Read(buffer, count); }
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TABSSeekOrigin origin) override { return field_->Value().Seek(offset, origin); }
  int64_t GetSize() override { return field_->Value().GetSize(); }
  bool SetSize(int64_t size) override;

  int32_t TableFieldNo() const { return table_field_no_; }
  TABSBlobOpenMode Mode() const { return mode_; }
  bool Writing() const { return mode_ != bomRead; }
  // Whether anything was written or cut since the stream opened.
  bool Modified() const { return modified_; }
  TABSBlobFieldStream& FieldStream() { return *field_; }

 private:
  int32_t table_field_no_;
  TABSBlobOpenMode mode_;
  std::unique_ptr<TABSBlobFieldStream> field_;
  bool modified_ = false;
};

}  // namespace dadoveri
