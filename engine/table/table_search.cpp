// The navigation services of the table data object and the one search routine that
// restricted cursors go through: next and prior steps, locate, find key and the filling
// of the filter bitmap.
//
// A search gathers every restriction as scan search conditions, lets the cursor's filters
// turn what an index can answer into index conditions, merges those per index (finding
// contradictions before any record is read), chooses the cheapest access path (a range of
// one index or a walk in the cursor's order) and runs it, evaluating per record only what
// the path does not answer.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "engine/base/engine_error.h"
#include "engine/storage/page_manager.h"
#include "engine/table/column_type.h"
#include "engine/table/cursor.h"
#include "engine/table/cursor_filter.h"
#include "engine/table/database_data.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"

namespace dadoveri {

namespace {

int32_t session_of(const TABSCursor* cursor) {
  if (!cursor || !cursor->Session) RaiseError(10009);
  return cursor->Session->SessionID;
}

// One index condition of a search, with where it came from and the expression nodes it
// answers when it bounds the chosen range.
struct Cond {
  TABSScanSearchCondition c;
  bool from_expression = false;
  std::vector<const void*> covers;
  // The nodes that hold for an entry whose stored key passes the condition's test.
  std::vector<const void*> key_tested;
  // The nodes that hold for every entry of a range that holds no NULL key.
  std::vector<const void*> non_null;
};

// The fewest records a bounded storage-order walk reads before it gives up on a range that
// costs less (a screenful of steps usually finds its records within them).
constexpr int64_t kMinimumWalkBudget = 64;

bool is_lower(uint8_t kind) { return kind == sckAfter || kind == sckAfterOrEqual; }
bool is_upper(uint8_t kind) { return kind == sckBefore || kind == sckBeforeOrEqual; }

// Whether `c` (the record's key against the condition's key) satisfies the kind.
bool kind_holds(uint8_t kind, int c) {
  switch (kind) {
    case sckEqual: return c == 0;
    case sckBefore: return c < 0;
    case sckAfter: return c > 0;
    case sckBeforeOrEqual: return c <= 0;
    case sckAfterOrEqual: return c >= 0;
    default: return true;
  }
}

TABSIndexKeyCondition key_condition(const Cond* cond) {
  TABSIndexKeyCondition k;
  if (!cond) return k;
  k.Kind = cond->c.Kind;
  k.KeyRecord = cond->c.KeyBuffer.data();
  k.KeyFieldCount = cond->c.KeyFieldCount;
  k.Partial = cond->c.Partial;
  return k;
}

void add_covers(std::vector<const void*>& to, const std::vector<const void*>& from) {
  for (const void* node : from)
    if (std::find(to.begin(), to.end(), node) == to.end()) to.push_back(node);
}

// A target in an index for a record and its identifier: entries order by key, then by
// identifier, so the target sits exactly where that entry is or would be.
struct PositionTarget {
  std::vector<uint8_t> key;
  TABSBTreeTarget target;
  PositionTarget(TABSBTreeRecordIndex& index, const void* record, const TABSRecordID& id)
      : key(static_cast<size_t>(index.KeyRef().PageKeySize()) + 16) {
    index.KeyRef().BuildPageKey(record, key.data());
    target.Key = key.data();
    target.Record = record;
    target.HasRecordID = true;
    target.RecordID = id;
  }
};

// The first entry after (forward) or the last entry before the position's entry.
bool seek_beside(TABSBTreeRecordIndex& index, int32_t session, const void* record, const TABSRecordID& id,
                 bool forward, TABSKeyPath& path) {
  const PositionTarget t(index, record, id);
  if (forward) return index.Tree().Seek(session, t.target, true, path);
  if (index.Tree().Seek(session, t.target, false, path)) return index.Prior(session, path);
  return index.Last(session, path);
}

}  // namespace

// ---- positions ----

void TABSTableData::land(TABSCursor* cursor, const TABSRecordID& id, const void* record) {
  cursor->Position = id;
  cursor->AtBegin = cursor->AtEnd = false;
  if (record) {
    const auto* bytes = static_cast<const uint8_t*>(record);
    cursor->PositionKey.assign(bytes, bytes + MemoryRecordSize());
    cursor->PositionKeyID = id;
    cursor->PositionKeyValid = true;
  } else {
    cursor->PositionKeyValid = false;
  }
}

bool TABSTableData::position_key(TABSCursor* cursor, int32_t session) {
  if (cursor->PositionKeyValid && cursor->PositionKeyID == cursor->Position) return true;
  cursor->PositionKey.resize(static_cast<size_t>(MemoryRecordSize()));
  if (!ReadRecord(session, cursor->Position, cursor->PositionKey.data())) {
    cursor->PositionKeyValid = false;
    return false;
  }
  cursor->PositionKeyID = cursor->Position;
  cursor->PositionKeyValid = true;
  return true;
}

// ---- get record ----

int32_t TABSTableData::GetRecord(TABSCursor* cursor, int32_t mode) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  const int32_t session = session_of(cursor);
  if (mode < grmCurrent || mode > grmPrior) RaiseError(20078);
  if (!cursor->CurrentRecord) RaiseError(10011);
  if (record_manager_->RecordCount == 0) {
    cursor->GoToEnd();
    return grrEndReached;
  }
  if (mode == grmCurrent) {
    if (cursor->AtBegin || cursor->AtEnd) return grrNotFound;
    if (!ReadRecord(session, cursor->Position, cursor->CurrentRecord)) return grrNotFound;
    land(cursor, cursor->Position, cursor->CurrentRecord);
    if (cursor->IsRestricted() && !cursor->RecordPassesRestrictions(cursor->CurrentRecord)) return grrNotFound;
    return grrFound;
  }
  const bool forward = mode == grmNext;
  if (forward && cursor->AtEnd) return grrEndReached;
  if (!forward && cursor->AtBegin) return grrBeginReached;
  int32_t result;
  if (!cursor->IsRestricted()) {
    result = plain_step(cursor, session, forward);
  } else if (cursor->Bitmap.IsCurrent(record_manager_->ChangeCounter)) {
    result = bitmap_step(cursor, session, forward);
  } else {
    result = search_step(cursor, session, forward);
  }
  if (result == grrBeginReached) cursor->GoToBegin();
  if (result == grrEndReached) cursor->GoToEnd();
  return result;
}

