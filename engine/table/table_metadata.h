// TABSTableMetadata: a table's structure as one block — the field, index and constraint
// lists followed by the record manager's and the BLOB manager's own sections — and its
// keeping in the table's metadata internal file (page type 8, compressed with ZLIB at
// mode 1).
#pragma once

#include <cstdint>
#include <string>

#include "engine/table/constraint_def.h"
#include "engine/table/field_def.h"
#include "engine/table/index_def.h"

namespace dadoveri {

class TABSPageManager;

class TABSTableMetadata {
 public:
  TABSFieldDefs Fields;
  TABSIndexDefs Indexes;
  TABSConstraintDefs Constraints;
  // The record manager's and the BLOB manager's sections, kept as the bytes that follow
  // the three lists. Record and BLOB storage write and parse them; until they do, the
  // bytes are carried unchanged.
  std::string StorageSections;

  // The metadata block.
  std::string Save() const;
  // Reads a block; on load the field offsets are recomputed and each default expression
  // rebuilt. A block that ends early raises the stream read error (10086); definitions
  // that no table could have are refused as their lists describe (40302, 40303, 40304,
  // 40301), and an index whose key could not even be measured in 32 bits with "Index key
  // is too large for the database page size" (20296).
  void Load(std::string_view block);

  void Assign(const TABSTableMetadata& source);

  // Renames a field and every index column that names it. "Field '%s' not found" (30343)
  // when `old_name` is missing; "Cannot rename field '%s'. Field '%s' already exists"
  // (30344) when `new_name` is taken by another field. Nothing changes on failure.
  void RenameField(const std::string& old_name, const std::string& new_name);
  // The memory record size; "Error creating table - no fields were specified" (10131)
  // for a table without fields.
  int32_t MemoryRecordSize() const;

 private:
  void check_index_key_sizes() const;
};

// Creates a table's metadata internal file in `session` and writes the block into it;
// returns the file's start page.
int32_t CreateTableMetadataFile(TABSPageManager& pages, int32_t session, const TABSTableMetadata& metadata);
// Rewrites the block of an existing metadata file.
void WriteTableMetadataFile(TABSPageManager& pages, int32_t session, int32_t start_page_no,
                            const TABSTableMetadata& metadata);
void ReadTableMetadataFile(TABSPageManager& pages, int32_t session, int32_t start_page_no,
                           TABSTableMetadata& metadata);

}  // namespace dadoveri
