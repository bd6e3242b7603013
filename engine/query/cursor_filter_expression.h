// The expression engine's side of cursor filters: TABSCursorRecordSource, the record
// source a filter binds to (a cursor's table fields, then its visible names), and
// TABSExpressionCursorFilter, a compiled filter, locate or comparison the cursor
// evaluates per record. CursorExpressionFilterFactory() compiles texts into them; a
// program that opens cursors registers it as the cursors' default factory.
#pragma once

#include <memory>
#include <vector>

#include "engine/query/expr_record_source.h"
#include "engine/query/expression.h"
#include "engine/table/cursor_filter.h"

namespace dadoveri {

class TABSCursor;

class TABSCursorRecordSource : public TABSExprRecordSource {
 public:
  explicit TABSCursorRecordSource(TABSCursor& cursor) : cursor_(cursor) {}
  bool FindField(std::string_view table_name, std::string_view field_name, TABSExprFieldInfo& info) const override;
  const TABSRecordLayout& RecordLayout() const override;
  const void* CurrentRecord() const override;
  // The memo text of `record` from the table's BLOB storage (or the buffer's pending
  // change of the field).
  bool ReadMemo(int32_t field_no, const void* record, std::string& bytes) const override;
  const TABSIndexDefs* IndexDefs() const override;
  int32_t OwnerSession() const override;
  // The record evaluations read from now on (null: the cursor's current record).
  void SetRecord(const void* record) { record_ = record; }
  // A second name the table's fields may be qualified with (an SQL table alias).
  void SetAlias(std::string alias) { alias_ = std::move(alias); }

 private:
  TABSCursor& cursor_;
  std::string alias_;
  const void* record_ = nullptr;
  // Reused between evaluations.
  mutable std::vector<uint8_t> memo_;
};

class TABSExpressionCursorFilter : public TABSCursorFilter {
 public:
  explicit TABSExpressionCursorFilter(TABSCursor& cursor) : source_(cursor) {}
  bool Evaluate(const void* record, std::span<const void* const> covered) override;
  void AddSearchConditions(const TABSIndexDefs& indexes, TABSScanSearchConditionArray& conditions) override;
  TABSScanExpression* ScanExpression() override { return &expression_; }
  bool IsCoveredBy(std::span<const void* const> covered) override;
  bool DependsOnRecordOnly() override;

  TABSCursorRecordSource& Source() { return source_; }
  TABSExpression& Expression() { return expression_; }

 private:
  TABSCursorRecordSource source_;
  TABSExpression expression_;
};

TABSCursorFilterFactory& CursorExpressionFilterFactory();

}  // namespace dadoveri