int32_t TABSTableData::plain_step(TABSCursor* cursor, int32_t session, bool forward) {
  const bool from_end = forward ? cursor->AtBegin : cursor->AtEnd;
  if (cursor->IsIndexActive()) {
    // The step continues from the key and identifier of the position, so that a record
    // another cursor deleted or moved does not strand the cursor.
    index_manager_->RefreshTemporaryIndex(session, cursor->ActiveIndexID);
    TABSBTreeRecordIndex& index = *index_manager_->OpenIndex(cursor->ActiveIndexID);
    TABSKeyPath path;
    bool found;
    if (from_end) {
      found = forward ? index.First(session, path) : index.Last(session, path);
    } else {
      if (!position_key(cursor, session)) return grrNotFound;
      found = seek_beside(index, session, cursor->PositionKey.data(), cursor->Position, forward, path);
    }
    if (!found) return forward ? grrEndReached : grrBeginReached;
    const TABSRecordID id = index.RecordIDAt(session, path);
    if (!ReadRecord(session, id, cursor->CurrentRecord)) RaiseError(20253);
    land(cursor, id, cursor->CurrentRecord);
    return grrFound;
  }
  TABSRecordGetRequest request;
  request.Mode = forward ? grmNext : grmPrior;
  request.GoToFirst = cursor->AtBegin;
  request.GoToLast = cursor->AtEnd;
  request.RecordID = cursor->Position;
  request.RecordBuffer = cursor->CurrentRecord;
  record_manager_->GetRecord(session, request);
  if (request.Result == grrFound) land(cursor, request.RecordID, cursor->CurrentRecord);
  return request.Result;
}

int64_t TABSTableData::bitmap_bit_of_position(TABSCursor* cursor, int32_t session, bool* exact) {
  if (exact) *exact = true;
  if (!cursor->Bitmap.IndexOrder) return RecordOrdinal(cursor->Position);
  if (!position_key(cursor, session)) return -1;
  TABSBTreeRecordIndex& index = *index_manager_->OpenIndex(cursor->ActiveIndexID);
  const PositionTarget t(index, cursor->PositionKey.data(), cursor->Position);
  TABSKeyPath path;
  // The position's entry, or (when another cursor deleted the record) the entry that
  // follows where it was.
  if (!index.Tree().Seek(session, t.target, false, path)) {
    if (exact) *exact = false;
    return cursor->Bitmap.Bits.Size();
  }
  if (exact) *exact = index.RecordIDAt(session, path) == cursor->Position;
  return index.IndexOrdinal(path);
}

bool TABSTableData::record_of_bit(TABSCursor* cursor, int32_t session, int64_t bit, TABSRecordID& id,
                                  void* record) {
  if (cursor->Bitmap.IndexOrder) {
    TABSBTreeRecordIndex& index = *index_manager_->OpenIndex(cursor->ActiveIndexID);
    TABSKeyPath path;
    if (!index.PathOfOrdinal(session, bit, path)) return false;
    id = index.RecordIDAt(session, path);
  } else {
    id = RecordIDOfOrdinal(bit);
  }
  return ReadRecord(session, id, record);
}

int32_t TABSTableData::bitmap_step(TABSCursor* cursor, int32_t session, bool forward) {
  TABSBitsArray& bits = cursor->Bitmap.Bits;
  cursor->LastSearchPlan = TABSSearchPlanInfo{};
  cursor->LastSearchPlan.Plan = TABSSearchPlanInfo::spBitmap;
  int64_t from;
  if (forward ? cursor->AtBegin : cursor->AtEnd) {
    from = forward ? -1 : bits.Size();
  } else {
    bool exact = true;
    from = bitmap_bit_of_position(cursor, session, &exact);
    if (from < 0) return search_step(cursor, session, forward);
    // Past a deleted position's place, `from` is already the entry after it.
    if (!exact && forward) --from;
  }
  const bool at_end = forward ? cursor->AtBegin : cursor->AtEnd;
  const bool distinct = cursor->HasDistinctNavigation() && cursor->IsIndexActive() && !at_end &&
                        cursor->PositionKeyValid;
  std::vector<uint8_t> run;
  if (distinct) run = cursor->PositionKey;
  int64_t bit = forward ? bits.NextSetBit(from + 1) : bits.PriorSetBit(from - 1);
  TABSRecordID id;
  while (true) {
    if (bit < 0) return forward ? grrEndReached : grrBeginReached;
    if (!record_of_bit(cursor, session, bit, id, cursor->CurrentRecord)) RaiseError(20253);
    // A distinct step leaves the current record's run even when the record is not the
    // run's first (it changed, or a record joined its run before it): as a search would.
    if (!distinct || index_manager_->OpenIndex(cursor->ActiveIndexID)
                             ->CompareRecords(cursor->CurrentRecord, run.data(), cursor->DistinctKeyFieldCount) != 0)
      break;
    bit = forward ? bits.NextSetBit(bit + 1) : bits.PriorSetBit(bit - 1);
  }
  land(cursor, id, cursor->CurrentRecord);
  return grrFound;
}

