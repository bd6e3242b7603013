// A dataset over rows kept in memory, for exercising the dataset model: each row has a
// stable id and one value per column; the record buffer holds the row id, its bookmark
// flag, the column values and the calculated values. Positioned at -1 (before the first
// row) … size (after the last).
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/dataset/dataset.h"

namespace dadoveri::testing {

class RowsDataSet : public TDataSet {
 public:
  struct Column {
    std::string Name;
    TFieldType Type;
    int32_t Size = 0;
  };
  struct Row {
    int64_t Id;
    std::vector<TFieldValue> Values;
  };

  explicit RowsDataSet(std::vector<Column> columns, TComponent* owner = nullptr)
      : TDataSet(owner), columns_(std::move(columns)) {}
  ~RowsDataSet() override {
    try {
      Close();
    } catch (...) {
    }
  }

  void AddRow(std::vector<TFieldValue> values) { rows_.push_back({next_id_++, std::move(values)}); }
  std::vector<Row>& Rows() { return rows_; }
  bool ReadOnlyRows = false;
  // Posts fail with a database error while set.
  bool RefusePost = false;

  int64_t RecordCount() override {
    CheckActive();
    int64_t n = 0;
    for (size_t i = 0; i < rows_.size(); ++i) n += accepted(i) ? 1 : 0;
    return n;
  }

 protected:
  struct Buffer {
    int64_t Id = -1;
    TBookmarkFlag Flag = TBookmarkFlag::bfCurrent;
    std::vector<TFieldValue> Values;
    std::vector<TFieldValue> Calc;
  };
  static Buffer& buf(TRecordBuffer b) { return *reinterpret_cast<Buffer*>(b); }

