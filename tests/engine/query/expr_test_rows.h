// In-memory rows behind the expression engine's two seams, for its tests: TestRows is a
// table (a record layout, memory records, memo values on the side, index definitions)
// that expressions bind to as a cursor or as a query operator; TestQueryContext compiles
// `SELECT field [, field] FROM table [WHERE condition]` over such tables with the
// expression engine itself, so subqueries, correlation, LASTAUTOINC and ROWNUM run for
// real.
#pragma once

#include <cstring>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/query/expr_query_context.h"
#include "engine/query/expr_record_source.h"
#include "engine/query/expr_text.h"
#include "engine/query/expression.h"
#include "engine/query/keywords.h"
#include "engine/query/lexer.h"
#include "engine/table/comparison.h"
#include "engine/table/index_def.h"
#include "engine/table/scan_search_condition.h"
#include "engine/table/record_layout.h"
#include "tests/engine/test_support.h"

namespace dadoveri::testing {

struct TestField {
  TestField(std::string name, TABSColumnType type, int32_t size = 0, std::string display_name = {})
      : Name(std::move(name)), Type(type), Size(size), DisplayName(std::move(display_name)) {}
  std::string Name;
  TABSColumnType Type;
  int32_t Size;
  std::string DisplayName;
};

class TestRows : public TABSExprRecordSource {
 public:
  TestRows(std::string table_name, const std::vector<TestField>& fields) : table_name_(std::move(table_name)) {
    std::vector<TABSFieldLayout> layouts;
    for (const TestField& f : fields) {
      TABSFieldLayout l;
      l.Name = f.Name;
      l.SetType(f.Type, f.Size);
      layouts.push_back(std::move(l));
      display_names_.push_back(f.DisplayName);
    }
    layout_ = TABSRecordLayout(std::move(layouts));
    layout_.RecomputeOffsets();
  }

  // Appends a row; a memo field takes its value's text whole (NULL when null).
  void AddRow(const std::vector<TABSVariant>& values) {
    auto record = std::make_unique<std::vector<uint8_t>>(static_cast<size_t>(layout_.MemoryRecordSize()));
    layout_.InitRecord(record->data());
    const size_t row = rows_.size();
    for (int32_t i = 0; i < layout_.FieldCount() && i < static_cast<int32_t>(values.size()); ++i) {
      const TABSVariant& v = values[static_cast<size_t>(i)];
      if (IsBlobBaseType(layout_.Field(i).BaseType)) {
        if (v.IsNull()) continue;
        // Memo text without its terminator, as a BLOB stream holds it.
        const size_t unit = v.IsWideString() ? 2 : 1;
        const size_t size = static_cast<size_t>(v.DataSize());
        memos_[{row, i}] = std::string(static_cast<const char*>(v.Data()), size >= unit ? size - unit : size);
        layout_.ClearNull(i, record->data());
      } else {
        layout_.SetFieldValue(i, v, record->data());
      }
    }
    rows_.push_back(std::move(record));
  }

  int32_t RowCount() const { return static_cast<int32_t>(rows_.size()); }
  void SetCurrent(int32_t row) { current_ = row < 0 ? nullptr : rows_[static_cast<size_t>(row)]->data(); }
  const uint8_t* Row(int32_t row) const { return rows_[static_cast<size_t>(row)]->data(); }
  const std::string& TableName() const { return table_name_; }

  TABSIndexDef& AddIndex(const std::string& name, const std::vector<TABSIndexColumn>& columns) {
    TABSIndexDef* d = indexes_.AddIndexDef();
    d->Name = name;
    d->ObjectID = 100 + indexes_.Count();
    d->Columns = columns;
    return *d;
  }
  TABSIndexDefs& Indexes() { return indexes_; }
  void SetOwnerSession(int32_t s) { session_ = s; }

