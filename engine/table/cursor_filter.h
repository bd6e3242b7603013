// TABSCursorFilter: a compiled condition a cursor holds as its filter, its second
// expression or the condition of one locate. The table layer knows nothing of expression
// trees; the expression engine implements this interface, and a TABSCursorFilterFactory
// of the expression engine compiles texts into it. The cursor reaches the factory through
// a pointer it is given (or the process-wide default), never by including the engine.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "engine/table/index_def.h"
#include "engine/table/scan_search_condition.h"
#include "engine/table/variant.h"

namespace dadoveri {

class TABSCursor;

class TABSCursorFilter {
 public:
  virtual ~TABSCursorFilter() = default;
  // The condition on `record` (a memory record of the cursor's table), NULL counting as
  // false. The top-level conjuncts in `covered` (nodes an index plan answers) are taken as
  // true and not evaluated.
  virtual bool Evaluate(const void* record, std::span<const void* const> covered = {}) = 0;
  // Appends the index conditions the condition yields for `indexes` (each extended over
  // further columns where it can be).
  virtual void AddSearchConditions(const TABSIndexDefs& indexes, TABSScanSearchConditionArray& conditions) = 0;
  // The identity an expression condition of a scan carries for this filter.
  virtual TABSScanExpression* ScanExpression() = 0;
  // Whether taking the top-level conjuncts in `covered` as true leaves nothing to
  // evaluate (the condition then holds without its record being read).
  virtual bool IsCoveredBy(std::span<const void* const> /*covered*/) { return false; }
  // Whether the condition's answer for a record follows from that record's own fields and
  // the values compiled into it alone (no subquery, outer row, clock or other changing
  // value): the records it accepts then stay the same while the table is unchanged.
  virtual bool DependsOnRecordOnly() { return false; }
};

class TABSCursorFilterFactory {
 public:
  virtual ~TABSCursorFilterFactory() = default;
  // A filter text bound to `cursor`'s table fields.
  virtual std::unique_ptr<TABSCursorFilter> CompileFilter(TABSCursor& cursor, std::u16string_view text,
                                                          bool case_insensitive, bool partial) = 0;
  // `field = value` for each `;`-separated name, ANDed.
  virtual std::unique_ptr<TABSCursorFilter> CompileLocate(TABSCursor& cursor, std::string_view field_names,
                                                          std::span<const TABSVariant> values, bool partial,
                                                          bool case_insensitive) = 0;
  // One comparison `field op value` (op: the expression engine's operator code).
  virtual std::unique_ptr<TABSCursorFilter> CompileComparison(TABSCursor& cursor, std::string_view field_name,
                                                              uint8_t op, const TABSVariant& value) = 0;

  // The factory cursors use when they are given none; null until the expression engine
  // registers one.
  static TABSCursorFilterFactory* Default();
  static void SetDefault(TABSCursorFilterFactory* factory);
};

}  // namespace dadoveri