  TRecordBuffer AllocRecordBuffer() override {
    auto* b = new Buffer;
    b->Values.resize(columns_.size());
    b->Calc.resize(static_cast<size_t>(FieldCount()) + 1);
    return reinterpret_cast<TRecordBuffer>(b);
  }
  void FreeRecordBuffer(TRecordBuffer& b) override {
    delete reinterpret_cast<Buffer*>(b);
    b = nullptr;
  }
  bool accepted(size_t i) {
    if (!Filtered() || !OnFilterRecord()) return true;
    TRecordBuffer probe = AllocRecordBuffer();
    fill(probe, i);
    const bool ok = FilterRecord(probe);
    FreeRecordBuffer(probe);
    return ok;
  }
  void fill(TRecordBuffer b, size_t i) {
    buf(b).Id = rows_[i].Id;
    buf(b).Flag = TBookmarkFlag::bfCurrent;
    buf(b).Values = rows_[i].Values;
  }
  TGetResult GetRecord(TRecordBuffer b, TGetMode mode, bool) override {
    const int64_t n = static_cast<int64_t>(rows_.size());
    for (;;) {
      if (mode == TGetMode::gmNext) {
        if (pos_ >= n) return TGetResult::grEOF;
        if (++pos_ >= n) return TGetResult::grEOF;
      } else if (mode == TGetMode::gmPrior) {
        if (pos_ < 0) return TGetResult::grBOF;
        if (--pos_ < 0) return TGetResult::grBOF;
      } else if (pos_ < 0 || pos_ >= n) {
        return TGetResult::grError;
      }
      if (!accepted(static_cast<size_t>(pos_))) {
        if (mode == TGetMode::gmCurrent) return TGetResult::grError;
        continue;
      }
      fill(b, static_cast<size_t>(pos_));
      buf(b).Calc.assign(buf(b).Calc.size(), std::monostate{});
      CalculateFields(b);
      return TGetResult::grOK;
    }
  }
  void InternalOpen() override {
    FieldDefs.clear();
    for (size_t i = 0; i < columns_.size(); ++i)
      FieldDefs.push_back({columns_[i].Name, columns_[i].Type, columns_[i].Size, false, static_cast<int32_t>(i + 1)});
    CreateFields();
    open_ = true;
    pos_ = -1;
  }
  void InternalClose() override { open_ = false; }
  bool IsCursorOpen() const override { return open_; }
  void InternalFirst() override { pos_ = -1; }
  void InternalLast() override { pos_ = static_cast<int64_t>(rows_.size()); }
  int64_t index_of(int64_t id) const {
    for (size_t i = 0; i < rows_.size(); ++i)
      if (rows_[i].Id == id) return static_cast<int64_t>(i);
    return -1;
  }
  void InternalSetToRecord(TRecordBuffer b) override {
    const int64_t i = index_of(buf(b).Id);
    if (i >= 0) pos_ = i;
  }
  void InternalInitRecord(TRecordBuffer b) override {
    buf(b).Id = -1;
    buf(b).Values.assign(columns_.size(), std::monostate{});
  }
  void InternalAddRecord(TRecordBuffer b, bool append) override {
    Row r{next_id_++, buf(b).Values};
    if (append || pos_ < 0 || pos_ >= static_cast<int64_t>(rows_.size())) rows_.push_back(r);
    else rows_.insert(rows_.begin() + pos_, r);
  }
  void InternalPost() override {
    if (RefusePost) DatabaseError(kMsgOperationNotSupported, this);
    Buffer& b = buf(ActiveBuffer());
    if (State() == TDataSetState::dsInsert) {
      Row r{next_id_++, b.Values};
      int64_t at = b.Flag == TBookmarkFlag::bfEOF ? static_cast<int64_t>(rows_.size()) : pos_;
      if (at < 0) at = 0;
      if (at > static_cast<int64_t>(rows_.size())) at = static_cast<int64_t>(rows_.size());
      rows_.insert(rows_.begin() + at, r);
      b.Id = r.Id;
      pos_ = at;
    } else {
      const int64_t i = index_of(b.Id);
      if (i >= 0) rows_[static_cast<size_t>(i)].Values = b.Values;
    }
  }
  void InternalDelete() override {
    if (pos_ >= 0 && pos_ < static_cast<int64_t>(rows_.size())) rows_.erase(rows_.begin() + pos_);
  }
  bool GetCanModify() const override { return !ReadOnlyRows; }
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer b) override { return buf(b).Flag; }
  void SetBookmarkFlag(TRecordBuffer b, TBookmarkFlag f) override { buf(b).Flag = f; }
  TBookmark GetBookmarkData(TRecordBuffer b) override {
    TBookmark m(sizeof(int64_t));
    std::memcpy(m.data(), &buf(b).Id, sizeof(int64_t));
    return m;
  }
  void InternalGotoBookmark(const TBookmark& m) override {
    int64_t id = -1;
    std::memcpy(&id, m.data(), sizeof(int64_t));
    pos_ = index_of(id);
  }
  void ClearCalcFields(TRecordBuffer b) override { buf(b).Calc.assign(buf(b).Calc.size(), std::monostate{}); }

 public:
  bool GetFieldData(const TField& field, TFieldValue& value) override {
    TRecordBuffer b = ActiveRecordBuffer();
    if (!b) return false;
    if (field.InCalcArea()) {
      const int i = Fields().IndexOf(&field);
      value = buf(b).Calc.at(static_cast<size_t>(i));
    } else {
      value = buf(b).Values.at(static_cast<size_t>(field.FieldNo - 1));
    }
    return !std::holds_alternative<std::monostate>(value);
  }

 protected:
  void SetFieldData(TField& field, const TFieldValue& value) override {
    TRecordBuffer b = ActiveRecordBuffer();
    if (field.InCalcArea()) buf(b).Calc.at(static_cast<size_t>(Fields().IndexOf(&field))) = value;
    else buf(b).Values.at(static_cast<size_t>(field.FieldNo - 1)) = value;
  }

 private:
  std::vector<Column> columns_;
  std::vector<Row> rows_;
  int64_t next_id_ = 1;
  int64_t pos_ = -1;
  bool open_ = false;
};

}  // namespace dadoveri::testing
