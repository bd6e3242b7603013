#include "engine/table/btree_record_index.h"

#include <cmath>
#include <cstring>

#include "engine/base/engine_error.h"
#include "engine/platform/code_page.h"
#include "engine/platform/locale.h"
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
  } else if (condition->Partial) {
    // The texts a prefix accepts need not be contiguous: walk the range that encloses
    // them to the first entry that qualifies.
    TABSIndexRange range(*this, condition);
    auto look_on = [&](const TABSKeyPath&, const TABSRecordID& entry_id, TABSIndexEntryTest test) {
      if (test == ietIn) return false;
      if (test == ietNeedsRecord) {
        fetch(session, entry_id, record_.data());
        if (range.Accepts(record_.data())) return false;
      }
      return true;
    };
    // The walk stops on the first entry that qualifies.
    found = range.Seek(session, forward, path) && range.Walk(session, forward, path, look_on);
  } else {
    const TABSBTreeTarget target = target_of(condition->KeyRecord, condition->KeyFieldCount);
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
  require_open();
  TABSIndexRange range(*this, &a, &b);
  return range.ApproximateCount(session, total);
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

namespace dadoveri {

// ---------------------------------------------------------------------------------------
// Index ranges

namespace {

bool kind_accepts(int32_t kind, int entry_vs_key) {
  switch (kind) {
    case ickEqual: return entry_vs_key == 0;
    case ickLess: return entry_vs_key < 0;
    case ickGreater: return entry_vs_key > 0;
    case ickLessOrEqual: return entry_vs_key <= 0;
    case ickGreaterOrEqual: return entry_vs_key >= 0;
    default: return true;
  }
}


// Whether the stored value of a cut part fills every stored byte (the text may go on).
bool stored_text_is_cut(const TABSRecordKeyPart& part, const uint8_t* value) {
  if (!part.Truncated) return false;
  if (IsWideStringBaseType(part.BaseType)) {
    for (int32_t i = 0; i < part.StoredChars; ++i)
      if (value[2 * i] == 0 && value[2 * i + 1] == 0) return false;
    return true;
  }
  return std::memchr(value, 0, static_cast<size_t>(part.StoredBytes)) == nullptr;
}

}  // namespace

TABSIndexRange::TABSIndexRange(TABSBTreeRecordIndex& index, const TABSIndexKeyCondition* first,
                               const TABSIndexKeyCondition* second)
    : index_(index) {
  index_.require_open();
  if (first) add(*first);
  if (second) add(*second);
  // The intervals of one prefix are the range's only bounds when it has one condition;
  // with more, the covering bounds alone are walked.
  if (conditions_.size() != 1) pieces_.clear();
  entry_.resize(static_cast<size_t>(index_.Tree().LeafEntrySize()));
}

TABSIndexRange::Side& TABSIndexRange::new_side(bool lower, const TABSIndexKeyCondition& condition, int32_t part_count,
                                               bool inclusive) {
  TABSRecordKeyRef& keys = index_.KeyRef();
  auto side = std::make_unique<Side>();
  side->Key.resize(keys.PageKeySize());
  keys.BuildPageKey(condition.KeyRecord, side->Key.data());
  side->Target.Key = side->Key.data();
  side->Target.Record = condition.KeyRecord;
  side->Target.PartCount = part_count;
  side->Inclusive = inclusive;
  Side& result = *side;
  (lower ? lower_ : upper_).push_back(std::move(side));
  return result;
}

namespace {

// The locale's prefix intervals (TUserLocale::PrefixSortKeyRanges), remembered for the last
// few prefixes: a cursor's steps under one filter ask for the same ones again and again.
int32_t prefix_ranges(const std::u16string& prefix, bool case_insensitive,
                      std::vector<TUserLocale::SortKeyRange>& ranges) {
  struct Entry {
    std::u16string prefix;
    bool case_insensitive = false;
    int32_t used = 0;
    std::vector<TUserLocale::SortKeyRange> ranges;
  };
  constexpr size_t kEntries = 8;
  thread_local std::vector<Entry> entries;
  thread_local size_t next = 0;
  for (const Entry& e : entries) {
    if (e.case_insensitive == case_insensitive && e.prefix == prefix) {
      ranges = e.ranges;
      return e.used;
    }
  }
  Entry e;
  e.prefix = prefix;
  e.case_insensitive = case_insensitive;
  e.used = UserLocale().PrefixSortKeyRanges(prefix, case_insensitive, e.ranges);
  ranges = e.ranges;
  const int32_t used = e.used;
  if (entries.size() < kEntries) {
    entries.push_back(std::move(e));
  } else {
    entries[next] = std::move(e);
    next = (next + 1) % kEntries;
  }
  return used;
}

}  // namespace

namespace {

// Whether equal values of a part are stored as equal bytes, and equal bytes always mean
// equal values that the stored key decides (not floating-point values: NaN and signed
// zeros; not cut texts, whose records decide).
bool bytes_decide_equality(const TABSRecordKeyPart& part) {
  if (part.Truncated) return false;
  if (IsStringBaseType(part.BaseType)) return true;
  switch (part.BaseType) {
    case btShortint: case btSmallint: case btInteger: case btLargeint:
    case btByte: case btWord: case btCardinal: case btLogical:
      return true;
    default:
      return false;
  }
}

// The bytes an entry that satisfies an equality with a prefix on part `prefix_part` may
// begin with (see Condition::MatchingBytes); empty when bytes cannot decide.
std::vector<uint8_t> matching_bytes(const TABSRecordKeyRef& keys, const std::vector<uint8_t>& page_key,
                                    int32_t prefix_part, const uint8_t* record, size_t prefix_chars) {
  for (int32_t i = 0; i < prefix_part; ++i)
    if (!bytes_decide_equality(keys.Part(i))) return {};
  const TABSRecordKeyPart& part = keys.Part(prefix_part);
  // A prefix the cut stored text may not hold whole is left to the comparison.
  if (part.Truncated && prefix_chars > static_cast<size_t>(part.StoredChars)) return {};
  const size_t unit = IsWideStringBaseType(part.BaseType) ? 2 : 1;
  std::vector<uint8_t> bytes(page_key.begin(), page_key.begin() + part.PageOffset);
  bytes.push_back(0);  // not NULL
  bytes.insert(bytes.end(), record + part.MemoryOffset, record + part.MemoryOffset + prefix_chars * unit);
  return bytes;
}

}  // namespace

void TABSIndexRange::add(const TABSIndexKeyCondition& key) {
  if (key.Kind < ickEqual || key.Kind > ickGreaterOrEqual || !key.KeyRecord) RaiseError(20078);
  TABSRecordKeyRef& keys = index_.KeyRef();
  Condition condition;
  condition.Key = key;
  condition.PartCount = key.KeyFieldCount < 0 || key.KeyFieldCount > keys.PartCount() ? keys.PartCount()
                                                                                        : key.KeyFieldCount;
  const int32_t k = condition.PartCount;
  condition.Prefixes.assign(static_cast<size_t>(keys.PartCount()), -1);
  const uint8_t* record = static_cast<const uint8_t*>(key.KeyRecord);
  std::u16string prefix;
  if (key.Partial && k > 0) {
    const TABSRecordKeyPart& part = keys.Part(k - 1);
    const bool null = (record[part.FieldNo / 8] >> (part.FieldNo % 8)) & 1;
    if (IsStringBaseType(part.BaseType) && !null) {
      prefix = KeyPartText(part, record + part.MemoryOffset, part.MemoryDataSize);
      condition.PrefixPart = k - 1;
      condition.Prefixes[static_cast<size_t>(k - 1)] = static_cast<int32_t>(prefix.size());
    }
  }
  condition.PageKey.resize(keys.PageKeySize());
  keys.BuildPageKey(key.KeyRecord, condition.PageKey.data());
  if (key.Kind == ickEqual && condition.PrefixPart >= 0 && !prefix.empty())
    condition.MatchingBytes = matching_bytes(keys, condition.PageKey, k - 1, record, prefix.size());
  conditions_.push_back(std::move(condition));
  const Condition& added = conditions_.back();
  const int32_t kind = key.Kind;
  const bool bounds_below = kind == ickEqual || kind == ickGreater || kind == ickGreaterOrEqual;
  const bool bounds_above = kind == ickEqual || kind == ickLess || kind == ickLessOrEqual;
  if (added.PrefixPart < 0) {
    // Whole values: the condition's own key is the bound.
    if (bounds_below) new_side(true, key, k, kind != ickGreater);
    if (bounds_above) new_side(false, key, k, kind != ickLess);
    return;
  }
  exact_ = false;
  // The earlier fields bound the range whatever the prefix.
  if (kind != ickEqual) {
    if (k > 1) new_side(bounds_below, key, k - 1, true);
    return;
  }
  const TABSRecordKeyPart& part = keys.Part(k - 1);
  // A cut stored key keeps only the beginning of the prefix: bound by what it keeps.
  if (part.Truncated && static_cast<int32_t>(prefix.size()) > part.StoredChars)
    prefix.resize(static_cast<size_t>(part.StoredChars));
  std::vector<TUserLocale::SortKeyRange> ranges;
  if (prefix_ranges(prefix, part.CaseInsensitive, ranges) == 0) {
    if (k > 1) {
      new_side(true, key, k - 1, true);
      new_side(false, key, k - 1, true);
    }
    return;
  }
  // In index order a descending part puts the texts' upper bound first.
  for (const bool lower : {true, false}) {
    Side& side = new_side(lower, key, k, true);
    side.Bound = std::make_unique<TABSKeyBound>();
    side.Bound->SortKey = lower != part.Descending ? ranges.front().Lower : ranges.back().Upper;
    side.Bound->BelowPrefixTexts = lower != part.Descending;
    // The prefix as the part stores it: a code-page byte or a UTF-16LE unit a character.
    side.Bound->PrefixBytes.assign(reinterpret_cast<const char*>(record + part.MemoryOffset),
                                   prefix.size() * (IsWideStringBaseType(part.BaseType) ? 2 : 1));
    side.Bound->HasPrefix = true;
    side.Target.Bound = side.Bound.get();
  }
  // Disjoint intervals (a prefix whose completions by a contraction sort elsewhere): the
  // walk keeps to them and seeks over the entries between them. Their bounds carry no
  // prefix bytes: a text that begins with the prefix may lie in any of them.
  if (ranges.size() > 1) {
    pieces_.clear();
    for (size_t i = 0; i < ranges.size(); ++i) {
      const TUserLocale::SortKeyRange& r = ranges[part.Descending ? ranges.size() - 1 - i : i];
      Piece piece;
      for (const bool lower : {true, false}) {
        std::unique_ptr<Side>& side = lower ? piece.Low : piece.High;
        side = std::make_unique<Side>();
        side->Key = added.PageKey;
        side->Target.Key = side->Key.data();
        side->Target.Record = key.KeyRecord;
        side->Target.PartCount = k;
        side->Bound = std::make_unique<TABSKeyBound>();
        side->Bound->SortKey = lower != part.Descending ? r.Lower : r.Upper;
        side->Bound->BelowPrefixTexts = lower != part.Descending;
        side->Target.Bound = side->Bound.get();
      }
      pieces_.push_back(std::move(piece));
    }
  }
}

int TABSIndexRange::entry_vs_side(int32_t session, const Side& side, bool lower, const uint8_t* entry) {
  TABSRecordKeyRef& keys = index_.KeyRef();
  const TABSRecordID id = LoadRecordID(entry + keys.PageKeySize());
  const int c = keys.ComparePageKeys(session, side.Target, entry, &id);  // target against entry
  if (lower) return (side.Inclusive ? c <= 0 : c < 0) ? 0 : -1;
  return (side.Inclusive ? c >= 0 : c > 0) ? 0 : 1;
}

bool TABSIndexRange::inside(int32_t session, const uint8_t* entry, bool check_lower, bool check_upper) {
  if (check_lower)
    for (const auto& side : lower_)
      if (entry_vs_side(session, *side, true, entry) != 0) return false;
  if (check_upper)
    for (const auto& side : upper_)
      if (entry_vs_side(session, *side, false, entry) != 0) return false;
  return true;
}

void TABSIndexRange::load_entry(int32_t session, const TABSKeyPath& path) {
  // A walk asks for the entry it has just stepped onto several times (bounds, conditions,
  // record identifier): it is copied out of its page once. The range only reads, and the
  // index does not change while a search uses it.
  if (!path.IsEmpty() && entry_page_ >= 0 && path.Leaf().PageNo == entry_page_ && path.Leaf().EntryNo == entry_no_)
    return;
  entry_page_ = -1;
  index_.Tree().ReadLeafEntry(session, path, entry_.data());
  entry_page_ = path.Leaf().PageNo;
  entry_no_ = path.Leaf().EntryNo;
}

int TABSIndexRange::Where(int32_t session, const TABSKeyPath& path) {
  load_entry(session, path);
  if (!inside(session, entry_.data(), true, false)) return -1;
  return inside(session, entry_.data(), false, true) ? 0 : 1;
}

bool TABSIndexRange::seek_side(int32_t session, const Side& side, bool lower, TABSKeyPath& path) {
  TABSBTree& tree = index_.Tree();
  if (lower) return tree.Seek(session, side.Target, !side.Inclusive, path);
  // The last entry not above the side: the one before the first entry above it.
  if (tree.Seek(session, side.Target, side.Inclusive, path)) return tree.Prior(session, path);
  return tree.Last(session, path);
}

bool TABSIndexRange::Seek(int32_t session, bool forward, TABSKeyPath& path) {
  TABSBTree& tree = index_.Tree();
  const auto& near_sides = forward ? lower_ : upper_;
  bool found;
  if (near_sides.empty()) {
    found = forward ? tree.First(session, path) : tree.Last(session, path);
  } else {
    found = seek_side(session, *near_sides[0], forward, path);
    // The tightest of the near sides: seek each one the entry lies outside of. In a sound
    // tree each such seek only goes further in the direction, so the entry stays inside
    // the sides seeked before; one pass does, and the check below holds a damaged tree to
    // that too.
    for (size_t i = 1; found && i < near_sides.size(); ++i) {
      load_entry(session, path);
      if (entry_vs_side(session, *near_sides[i], forward, entry_.data()) != 0)
        found = seek_side(session, *near_sides[i], forward, path);
    }
  }
  if (!found) return false;
  load_entry(session, path);
  if (!inside(session, entry_.data(), true, true)) return false;
  return pieces_.empty() || enter_piece(session, forward, path);
}

bool TABSIndexRange::Step(int32_t session, bool forward, TABSKeyPath& path) {
  TABSBTree& tree = index_.Tree();
  if (!(forward ? tree.Next(session, path) : tree.Prior(session, path))) return false;
  load_entry(session, path);
  if (!inside(session, entry_.data(), !forward, forward)) return false;
  return pieces_.empty() || enter_piece(session, forward, path);
}

bool TABSIndexRange::enter_piece(int32_t session, bool forward, TABSKeyPath& path) {
  const size_t n = pieces_.size();
  for (size_t k = 0; k < n; ++k) {
    const size_t i = forward ? k : n - 1 - k;
    const Piece& piece = pieces_[i];
    const Side& near_side = forward ? *piece.Low : *piece.High;
    const Side& far_side = forward ? *piece.High : *piece.Low;
    load_entry(session, path);
    if (entry_vs_side(session, far_side, !forward, entry_.data()) != 0) continue;  // past this piece
    if (entry_vs_side(session, near_side, forward, entry_.data()) != 0) {
      // Short of the piece: its near end, unless the piece holds no entry.
      if (!seek_side(session, near_side, forward, path)) return false;
      load_entry(session, path);
      if (entry_vs_side(session, far_side, !forward, entry_.data()) != 0) continue;
    }
    piece_ = i;
    return true;
  }
  return false;
}

bool TABSIndexRange::within_piece(int32_t session, bool forward, const uint8_t* entry) {
  if (pieces_.empty()) return true;
  const Piece& piece = pieces_[piece_];
  return entry_vs_side(session, forward ? *piece.High : *piece.Low, !forward, entry) == 0;
}

namespace {

// Short runs of bytes compared inline (the beginnings of keys are a few bytes).
bool same_bytes(const uint8_t* a, const uint8_t* b, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

}  // namespace

void TABSIndexRange::remember_beginning(Condition& condition, const uint8_t* entry, bool in) {
  const size_t size = condition.MatchingBytes.size();
  const size_t slot = condition.NextBeginning;
  condition.NextBeginning = (slot + 1) % kRememberedBeginnings;
  if (condition.Beginnings.size() < (slot + 1) * size) {
    condition.Beginnings.resize((slot + 1) * size);
    condition.BeginningIn.resize(slot + 1);
  }
  std::memcpy(condition.Beginnings.data() + slot * size, entry, size);
  condition.BeginningIn[slot] = in ? 1 : 0;
}

TABSIndexEntryTest TABSIndexRange::Test(int32_t session, const TABSKeyPath& path) {
  load_entry(session, path);
  return test_entry(session, entry_.data());
}

TABSIndexEntryTest TABSIndexRange::test_entry(int32_t session, const uint8_t* entry) {
  TABSRecordKeyRef& keys = index_.KeyRef();
  TABSIndexEntryTest result = ietIn;
  for (Condition& condition : conditions_) {
    // Identical bytes are equal under any collation: only entries whose bytes differ
    // from the prefix need it, and it answers alike for alike beginnings.
    const size_t size = condition.MatchingBytes.size();
    if (size > 0) {
      if (same_bytes(entry, condition.MatchingBytes.data(), size)) continue;
      const uint8_t* known = condition.Beginnings.data();
      const size_t n = condition.Beginnings.size() / size;
      size_t i = 0;
      while (i < n && !same_bytes(entry, known + i * size, size)) ++i;
      if (i < n) {
        if (condition.BeginningIn[i]) continue;
        return ietOut;
      }
    }
    TABSBTreeTarget target;
    target.Key = condition.PageKey.data();
    target.Record = condition.Key.KeyRecord;
    target.PartCount = condition.PartCount;
    target.PrefixLengths = condition.Prefixes.data();
    int c = keys.ComparePageKeys(session, target, entry, nullptr);
    if (c != kCompareNeedsEntry && condition.PrefixPart >= 0 && condition.Key.Kind != ickEqual) {
      // A prefix longer than a cut stored text: the cut text does not tell how the
      // record's first characters order against the prefix.
      const TABSRecordKeyPart& part = keys.Part(condition.PrefixPart);
      const int32_t n = condition.Prefixes[static_cast<size_t>(condition.PrefixPart)];
      const uint8_t* stored = entry + part.PageOffset;
      if (n > part.StoredChars && stored[0] == 0 && stored_text_is_cut(part, stored + 1)) c = kCompareNeedsEntry;
    }
    if (c == kCompareNeedsEntry) {
      result = ietNeedsRecord;
      continue;
    }
    const bool in = kind_accepts(condition.Key.Kind, -c);
    if (size > 0) remember_beginning(condition, entry, in);
    if (!in) return ietOut;
  }
  return result;
}

TABSBTree& TABSIndexRange::index_tree() { return index_.Tree(); }

bool TABSIndexRange::Accepts(const void* record) const {
  const TABSRecordKeyRef& keys = index_.KeyRef();
  for (const Condition& condition : conditions_) {
    const int c = keys.CompareRecords(record, condition.Key.KeyRecord, condition.PartCount, condition.Prefixes.data());
    if (!kind_accepts(condition.Key.Kind, c)) return false;
  }
  return true;
}

TABSRecordID TABSIndexRange::RecordIDAt(int32_t session, const TABSKeyPath& path) {
  load_entry(session, path);
  return LoadRecordID(entry_.data() + index_.KeyRef().PageKeySize());
}

int64_t TABSIndexRange::ApproximateCount(int32_t session, int64_t total) {
  TABSKeyPath low, high;
  if (!Seek(session, true, low) || !Seek(session, false, high)) return 0;
  double span = TABSBTree::ApproximatePosition(high) - TABSBTree::ApproximatePosition(low);
  if (!pieces_.empty()) {
    // The pieces' spans, without the entries between them.
    span = 0;
    for (const Piece& piece : pieces_) {
      if (!seek_side(session, *piece.Low, true, low) || !seek_side(session, *piece.High, false, high)) continue;
      span += std::max(0.0, TABSBTree::ApproximatePosition(high) - TABSBTree::ApproximatePosition(low));
    }
  }
  const int64_t n = static_cast<int64_t>(std::llround(span * static_cast<double>(total)));
  return std::clamp<int64_t>(n, 0, total);
}

}  // namespace dadoveri