int32_t TABSTableData::search_step(TABSCursor* cursor, int32_t session, bool forward) {
  TABSSearchRequest request;
  request.Forward = forward;
  request.FromEnd = forward ? cursor->AtBegin : cursor->AtEnd;
  // A distinct step continues from the current record's key (kept from when it was
  // read, so a record deleted meanwhile still gives its run).
  if (!request.FromEnd && !position_key(cursor, session)) return grrNotFound;
  if (cursor->HasDistinctNavigation() && !request.FromEnd) cursor->ContinuationKey = cursor->PositionKey;
  request.RecordBuffer = cursor->CurrentRecord;
  if (!Search(cursor, request)) return forward ? grrEndReached : grrBeginReached;
  TABSRecordID found = request.Found;
  if (!forward && cursor->HasDistinctNavigation() && cursor->IsIndexActive()) {
    // Backwards the search meets the last qualifying record of the prior run; the cursor
    // shows each run by its first qualifying record, as the bitmap does.
    TABSSearchRequest first;
    first.Forward = true;
    first.FromEnd = true;
    TABSScanSearchCondition run;
    run.IndexID = cursor->ActiveIndexID;
    run.Kind = sckAfterOrEqual;
    run.KeyFieldCount = cursor->DistinctKeyFieldCount;
    run.KeyBuffer.assign(cursor->CurrentRecord, cursor->CurrentRecord + MemoryRecordSize());
    first.ExtraIndexConditions.push_back(std::move(run));
    first.RecordBuffer = cursor->CurrentRecord;
    if (Search(cursor, first)) found = first.Found;
  }
  land(cursor, found, cursor->CurrentRecord);
  return grrFound;
}

// ---- locate, find key ----

bool TABSTableData::Locate(TABSCursor* cursor, TABSCursorFilter* condition) {
  if (!condition) RaiseError(10272);
  std::lock_guard guard(database_->Lock());
  require_managers();
  if (!cursor->CurrentRecord) RaiseError(10011);
  std::vector<uint8_t> record(static_cast<size_t>(MemoryRecordSize()));
  TABSSearchRequest request;
  request.Extra = condition;
  request.FromEnd = true;
  request.RecordBuffer = record.data();
  if (!Search(cursor, request)) return false;
  std::memcpy(cursor->CurrentRecord, record.data(), record.size());
  land(cursor, request.Found, cursor->CurrentRecord);
  return true;
}

bool TABSTableData::FindKey(TABSCursor* cursor, int32_t kind) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  if (!cursor->IsIndexActive()) RaiseError(20258);
  if (kind < sckEqual || kind > sckAfterOrEqual) RaiseError(20078);
  if (!cursor->CurrentRecord) RaiseError(10011);
  if (cursor->SearchKey.size() != static_cast<size_t>(MemoryRecordSize())) RaiseError(10074);
  const TABSIndexDef* definition = index_manager_->IndexDefs.FindByObjectID(cursor->ActiveIndexID);
  if (!definition) RaiseError(20018);
  TABSScanSearchCondition key;
  key.IndexID = cursor->ActiveIndexID;
  key.Kind = static_cast<uint8_t>(kind);
  key.KeyBuffer = cursor->SearchKey;
  key.KeyFieldCount = cursor->SearchKeyFieldCount;
  if (key.KeyFieldCount <= 0 || key.KeyFieldCount > definition->ColumnCount())
    key.KeyFieldCount = definition->ColumnCount();
  std::vector<uint8_t> record(static_cast<size_t>(MemoryRecordSize()));
  TABSSearchRequest request;
  request.KeyCondition = &key;
  request.FromEnd = true;
  request.RecordBuffer = record.data();
  if (!Search(cursor, request)) return false;
  std::memcpy(cursor->CurrentRecord, record.data(), record.size());
  land(cursor, request.Found, cursor->CurrentRecord);
  return true;
}

// ---- counts and record numbers ----

void TABSTableData::EnsureBitmap(TABSCursor* cursor) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  if (cursor->Bitmap.IsCurrent(record_manager_->ChangeCounter)) return;
  TABSSearchRequest request;
  request.Fill = true;
  request.FromEnd = true;
  Search(cursor, request);
}

int64_t TABSTableData::CursorRecordCount(TABSCursor* cursor) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  if (!cursor->IsRestricted()) return record_manager_->RecordCount;
  EnsureBitmap(cursor);
  return cursor->Bitmap.Bits.SetBitCount();
}

int64_t TABSTableData::GetRecordNo(TABSCursor* cursor) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  const int32_t session = session_of(cursor);
  if (cursor->AtBegin || cursor->AtEnd || record_manager_->RecordCount == 0) return -1;
  if (cursor->IsRestricted()) {
    EnsureBitmap(cursor);
    const int64_t bit = bitmap_bit_of_position(cursor, session);
    if (bit < 0) return -1;
    const TABSBitsArray& bits = cursor->Bitmap.Bits;
    return (bit < bits.Size() ? bits.RankOf(bit) : bits.SetBitCount()) + 1;
  }
  if (cursor->IsIndexActive()) {
    if (!position_key(cursor, session)) return -1;
    index_manager_->RefreshTemporaryIndex(session, cursor->ActiveIndexID);
    TABSBTreeRecordIndex& index = *index_manager_->OpenIndex(cursor->ActiveIndexID);
    const PositionTarget t(index, cursor->PositionKey.data(), cursor->Position);
    TABSKeyPath path;
    if (!index.Tree().Seek(session, t.target, false, path)) return record_manager_->RecordCount;
    return index.Tree().EntryNumber(session, path);
  }
  return GetRecordNoInStorageOrder(cursor);
}

