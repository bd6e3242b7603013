#include "engine/table/meta_object_def.h"

#include <algorithm>
#include <cstring>

#include "engine/platform/code_page.h"
#include "engine/base/engine_error.h"

namespace dadoveri {

namespace {

bool is_plain_ascii(std::string_view s) {
  for (const char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

}  // namespace

std::string UpperCaseName(std::string_view name) {
  if (is_plain_ascii(name)) {
    std::string out(name);
    for (char& c : out)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return out;
  }
  return AnsiCodePage().UpperCase(name);
}

bool SameName(std::string_view a, std::string_view b) {
  if (is_plain_ascii(a) && is_plain_ascii(b)) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      char x = a[i], y = b[i];
      if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
      if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
      if (x != y) return false;
    }
    return true;
  }
  return UpperCaseName(a) == UpperCaseName(b);
}

// ---- stream ----

void TABSMetaWriter::WriteRaw(const void* data, size_t count) {
  bytes_.append(static_cast<const char*>(data), count);
}

void TABSMetaWriter::WriteText(std::string_view text) {
  const size_t n = std::min(text.size(), kMaxObjectNameLength);
  WriteInt8(static_cast<uint8_t>(n));
  WriteRaw(text.data(), n);
}

void TABSMetaWriter::WriteVariant(const TABSVariant& value) {
  WriteInt8(value.ValueType());
  const bool null = value.IsNull();
  WriteInt8(null ? 1 : 0);
  if (null) return;
  WriteInt32(value.DataSize());
  WriteRaw(value.Data(), static_cast<size_t>(value.DataSize()));
}

void TABSMetaReader::ReadRaw(void* data, size_t count) {
  if (count > Remaining()) {
    RaiseError(10086, static_cast<int64_t>(position_), static_cast<int64_t>(size_), static_cast<int64_t>(count),
               static_cast<int64_t>(Remaining()));
  }
  if (count) std::memcpy(data, data_ + position_, count);
  position_ += count;
}

uint8_t TABSMetaReader::ReadInt8() {
  uint8_t v;
  ReadRaw(&v, 1);
  return v;
}

int32_t TABSMetaReader::ReadInt32() {
  int32_t v;
  ReadRaw(&v, 4);
  return v;
}

int64_t TABSMetaReader::ReadInt64() {
  int64_t v;
  ReadRaw(&v, 8);
  return v;
}

std::string TABSMetaReader::ReadText() {
  const uint8_t n = ReadInt8();
  std::string s(n, '\0');
  ReadRaw(s.data(), n);
  return s;
}

bool StoredValueFits(TABSBaseType type, const uint8_t* data, int32_t size) {
  if (type > kBaseTypeCount) return false;
  if (size == 0) return true;  // read back as a null of the type
  switch (type) {
    case btNone:
      return false;
    case btChar:
    case btString:
      return data[size - 1] == 0;  // text ends with its terminator
    case btWideChar:
    case btWideString:
      return size % 2 == 0 && data[size - 2] == 0 && data[size - 1] == 0;
    case btWideMemo:
      return size % 2 == 0;
    case btMemo:
    case btBlob:
    case btBytes:
    case btVarBytes:
      return true;
    default:
      // Numbers, dates, times and logicals have their one size.
      return size == MemoryDataSize(type, 0);
  }
}

void TABSMetaReader::ReadVariant(TABSVariant& value) {
  const auto type = static_cast<TABSBaseType>(ReadInt8());
  const uint8_t null = ReadInt8();
  if (type > kBaseTypeCount) RaiseError(40301, static_cast<int>(type), -1);
  if (null != 0) {
    value.Clear(type);
    return;
  }
  const int32_t size = ReadInt32();
  if (size < 0 || static_cast<size_t>(size) > Remaining()) {
    RaiseError(10086, static_cast<int64_t>(position_), static_cast<int64_t>(size_), static_cast<int64_t>(size),
               static_cast<int64_t>(Remaining()));
  }
  if (!StoredValueFits(type, data_ + position_, size)) RaiseError(40301, static_cast<int>(type), size);
  value.SetFromBuffer(data_ + position_, size, true, type);
  position_ += static_cast<size_t>(size);
}

// ---- definition ----

void TABSMetaObjectDef::Assign(const TABSMetaObjectDef& source) {
  Name = source.Name;
  ObjectID = source.ObjectID;
}

void TABSMetaObjectDef::load_head(TABSMetaReader& stream) {
  Name = stream.ReadText();
  ObjectID = stream.ReadInt32();
}

void TABSMetaObjectDef::save_head(TABSMetaWriter& stream) const {
  stream.WriteText(Name);
  stream.WriteInt32(ObjectID);
}

void TABSMetaObjectDef::LoadFromStream(TABSMetaReader& stream) { load_head(stream); }

void TABSMetaObjectDef::SaveToStream(TABSMetaWriter& stream) const { save_head(stream); }

// ---- list ----

int32_t TABSMetaObjectDefs::Count() const { return static_cast<int32_t>(items_.size()); }

void TABSMetaObjectDefs::Add(std::unique_ptr<TABSMetaObjectDef> item) { items_.push_back(std::move(item)); }

TABSMetaObjectDef* TABSMetaObjectDefs::InternalAddCreated() {
  auto item = create_item();
  if (!item) RaiseError(30339, "InternalAddCreated", ClassName());
  items_.push_back(std::move(item));
  return items_.back().get();
}

void TABSMetaObjectDefs::LoadFromStream(TABSMetaReader& stream) {
  Clear();
  const int32_t n = stream.ReadInt32();
  for (int32_t i = 0; i < n; ++i) InternalAddCreated()->LoadFromStream(stream);
}

void TABSMetaObjectDefs::SaveToStream(TABSMetaWriter& stream) const {
  stream.WriteInt32(Count());
  for (const auto& item : items_) item->SaveToStream(stream);
}

void TABSMetaObjectDefs::Assign(const TABSMetaObjectDefs& source) {
  if (&source == this) return;
  Clear();
  for (const auto& item : source.items_) {
    // Nameless items (constraints whose names are generated later) never collide.
    if (!item->Name.empty() && IndexOf(item->Name) >= 0) RaiseError(10424, item->Name);
    InternalAddCreated()->Assign(*item);
  }
}

void TABSMetaObjectDefs::Delete(int32_t index) { items_.erase(items_.begin() + index); }

void TABSMetaObjectDefs::Insert(int32_t index, std::unique_ptr<TABSMetaObjectDef> item) {
  items_.insert(items_.begin() + index, std::move(item));
}

void TABSMetaObjectDefs::Move(int32_t from, int32_t to) {
  if (from == to) return;
  auto item = std::move(items_[static_cast<size_t>(from)]);
  items_.erase(items_.begin() + from);
  items_.insert(items_.begin() + to, std::move(item));
}

void TABSMetaObjectDefs::Clear() { items_.clear(); }

int32_t TABSMetaObjectDefs::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (SameName(items_[i]->Name, name)) return static_cast<int32_t>(i);
  return -1;
}

TABSMetaObjectDef* TABSMetaObjectDefs::Find(std::string_view name) const {
  const int32_t i = IndexOf(name);
  return i < 0 ? nullptr : Item(i);
}

int32_t TABSMetaObjectDefs::IndexOfObjectID(int32_t object_id) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i]->ObjectID == object_id) return static_cast<int32_t>(i);
  return -1;
}

TABSMetaObjectDef* TABSMetaObjectDefs::FindByObjectID(int32_t object_id) const {
  const int32_t i = IndexOfObjectID(object_id);
  return i < 0 ? nullptr : Item(i);
}

}  // namespace dadoveri