  bool FindField(std::string_view table_name, std::string_view field_name, TABSExprFieldInfo& info) const override {
    if (!table_name.empty() && !ExprSameName(table_name, table_name_)) return false;
    for (int pass = 0; pass < 2; ++pass) {
      for (int32_t i = 0; i < layout_.FieldCount(); ++i) {
        const std::string& name = pass == 0 ? layout_.Field(i).Name : display_names_[static_cast<size_t>(i)];
        if (name.empty() || !ExprSameName(name, field_name)) continue;
        const TABSFieldLayout& f = layout_.Field(i);
        info.FieldNo = i;
        info.TableName = table_name_;
        info.FieldName = f.Name;
        info.DisplayName = display_names_[static_cast<size_t>(i)].empty() ? f.Name : display_names_[static_cast<size_t>(i)];
        info.ColumnType = f.ColumnType;
        info.BaseType = f.BaseType;
        info.Size = f.Size;
        info.MemoryDataSize = f.MemoryDataSize;
        info.MemoryOffset = f.MemoryOffset;
        return true;
      }
    }
    return false;
  }
  const TABSRecordLayout& RecordLayout() const override { return layout_; }
  const void* CurrentRecord() const override { return current_; }
  bool ReadMemo(int32_t field_no, const void* record, std::string& bytes) const override {
    for (size_t r = 0; r < rows_.size(); ++r) {
      if (rows_[r]->data() != record) continue;
      const auto it = memos_.find({r, field_no});
      if (it == memos_.end()) return false;
      bytes = it->second;
      return true;
    }
    return false;
  }
  const TABSIndexDefs* IndexDefs() const override { return &indexes_; }
  int32_t OwnerSession() const override { return session_; }

 private:
  std::string table_name_;
  TABSRecordLayout layout_;
  std::vector<std::string> display_names_;
  std::vector<std::unique_ptr<std::vector<uint8_t>>> rows_;
  std::map<std::pair<size_t, int32_t>, std::string> memos_;
  const void* current_ = nullptr;
  TABSIndexDefs indexes_;
  int32_t session_ = -1;
};

// A compiled `SELECT f [, g] FROM t [WHERE c]` over TestRows; correlated when its
// condition refers to a field of the enclosing query's table.
class TestSubquery : public TABSExprSubquery {
 public:
  TestSubquery(TestRows* table, std::vector<int32_t> fields, std::unique_ptr<TABSExpression> where, bool correlated,
               int* executions)
      : table_(table), fields_(std::move(fields)), where_(std::move(where)), correlated_(correlated),
        executions_(executions) {}
  bool IsCorrelated() const override { return correlated_; }
  int32_t FieldCount() const override { return static_cast<int32_t>(fields_.size()); }
  TABSColumnType FieldType(int32_t i) const override {
    return table_->RecordLayout().Field(fields_[static_cast<size_t>(i)]).ColumnType;
  }
  int32_t FieldSize(int32_t i) const override { return table_->RecordLayout().Field(fields_[static_cast<size_t>(i)]).Size; }
  void Execute() override {
    ++*executions_;
    matches_.clear();
    for (int32_t r = 0; r < table_->RowCount(); ++r) {
      table_->SetCurrent(r);
      if (!where_ || where_->GetBooleanValue()) matches_.push_back(r);
    }
    next_ = 0;
    row_ = -1;
  }
  bool NextRow() override {
    if (next_ >= matches_.size()) return false;
    row_ = matches_[next_++];
    return true;
  }
  void GetFieldValue(int32_t i, TABSVariant& value) override {
    table_->RecordLayout().GetFieldValue(fields_[static_cast<size_t>(i)], table_->Row(row_), value, true);
  }

 private:
  TestRows* table_;
  std::vector<int32_t> fields_;
  std::unique_ptr<TABSExpression> where_;
  bool correlated_;
  int* executions_;
  std::vector<int32_t> matches_;
  size_t next_ = 0;
  int32_t row_ = -1;
};

class TestQueryContext : public TABSExprQueryContext {
 public:
  // `outer` is the enclosing query's table (fields of it make a subquery correlated).
  explicit TestQueryContext(TestRows* outer) : outer_(outer) {}
  void AddTable(TestRows* t) { tables_[t->TableName()] = t; }