void TABSTableData::SetRecordNo(TABSCursor* cursor, int64_t n) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  const int32_t session = session_of(cursor);
  if (!cursor->CurrentRecord) RaiseError(10011);
  const int64_t count = CursorRecordCount(cursor);
  if (count == 0) {
    cursor->GoToBegin();
    return;
  }
  // A number below 1 means the first record, one past the count the last.
  n = std::clamp<int64_t>(n, 1, count);
  TABSRecordID id;
  if (cursor->IsRestricted()) {
    const int64_t bit = cursor->Bitmap.Bits.NthSetBit(n);
    if (bit < 0 || !record_of_bit(cursor, session, bit, id, cursor->CurrentRecord)) RaiseError(20075);
  } else if (cursor->IsIndexActive()) {
    index_manager_->RefreshTemporaryIndex(session, cursor->ActiveIndexID);
    id = index_manager_->OpenIndex(cursor->ActiveIndexID)->RecordAtNumber(session, n);
    if (!ReadRecord(session, id, cursor->CurrentRecord)) RaiseError(20253);
  } else {
    if (!SetRecordNoInStorageOrder(cursor, n)) return;
    id = cursor->Position;
    if (!ReadRecord(session, id, cursor->CurrentRecord)) RaiseError(20253);
  }
  land(cursor, id, cursor->CurrentRecord);
}

// ---- the search ----

