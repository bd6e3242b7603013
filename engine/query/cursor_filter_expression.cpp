#include "engine/query/cursor_filter_expression.h"

#include <algorithm>

#include "engine/base/engine_error.h"
#include "engine/query/expr_text.h"
#include "engine/table/cursor.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"

namespace dadoveri {

bool TABSCursorRecordSource::FindField(std::string_view table_name, std::string_view field_name,
                                       TABSExprFieldInfo& info) const {
  if (!table_name.empty() && !ExprSameName(table_name, cursor_.TableName) &&
      (alias_.empty() || !ExprSameName(table_name, alias_)))
    return false;
  TABSTableData* table = cursor_.TableData();
  if (!table) return false;
  const TABSRecordLayout& layout = table->FieldManager().Layout();
  int32_t no = -1;
  std::string display;
  for (int32_t i = 0; i < layout.FieldCount() && no < 0; ++i)
    if (ExprSameName(layout.Field(i).Name, field_name)) no = i;
  if (no < 0) {
    // A visible name of a projection.
    for (int32_t i = 0; i < cursor_.VisibleFields.Count(); ++i) {
      const TABSFieldDef* f = cursor_.VisibleFields.Item(i);
      if (!ExprSameName(f->Name, field_name)) continue;
      if (f->TableFieldNo >= 0 && f->TableFieldNo < layout.FieldCount()) {
        no = f->TableFieldNo;
        display = f->Name;
      }
      break;
    }
  }
  if (no < 0) return false;
  const TABSFieldLayout& f = layout.Field(no);
  info.FieldNo = no;
  info.TableName = cursor_.TableName;
  info.FieldName = f.Name;
  info.DisplayName = display.empty() ? f.Name : display;
  info.ColumnType = f.ColumnType;
  info.BaseType = f.BaseType;
  info.Size = f.Size;
  info.MemoryDataSize = f.MemoryDataSize;
  info.MemoryOffset = f.MemoryOffset;
  return true;
}

const TABSRecordLayout& TABSCursorRecordSource::RecordLayout() const {
  if (!cursor_.TableData()) RaiseError(10380);
  return cursor_.TableData()->FieldManager().Layout();
}

const void* TABSCursorRecordSource::CurrentRecord() const {
  return record_ ? record_ : cursor_.CurrentRecord;
}

bool TABSCursorRecordSource::ReadMemo(int32_t field_no, const void* record, std::string& bytes) const {
  bytes.clear();
  TABSTableData* table = cursor_.TableData();
  if (!table || !record || !table->IsBlobField(field_no)) return false;
  // The whole uncompressed value: code-page bytes of a memo, UTF-16LE units of a wide memo.
  if (!table->GetBlobValue(OwnerSession(), field_no, record, memo_)) return false;
  bytes.assign(memo_.begin(), memo_.end());
  return true;
}

const TABSIndexDefs* TABSCursorRecordSource::IndexDefs() const {
  return cursor_.TableData() ? &cursor_.TableData()->IndexManager().IndexDefs : nullptr;
}

int32_t TABSCursorRecordSource::OwnerSession() const { return cursor_.Session ? cursor_.Session->SessionID : -1; }

bool TABSExpressionCursorFilter::Evaluate(const void* record, std::span<const void* const> covered) {
  source_.SetRecord(record);
  TABSExprNode* root = expression_.Root();
  if (!root) return true;
  auto is_covered = [&](const TABSExprNode* n) {
    return std::find(covered.begin(), covered.end(), static_cast<const void*>(n)) != covered.end();
  };
  if (covered.empty()) return expression_.GetBooleanValue();
  if (is_covered(root)) return true;
  if (root->Operator() != opAnd) return expression_.GetBooleanValue();
  // The conjuncts an index range answers are true for every record it yields.
  for (const auto& child : root->Children()) {
    if (is_covered(child.get())) continue;
    const TABSVariant& v = child->GetValue();
    if (v.IsNull() || !v.GetAsLogical()) return false;
  }
  return true;
}

bool TABSExpressionCursorFilter::IsCoveredBy(std::span<const void* const> covered) {
  TABSExprNode* root = expression_.Root();
  if (!root) return true;
  auto is_covered = [&](const TABSExprNode* n) {
    return std::find(covered.begin(), covered.end(), static_cast<const void*>(n)) != covered.end();
  };
  if (is_covered(root)) return true;
  if (root->Operator() != opAnd || root->ChildCount() == 0) return false;
  for (const auto& child : root->Children())
    if (!is_covered(child.get())) return false;
  return true;
}

namespace {

// Constants, the cursor's own fields, comparisons, the logical operators and casts over
// them; anything else (a subquery, EXISTS, a system value, a function that may read the
// clock, the session or a random source) is taken as depending on more.
bool depends_on_record_only(const TABSExprNode* n) {
  if (dynamic_cast<const TABSExprNodeConst*>(n) != nullptr) return n->ChildCount() == 0;
  if (const auto* f = dynamic_cast<const TABSExprNodeField*>(n)) return !f->IsOuter() && f->IsBoundToCursor();
  const auto* comparison = dynamic_cast<const TABSExprNodeComparison*>(n);
  const bool allowed = (comparison != nullptr && comparison->GetQuantifier() == TABSExprNodeComparison::qNone) ||
                       (dynamic_cast<const TABSExprNodeBoolean*>(n) != nullptr && n->Operator() != opExists) ||
                       dynamic_cast<const TABSExprNodeCast*>(n) != nullptr;
  if (!allowed) return false;
  for (int32_t i = 0; i < n->ChildCount(); ++i)
    if (!depends_on_record_only(n->Child(i))) return false;
  return true;
}

}  // namespace

bool TABSExpressionCursorFilter::DependsOnRecordOnly() {
  const TABSExprNode* root = expression_.Root();
  return root == nullptr || depends_on_record_only(root);
}

void TABSExpressionCursorFilter::AddSearchConditions(const TABSIndexDefs& indexes,
                                                     TABSScanSearchConditionArray& conditions) {
  expression_.AddSearchConditions(indexes, conditions);
}

namespace {

class ExpressionFilterFactory : public TABSCursorFilterFactory {
 public:
  std::unique_ptr<TABSCursorFilter> CompileFilter(TABSCursor& cursor, std::u16string_view text,
                                                  bool case_insensitive, bool partial) override {
    auto filter = std::make_unique<TABSExpressionCursorFilter>(cursor);
    filter->Expression().ParseFilter(&filter->Source(), text, case_insensitive, partial);
    return filter;
  }
  std::unique_ptr<TABSCursorFilter> CompileLocate(TABSCursor& cursor, std::string_view field_names,
                                                  std::span<const TABSVariant> values, bool partial,
                                                  bool case_insensitive) override {
    auto filter = std::make_unique<TABSExpressionCursorFilter>(cursor);
    filter->Expression().ParseLocateCondition(&filter->Source(), field_names, values, partial, case_insensitive);
    return filter;
  }
  std::unique_ptr<TABSCursorFilter> CompileComparison(TABSCursor& cursor, std::string_view field_name, uint8_t op,
                                                      const TABSVariant& value) override {
    auto filter = std::make_unique<TABSExpressionCursorFilter>(cursor);
    filter->Expression().ParseFieldCondition(&filter->Source(), field_name, value, op);
    return filter;
  }
};

}  // namespace

TABSCursorFilterFactory& CursorExpressionFilterFactory() {
  static ExpressionFilterFactory factory;
  return factory;
}

}  // namespace dadoveri
