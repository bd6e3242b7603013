// TABSRecordKeyRef: index keys built from the fields of memory records, and their order.
//
// A key part is one flag byte (1 when the field is NULL) followed by the value bytes. A
// full key part holds the field's whole memory value; a page key part (what index entries
// store) holds a text value longer than the column's MaxIndexedSize by its first
// MaxIndexedSize bytes followed by two zero bytes, which end the cut text. NULL values
// leave the value bytes zero.
//
// Order: parts in column order with the engine's raw comparison; NULL below every value;
// a Descending part's order reversed. A tie on a cut part whose stored bytes are all text
// is broken with the full values, read from the records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/table/btree.h"
#include "engine/table/btree_record_source.h"
#include "engine/table/column_type.h"
#include "engine/table/record_layout.h"

namespace dadoveri {

// A bound on a text part in the collation's sort-key order (TUserLocale::SortKey of the
// part's text, case-folded for a case-insensitive column): a target whose last compared
// part has this bound compares there as the bound against the entry's text, which is
// never equal to it. Descending parts reverse the answer as for values; NULL lies below.
//
// A prefix range's bounds also carry the prefix as stored (the part's value bytes without a
// terminator) and their side: a stored text that begins with those bytes begins with the
// prefix, so it lies inside both bounds without its sort key being made.
struct TABSKeyBound {
  std::string SortKey;
  std::string PrefixBytes;
  bool HasPrefix = false;
  // The bound is the lower one in collation order (below every text with the prefix).
  bool BelowPrefixTexts = false;
};

// One key column as an index definition gives it.
struct TABSKeyColumn {
  std::string FieldName;
  bool Descending = false;
  bool CaseInsensitive = false;
  int32_t MaxIndexedSize = 20;
};

struct TABSRecordKeyPart {
  int32_t FieldNo = 0;
  int32_t MemoryOffset = 0;
  TABSBaseType BaseType = btNone;
  int32_t MemoryDataSize = 0;
  bool Descending = false;
  bool CaseInsensitive = false;
  int32_t FullPartSize = 0;
  int32_t PagePartSize = 0;
  bool Truncated = false;
  int32_t StoredBytes = 0;   // value bytes kept of a cut part (MaxIndexedSize, even for wide text)
  int32_t StoredChars = 0;   // characters those bytes hold
  int32_t FullOffset = 0;    // offset of the part in a full key
  int32_t PageOffset = 0;    // offset of the part in a page key
};

// The text of a string value of a memory record or key, up to its terminator: UTF-16 for
// wide strings, the ANSI code page's letters for single-byte ones.
std::u16string KeyPartText(const TABSRecordKeyPart& part, const uint8_t* value, int32_t size);

class TABSRecordKeyRef final : public TABSBTreeKeyRef {
 public:
  // Refuses a column naming no field ("Cannot find index field '%s'", 20043) and a BLOB
  // field (20295).
  TABSRecordKeyRef(const TABSRecordLayout& layout, const std::vector<TABSKeyColumn>& columns);

  void SetKeyPartCount(int32_t count) override;
  int ComparePageKeys(int32_t session, const TABSBTreeTarget& target, const uint8_t* entry_key,
                      const TABSRecordID* entry_id) override;
  int CompareFullKeys(const uint8_t* a, const uint8_t* b) override;
  uint16_t PageKeySize() const override { return static_cast<uint16_t>(page_key_size_); }
  bool HasTruncatedParts() const override { return truncated_; }

  int32_t FullKeySize() const { return full_key_size_; }
  int32_t PartCount() const { return static_cast<int32_t>(parts_.size()); }
  const TABSRecordKeyPart& Part(int32_t i) const { return parts_[static_cast<size_t>(i)]; }
  int32_t RecordSize() const { return record_size_; }

  void BuildPageKey(const void* memory_record, uint8_t* key) const;
  void BuildFullKey(const void* memory_record, uint8_t* key) const;
  // Compares the first `count` key parts (-1: the set part count) of two memory records by
  // their full values: -1, 0, 1.
  int CompareRecords(const void* a, const void* b, int32_t count = -1, const int32_t* prefix_lengths = nullptr) const;

  // Where tie-breaking reads records from.
  void SetRecordSource(TABSIndexRecordSource* source) { source_ = source; }
  TABSIndexRecordSource* RecordSource() const { return source_; }

 private:
  // How the values of a part compare: integers and single-byte text directly, everything
  // else through the engine's general comparison.
  enum class ValueKind : uint8_t { General, Int8, Int16, Int32, Int64, UInt8, UInt16, UInt32, Ansi };

  static ValueKind value_kind(TABSBaseType type);
  bool is_null(const void* record, int32_t field_no) const;
  int compare_part_values(int32_t part_no, const uint8_t* a, bool a_null, int32_t a_size, const uint8_t* b,
                          bool b_null, int32_t b_size, int32_t prefix) const;
  // The bound against a stored text value: -1 bound lower, 1 bound higher.
  int compare_bound(const TABSRecordKeyPart& part, const TABSKeyBound& bound, const uint8_t* value, bool null,
                    int32_t size) const;
  // Whether the stored bytes of a cut part are all text (the value may go on).
  bool fills_prefix(const TABSRecordKeyPart& part, const uint8_t* value) const;

  std::vector<TABSRecordKeyPart> parts_;
  std::vector<ValueKind> kinds_;  // per part
  int32_t part_count_ = 0;
  int32_t page_key_size_ = 0;
  int32_t full_key_size_ = 0;
  int32_t record_size_ = 0;
  bool truncated_ = false;
  TABSIndexRecordSource* source_ = nullptr;
  std::vector<uint8_t> entry_record_;
};

}  // namespace dadoveri
