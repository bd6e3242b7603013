// TABSBLOBStream: the dataset's stream over a memo, wide memo or BLOB field of its current
// record. It wraps the cursor's stream for the field (read, write, seek, size changes);
// a stream opened for writing hands its value to the record buffer when it is freed, and
// the value is stored with the record's post.
#pragma once

#include <cstdint>

#include "engine/dataset/table_dataset.h"
#include "engine/storage/stream.h"

namespace dadoveri {

class TABSLocalBLOBStream;

class TABSBLOBStream : public TABSStream {
 public:
  // Use TABSDataSet::CreateBlobStream.
  TABSBLOBStream(TABSDataSet& dataset, TField& field, TBlobStreamMode mode);
  ~TABSBLOBStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TABSSeekOrigin origin) override;
  int64_t GetSize() override;
  bool SetSize(int64_t size) override;
  // Cuts the value at the position.
  void Truncate() { SetSize(GetPosition()); }

  TField& Field() const { return field_; }
  TBlobStreamMode Mode() const { return mode_; }

 private:
  TABSLocalBLOBStream& stream() const;
  TABSDataSet& dataset_;
  TField& field_;
  TBlobStreamMode mode_;
  int32_t field_no_ = -1;  // visible field number in the cursor
  TABSLocalBLOBStream* stream_ = nullptr;
  bool modified_ = false;
};

}  // namespace dadoveri
