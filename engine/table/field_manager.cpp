#include "engine/table/field_manager.h"

#include <atomic>
#include <cstring>

#include "engine/base/engine_error.h"

namespace dadoveri {

namespace {

std::atomic<TABSDefaultExpressionBuilder> g_builder{nullptr};

}  // namespace

void SetDefaultExpressionBuilder(TABSDefaultExpressionBuilder builder) { g_builder.store(builder); }

void BuildDefaultExpression(TABSFieldLayout& field) {
  field.DefaultExpression.reset();
  const TABSDefaultExpressionBuilder builder = g_builder.load();
  if (builder == nullptr || field.DefaultValue.IsNull() || !field.DefaultValue.IsString()) return;
  field.DefaultExpression = builder(field.DefaultValue);
}

TABSBaseFieldManager::TABSBaseFieldManager(TABSRecordLayout layout) : layout_(std::move(layout)) {
  layout_.RecomputeOffsets();
  ResetAutoincCounters();
}

void TABSBaseFieldManager::SetFields(std::vector<TABSFieldLayout> fields) {
  layout_.Fields() = std::move(fields);
  layout_.RecomputeOffsets();
  ResetAutoincCounters();
}

void TABSBaseFieldManager::ResetAutoincCounters() {
  last_autoinc_.assign(layout_.Fields().size(), 0);
  for (size_t i = 0; i < layout_.Fields().size(); ++i)
    if (IsAutoincColumnType(layout_.Fields()[i].ColumnType)) last_autoinc_[i] = layout_.Fields()[i].InitialValue;
}

int64_t TABSBaseFieldManager::GetNextAutoincValue(int32_t field_no) {
  if (field_no < 0 || field_no >= layout_.FieldCount()) RaiseError(30402, field_no);
  if (static_cast<size_t>(field_no) >= last_autoinc_.size()) RaiseError(30403, field_no);
  const TABSFieldLayout& f = layout_.Field(field_no);
  int64_t& last = last_autoinc_[static_cast<size_t>(field_no)];
  const int64_t step = f.Increment == 0 ? 1 : f.Increment;
  last = static_cast<int64_t>(static_cast<uint64_t>(last) + static_cast<uint64_t>(step));
  if (f.MaxValue != 0 && last > f.MaxValue) {
    if (!f.Cycled) {
      last -= step;  // the counter stays where it was: the value was not given out
      RaiseError(20160, f.Name);
    }
    last = f.MinValue;
  }
  return last;
}

int64_t TABSBaseFieldManager::GetNextAutoincValueInSession(TABSBaseSession* session, int32_t field_no) {
  const int64_t value = GetNextAutoincValue(field_no);
  if (session) session->SetLastSequenceValue(layout_.Field(field_no).ObjectID, layout_.Field(field_no).Name, value);
  return value;
}

int64_t TABSBaseFieldManager::GetLastAutoincValueInSession(TABSBaseSession* session,
                                                           int32_t field_no) {
  if (field_no < 0 || field_no >= layout_.FieldCount()) RaiseError(30402, field_no);
  const TABSFieldLayout& f = layout_.Field(field_no);
  int64_t value;
  if (session == nullptr || !session->GetLastSequenceValue(f.ObjectID, value)) RaiseError(30012, f.Name);
  return value;
}

void TABSBaseFieldManager::ApplyDefaults(TABSBaseSession*, void* memory_record) {
  for (int32_t i = 0; i < layout_.FieldCount(); ++i) {
    const TABSFieldLayout& f = layout_.Field(i);
    if (f.DefaultValue.IsNull()) continue;
    if (f.DefaultExpression) {
      TABSVariant result;
      f.DefaultExpression->Evaluate(result);
      result.ConvertTo(f.BaseType);
      layout_.SetFieldValue(i, result, memory_record);
    } else {
      layout_.SetFieldValue(i, f.DefaultValue, memory_record);
    }
    layout_.ClearNull(i, memory_record);
  }
}

void TABSBaseFieldManager::NewRecord(TABSBaseSession* session, void* memory_record) {
  layout_.InitRecord(memory_record);
  ApplyDefaults(session, memory_record);
}

void TABSBaseFieldManager::ApplyAutoincValues(TABSBaseSession* session, void* memory_record) {
  uint8_t* record = static_cast<uint8_t*>(memory_record);
  for (int32_t i = 0; i < layout_.FieldCount(); ++i) {
    const TABSFieldLayout& f = layout_.Field(i);
    if (!IsAutoincColumnType(f.ColumnType)) continue;
    if (layout_.IsNull(i, memory_record)) {
      const int64_t value = GetNextAutoincValueInSession(session, i);
      std::memcpy(record + f.MemoryOffset, &value, static_cast<size_t>(f.MemoryDataSize));  // low bytes
      layout_.ClearNull(i, memory_record);
    } else {
      int64_t supplied = 0;
      std::memcpy(&supplied, record + f.MemoryOffset, static_cast<size_t>(f.MemoryDataSize));
      int64_t& last = last_autoinc_[static_cast<size_t>(i)];
      if (supplied > last) {
        last = supplied;
        if (session) session->SetLastSequenceValue(f.ObjectID, f.Name, supplied);
      }
    }
  }
}

std::string TABSBaseFieldManager::SaveAutoincCounters() const {
  std::string block;
  SaveAutoincCounters(block);
  return block;
}

void TABSBaseFieldManager::SaveAutoincCounters(std::string& block) const {
  block.clear();
  const int32_t count = static_cast<int32_t>(last_autoinc_.size());
  block.append(reinterpret_cast<const char*>(&count), 4);
  for (int64_t v : last_autoinc_) block.append(reinterpret_cast<const char*>(&v), 8);
}

void TABSBaseFieldManager::LoadAutoincCounters(const std::string& block) {
  ResetAutoincCounters();
  if (block.size() < 4) RaiseError(20164);
  int32_t count;
  std::memcpy(&count, block.data(), 4);
  if (count < 0 || block.size() < 4 + static_cast<size_t>(count) * 8) RaiseError(20164);
  for (int32_t i = 0; i < count && static_cast<size_t>(i) < last_autoinc_.size(); ++i)
    std::memcpy(&last_autoinc_[static_cast<size_t>(i)], block.data() + 4 + 8 * i, 8);
}

bool TABSBaseFieldManager::CheckBlobFields() const {
  for (const TABSFieldLayout& f : layout_.Fields()) {
    if (!IsBlobBaseType(f.BaseType)) continue;
    if (f.BlobBlockSize != 0) return true;
    RaiseError(10421, f.Name);
  }
  return false;
}

}  // namespace dadoveri
