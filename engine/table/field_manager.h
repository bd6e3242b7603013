// TABSBaseFieldManager: one per open table. Applies default values to new records and
// numbers autoincrement fields, keeping one counter (LastAutoinc) per field.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/table/record_layout.h"
#include "engine/table/session.h"

namespace dadoveri {

// Builds the default expression of a field from its default value, or answers null when
// the default is a constant. The expression engine installs it; until it does, every
// default is a constant.
using TABSDefaultExpressionBuilder = std::shared_ptr<TABSDefaultExpression> (*)(const TABSVariant& default_value);
void SetDefaultExpressionBuilder(TABSDefaultExpressionBuilder builder);
// Derives DefaultExpression from DefaultValue (as done when a definition is built or loaded).
void BuildDefaultExpression(TABSFieldLayout& field);

class TABSBaseFieldManager {
 public:
  explicit TABSBaseFieldManager(TABSRecordLayout layout = {});
  virtual ~TABSBaseFieldManager() = default;

  TABSRecordLayout& Layout() { return layout_; }
  const TABSRecordLayout& Layout() const { return layout_; }
  // Replaces the field list: recomputes the offsets and resets the counters.
  void SetFields(std::vector<TABSFieldLayout> fields);

  // Slot 0: the next autoincrement value of field i.
  virtual int64_t GetNextAutoincValue(int32_t field_no);
  // Slot 1: writes the defaults into a new record.
  virtual void ApplyDefaults(TABSBaseSession* session, void* memory_record);
  // Slot 2: numbers the autoincrement fields of a record about to be inserted.
  virtual void ApplyAutoincValues(TABSBaseSession* session, void* memory_record);
  // Slot 3: slot 0, remembered in the session as the field's last generated value.
  virtual int64_t GetNextAutoincValueInSession(TABSBaseSession* session, int32_t field_no);
  // Slot 4: the value the session last generated for field i (30012 when none).
  virtual int64_t GetLastAutoincValueInSession(TABSBaseSession* session, int32_t field_no);

  // A new record: all fields NULL, then the defaults.
  void NewRecord(TABSBaseSession* session, void* memory_record);

  // Every autoincrement field back at its InitialValue, every other at 0.
  void ResetAutoincCounters();
  std::vector<int64_t>& LastAutoinc() { return last_autoinc_; }
  // The counters' stored form: signed 32-bit count, then one signed 64-bit value per field,
  // little-endian. Loading takes as many values as the block holds and the list has.
  std::string SaveAutoincCounters() const;
  // The same into `block`, replacing what it held.
  void SaveAutoincCounters(std::string& block) const;
  void LoadAutoincCounters(const std::string& block);

  // True when the table has a BLOB field (10421 for a BLOB field with BlobBlockSize 0 met
  // before the first one with a block size).
  bool CheckBlobFields() const;

 protected:
  TABSRecordLayout layout_;
  std::vector<int64_t> last_autoinc_;
};

}  // namespace dadoveri
