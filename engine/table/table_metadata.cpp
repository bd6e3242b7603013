#include "engine/table/table_metadata.h"

#include <algorithm>

#include "engine/base/engine_error.h"
#include "engine/storage/internal_file.h"
#include "engine/storage/page.h"

namespace dadoveri {

std::string TABSTableMetadata::Save() const {
  TABSMetaWriter w;
  Fields.SaveToStream(w);
  Indexes.SaveToStream(w);
  Constraints.SaveToStream(w);
  w.WriteRaw(StorageSections.data(), StorageSections.size());
  return std::move(w.Bytes());
}

void TABSTableMetadata::Load(std::string_view block) {
  TABSMetaReader r(block);
  Fields.LoadFromStream(r);
  Indexes.LoadFromStream(r);
  check_index_key_sizes();
  Constraints.LoadFromStream(r);
  StorageSections.assign(block.substr(r.Position()));
}

void TABSTableMetadata::check_index_key_sizes() const {
  // A key part is a flag byte and at most a field's memory value plus a two-byte end.
  // Keys of more than 16 bits are refused when an index is opened; a stored column list
  // so long that even its key size could overflow that reckoning is refused here.
  int64_t largest_part = 3;
  for (int32_t i = 0; i < Fields.Count(); ++i)
    largest_part = std::max<int64_t>(largest_part, 3 + Fields.Item(i)->MemoryDataSize);
  for (int32_t i = 0; i < Indexes.Count(); ++i) {
    const int64_t bound = largest_part * Indexes.Item(i)->ColumnCount();
    if (bound > 0x7FFFFFFF) RaiseError(20296, bound, 0);
  }
}

void TABSTableMetadata::Assign(const TABSTableMetadata& source) {
  Fields.Assign(source.Fields);
  Fields.RecomputeOffsets();
  Indexes.Assign(source.Indexes);
  Constraints.Assign(source.Constraints);
  StorageSections = source.StorageSections;
}

void TABSTableMetadata::RenameField(const std::string& old_name, const std::string& new_name) {
  TABSFieldDef* field = Fields.Find(old_name);
  if (field == nullptr) RaiseError(30343, old_name);
  const TABSFieldDef* existing = Fields.Find(new_name);
  if (existing != nullptr && existing != field) RaiseError(30344, old_name, new_name);
  for (int32_t i = 0; i < Indexes.Count(); ++i)
    for (TABSIndexColumn& c : Indexes.Item(i)->Columns)
      if (SameName(c.FieldName, field->Name)) c.FieldName = new_name;
  field->Name = new_name;
}

int32_t TABSTableMetadata::MemoryRecordSize() const {
  if (Fields.Count() == 0) RaiseError(10131);
  return Fields.MemoryRecordSize();
}

int32_t CreateTableMetadataFile(TABSPageManager& pages, int32_t session, const TABSTableMetadata& metadata) {
  TABSInternalDBTransactedAccessFile file(pages);
  file.CreateFile(session, ptTableMetaData, acZLIB, 1);
  const std::string block = metadata.Save();
  file.WriteFile(session, block.data(), static_cast<int32_t>(block.size()));
  return file.StartPageNo();
}

void WriteTableMetadataFile(TABSPageManager& pages, int32_t session, int32_t start_page_no,
                            const TABSTableMetadata& metadata) {
  TABSInternalDBTransactedAccessFile file(pages);
  file.OpenFile(start_page_no, ptTableMetaData, acZLIB, 1);
  const std::string block = metadata.Save();
  file.WriteFile(session, block.data(), static_cast<int32_t>(block.size()));
}

void ReadTableMetadataFile(TABSPageManager& pages, int32_t session, int32_t start_page_no,
                           TABSTableMetadata& metadata) {
  TABSInternalDBTransactedAccessFile file(pages);
  file.OpenFile(start_page_no, ptTableMetaData, acZLIB, 1);
  const std::vector<uint8_t> bytes = file.ReadAll(session);
  metadata.Load(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace dadoveri
