// BLOB fields for table tests: one per compression algorithm, with block sizes small
// enough that values of a few kilobytes take several blocks, and value makers.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/storage/compression.h"
#include "engine/table/field_def.h"
#include "engine/table/table_data.h"
#include "tests/engine/database/table_fixture.h"

namespace dadoveri::testing {

struct BlobColumn {
  const char* name;
  TABSColumnType type;
  uint8_t algorithm;
  uint8_t mode;
  int32_t block_size;
};

inline const std::vector<BlobColumn>& BlobColumns() {
  static const std::vector<BlobColumn> columns = {
      {"Raw", ctBlob, acNone, 0, 102400},
      {"Z", ctMemo, acZLIB, 6, 1000},
      {"Bz", ctBlob, acBZIP, 1, 1500},
      {"P", ctMemo, acPPM, 1, 1200},
  };
  return columns;
}

inline void AddBlobField(TABSFieldDefs& fields, const BlobColumn& c) {
  AddField(fields, c.name, c.type);
  TABSFieldDef* f = fields.Item(fields.Count() - 1);
  f->BlobCompressionAlgorithm = c.algorithm;
  f->BlobCompressionMode = c.mode;
  f->BlobBlockSize = c.block_size;
  fields.RecomputeOffsets();
}

inline void AddBlobFields(TABSFieldDefs& fields) {
  for (const BlobColumn& c : BlobColumns()) AddBlobField(fields, c);
}

// `size` bytes: text that compresses well, or noise that does not.
inline std::string BlobBytes(std::mt19937& rng, size_t size, bool noise) {
  std::string s(size, '\0');
  if (noise) {
    for (char& ch : s) ch = static_cast<char>(rng());
  } else {
    static const std::string words = "the quick brown fox jumps over a lazy dog; ";
    const size_t start = rng() % words.size();
    for (size_t i = 0; i < size; ++i) s[i] = words[(start + i) % words.size()];
    if (size > 0) s[rng() % size] = static_cast<char>('A' + rng() % 26);
  }
  return s;
}

inline void SetBlob(TABSCursor& cursor, int32_t session, const std::string& field, const std::string& value) {
  TABSTableData& data = *cursor.TableData();
  data.SetBlobValue(session, data.FieldDefs().IndexOf(field), cursor.CurrentRecord, value.data(),
                    static_cast<int64_t>(value.size()));
}

// The value of a field; "<null>" when the field is NULL.
inline std::string GetBlob(TABSCursor& cursor, int32_t session, const std::string& field,
                           const void* record = nullptr) {
  TABSTableData& data = *cursor.TableData();
  std::vector<uint8_t> value;
  if (!data.GetBlobValue(session, data.FieldDefs().IndexOf(field), record ? record : cursor.CurrentRecord, value))
    return "<null>";
  return std::string(value.begin(), value.end());
}

}  // namespace dadoveri::testing
