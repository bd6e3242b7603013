// TABSAOTable: a base table (or the result of a derived table) as an operator: every field
// is an output column, conditions pushed down to it become its cursor's filter.
#pragma once

#include "engine/query/ao.h"

namespace dadoveri {

class TABSAOTable : public TABSAO {
 public:
  // Opens `table_name` of `database` for reading, its fields qualified by `name`.
  TABSAOTable(TABSAOContext& context, TABSDatabaseData& database, TABSBaseSession* session,
              const std::string& table_name, const std::string& name, bool in_memory);
  // The rows of `cursor` (the result of a derived table, not owned), qualified by `name`.
  TABSAOTable(TABSAOContext& context, TABSLocalCursor& cursor, const std::string& name);
  ~TABSAOTable() override;

  void Execute(bool live, TABSAO* outer, const void* outer_row) override;
  int64_t DoRecordCount() override;
  bool FindField(std::string_view table_name, std::string_view field_name, TABSExprFieldInfo& info) const override;
  const TABSRecordLayout& RecordLayout() const override;
  const void* CurrentRecord() const override;
  bool ReadMemo(int32_t field_no, const void* record, std::string& bytes) const override;
  const TABSIndexDefs* IndexDefs() const override;
  TABSLocalCursor* Cursor() const override { return cursor_; }
  void CollectTables(std::vector<TABSAO*>& tables) override;

  // Whether the rows are a base table's (not a derived table's).
  bool IsBaseTable() const { return owned_ != nullptr; }
  // Hands the cursor over as a query's live result.
  std::unique_ptr<TABSLocalCursor> TakeCursor();
  const std::string& Name() const { return name_; }
  // Read locks for the duration of execution.
  void LockForReading();
  void Unlock();

 private:
  // The record source expressions read and one column per table field.
  void bind_columns();

  std::unique_ptr<TABSLocalCursor> owned_;
  TABSLocalCursor* cursor_ = nullptr;
  std::unique_ptr<TABSCursorRecordSource> source_;
  std::string name_;
  bool filtered_ = false;
  bool locked_ = false;
};

}  // namespace dadoveri
