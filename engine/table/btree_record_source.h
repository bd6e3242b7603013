// The records an index reads: building an index from the table's records, fetching the
// record an entry points at, and breaking ties between cut text keys.
//
// TABSTableData serves it for every open table; the index tests also drive it through
// records kept in a map.
#pragma once

#include <cstdint>

#include "engine/table/btree.h"

namespace dadoveri {

class TABSIndexRecordSource {
 public:
  virtual ~TABSIndexRecordSource() = default;
  // Reads the record with identifier `id` into a memory record buffer; false when there is
  // no such record.
  virtual bool ReadRecord(int32_t session, const TABSRecordID& id, void* memory_record) = 0;
  // Storage-order walk for building an index: with `from_first` the first record, else the
  // record after `id`; the record's identifier comes back in `id`. False at the end.
  virtual bool ReadNextRecord(int32_t session, TABSRecordID& id, bool from_first, void* memory_record) = 0;
  // The table's change counter: +1 on every insert, update and delete.
  virtual int32_t TableChangeCounter() const = 0;
};

}  // namespace dadoveri
