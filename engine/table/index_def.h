// TABSIndexDef (one index of a table, with its key parts TABSIndexColumn in key order) and
// TABSIndexDefs (the table's ordered index list): building a definition from parallel
// lists of field names, direction words and case words, and finding an index that serves
// a key.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/table/meta_object_def.h"

namespace dadoveri {

class TABSFieldDefs;

inline constexpr int32_t kDefaultMaxIndexedSize = 20;
// The largest MaxIndexedSize a stored index column may carry: a key is at most 16-bit long.
inline constexpr int32_t kMaxIndexedSizeLimit = 0xFFFF;

struct TABSIndexColumn {
  std::string FieldName;
  bool Descending = false;
  bool CaseInsensitive = false;
  int32_t MaxIndexedSize = kDefaultMaxIndexedSize;

  bool operator==(const TABSIndexColumn&) const = default;
};

class TABSIndexDef : public TABSMetaObjectDef {
 public:
  void Assign(const TABSMetaObjectDef& source) override;
  // A column's MaxIndexedSize outside 1 … kMaxIndexedSizeLimit is refused with "Invalid
  // index column '%s'. MaxIndexedSize = %d" (40304).
  void LoadFromStream(TABSMetaReader& stream) override;
  void SaveToStream(TABSMetaWriter& stream) const override;
  const char* ClassName() const override { return "TABSIndexDef"; }

  int32_t ColumnCount() const { return static_cast<int32_t>(Columns.size()); }

  uint8_t IndexKind = 0;  // always 0: B-tree
  bool Unique = false;
  bool Primary = false;
  std::vector<TABSIndexColumn> Columns;
  int32_t RootPageNo = -1;
  // Built on demand for one session, never stored.
  bool Temporary = false;
  int32_t OwnerSession = -1;
  // For a temporary index: the table's change counter when it was last brought up to
  // date. Advanced on every change of any index.
  int32_t ChangeStamp = 0;
};

class TABSIndexDefs : public TABSMetaObjectDefs {
 public:
  // Saves only the indexes that are not temporary.
  void LoadFromStream(TABSMetaReader& stream) override;
  void SaveToStream(TABSMetaWriter& stream) const override;
  const char* ClassName() const override { return "TABSIndexDefs"; }
  // Slots 10 and 11.
  virtual TABSIndexDef* GetItem(int32_t index) const { return Item(index); }
  virtual void SetItem(int32_t index, const TABSIndexDef& value);

  TABSIndexDef* Item(int32_t index) const { return static_cast<TABSIndexDef*>(TABSMetaObjectDefs::Item(index)); }
  TABSIndexDef* Find(std::string_view name) const {
    return static_cast<TABSIndexDef*>(TABSMetaObjectDefs::Find(name));
  }
  TABSIndexDef* FindByObjectID(int32_t id) const {
    return static_cast<TABSIndexDef*>(TABSMetaObjectDefs::FindByObjectID(id));
  }
  TABSIndexDef* AddIndexDef() { return static_cast<TABSIndexDef*>(InternalAddCreated()); }

  // Fills `index`'s columns from three parallel lists: a column is Descending when its
  // direction word is exactly "DESC", CaseInsensitive when its case word is exactly
  // "NO_CASE"; MaxIndexedSize is 20. Lists of different lengths are refused with
  // "Error - different lists length. L1 = %d, L2 = %d" (10278, 10279).
  static void BuildColumns(TABSIndexDef& index, const std::vector<std::string>& field_names,
                           const std::vector<std::string>& directions, const std::vector<std::string>& cases);

  // The ObjectID of the first index, in list order, that serves a key of the given fields
  // for `session` (-1 when none does): it has at least as many columns; a temporary index
  // belongs to the session; column i names field i, a direction word "ASC"/"DESC" demands
  // that direction (other words accept both), a case word "CASE" on a string field demands
  // a case-sensitive column and "NO_CASE" a case-insensitive one (other words accept
  // both). `fields` gives the base types. A missing list is "Nil pointer occured"
  // (10389-10391); lists of different lengths "Error - different lists length" (10276,
  // 10277).
  int32_t FindMatchingIndex(const TABSFieldDefs& fields, const std::vector<std::string>* field_names,
                            const std::vector<std::string>* directions, const std::vector<std::string>* cases,
                            int32_t session) const;

 protected:
  std::unique_ptr<TABSMetaObjectDef> create_item() const override { return std::make_unique<TABSIndexDef>(); }
};

}  // namespace dadoveri
