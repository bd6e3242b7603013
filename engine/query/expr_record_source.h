// TABSExprRecordSource: what an expression reads field values from. A cursor (filters,
// Locate, DML on one table) or a relational operator of a query implements it. Field
// references resolve their names through it once, when they are bound, and then read the
// current memory record at each evaluation: moving to the next record is one pointer
// change in the source, never a re-bind.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/table/column_type.h"
#include "engine/table/index_def.h"
#include "engine/table/record_layout.h"

namespace dadoveri {

// A field as a reference binds to it.
struct TABSExprFieldInfo {
  // Number of the field in the source's record layout.
  int32_t FieldNo = -1;
  // The table the field belongs to and its name there; the name shown to users.
  std::string TableName;
  std::string FieldName;
  std::string DisplayName;
  TABSColumnType ColumnType = ctNone;
  TABSBaseType BaseType = btNone;
  // Declared length (characters for text) and the bytes and offset in the memory record.
  int32_t Size = 0;
  int32_t MemoryDataSize = 0;
  int32_t MemoryOffset = 0;
};

class TABSExprRecordSource {
 public:
  virtual ~TABSExprRecordSource() = default;

  // Resolves an optionally qualified name (`table_name` empty when unqualified): the
  // table's fields first, then calculated fields, then display names; names compare
  // without letter case. False when the source has no such field.
  virtual bool FindField(std::string_view table_name, std::string_view field_name,
                         TABSExprFieldInfo& info) const = 0;
  // The layout of the records CurrentRecord gives (null flags and field offsets).
  virtual const TABSRecordLayout& RecordLayout() const = 0;
  // The current memory record; null when there is none.
  virtual const void* CurrentRecord() const = 0;
  // The whole value of a memo field of `record` (ANSI bytes for ctMemo/ctFormattedMemo,
  // UTF-16 code units for ctWideMemo). False when the field is NULL.
  virtual bool ReadMemo(int32_t field_no, const void* record, std::string& bytes) const = 0;
  // The indexes of the source's table; null when it has none (a query operator).
  virtual const TABSIndexDefs* IndexDefs() const { return nullptr; }
  // The session whose temporary indexes this source may use; -1 for none.
  virtual int32_t OwnerSession() const { return -1; }
};

}  // namespace dadoveri
