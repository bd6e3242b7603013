// BLOB field values on their way between a cursor and a table's storage.
//
// TABSBlobValue is one value in its field's compression format: the stored bytes (the raw
// value, or its compressed blocks with their headers) with the block count and the
// uncompressed size. Storage variants keep these bytes as they are.
//
// A BLOB field takes ten bytes of the memory record: the first six belong to the storage
// variant (its reference to the stored value), the last four hold the handle of the
// value's cache entry while the field is being changed in that record buffer (0: none).
// Cache entries live in the table's TABSBlobCache from the change until the record is
// written or the buffer abandoned; the handle is never stored.
//
// TABSBlobFieldStream is an open field: a temporary stream holding the stored bytes, seen
// through a TABSCompressedBLOBStream that reads and writes the uncompressed value.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "engine/storage/compressed_blob_stream.h"
#include "engine/storage/stream.h"

namespace dadoveri {

struct TABSBlobValue {
  int64_t BlockCount = 0;
  int64_t UncompressedSize = 0;
  std::vector<uint8_t> Stored;
};

// Offsets inside a BLOB field's ten bytes.
inline constexpr int kBlobReferenceSize = 6;
inline constexpr int kBlobHandleOffset = 6;

uint32_t BlobHandleOf(const uint8_t* field);
void SetBlobHandle(uint8_t* field, uint32_t handle);

class TABSBlobCache {
 public:
  struct Entry {
    TABSBlobValue Value;
    bool Changed = false;
  };

  TABSBlobCache() = default;
  TABSBlobCache(const TABSBlobCache&) = delete;
  TABSBlobCache& operator=(const TABSBlobCache&) = delete;

  // A new entry; its handle is never 0.
  uint32_t Add(TABSBlobValue value, bool changed);
  // Null when the handle names no entry (released, or a stale copy of a buffer).
  Entry* Find(uint32_t handle);
  void Release(uint32_t handle) { entries_.erase(handle); }
  size_t Count() const { return entries_.size(); }
  void Clear() { entries_.clear(); }

 private:
  std::map<uint32_t, Entry> entries_;
  uint32_t next_ = 0;
};

class TABSBlobFieldStream {
 public:
  // Over the value's stored bytes (`value` null: a new, empty value). `params` carries the
  // field's block size, algorithm and mode; the block count and size come from `value`.
  TABSBlobFieldStream(int32_t field_no, const TABSCompressedStreamParams& params, const TABSBlobValue* value,
                      bool disable_temp_files);

  int32_t FieldNo() const { return field_no_; }
  // The uncompressed value: read, write, seek, size.
  TABSCompressedBLOBStream& Value() { return *value_; }
  // The value in its stored form as it stands now.
  TABSBlobValue StoredValue();

  // The whole uncompressed value.
  std::vector<uint8_t> ReadAll();

 private:
  int32_t field_no_;
  std::unique_ptr<TABSTemporaryStream> stored_;
  std::unique_ptr<TABSCompressedBLOBStream> value_;
};

}  // namespace dadoveri
