#include "engine/table/constraint_def.h"

#include "engine/platform/sleep.h"
#include "engine/base/engine_error.h"
#include "engine/table/field_def.h"
#include "engine/table/index_def.h"

namespace dadoveri {

namespace {

// A reference name in a NOT NULL or check body: N (1 byte, the name's length + 1), then the
// length byte and the characters. A name of 255 characters makes N 256, which a byte cannot
// hold; it is written as 0 and the name is read by its own length byte, so every name up to
// 255 characters comes back whole.
void write_short_reference(TABSMetaWriter& s, const std::string& name) {
  const size_t n = std::min(name.size(), kMaxObjectNameLength);
  s.WriteInt8(static_cast<uint8_t>((n + 1) & 0xFF));
  s.WriteText(name);
}

std::string read_short_reference(TABSMetaReader& s) {
  s.ReadInt8();
  return s.ReadText();
}

// A reference name in a unique or primary-key body: N (4 bytes, length + 1), then N bytes:
// the length byte and the characters.
void write_long_reference(TABSMetaWriter& s, const std::string& name) {
  const size_t n = std::min(name.size(), kMaxObjectNameLength);
  s.WriteInt32(static_cast<int32_t>(n + 1));
  s.WriteText(name);
}

std::string read_long_reference(TABSMetaReader& s) {
  const int32_t n = s.ReadInt32();
  if (n < 1 || static_cast<size_t>(n) > s.Remaining()) {
    RaiseError(10086, static_cast<int64_t>(s.Position()), static_cast<int64_t>(s.Size()), static_cast<int64_t>(n),
               static_cast<int64_t>(s.Remaining()));
  }
  std::string bytes(static_cast<size_t>(n), '\0');
  s.ReadRaw(bytes.data(), bytes.size());
  const size_t length = std::min<size_t>(static_cast<uint8_t>(bytes[0]), bytes.size() - 1);
  return bytes.substr(1, length);
}

void write_reference_ids(TABSMetaWriter& s, const std::array<TABSConstraintReference, 3>& refs) {
  for (const auto& r : refs) s.WriteInt32(r.ID);
}

void read_reference_ids(TABSMetaReader& s, std::array<TABSConstraintReference, 3>& refs) {
  for (auto& r : refs) r.ID = s.ReadInt32();
}

}  // namespace

void TABSConstraintDef::Assign(const TABSMetaObjectDef& source) {
  TABSMetaObjectDef::Assign(source);
  const auto& s = static_cast<const TABSConstraintDef&>(source);
  ConstraintType = s.ConstraintType;
  References = s.References;
}

void TABSConstraintDefNotNull::Assign(const TABSMetaObjectDef& source) { TABSConstraintDef::Assign(source); }

void TABSConstraintDefNotNull::LoadFromStream(TABSMetaReader& stream) {
  load_head(stream);
  read_reference_ids(stream, References);
  for (auto& r : References) r.Name = read_short_reference(stream);
}

void TABSConstraintDefNotNull::SaveToStream(TABSMetaWriter& stream) const {
  save_head(stream);
  write_reference_ids(stream, References);
  for (const auto& r : References) write_short_reference(stream, r.Name);
}

void TABSConstraintDefCheck::Assign(const TABSMetaObjectDef& source) {
  TABSConstraintDefNotNull::Assign(source);
  const auto& s = static_cast<const TABSConstraintDefCheck&>(source);
  MinValue = s.MinValue;
  MaxValue = s.MaxValue;
}

void TABSConstraintDefCheck::LoadFromStream(TABSMetaReader& stream) {
  TABSConstraintDefNotNull::LoadFromStream(stream);
  stream.ReadVariant(MinValue);
  stream.ReadVariant(MaxValue);
}

void TABSConstraintDefCheck::SaveToStream(TABSMetaWriter& stream) const {
  TABSConstraintDefNotNull::SaveToStream(stream);
  stream.WriteVariant(MinValue);
  stream.WriteVariant(MaxValue);
}

void TABSConstraintDefUnique::Assign(const TABSMetaObjectDef& source) {
  TABSConstraintDef::Assign(source);
  Columns = static_cast<const TABSConstraintDefUnique&>(source).Columns;
}

void TABSConstraintDefUnique::LoadFromStream(TABSMetaReader& stream) {
  load_head(stream);
  read_reference_ids(stream, References);
  for (auto& r : References) r.Name = read_long_reference(stream);
  const int32_t count = stream.ReadInt32();
  if (count < 0 || static_cast<size_t>(count) > stream.Remaining()) {
    RaiseError(10086, static_cast<int64_t>(stream.Position()), static_cast<int64_t>(stream.Size()),
               static_cast<int64_t>(count), static_cast<int64_t>(stream.Remaining()));
  }
  Columns.clear();
  for (int32_t i = 0; i < count; ++i) {
    TABSConstraintColumn c;
    c.FieldObjectID = stream.ReadInt32();
    c.FieldName = read_long_reference(stream);
    Columns.push_back(std::move(c));
  }
}

void TABSConstraintDefUnique::SaveToStream(TABSMetaWriter& stream) const {
  save_head(stream);
  write_reference_ids(stream, References);
  for (const auto& r : References) write_long_reference(stream, r.Name);
  stream.WriteInt32(static_cast<int32_t>(Columns.size()));
  for (const auto& c : Columns) {
    stream.WriteInt32(c.FieldObjectID);
    write_long_reference(stream, c.FieldName);
  }
}

std::unique_ptr<TABSConstraintDef> CreateConstraintDef(uint8_t constraint_type) {
  switch (constraint_type) {
    case ctPrimaryKey:
      return std::make_unique<TABSConstraintDefPrimary>();
    case ctUnique:
      return std::make_unique<TABSConstraintDefUnique>();
    case ctNotNull:
      return std::make_unique<TABSConstraintDefNotNull>();
    case ctCheck:
      return std::make_unique<TABSConstraintDefCheck>();
    default:
      return nullptr;
  }
}

std::unique_ptr<TABSConstraintDefUnique> DeriveConstraintFromIndex(const TABSIndexDef& index) {
  std::unique_ptr<TABSConstraintDefUnique> c;
  std::string name;
  if (index.Primary) {
    c = std::make_unique<TABSConstraintDefPrimary>();
    name = "C_PK";
  } else if (index.Unique) {
    c = std::make_unique<TABSConstraintDefUnique>();
    name = "C_Unique";
  } else {
    return nullptr;
  }
  for (const TABSIndexColumn& column : index.Columns) {
    name += '$';
    name += column.FieldName;
    c->Columns.push_back({column.FieldName, 0});
  }
  c->Name = std::move(name);
  c->TargetName().Name = index.Name;
  c->TargetName().ID = index.ObjectID;
  return c;
}

// ---- list ----

void TABSConstraintDefs::LoadFromStream(TABSMetaReader& stream) {
  Clear();
  const int32_t n = stream.ReadInt32();
  for (int32_t i = 0; i < n; ++i) {
    const uint8_t type = stream.ReadInt8();
    auto c = CreateConstraintDef(type);
    if (!c) RaiseError(30316, type);
    c->LoadFromStream(stream);
    items_.push_back(std::move(c));
  }
}

void TABSConstraintDefs::SaveToStream(TABSMetaWriter& stream) const {
  stream.WriteInt32(Count());
  for (int32_t i = 0; i < Count(); ++i) {
    stream.WriteInt8(Item(i)->ConstraintType);
    Item(i)->SaveToStream(stream);
  }
}

void TABSConstraintDefs::Assign(const TABSMetaObjectDefs& source) {
  if (&source == this) return;
  Clear();
  for (int32_t i = 0; i < source.Count(); ++i) {
    const auto* item = static_cast<const TABSConstraintDef*>(source.Item(i));
    if (!item->Name.empty() && IndexOf(item->Name) >= 0) RaiseError(10424, item->Name);
    auto copy = item->CreateSame();
    copy->Assign(*item);
    items_.push_back(std::move(copy));
  }
}

TABSConstraintDef* TABSConstraintDefs::AddConstraint(std::unique_ptr<TABSConstraintDef> constraint) {
  items_.push_back(std::move(constraint));
  return static_cast<TABSConstraintDef*>(items_.back().get());
}

TABSConstraintDefNotNull* TABSConstraintDefs::AddNotNull(const std::string& name, const std::string& field_name) {
  auto c = std::make_unique<TABSConstraintDefNotNull>();
  c->Name = name;
  c->TargetName().Name = field_name;
  return static_cast<TABSConstraintDefNotNull*>(AddConstraint(std::move(c)));
}

TABSConstraintDefCheck* TABSConstraintDefs::AddCheck(const std::string& name, const std::string& field_name,
                                                     const TABSVariant& min_value, const TABSVariant& max_value) {
  auto c = std::make_unique<TABSConstraintDefCheck>();
  c->Name = name;
  c->TargetName().Name = field_name;
  c->MinValue = min_value;
  c->MaxValue = max_value;
  return static_cast<TABSConstraintDefCheck*>(AddConstraint(std::move(c)));
}

namespace {
void fill_unique(TABSConstraintDefUnique& c, const std::string& name, const std::string& index_name,
                 const std::vector<std::string>& field_names) {
  c.Name = name;
  c.TargetName().Name = index_name;
  for (const auto& f : field_names) c.Columns.push_back({f, 0});
}
}  // namespace

TABSConstraintDefPrimary* TABSConstraintDefs::AddPrimary(const std::string& name, const std::string& index_name,
                                                         const std::vector<std::string>& field_names) {
  auto c = std::make_unique<TABSConstraintDefPrimary>();
  fill_unique(*c, name, index_name, field_names);
  return static_cast<TABSConstraintDefPrimary*>(AddConstraint(std::move(c)));
}

TABSConstraintDefUnique* TABSConstraintDefs::AddUnique(const std::string& name, const std::string& index_name,
                                                       const std::vector<std::string>& field_names) {
  auto c = std::make_unique<TABSConstraintDefUnique>();
  fill_unique(*c, name, index_name, field_names);
  return static_cast<TABSConstraintDefUnique*>(AddConstraint(std::move(c)));
}

void TABSConstraintDefs::SetTableName(const std::string& table_name) {
  for (int32_t i = 0; i < Count(); ++i) Item(i)->TableName().Name = table_name;
}

void TABSConstraintDefs::ResolveReferences(const TABSFieldDefs& fields, const TABSIndexDefs& indexes) {
  for (int32_t i = 0; i < Count(); ++i) {
    TABSConstraintDef* c = Item(i);
    if (c->ConstraintType == ctPrimaryKey || c->ConstraintType == ctUnique) {
      const bool primary = c->ConstraintType == ctPrimaryKey;
      const TABSIndexDef* index = indexes.Find(c->TargetName().Name);
      if (index == nullptr) RaiseError(primary ? 30325 : 30326, c->TargetName().Name);
      c->TargetName().ID = index->ObjectID;
      for (TABSConstraintColumn& column : static_cast<TABSConstraintDefUnique*>(c)->Columns) {
        const TABSFieldDef* field = fields.Find(column.FieldName);
        if (field == nullptr) RaiseError(primary ? 30331 : 30332, column.FieldName);
        column.FieldObjectID = field->ObjectID;
      }
    } else {
      const TABSFieldDef* field = fields.Find(c->TargetName().Name);
      if (field == nullptr) RaiseError(30027, c->TargetName().Name);
      c->TargetName().ID = field->ObjectID;
    }
  }
}

void TABSConstraintDefs::GenerateNames() {
  for (int32_t i = 0; i < Count(); ++i) {
    TABSConstraintDef* c = Item(i);
    if (!c->Name.empty()) continue;
    if (c->ConstraintType == ctPrimaryKey || c->ConstraintType == ctUnique) RaiseError(30038);
    const std::string base = std::string("$") + (c->ConstraintType == ctCheck ? "C_Check" : "C_NotNull") + "$" +
                             c->TableName().Name + "$" + c->TargetName().Name;
    std::string name = base;
    while (IndexOf(name) >= 0) name = base + std::to_string(RandomNumber(65535));
    c->Name = std::move(name);
  }
}

int32_t TABSConstraintDefs::IndexOfDerived(int32_t index_object_id) const {
  for (int32_t i = 0; i < Count(); ++i) {
    const TABSConstraintDef* c = Item(i);
    if ((c->ConstraintType == ctPrimaryKey || c->ConstraintType == ctUnique) && c->TargetName().ID == index_object_id)
      return i;
  }
  return -1;
}

}  // namespace dadoveri