  std::unique_ptr<TABSExprSubquery> CompileSubquery(TABSLexer& lexer, int32_t select_position,
                                                    int32_t last_position) override {
    const std::vector<TToken>& tokens = lexer.Commands()[static_cast<size_t>(lexer.CurrentCommandIndex())].Tokens;
    int32_t at = select_position + 1;
    std::vector<std::string> names;
    for (;;) {
      names.push_back(ExprUtf8(tokens[static_cast<size_t>(at)].text));
      ++at;
      if (tokens[static_cast<size_t>(at)].kind != tkComma) break;
      ++at;
    }
    ++at;  // FROM
    const std::string table_name = ExprUtf8(tokens[static_cast<size_t>(at)].text);
    ++at;
    TestRows* table = tables_.at(table_name);
    std::vector<int32_t> fields;
    for (const std::string& n : names) {
      TABSExprFieldInfo info;
      if (!table->FindField("", n, info)) RaiseError(30197, n);
      fields.push_back(info.FieldNo);
    }
    std::unique_ptr<TABSExpression> where;
    bool correlated = false;
    if (at <= last_position) {  // WHERE
      lexer.SetPosition(at + 1);
      where = std::make_unique<TABSExpression>();
      where->ParseCondition(this, lexer);
      TABSExprRecordSource* inner[] = {table};
      TABSExprRecordSource* outer[] = {outer_};
      where->BindToOperators(inner, outer_ ? TABSExprSources(outer) : TABSExprSources());
      correlated = uses_outer(where->Root());
    }
    return std::make_unique<TestSubquery>(table, fields, std::move(where), correlated, &executions);
  }
  TABSColumnType LastAutoincType(std::string_view, std::string_view, bool) override { return ctInteger; }
  void LastAutoinc(std::string_view table, std::string_view field, bool in_memory, TABSVariant& value) override {
    value.Clear(btInteger);
    const auto it = autoinc.find(std::string(table) + "." + std::string(field) + (in_memory ? ":memory" : ""));
    if (it != autoinc.end()) value.SetAsInteger(it->second);
  }
  int64_t RowNum() override { return row_num; }
  std::string DatabaseName() const override { return "testdb"; }
  bool InMemory() const override { return false; }

  std::map<std::string, int32_t> autoinc;
  int64_t row_num = 0;
  int executions = 0;

 private:
  static bool uses_outer(const TABSExprNode* n) {
    if (auto f = dynamic_cast<const TABSExprNodeField*>(n); f != nullptr && f->IsOuter()) return true;
    for (int32_t i = 0; i < n->ChildCount(); ++i)
      if (uses_outer(n->Child(i))) return true;
    return false;
  }

  TestRows* outer_;
  std::map<std::string, TestRows*> tables_;
};

inline TABSVariant Int(int32_t v) {
  TABSVariant x(btInteger);
  x.SetAsInteger(v);
  return x;
}
inline TABSVariant Str(std::string_view v) {
  TABSVariant x(btString);
  x.SetAsString(v);
  return x;
}
inline TABSVariant Wide(std::u16string_view v) {
  TABSVariant x(btWideString);
  x.SetAsWideString(v);
  return x;
}
inline TABSVariant Real(double v) {
  TABSVariant x(btFloat);
  x.SetAsFloat(v);
  return x;
}
inline TABSVariant Day(int y, int m, int d) {
  TABSVariant x(btDate);
  x.SetAsDate(*EncodeDayNumber(y, m, d));
  return x;
}
inline TABSVariant Bool(bool v) {
  TABSVariant x(btLogical);
  x.SetAsLogical(v);
  return x;
}
inline TABSVariant Null() { return TABSVariant(btInteger); }

// The records (numbered from 1) whose key lies in the condition's range, compared as the
// index orders keys: what a range scan of that index would read.
inline std::set<int> RecordsInRange(TestRows& t, const TABSIndexDef& index, const TABSScanSearchCondition& c) {
  const TABSRecordLayout& layout = t.RecordLayout();
  std::set<int> out;
  for (int32_t r = 0; r < t.RowCount(); ++r) {
    int order = 0;
    for (int32_t j = 0; j < c.KeyFieldCount && order == 0; ++j) {
      const TABSIndexColumn& col = index.Columns[static_cast<size_t>(j)];
      TABSExprFieldInfo info;
      if (!t.FindField("", col.FieldName, info)) RaiseError(30115, col.FieldName);
      TABSVariant a, k;
      layout.GetFieldValue(info.FieldNo, t.Row(r), a);
      layout.GetFieldValue(info.FieldNo, c.KeyBuffer.data(), k);
      int32_t prefix = -1;
      if (c.Partial && !k.IsNull() && k.IsString())
        prefix = static_cast<int32_t>(k.IsWideString() ? k.GetAsWideString().size() : k.GetAsString().size());
      const int code = CompareValues(a.Data(), a.ValueType(), a.IsNull(), k.Data(), k.ValueType(), k.IsNull(),
                                     col.CaseInsensitive, prefix, a.DataSize(), k.DataSize());
      order = CompareResultOrder(code) * (col.Descending ? -1 : 1);
    }
    const bool in = c.Kind == sckEqual ? order == 0
                    : c.Kind == sckBefore ? order < 0
                    : c.Kind == sckAfter ? order > 0
                    : c.Kind == sckBeforeOrEqual ? order <= 0
                                                 : order >= 0;
    if (in) out.insert(r + 1);
  }
  return out;
}

}  // namespace dadoveri::testing
