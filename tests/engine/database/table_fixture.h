// Helpers of the table tests: building field, index and constraint lists, reading and
// writing field values of memory records, and walking a table through a cursor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/table/constraint_def.h"
#include "engine/table/cursor.h"
#include "engine/table/field_def.h"
#include "engine/table/index_def.h"
#include "engine/table/table_data.h"

namespace dadoveri::testing {

inline void AddField(TABSFieldDefs& fields, const std::string& name, TABSColumnType type, int32_t size = 0) {
  TABSFieldDef* f = fields.AddFieldDef();
  f->Name = name;
  f->SetType(type, size);
  fields.RecomputeOffsets();
}

inline TABSIndexDef* AddIndex(TABSIndexDefs& indexes, const std::string& name, std::vector<TABSIndexColumn> columns,
                              bool unique = false, bool primary = false) {
  TABSIndexDef* d = indexes.AddIndexDef();
  d->Name = name;
  d->Columns = std::move(columns);
  d->Unique = unique;
  d->Primary = primary;
  return d;
}

inline TABSVariant IntValue(int32_t v) {
  TABSVariant x;
  x.SetAsInteger(v);
  return x;
}

// Field access on a cursor's current record by field name.
class Fields {
 public:
  explicit Fields(TABSCursor& cursor) : cursor_(cursor) {}
  const TABSRecordLayout& layout() const { return cursor_.TableData()->FieldManager().Layout(); }
  int32_t no(const std::string& name) const { return cursor_.TableData()->FieldDefs().IndexOf(name); }

  void SetInt(const std::string& name, std::optional<int32_t> v, void* record = nullptr) const {
    void* r = record ? record : cursor_.CurrentRecord;
    if (v) layout().SetFieldValue(no(name), IntValue(*v), r);
    else layout().SetNull(no(name), r);
  }
  void SetText(const std::string& name, std::optional<std::string> v, void* record = nullptr) const {
    void* r = record ? record : cursor_.CurrentRecord;
    if (v && !v->empty()) {
      TABSVariant x;
      x.SetAsString(*v);
      layout().SetFieldValue(no(name), x, r);
    } else {
      layout().SetNull(no(name), r);
    }
  }
  std::optional<int64_t> Int(const std::string& name, const void* record = nullptr) const {
    const void* r = record ? record : cursor_.CurrentRecord;
    if (layout().IsNull(no(name), r)) return std::nullopt;
    TABSVariant x;
    layout().GetFieldValue(no(name), r, x);
    return x.GetAsLargeint();
  }
  std::optional<std::string> Text(const std::string& name, const void* record = nullptr) const {
    const void* r = record ? record : cursor_.CurrentRecord;
    if (layout().IsNull(no(name), r)) return std::nullopt;
    TABSVariant x;
    layout().GetFieldValue(no(name), r, x);
    return x.GetAsString();
  }

 private:
  TABSCursor& cursor_;
};

// The values of one integer field of every record, in the cursor's order (the cursor is
// left at the end).
inline std::vector<int64_t> WalkInts(TABSCursor& cursor, const std::string& field, bool backwards = false) {
  Fields f(cursor);
  std::vector<int64_t> values;
  if (backwards) cursor.GoToEnd();
  else cursor.GoToBegin();
  while (cursor.Step(backwards ? grmPrior : grmNext) == grrFound) values.push_back(f.Int(field).value_or(-1));
  return values;
}

}  // namespace dadoveri::testing