bool TABSTableData::Search(TABSCursor* cursor, TABSSearchRequest& request) {
  std::lock_guard guard(database_->Lock());
  require_managers();
  const int32_t session = session_of(cursor);
  TABSSearchPlanInfo& info = cursor->LastSearchPlan;
  info = TABSSearchPlanInfo{};
  const int64_t total = record_manager_->RecordCount;
  const bool forward = request.Fill || request.Forward;
  const bool from_end = request.Fill || request.FromEnd;
  const int32_t active = cursor->ActiveIndexID;
  // Only a search whose conditions are exactly the cursor's restrictions may fill the
  // bitmap; a locate or find key adds its own.
  const bool own_restrictions =
      !request.Extra && !request.KeyCondition && request.ExtraIndexConditions.empty();
  const bool distinct_step = cursor->HasDistinctNavigation() && active != -1 && !from_end;

  TABSRecordBitmap& bitmap = cursor->Bitmap;
  auto start_bitmap = [&] {
    bitmap.Invalidate();
    bitmap.IndexOrder = active != -1;
    bitmap.ChangeCounter = record_manager_->ChangeCounter;
  };
  auto finish_bitmap = [&] {
    bitmap.Built = true;
    if (cursor->HasDistinctNavigation() && active != -1)
      index_manager_->OpenIndex(active)->ReduceToDistinctKeys(session, bitmap, cursor->DistinctKeyFieldCount);
  };
  if (request.Fill) start_bitmap();

  // Gathering.
  std::vector<Cond> conds;
  auto add_index_condition = [&](const TABSScanSearchCondition& c, bool from_expression) {
    if (c.IndexID == -1 || c.KeyFieldCount <= 0) RaiseError(10388, c.IndexID, c.KeyFieldCount);
    Cond cond{c, from_expression, {}, {}, {}};
    if (from_expression) {
      cond.covers = c.CoveredNodes;
      cond.key_tested = c.KeyTestedNodes;
      cond.non_null = c.NonNullCoveredNodes;
    }
    conds.push_back(std::move(cond));
  };
  if (request.KeyCondition) {
    if (request.KeyCondition->IndexID == -1) RaiseError(20258);
    add_index_condition(*request.KeyCondition, false);
  }
  for (const TABSScanSearchCondition& c : request.ExtraIndexConditions) add_index_condition(c, false);
  std::vector<TABSCursorFilter*> filters;
  if (request.Extra) filters.push_back(request.Extra);
  if (cursor->Filter) filters.push_back(cursor->Filter.get());
  if (cursor->SecondFilter) filters.push_back(cursor->SecondFilter.get());
  if (active != -1) {
    auto range_end = [&](const TABSCursorRangeKey& key, uint8_t exclusive_kind, uint8_t inclusive_kind) {
      if (!key.IsSet()) return;
      TABSScanSearchCondition c;
      c.IndexID = active;
      c.Kind = key.Exclusive ? exclusive_kind : inclusive_kind;
      c.KeyBuffer = key.Buffer;
      c.KeyFieldCount = key.FieldCount;
      add_index_condition(c, false);
    };
    range_end(cursor->RangeStart, sckAfter, sckAfterOrEqual);
    range_end(cursor->RangeEnd, sckBefore, sckBeforeOrEqual);
    if (distinct_step && cursor->ContinuationKey.size() == static_cast<size_t>(MemoryRecordSize())) {
      TABSScanSearchCondition c;
      c.IndexID = active;
      c.Kind = forward ? sckAfter : sckBefore;
      c.KeyBuffer = cursor->ContinuationKey;
      c.KeyFieldCount = cursor->DistinctKeyFieldCount;
      add_index_condition(c, false);
    }
  }
  {
    // The indexes a filter may use: temporary ones only of the cursor's own session.
    TABSIndexDefs usable;
    for (int32_t i = 0; i < index_manager_->IndexDefs.Count(); ++i) {
      const TABSIndexDef* d = index_manager_->IndexDefs.Item(i);
      if (d->Temporary && d->OwnerSession != session) continue;
      usable.AddIndexDef()->Assign(*d);
    }
    for (TABSCursorFilter* f : filters) {
      TABSScanSearchConditionArray found;
      f->AddSearchConditions(usable, found);
      for (int32_t i = 0; i < found.Count(); ++i) add_index_condition(found.Item(i), true);
    }
  }

  // Merging per index, in the order the indexes first appear.
  std::vector<int32_t> index_order;
  for (const Cond& c : conds)
    if (std::find(index_order.begin(), index_order.end(), c.c.IndexID) == index_order.end())
      index_order.push_back(c.c.IndexID);
  std::vector<Cond> kept;
  for (int32_t id : index_order) {
    index_manager_->RefreshTemporaryIndex(session, id);
    TABSBTreeRecordIndex& index = *index_manager_->OpenIndex(id);
    const TABSScanKeyCompare compare = [&index](const TABSScanSearchCondition& a, const TABSScanSearchCondition& b,
                                                int32_t field_count) {
      return CompareScanConditionKeys(index, a, b, field_count);
    };
    std::vector<Cond> mine;
    for (Cond& next : conds) {
      if (next.c.IndexID != id) continue;
      bool absorbed = false;
      for (Cond& k : mine) {
        const TABSScanMergeResult r = MergeScanSearchConditions(k.c, next.c, compare);
        if (r == smrNone) {
          info.Plan = TABSSearchPlanInfo::spContradiction;
          if (request.Fill) finish_bitmap();
          return false;
        }
        if (r == smrBoth) continue;
        // The survivor implies the condition it absorbs: whatever answered the absorbed
        // one's nodes answers them through the survivor.
        if (r == smrSecond) {
          std::vector<const void*> covers = std::move(k.covers);
          std::vector<const void*> key_tested = std::move(k.key_tested);
          std::vector<const void*> non_null = std::move(k.non_null);
          const bool both_expression = k.from_expression && next.from_expression;
          k = next;
          add_covers(k.covers, covers);
          add_covers(k.key_tested, key_tested);
          add_covers(k.non_null, non_null);
          k.from_expression = both_expression;
        } else {
          add_covers(k.covers, next.covers);
          add_covers(k.key_tested, next.key_tested);
          add_covers(k.non_null, next.non_null);
          k.from_expression = k.from_expression && next.from_expression;
        }
        absorbed = true;
        break;
      }
      if (!absorbed) mine.push_back(next);
    }
    // Identical conditions count once.
    for (size_t i = 0; i < mine.size(); ++i) {
      for (size_t j = i + 1; j < mine.size();) {
        const Cond& a = mine[i];
        const Cond& b = mine[j];
        if (a.c.Kind == b.c.Kind && a.c.KeyFieldCount == b.c.KeyFieldCount && a.c.Partial == b.c.Partial &&
            CompareScanConditionKeys(index, a.c, b.c, a.c.KeyFieldCount) == 0) {
          add_covers(mine[i].covers, b.covers);
          add_covers(mine[i].key_tested, b.key_tested);
          add_covers(mine[i].non_null, b.non_null);
          mine[i].from_expression = a.from_expression && b.from_expression;
          mine.erase(mine.begin() + static_cast<std::ptrdiff_t>(j));
        } else {
          ++j;
        }
      }
    }
    for (Cond& c : mine) kept.push_back(std::move(c));
  }
  info.IndexConditionCount = static_cast<int32_t>(kept.size());

  // Choosing the access path.
  const Cond* lower = nullptr;
  const Cond* upper = nullptr;
  int32_t plan_index = -1;
  // A storage-order walk chosen over a range of another index reads at most
  // `walk_budget` records before the step goes on from that range.
  int32_t fallback_index = -1;
  const Cond* fallback_lower = nullptr;
  const Cond* fallback_upper = nullptr;
  int64_t walk_budget = -1;
  bool walk_gave_up = false;
  auto bounds_of = [&](int32_t id, const Cond*& lo, const Cond*& hi) {
    lo = hi = nullptr;
    for (const Cond& c : kept) {
      if (c.c.IndexID != id) continue;
      if (c.c.Kind == sckEqual) {
        lo = hi = &c;
        return;
      }
      if (!lo && is_lower(c.c.Kind)) lo = &c;
      if (!hi && is_upper(c.c.Kind)) hi = &c;
    }
  };
  for (const Cond& c : kept) {
    if (c.c.Kind != sckEqual) continue;
    const TABSIndexDef* d = index_manager_->IndexDefs.FindByObjectID(c.c.IndexID);
    if (!d || d->ColumnCount() != 1) continue;
    const TABSFieldDef* f = field_defs_.Find(d->Columns[0].FieldName);
    if (d->Unique || d->Primary || (f && IsAutoincColumnType(f->ColumnType))) {
      plan_index = c.c.IndexID;
      lower = upper = &c;
      info.Shortcut = 1;
      break;
    }
  }
  if (plan_index == -1 && kept.size() == 1 && kept[0].c.IndexID == active && active != -1) {
    plan_index = active;
    bounds_of(active, lower, upper);
    info.Shortcut = 2;
  }
  const bool has_filters = !filters.empty() || static_cast<bool>(cursor->FilterCallback);
  // The nodes a range with sides `lo` and `hi` (index order) answers: their conditions'
  // own, and those that only NULL keys could fail where the range is bounded by a value
  // on the side of the smaller values, which leaves the NULL keys (below every value) out.
  // A descending first column puts the smaller values, and the NULL keys, at the end.
  auto range_covers = [&](const Cond* lo, const Cond* hi, std::vector<const void*>& out) {
    if (lo) add_covers(out, lo->covers);
    if (hi) add_covers(out, hi->covers);
    const Cond* any = lo ? lo : hi;
    if (!any) return;
    TABSBTreeRecordIndex& index = *index_manager_->OpenIndex(any->c.IndexID);
    const TABSRecordKeyPart& first = index.KeyRef().Part(0);
    const Cond* smaller_values_side = first.Descending ? hi : lo;
    if (!smaller_values_side) return;
    const int32_t field = first.FieldNo;
    const std::vector<uint8_t>& key = smaller_values_side->c.KeyBuffer;
    if (key.size() <= static_cast<size_t>(field / 8) || ((key[static_cast<size_t>(field / 8)] >> (field % 8)) & 1))
      return;
    if (lo) add_covers(out, lo->non_null);
    if (hi) add_covers(out, hi->non_null);
  };
  if (plan_index == -1 && !kept.empty()) {
    const double page = std::max<double>(1.0, pages_ ? pages_->DataSize() : 4096);
    const double record_size = MemoryRecordSize();
    double best = -1;
    double best_count = 0;  // the candidate's estimated entries
    // Whether the bounds of index `id` answer every condition and filter of the search,
    // the nodes their key tests answer included (the callback is never answered).
    auto bounds_decide = [&](int32_t id, const Cond* lo, const Cond* hi) {
      if (cursor->FilterCallback) return false;
      std::vector<const void*> bound_nodes;
      for (const Cond& c : kept) {
        if (c.c.IndexID != id || (&c != lo && &c != hi)) return false;
        add_covers(bound_nodes, c.key_tested);
      }
      range_covers(lo, hi, bound_nodes);
      for (TABSCursorFilter* f : filters)
        if (!f->IsCoveredBy(bound_nodes)) return false;
      return true;
    };
    for (int32_t id : index_order) {
      const Cond* lo;
      const Cond* hi;
      bounds_of(id, lo, hi);
      if (!lo && !hi) continue;
      TABSBTreeRecordIndex& index = *index_manager_->OpenIndex(id);
      const TABSIndexKeyCondition lk = key_condition(lo), hk = key_condition(hi);
      TABSIndexRange range(index, lo ? &lk : nullptr, hi && hi != lo ? &hk : nullptr);
      const double n = static_cast<double>(range.ApproximateCount(session, total));
      const double entry = index.KeyRef().PageKeySize() + 6.0;
      bool others = has_filters || id != active;
      for (const Cond& c : kept)
        if (&c != lo && &c != hi && !c.from_expression) others = true;
      // Filling the bitmap in storage order reads no record of an entry whose stored key
      // decides every condition.
      if (others && request.Fill && active == -1 && bounds_decide(id, lo, hi)) others = false;
      double cost = n * entry / page;
      if (others) cost += n * record_size / page;
      if (id != active) cost += n * entry / page;
      if (cost < static_cast<double>(total) && (best < 0 || cost < best)) {
        best = cost;
        best_count = n;
        plan_index = id;
        lower = lo;
        upper = hi;
      }
    }
    info.IndexCost = best;
    // The full scan: the records left in the search's direction from the position.
    double remaining = static_cast<double>(total) + 1;
    if (from_end) {
      remaining = static_cast<double>(total);
    } else if (active == -1) {
      const int64_t r = record_manager_->GetApproximateRecordNo(session, cursor->Position);
      if (r >= 0) remaining = static_cast<double>(forward ? total - r : r);
    } else if (position_key(cursor, session)) {
      TABSBTreeRecordIndex& index = *index_manager_->OpenIndex(active);
      const PositionTarget t(index, cursor->PositionKey.data(), cursor->Position);
      TABSKeyPath path;
      const double at = index.Tree().Seek(session, t.target, false, path)
                            ? index.ApproximatePosition(path) * static_cast<double>(total)
                            : static_cast<double>(total);
      remaining = forward ? total - at : at;
    }
    double full = active == -1 ? remaining * record_size / page : remaining;
    double expected_walk = -1;  // records a storage-order step is expected to read
    // A step in storage order stops at the first qualifying record, while a range of
    // another index is walked whole (it builds the bitmap on the way). When the
    // candidate's range says how dense the qualifying records are (its bounds answer every
    // condition), the storage-order walk is costed for what it is expected to read: the
    // records up to the next qualifying one, for a screenful of steps. A range that holds
    // a large share of the table then loses to the walk; a sparse one keeps winning.
    if (!request.Fill && active == -1 && plan_index != -1 && plan_index != active && !cursor->FilterCallback) {
      const bool answered = bounds_decide(plan_index, lower, upper);
      if (answered) {
        constexpr double kScreenSteps = 20;
        const double expected = remaining / (best_count + 1) * kScreenSteps;
        full = std::min(full, expected * record_size / page);
        expected_walk = expected;
      }
    }
    info.FullScanCost = full;
    if (plan_index != -1 && full < best) {
      // The walk's estimate assumes the qualifying records spread evenly through storage;
      // where they cluster far from the position it would read most of the table. The
      // walk reads at most about what the range costs, then leaves the step to the range.
      if (!request.Fill && active == -1) {
        fallback_index = plan_index;
        fallback_lower = lower;
        fallback_upper = upper;
        // A walk that reads well past what it was expected to read (a screenful of
        // steps) has met records clustered away from it: the range takes over then too.
        double budget = best * page / record_size;
        if (expected_walk >= 0) budget = std::min(budget, 2 * expected_walk);
        walk_budget = std::max<int64_t>(kMinimumWalkBudget, static_cast<int64_t>(budget));
      }
      plan_index = -1;
    }
  }

  // What remains to test per record: the index conditions the plan does not bound (those
  // of filters are left to the filter itself), and the filters without the nodes the
  // plan answers.
  std::vector<const Cond*> tests;
  std::vector<const void*> covered;
  bool needs_record = false;
  // With the entry's stored key passing the range's test, the nodes the bounds answer and
  // those their key tests answer hold; where they leave nothing else to evaluate (exact
  // bounds of a whole filter, or a prefix its key test decides), such an entry qualifies
  // without its record being read.
  std::vector<const void*> key_covered;
  bool key_decides = false;
  auto settle_tests = [&] {
    tests.clear();
    covered.clear();
    for (const Cond& c : kept) {
      if (plan_index != -1 && (&c == lower || &c == upper)) continue;
      if (!c.from_expression) tests.push_back(&c);
    }
    if (plan_index != -1) range_covers(lower, upper, covered);
    needs_record = !tests.empty() || has_filters;
    key_covered = covered;
    if (plan_index != -1) {
      if (lower) add_covers(key_covered, lower->key_tested);
      if (upper) add_covers(key_covered, upper->key_tested);
    }
    key_decides = plan_index != -1 && tests.empty() && !cursor->FilterCallback;
    for (TABSCursorFilter* f : filters)
      if (key_decides && !f->IsCoveredBy(key_covered)) key_decides = false;
  };
  settle_tests();
  auto qualifies_with = [&](const void* record, const std::vector<const void*>& answered) {
    for (const Cond* c : tests) {
      TABSBTreeRecordIndex& index = *index_manager_->OpenIndex(c->c.IndexID);
      if (!kind_holds(c->c.Kind, index.CompareRecords(record, c->c.KeyBuffer.data(), c->c.KeyFieldCount)))
        return false;
    }
    if (request.Extra && !request.Extra->Evaluate(record, answered)) return false;
    return cursor->RecordPassesFilters(record, answered);
  };
  auto qualifies = [&](const void* record) { return qualifies_with(record, covered); };
  std::vector<uint8_t> scratch(static_cast<size_t>(MemoryRecordSize()));
  uint8_t* record = scratch.data();
  auto read = [&](const TABSRecordID& id) {
    ++info.RecordsRead;
    if (!ReadRecord(session, id, record)) RaiseError(20253);
  };
  auto answer = [&](const TABSRecordID& id, bool have_record) {
    if (!have_record) read(id);
    request.Found = id;
    if (request.RecordBuffer) std::memcpy(request.RecordBuffer, record, scratch.size());
    return true;
  };

  if (plan_index == -1) {
    info.Plan = TABSSearchPlanInfo::spFullScan;
    if (active == -1) {
      // Storage order, from the position or the end the search starts at.
      TABSRecordGetRequest step;
      step.Mode = forward ? grmNext : grmPrior;
      step.GoToFirst = from_end && forward;
      step.GoToLast = from_end && !forward;
      step.RecordID = cursor->Position;
      step.RecordBuffer = record;
      int64_t walked = 0;
      while (true) {
        if (walk_budget >= 0 && walked >= walk_budget) {
          // Nothing qualified within the budget: every record between the position and
          // here failed, so the nearest qualifying one beyond the position is the
          // nearest beyond here, and the range finds it without walking on.
          plan_index = fallback_index;
          lower = fallback_lower;
          upper = fallback_upper;
          settle_tests();
          walk_gave_up = true;
          break;
        }
        record_manager_->GetRecord(session, step);
        if (step.Result != grrFound) break;
        ++info.RecordsRead;
        ++walked;
        if (qualifies(record)) {
          if (!request.Fill) return answer(step.RecordID, true);
          bitmap.Bits.SetBit(RecordOrdinal(step.RecordID), true);
        }
        step.GoToFirst = step.GoToLast = false;
      }
    } else {
      // The active index's order: a walk in storage order would meet the records out of
      // the cursor's order and answer a record that is not the nearest.
      TABSBTreeRecordIndex& index = *index_manager_->OpenIndex(active);
      TABSKeyPath path;
      bool more;
      if (from_end) {
        more = forward ? index.First(session, path) : index.Last(session, path);
      } else {
        if (!position_key(cursor, session)) return false;
        more = seek_beside(index, session, cursor->PositionKey.data(), cursor->Position, forward, path);
      }
      for (; more; more = forward ? index.Next(session, path) : index.Prior(session, path)) {
        ++info.EntriesVisited;
        const TABSRecordID id = index.RecordIDAt(session, path);
        read(id);
        if (!qualifies(record)) continue;
        if (!request.Fill) return answer(id, true);
        bitmap.Bits.SetBit(index.IndexOrdinal(path), true);
      }
    }
    if (plan_index == -1) {
      if (request.Fill) finish_bitmap();
      return false;
    }
  }

  // An index range.
  info.Plan = TABSSearchPlanInfo::spIndexRange;
  info.IndexID = plan_index;
  if (forward) {
    info.LowerKind = lower ? lower->c.Kind : 0;
    info.LowerFieldCount = lower ? lower->c.KeyFieldCount : 0;
    info.UpperKind = upper ? upper->c.Kind : 0;
    info.UpperFieldCount = upper ? upper->c.KeyFieldCount : 0;
  } else {
    info.LowerKind = upper ? upper->c.Kind : 0;
    info.LowerFieldCount = upper ? upper->c.KeyFieldCount : 0;
    info.UpperKind = lower ? lower->c.Kind : 0;
    info.UpperFieldCount = lower ? lower->c.KeyFieldCount : 0;
  }
  TABSBTreeRecordIndex& index = *index_manager_->OpenIndex(plan_index);
  const TABSIndexKeyCondition lower_key = key_condition(lower);
  const TABSIndexKeyCondition upper_key = key_condition(upper);
  // The range's bounds enclose every entry that may satisfy its conditions; each entry
  // inside is tested on its stored key, and on its record where the key is cut (or the
  // bounds are a prefix's, which enclose texts that only sort alike).
  // The walk checks each entry against the bounds as it goes: only the near end is
  // sought in the tree.
  TABSIndexRange range(index, lower ? &lower_key : nullptr, upper && upper != lower ? &upper_key : nullptr);
  // Whether an entry that tested `test` on its stored key satisfies the range's
  // conditions; `have` tells whether its record was read on the way.
  auto entry_in = [&](TABSIndexEntryTest test, const TABSRecordID& id, bool& have) {
    have = false;
    switch (test) {
      case ietIn: return true;
      case ietOut: return false;
      default:
        read(id);
        have = true;
        return range.Accepts(record);
    }
  };

  if (plan_index == active) {
    TABSKeyPath path;
    bool more;
    if (from_end) {
      more = range.Seek(session, forward, path);
    } else {
      if (!position_key(cursor, session)) return false;
      more = seek_beside(index, session, cursor->PositionKey.data(), cursor->Position, forward, path);
      if (more) {
        // Short of the range's near end the walk starts there; past its far end nothing
        // is left.
        const int where = range.Where(session, path);
        if (where == (forward ? -1 : 1))
          more = range.Seek(session, forward, path);
        else if (where != 0)
          more = false;
      }
    }
    bool answered = false;
    bool answer_read = false;
    TABSRecordID answer_id;
    if (more) {
      range.Walk(session, forward, path, [&](const TABSKeyPath& at, const TABSRecordID& id, TABSIndexEntryTest test) {
        ++info.EntriesVisited;
        bool have = false;
        if (!entry_in(test, id, have)) return true;
        // The stored key answered the range's test when no record was read for it.
        const bool key_in = !have;
        if (needs_record && !(key_in && key_decides)) {
          if (!have) read(id);
          have = true;
          if (!qualifies_with(record, key_in ? key_covered : covered)) return true;
        }
        if (!request.Fill) {
          answered = true;
          answer_id = id;
          answer_read = have;
          return false;
        }
        bitmap.Bits.SetBit(index.IndexOrdinal(at), true);
        return true;
      });
    }
    if (answered) return answer(answer_id, answer_read);
    if (request.Fill) finish_bitmap();
    return false;
  }

  // Another index: every qualifying record of the range is met, and the one nearest the
  // position in the cursor's order is the answer. A step from an end meets every
  // qualifying record anyway, and builds the bitmap on the way.
  // A step the walk gave up on meets the whole range too, and builds the bitmap for the
  // steps that follow.
  const bool build = request.Fill || ((from_end || walk_gave_up) && own_restrictions);
  if (build && !request.Fill) start_bitmap();
  TABSBTreeRecordIndex* order = active != -1 ? index_manager_->OpenIndex(active) : nullptr;
  bool have_position = false;
  TABSKeyPath position_path;  // index order: the first entry not before the answer's side
  if (!from_end) {
    if (order) {
      if (!position_key(cursor, session)) return false;
      have_position = seek_beside(*order, session, cursor->PositionKey.data(), cursor->Position, forward, position_path);
      if (!have_position) {
        if (build) finish_bitmap();
        return false;
      }
    } else {
      have_position = true;
    }
  }
  // A unique one-column equality names at most one record.
  const bool single = lower == upper && lower && lower->c.Kind == sckEqual && !lower->c.Partial &&
                      info.Shortcut == 1;
  bool found = false;
  TABSRecordID best_id;
  TABSKeyPath best_path;
  std::vector<uint8_t> best_record;
  bool best_read = false;  // best_record holds the best record (else it is read at the end)
  TABSKeyPath path;
  // The entry of the record in the cursor's order (a path is large: one for the walk).
  TABSKeyPath in_order;
  auto visit = [&](const TABSKeyPath&, const TABSRecordID& id, TABSIndexEntryTest test) {
    ++info.EntriesVisited;
    bool have = false;
    if (!entry_in(test, id, have)) return true;
    const bool key_in = !have;
    const bool decided = key_in && key_decides;
    // Storage order compares identifiers only: an entry its key decides needs no record
    // unless it turns out the answer.
    if ((needs_record && !decided) || order || (!request.Fill && !decided)) {
      if (!have) read(id);
      have = true;
      if (!decided && !qualifies_with(record, key_in ? key_covered : covered)) return true;
    }
    if (order && !order->FindRecord(session, id, in_order, record)) RaiseError(20253);
    if (build) bitmap.Bits.SetBit(order ? order->IndexOrdinal(in_order) : RecordOrdinal(id), true);
    if (request.Fill) return true;
    // Is it on the searched side of the position, and nearer than the best so far?
    bool candidate;
    if (!have_position) {
      candidate = true;
    } else if (order) {
      const int c = order->CompareKeyPaths(in_order, position_path);
      candidate = forward ? c >= 0 : c <= 0;
    } else {
      const int c = record_manager_->CompareRecordPositions(id, cursor->Position);
      candidate = forward ? c > 0 : c < 0;
    }
    if (!candidate) return true;
    bool nearer = !found;
    if (found) {
      const int c = order ? order->CompareKeyPaths(in_order, best_path) : record_manager_->CompareRecordPositions(id, best_id);
      nearer = forward ? c < 0 : c > 0;
    }
    if (nearer) {
      found = true;
      best_id = id;
      if (order) best_path = in_order;
      best_read = have;
      if (have) best_record = scratch;
    }
    return !(single && !build);
  };
  if (range.Seek(session, true, path)) range.Walk(session, true, path, visit);
  if (build) finish_bitmap();
  if (request.Fill || !found) return false;
  if (!best_read) return answer(best_id, false);
  scratch = best_record;
  record = scratch.data();
  return answer(best_id, true);
}

}  // namespace dadoveri
