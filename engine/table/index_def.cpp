#include "engine/table/index_def.h"

#include "engine/base/engine_error.h"
#include "engine/table/field_def.h"

namespace dadoveri {

void TABSIndexDef::Assign(const TABSMetaObjectDef& source) {
  TABSMetaObjectDef::Assign(source);
  const auto& s = static_cast<const TABSIndexDef&>(source);
  IndexKind = s.IndexKind;
  Unique = s.Unique;
  Primary = s.Primary;
  Columns = s.Columns;
  RootPageNo = s.RootPageNo;
  Temporary = s.Temporary;
  OwnerSession = s.OwnerSession;
  ChangeStamp = s.ChangeStamp;
}

void TABSIndexDef::LoadFromStream(TABSMetaReader& stream) {
  load_head(stream);
  IndexKind = stream.ReadInt8();
  Unique = stream.ReadBool();
  Primary = stream.ReadBool();
  const int32_t count = stream.ReadInt32();
  RootPageNo = stream.ReadInt32();
  if (count < 0 || static_cast<size_t>(count) > stream.Remaining()) {
    RaiseError(10086, static_cast<int64_t>(stream.Position()), static_cast<int64_t>(stream.Size()),
               static_cast<int64_t>(count), static_cast<int64_t>(stream.Remaining()));
  }
  Columns.clear();
  Columns.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    TABSIndexColumn c;
    c.FieldName = stream.ReadText();
    c.Descending = stream.ReadBool();
    c.CaseInsensitive = stream.ReadBool();
    c.MaxIndexedSize = stream.ReadInt32();
    // Index entries keep at least one byte of a value and never more than a 16-bit key.
    if (c.MaxIndexedSize < 1 || c.MaxIndexedSize > kMaxIndexedSizeLimit)
      RaiseError(40304, c.FieldName, c.MaxIndexedSize);
    Columns.push_back(std::move(c));
  }
  // The temporary attributes take their defaults.
  Temporary = false;
  OwnerSession = -1;
  ChangeStamp = 0;
}

void TABSIndexDef::SaveToStream(TABSMetaWriter& stream) const {
  save_head(stream);
  stream.WriteInt8(IndexKind);
  stream.WriteBool(Unique);
  stream.WriteBool(Primary);
  stream.WriteInt32(ColumnCount());
  stream.WriteInt32(RootPageNo);
  for (const TABSIndexColumn& c : Columns) {
    stream.WriteText(c.FieldName);
    stream.WriteBool(c.Descending);
    stream.WriteBool(c.CaseInsensitive);
    stream.WriteInt32(c.MaxIndexedSize);
  }
}

void TABSIndexDefs::LoadFromStream(TABSMetaReader& stream) { TABSMetaObjectDefs::LoadFromStream(stream); }

void TABSIndexDefs::SaveToStream(TABSMetaWriter& stream) const {
  int32_t stored = 0;
  for (int32_t i = 0; i < Count(); ++i)
    if (!Item(i)->Temporary) ++stored;
  stream.WriteInt32(stored);
  for (int32_t i = 0; i < Count(); ++i)
    if (!Item(i)->Temporary) Item(i)->SaveToStream(stream);
}

void TABSIndexDefs::SetItem(int32_t index, const TABSIndexDef& value) { Item(index)->Assign(value); }

void TABSIndexDefs::BuildColumns(TABSIndexDef& index, const std::vector<std::string>& field_names,
                                 const std::vector<std::string>& directions, const std::vector<std::string>& cases) {
  if (field_names.size() != directions.size()) RaiseError(10278, field_names.size(), directions.size());
  if (field_names.size() != cases.size()) RaiseError(10279, field_names.size(), cases.size());
  index.Columns.clear();
  for (size_t i = 0; i < field_names.size(); ++i) {
    TABSIndexColumn c;
    c.FieldName = field_names[i];
    c.Descending = directions[i] == "DESC";
    c.CaseInsensitive = cases[i] == "NO_CASE";
    c.MaxIndexedSize = kDefaultMaxIndexedSize;
    index.Columns.push_back(std::move(c));
  }
}

int32_t TABSIndexDefs::FindMatchingIndex(const TABSFieldDefs& fields, const std::vector<std::string>* field_names,
                                         const std::vector<std::string>* directions,
                                         const std::vector<std::string>* cases, int32_t session) const {
  if (field_names == nullptr) RaiseError(10389);
  if (directions == nullptr) RaiseError(10390);
  if (cases == nullptr) RaiseError(10391);
  if (field_names->size() != directions->size()) RaiseError(10276, field_names->size(), directions->size());
  if (field_names->size() != cases->size()) RaiseError(10277, field_names->size(), cases->size());
  const size_t k = field_names->size();
  for (int32_t n = 0; n < Count(); ++n) {
    const TABSIndexDef* index = Item(n);
    if (index->Columns.size() < k) continue;
    if (index->Temporary && index->OwnerSession != session) continue;
    bool match = true;
    for (size_t i = 0; i < k && match; ++i) {
      const TABSIndexColumn& column = index->Columns[i];
      const std::string& name = (*field_names)[i];
      if (!SameName(column.FieldName, name)) {
        match = false;
        break;
      }
      const std::string& direction = (*directions)[i];
      if (direction == "ASC" && column.Descending) match = false;
      if (direction == "DESC" && !column.Descending) match = false;
      const std::string& case_word = (*cases)[i];
      const TABSFieldDef* field = fields.Find(name);
      if (case_word == "CASE" && field != nullptr && IsStringBaseType(field->BaseType) && column.CaseInsensitive)
        match = false;
      if (case_word == "NO_CASE" && !column.CaseInsensitive) match = false;
    }
    if (match) return index->ObjectID;
  }
  return -1;
}

}  // namespace dadoveri
