// Constraint definitions of a table and their ordered list: NOT NULL, check (a value range
// of one field), unique and primary key (both through an index). Deriving a constraint
// from an index, resolving the references to fields and indexes, and generating the
// names of nameless constraints.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/table/meta_object_def.h"
#include "engine/table/variant.h"

namespace dadoveri {

class TABSFieldDefs;
class TABSIndexDef;
class TABSIndexDefs;

enum TABSConstraintType : uint8_t {
  ctPrimaryKey = 0,
  ctUnique = 2,
  ctNotNull = 3,
  ctCheck = 4,
};

// A named reference with the ID of the object it names (0 until resolved).
struct TABSConstraintReference {
  std::string Name;
  int32_t ID = 0;
  bool operator==(const TABSConstraintReference&) const = default;
};

class TABSConstraintDef : public TABSMetaObjectDef {
 public:
  explicit TABSConstraintDef(TABSConstraintType type) : ConstraintType(type) {}
  void Assign(const TABSMetaObjectDef& source) override;
  const char* ClassName() const override { return "TABSConstraintDef"; }

  // A new definition of the same class, not yet assigned.
  virtual std::unique_ptr<TABSConstraintDef> CreateSame() const = 0;

  TABSConstraintReference& FirstReference() { return References[0]; }
  TABSConstraintReference& TableName() { return References[1]; }
  TABSConstraintReference& TargetName() { return References[2]; }
  const TABSConstraintReference& TableName() const { return References[1]; }
  const TABSConstraintReference& TargetName() const { return References[2]; }

  TABSConstraintType ConstraintType;
  // The first reference is kept and stored; the table layer neither sets nor reads it.
  // The second names the owning table, the third the field (NOT NULL, check) or the index
  // (unique, primary key) the constraint is about.
  std::array<TABSConstraintReference, 3> References;
};

class TABSConstraintDefNotNull : public TABSConstraintDef {
 public:
  TABSConstraintDefNotNull() : TABSConstraintDef(ctNotNull) {}
  void Assign(const TABSMetaObjectDef& source) override;
  void LoadFromStream(TABSMetaReader& stream) override;
  void SaveToStream(TABSMetaWriter& stream) const override;
  const char* ClassName() const override { return "TABSConstraintDefNotNull"; }
  std::unique_ptr<TABSConstraintDef> CreateSame() const override { return std::make_unique<TABSConstraintDefNotNull>(); }

 protected:
  explicit TABSConstraintDefNotNull(TABSConstraintType type) : TABSConstraintDef(type) {}
};

class TABSConstraintDefCheck : public TABSConstraintDefNotNull {
 public:
  TABSConstraintDefCheck() : TABSConstraintDefNotNull(ctCheck) {}
  void Assign(const TABSMetaObjectDef& source) override;
  void LoadFromStream(TABSMetaReader& stream) override;
  void SaveToStream(TABSMetaWriter& stream) const override;
  const char* ClassName() const override { return "TABSConstraintDefCheck"; }
  std::unique_ptr<TABSConstraintDef> CreateSame() const override { return std::make_unique<TABSConstraintDefCheck>(); }

  TABSVariant MinValue;  // null: no bound
  TABSVariant MaxValue;
};

// One key column of a unique or primary-key constraint.
struct TABSConstraintColumn {
  std::string FieldName;
  int32_t FieldObjectID = 0;
  bool operator==(const TABSConstraintColumn&) const = default;
};

class TABSConstraintDefUnique : public TABSConstraintDef {
 public:
  TABSConstraintDefUnique() : TABSConstraintDef(ctUnique) {}
  void Assign(const TABSMetaObjectDef& source) override;
  void LoadFromStream(TABSMetaReader& stream) override;
  void SaveToStream(TABSMetaWriter& stream) const override;
  const char* ClassName() const override { return "TABSConstraintDefUnique"; }
  std::unique_ptr<TABSConstraintDef> CreateSame() const override { return std::make_unique<TABSConstraintDefUnique>(); }

  std::vector<TABSConstraintColumn> Columns;

 protected:
  explicit TABSConstraintDefUnique(TABSConstraintType type) : TABSConstraintDef(type) {}
};

class TABSConstraintDefPrimary : public TABSConstraintDefUnique {
 public:
  TABSConstraintDefPrimary() : TABSConstraintDefUnique(ctPrimaryKey) {}
  const char* ClassName() const override { return "TABSConstraintDefPrimary"; }
  std::unique_ptr<TABSConstraintDef> CreateSame() const override { return std::make_unique<TABSConstraintDefPrimary>(); }
};

// A new definition of the class of a constraint type code; null for any other code.
std::unique_ptr<TABSConstraintDef> CreateConstraintDef(uint8_t constraint_type);

// The constraint an index yields: a primary index a TABSConstraintDefPrimary named "C_PK",
// a unique one a TABSConstraintDefUnique named "C_Unique", each followed by "$" and the
// field name of every column; the target is the index. Null for an index that is neither.
std::unique_ptr<TABSConstraintDefUnique> DeriveConstraintFromIndex(const TABSIndexDef& index);

class TABSConstraintDefs : public TABSMetaObjectDefs {
 public:
  void LoadFromStream(TABSMetaReader& stream) override;
  void SaveToStream(TABSMetaWriter& stream) const override;
  // Copies each item into a new item of the same constraint class (duplicate names are
  // refused as in every list).
  void Assign(const TABSMetaObjectDefs& source) override;
  const char* ClassName() const override { return "TABSConstraintDefs"; }

  TABSConstraintDef* Item(int32_t index) const {
    return static_cast<TABSConstraintDef*>(TABSMetaObjectDefs::Item(index));
  }
  TABSConstraintDef* Find(std::string_view name) const {
    return static_cast<TABSConstraintDef*>(TABSMetaObjectDefs::Find(name));
  }

  // The typed add operations; the only way a constraint enters the list one by one.
  TABSConstraintDefNotNull* AddNotNull(const std::string& name, const std::string& field_name);
  TABSConstraintDefCheck* AddCheck(const std::string& name, const std::string& field_name,
                                   const TABSVariant& min_value, const TABSVariant& max_value);
  TABSConstraintDefPrimary* AddPrimary(const std::string& name, const std::string& index_name,
                                       const std::vector<std::string>& field_names);
  TABSConstraintDefUnique* AddUnique(const std::string& name, const std::string& index_name,
                                     const std::vector<std::string>& field_names);
  // Adds an existing definition (a derived one, for instance).
  TABSConstraintDef* AddConstraint(std::unique_ptr<TABSConstraintDef> constraint);

  // Every constraint's table reference becomes `table_name`.
  void SetTableName(const std::string& table_name);
  // Resolves the reference IDs: the target of a unique or primary-key constraint must
  // name an index ("Index '%s' not found", 30325 primary, 30326 unique) and each key
  // column a field ("Field '%s' not found", 30331 primary, 30332 unique); the target of a
  // NOT NULL or check constraint must name a field (30027).
  void ResolveReferences(const TABSFieldDefs& fields, const TABSIndexDefs& indexes);
  // Names every nameless constraint: "$C_NotNull$<table>$<field>" (or "$C_Check$…"),
  // followed by a random number below 65535 while the name is taken. A nameless unique
  // or primary-key constraint is refused with "Not implemented yet" (30038).
  void GenerateNames();
  // Position of the first unique or primary-key constraint whose target is the index
  // with this ObjectID; -1 when none.
  int32_t IndexOfDerived(int32_t index_object_id) const;
};

}  // namespace dadoveri
