#include "engine/table/btree_record_index.h"

#include <cmath>
#include <cstring>

#include "engine/base/engine_error.h"
#include "engine/table/field_def.h"

namespace dadoveri {

void TABSIndex::Create(int32_t, bool, TABSIndexDef& definition) { definition_.Assign(definition); }
void TABSIndex::Open(const TABSIndexDef& definition) { definition_.Assign(definition); }

TABSBTreeRecordIndex::TABSBTreeRecordIndex(TABSPageManager* pages, const TABSFieldDefs* fields,
                                           TABSIndexRecordSource* source)
    : pages_(pages), fields_(fields), source_(source) {
  if (!pages_) RaiseError(20077);
}

TABSBTreeRecordIndex::~TABSBTreeRecordIndex() = default;

void TABSBTreeRecordIndex::build_key_ref() {
  if (!fields_) RaiseError(20044);
  std::vector<TABSKeyColumn> columns;
  for (const TABSIndexColumn& c : definition_.Columns)
    columns.push_back({c.FieldName, c.Descending, c.CaseInsensitive, c.MaxIndexedSize});
  key_ref_ = std::make_unique<TABSRecordKeyRef>(fields_->RecordLayout(), columns);
  key_ref_->SetRecordSource(source_);
  tree_ = std::make_unique<TABSBTree>(pages_, key_ref_.get(), kRecordIDSize);
  tree_->SetRootPageNo(definition_.RootPageNo);
  key_.resize(key_ref_->PageKeySize());
  record_.resize(static_cast<size_t>(std::max(key_ref_->RecordSize(), 1)));
  entry_.resize(static_cast<size_t>(tree_->LeafEntrySize()));
}

void TABSBTreeRecordIndex::require_open() const {
  if (!tree_) RaiseError(20045);
  if (tree_->RootPageNo() < 0) RaiseError(20119);
}

void TABSBTreeRecordIndex::Create(int32_t session, bool from_records, TABSIndexDef& definition) {
  TABSIndex::Create(session, from_records, definition);
  definition_.RootPageNo = -1;
  build_key_ref();
  tree_->CreateRoot(session);
  definition_.RootPageNo = tree_->RootPageNo();
  definition.RootPageNo = definition_.RootPageNo;
  if (!from_records) return;
  if (!source_) RaiseError(20076);
  std::vector<uint8_t> record(record_.size());
  TABSRecordID id;
  for (bool first = true; source_->ReadNextRecord(session, id, first, record.data()); first = false)
    Insert(session, record.data(), id);
}

void TABSBTreeRecordIndex::Open(const TABSIndexDef& definition) {
  TABSIndex::Open(definition);
  build_key_ref();
}

void TABSBTreeRecordIndex::Drop(int32_t session) {
  require_open();
  tree_->Drop(session);
  definition_.RootPageNo = -1;
}

void TABSBTreeRecordIndex::Empty(int32_t session) {
  require_open();
  tree_->Empty(session);
  ++definition_.ChangeStamp;
}

void TABSBTreeRecordIndex::Rebuild(int32_t session, bool from_records) {
  if (tree_ && tree_->RootPageNo() >= 0) Drop(session);
  TABSIndexDef definition;
  definition.Assign(definition_);
  Create(session, from_records, definition);
}

TABSBTreeTarget TABSBTreeRecordIndex::target_of(const void* record, int32_t k, const int32_t* prefixes) {
  key_ref_->BuildPageKey(record, key_.data());
  TABSBTreeTarget target;
  target.Key = key_.data();
  target.Record = record;
  target.PartCount = k;
  target.PrefixLengths = prefixes;
  return target;
}

void TABSBTreeRecordIndex::fetch(int32_t session, const TABSRecordID& id, void* buffer) {
  if (!source_ || !source_->ReadRecord(session, id, buffer)) RaiseError(20253);
}

TABSRecordID TABSBTreeRecordIndex::RecordIDAt(int32_t session, const TABSKeyPath& path) {
  require_open();
  tree_->ReadLeafEntry(session, path, entry_.data());
  return LoadRecordID(entry_.data() + key_ref_->PageKeySize());
}

void TABSBTreeRecordIndex::fill_cache(TABSIndexGetRecordRequest& request, const TABSKeyPath& path,
                                      const TABSRecordID& id) {
  request.RecordID = id;
  request.Result = grrFound;
  if (TABSIndexPositionCache* cache = request.PositionCache) {
    cache->IndexID = definition_.ObjectID;
    cache->RecordID = id;
    cache->ChangeCounter = source_ ? source_->TableChangeCounter() : 0;
    cache->Path = path;
    cache->Valid = true;
  }
}

void TABSBTreeRecordIndex::GetRecord(int32_t session, TABSIndexGetRecordRequest& request) {
  require_open();
  if (request.Mode == grmCurrent) RaiseError(20053);
  const bool next = request.Mode == grmNext;
  TABSKeyPath path;
  bool found;
  if (request.GoToFirst || request.GoToLast) {
    if (next && request.GoToLast) {
      request.Result = grrEndReached;
      return;
    }
    if (!next && request.GoToFirst) {
      request.Result = grrBeginReached;
      return;
    }
    found = next ? tree_->First(session, path) : tree_->Last(session, path);
  } else {
    TABSIndexPositionCache* cache = request.PositionCache;
    if (cache && cache->Valid && cache->IndexID == definition_.ObjectID && cache->RecordID == request.RecordID &&
        source_ && cache->ChangeCounter == source_->TableChangeCounter()) {
      path = cache->Path;
    } else {
      if (!source_ || !source_->ReadRecord(session, request.RecordID, record_.data())) {
        request.Result = grrNotFound;
        return;
      }
      if (!FindRecord(session, request.RecordID, path, record_.data())) {
        request.Result = grrNotFound;
        return;
      }
    }
    found = next ? tree_->Next(session, path) : tree_->Prior(session, path);
  }
  if (!found) {
    request.Result = next ? grrEndReached : grrBeginReached;
    return;
  }
  const TABSRecordID id = RecordIDAt(session, path);
  if (request.RecordBuffer) fetch(session, id, request.RecordBuffer);
  fill_cache(request, path, id);
}

void TABSBTreeRecordIndex::GetRecordNextToKey(int32_t session, TABSIndexGetRecordRequest& request) {
  require_open();
  if (request.Mode == grmCurrent) RaiseError(20053);
  if (!request.RecordBuffer) RaiseError(20076);
  const bool next = request.Mode == grmNext;
  std::vector<uint8_t> key_record(static_cast<const uint8_t*>(request.RecordBuffer),
                                  static_cast<const uint8_t*>(request.RecordBuffer) + record_.size());
  TABSKeyPath path;
  const TABSBTreeTarget target = target_of(key_record.data());
  bool found;
  if (next) {
    found = tree_->Seek(session, target, true, path);
  } else {
    found = tree_->Seek(session, target, false, path) ? tree_->Prior(session, path) : tree_->Last(session, path);
  }
  if (!found) {
    request.Result = next ? grrEndReached : grrBeginReached;
    return;
  }
  const TABSRecordID id = RecordIDAt(session, path);
  fetch(session, id, request.RecordBuffer);
  fill_cache(request, path, id);
}

bool TABSBTreeRecordIndex::FindRecord(int32_t session, const TABSRecordID& id, TABSKeyPath& path,
                                      const void* record) {
  require_open();
  if (!record) RaiseError(20076);
  TABSBTreeTarget target = target_of(record);
  target.HasRecordID = true;
  target.RecordID = id;
  return tree_->Find(session, target, path);
}

int TABSBTreeRecordIndex::CompareKeyPaths(const TABSKeyPath& a, const TABSKeyPath& b) {
  return dadoveri::CompareKeyPaths(a, b);
}

int64_t TABSBTreeRecordIndex::RecordNumberOf(int32_t session, const TABSRecordID& id, const void* record) {
  TABSKeyPath path;
  if (!FindRecord(session, id, path, record)) RaiseError(10386, definition_.ObjectID, id.PageNo, id.SlotNo);
  return tree_->EntryNumber(session, path);
}

TABSRecordID TABSBTreeRecordIndex::RecordAtNumber(int32_t session, int64_t n) {
  require_open();
  TABSKeyPath path;
  if (!tree_->First(session, path)) RaiseError(20074);
  int32_t page_no = -1, entry_no = 0;
  if (!tree_->LeafOfEntryNumber(session, n, page_no, entry_no)) RaiseError(20075);
  path.Depth = 1;
  path.Levels[0] = {page_no, entry_no, entry_no + 1};
  return RecordIDAt(session, path);
}

void TABSBTreeRecordIndex::ReduceToDistinctKeys(int32_t session, TABSRecordBitmap& bitmap, int32_t k) {
  TABSBitsArray& bits = bitmap.Bits;
  auto is_set = [&](int64_t ordinal) { return ordinal < bits.Size() && bits.GetBit(ordinal); };
  auto clear = [&](int64_t ordinal) { bits.SetBit(ordinal, false); };
  require_open();
  TABSKeyPath path;
  if (!tree_->First(session, path)) return;
  std::vector<uint8_t> kept_record(record_.size());
  bool have_kept = false;
  do {
    const int64_t ordinal = IndexOrdinal(path);
    if (!is_set(ordinal)) continue;
    const TABSRecordID id = RecordIDAt(session, path);
    if (have_kept) {
      TABSBTreeTarget target = target_of(kept_record.data(), k);
      const int c = key_ref_->ComparePageKeys(session, target, entry_.data(), &id);
      if (c == 0) {
        clear(ordinal);
        continue;
      }
    }
    fetch(session, id, kept_record.data());
    have_kept = true;
  } while (tree_->Next(session, path));
}

std::vector<int32_t> TABSBTreeRecordIndex::prefix_lengths(const TABSIndexKeyCondition& condition) const {
  std::vector<int32_t> result(static_cast<size_t>(key_ref_->PartCount()), -1);
  if (!condition.Partial) return result;
  // Only the last part used is a prefix: entries that begin with a value of an earlier
  // part are not contiguous in the index once later parts follow.
  const int32_t count = condition.KeyFieldCount < 0 || condition.KeyFieldCount > key_ref_->PartCount()
                            ? key_ref_->PartCount()
                            : condition.KeyFieldCount;
  const uint8_t* record = static_cast<const uint8_t*>(condition.KeyRecord);
  if (count > 0) {
    const int32_t i = count - 1;
    const TABSRecordKeyPart& part = key_ref_->Part(i);
    if (!IsStringBaseType(part.BaseType)) return result;
    const uint8_t* v = record + part.MemoryOffset;
    int32_t n = 0;
    if (IsWideStringBaseType(part.BaseType)) {
      while (2 * n + 1 < part.MemoryDataSize && (v[2 * n] | v[2 * n + 1]) != 0) ++n;
    } else {
      while (n < part.MemoryDataSize && v[n] != 0) ++n;
    }
    result[static_cast<size_t>(i)] = n;
  }
  return result;
}

bool TABSBTreeRecordIndex::Search(int32_t session, bool forward, const TABSIndexKeyCondition* condition,
                                  TABSRecordID& id, TABSKeyPath* path_out) {
  require_open();
  TABSKeyPath path;
  bool found = false;
  bool entry_loaded = false;  // entry_ holds the entry at `path`
  const int32_t kind = condition ? condition->Kind : ickNone;
  if (kind < ickNone || kind > ickGreaterOrEqual || (kind != ickNone && !condition->KeyRecord)) RaiseError(20078);
  if (kind == ickNone) {
    found = forward ? tree_->First(session, path) : tree_->Last(session, path);
  } else {
    std::vector<int32_t> prefixes;
    if (condition->Partial) prefixes = prefix_lengths(*condition);
    const TABSBTreeTarget target =
        target_of(condition->KeyRecord, condition->KeyFieldCount, prefixes.empty() ? nullptr : prefixes.data());
    // Position of the entry against the key: -1 lower, 0 equal, 1 higher.
    auto entry_vs_key = [&](const TABSKeyPath& p) {
      tree_->ReadLeafEntry(session, p, entry_.data());
      entry_loaded = true;
      const TABSRecordID entry_id = LoadRecordID(entry_.data() + key_ref_->PageKeySize());
      return -key_ref_->ComparePageKeys(session, target, entry_.data(), &entry_id);
    };
    auto before = [&](bool after_equal) {
      // The last entry below the key (after_equal false) or not above it (true).
      if (tree_->Seek(session, target, after_equal, path)) return tree_->Prior(session, path);
      return tree_->Last(session, path);
    };
    switch (kind) {
      case ickEqual:
        if (forward) {
          // The entry comes with the descent: no second visit to the leaf.
          found = tree_->SeekEntry(session, target, false, path, entry_.data());
          if (found) {
            const TABSRecordID entry_id = LoadRecordID(entry_.data() + key_ref_->PageKeySize());
            found = key_ref_->ComparePageKeys(session, target, entry_.data(), &entry_id) == 0;
            entry_loaded = true;
          }
        } else {
          found = before(true) && entry_vs_key(path) == 0;
        }
        break;
      case ickLess:
        found = forward ? tree_->First(session, path) && entry_vs_key(path) < 0 : before(false);
        break;
      case ickGreater:
        found = forward ? tree_->Seek(session, target, true, path) : tree_->Last(session, path) && entry_vs_key(path) > 0;
        break;
      case ickLessOrEqual:
        found = forward ? tree_->First(session, path) && entry_vs_key(path) <= 0 : before(true);
        break;
      case ickGreaterOrEqual:
        found =
            forward ? tree_->Seek(session, target, false, path) : tree_->Last(session, path) && entry_vs_key(path) >= 0;
        break;
    }
  }
  if (!found) return false;
  id = entry_loaded ? LoadRecordID(entry_.data() + key_ref_->PageKeySize()) : RecordIDAt(session, path);
  if (path_out) *path_out = path;
  return true;
}

int TABSBTreeRecordIndex::CompareRecords(const void* a, const void* b, int32_t k) {
  if (!key_ref_) RaiseError(20045);
  return key_ref_->CompareRecords(a, b, k);
}

int TABSBTreeRecordIndex::BoundSide(int32_t kind) {
  if (kind == ickGreater || kind == ickGreaterOrEqual) return -1;
  if (kind == ickLess || kind == ickLessOrEqual) return 1;
  return 0;
}

int64_t TABSBTreeRecordIndex::ApproximateCountBetween(int32_t session, const TABSIndexKeyCondition& a,
                                                      const TABSIndexKeyCondition& b, int64_t total) {
  const bool a_lower = BoundSide(a.Kind) <= BoundSide(b.Kind);
  const TABSIndexKeyCondition& lower = a_lower ? a : b;
  const TABSIndexKeyCondition& upper = a_lower ? b : a;
  TABSKeyPath low, high;
  TABSRecordID id;
  if (!Search(session, true, &lower, id, &low) || !Search(session, false, &upper, id, &high)) return 0;
  const double span = ApproximatePosition(high) - ApproximatePosition(low);
  const int64_t n = static_cast<int64_t>(std::llround(span * static_cast<double>(total)));
  return std::clamp<int64_t>(n, 0, total);
}

bool TABSBTreeRecordIndex::IsUnique(int32_t session, const void* record) {
  require_open();
  if (!definition_.Unique && !definition_.Primary) return true;
  TABSKeyPath path;
  const TABSBTreeTarget target = target_of(record);
  if (!tree_->SeekEntry(session, target, false, path, entry_.data())) return true;
  const TABSRecordID entry_id = LoadRecordID(entry_.data() + key_ref_->PageKeySize());
  return key_ref_->ComparePageKeys(session, target, entry_.data(), &entry_id) != 0;
}

bool TABSBTreeRecordIndex::keys_differ(const void* a, const void* b) {
  return key_ref_->CompareRecords(a, b, key_ref_->PartCount()) != 0;
}

bool TABSBTreeRecordIndex::UniqueAfterChange(int32_t session, const void* old_record, const void* new_record) {
  require_open();
  if (!keys_differ(old_record, new_record)) return true;
  return IsUnique(session, new_record);
}

void TABSBTreeRecordIndex::Insert(int32_t session, const void* record, const TABSRecordID& id) {
  require_open();
  TABSBTreeTarget target = target_of(record);
  target.HasRecordID = true;
  target.RecordID = id;
  uint8_t link[kRecordIDSize];
  StoreRecordID(link, id);
  tree_->Insert(session, target, link);
  ++definition_.ChangeStamp;
}

void TABSBTreeRecordIndex::Delete(int32_t session, const void* record, const TABSRecordID& id) {
  require_open();
  TABSBTreeTarget target = target_of(record);
  target.HasRecordID = true;
  target.RecordID = id;
  if (!tree_->Delete(session, target)) RaiseError(20027);
  ++definition_.ChangeStamp;
}

void TABSBTreeRecordIndex::Update(int32_t session, const void* old_record, const void* new_record,
                                  const TABSRecordID& id, bool second_call) {
  require_open();
  if (!keys_differ(old_record, new_record)) return;
  if (second_call) {
    Insert(session, new_record, id);
    return;
  }
  TABSBTreeTarget target = target_of(old_record);
  target.HasRecordID = true;
  target.RecordID = id;
  if (!tree_->Delete(session, target)) RaiseError(20250);
  ++definition_.ChangeStamp;
}

int32_t TABSBTreeRecordIndex::EntriesPerPage(int32_t* remainder) {
  if (!tree_) RaiseError(20045);
  if (remainder) *remainder = tree_->EntriesPerPageRemainder();
  return tree_->EntriesPerPage();
}

void TABSBTreeRecordIndex::ReadEntryAt(int32_t session, const TABSKeyPath& path, uint8_t* destination) {
  require_open();
  tree_->ReadEntry(session, path, destination);
}

bool TABSBTreeRecordIndex::First(int32_t session, TABSKeyPath& path) {
  require_open();
  return tree_->First(session, path);
}
bool TABSBTreeRecordIndex::Last(int32_t session, TABSKeyPath& path) {
  require_open();
  return tree_->Last(session, path);
}
bool TABSBTreeRecordIndex::Next(int32_t session, TABSKeyPath& path) {
  require_open();
  return tree_->Next(session, path);
}
bool TABSBTreeRecordIndex::Prior(int32_t session, TABSKeyPath& path) {
  require_open();
  return tree_->Prior(session, path);
}

int64_t TABSBTreeRecordIndex::IndexOrdinal(const TABSKeyPath& path) const { return tree_->Ordinal(path); }

bool TABSBTreeRecordIndex::PathOfOrdinal(int32_t session, int64_t ordinal, TABSKeyPath& path) {
  require_open();
  return tree_->PathOfOrdinal(session, ordinal, path);
}

int64_t TABSBTreeRecordIndex::CheckIntegrity(int32_t session) {
  require_open();
  return tree_->CheckIntegrity(session);
}

int64_t TABSBTreeRecordIndex::Count(int32_t session) {
  require_open();
  return tree_->Count(session);
}

}  // namespace dadoveri
