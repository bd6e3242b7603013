#include "engine/dataset/table_dataset.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "engine/base/engine_error.h"
#include "engine/base/little_endian.h"
#include "engine/base/utf8.h"
#include "engine/dataset/blob_stream.h"
#include "engine/database/disk_table_data.h"
#include "engine/platform/code_page.h"
#include "engine/query/cursor_filter_expression.h"
#include "engine/table/database_data.h"
#include "engine/table/session.h"
#include "engine/table/table_data.h"

namespace dadoveri {

namespace {

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// The calculated area of one field: a presence byte, then a pointer to its value.
constexpr int32_t kCalcSlotSize = 1 + static_cast<int32_t>(sizeof(TFieldValue*));

bool is_date_type(TFieldType type) {
  return type == ftDate || type == ftTime || type == ftDateTime || type == ftTimeStamp;
}

TFieldValue variant_to_native(TFieldType type, const TABSVariant& v) {
  if (v.IsNull()) return std::monostate{};
  const TABSBaseType t = v.ValueType();
  if (is_date_type(type)) return TField::DateTimeToNative(type, v.GetAsTDateTime());
  if (IsWideStringBaseType(t)) return v.GetAsWideString();
  if (IsStringBaseType(t)) return v.GetAsString();
  if (t == btBytes || t == btVarBytes)
    return std::string(static_cast<const char*>(v.Data()), static_cast<size_t>(v.DataSize()));
  if (t == btLogical) return v.GetAsLogical();
  if (IsIntegerBaseType(t)) return v.GetAsLargeint();
  return v.GetAsFloat();
}

// A native value as the engine's variant for a field of `base` type.
TABSVariant native_to_variant(const TField& field, TABSBaseType base, const TFieldValue& value) {
  TABSVariant v;
  if (std::holds_alternative<std::monostate>(value)) {
    v.SetNull();
    return v;
  }
  if (is_date_type(field.DataType)) {
    const double calendar = TField::NativeToDateTime(field.DataType, value);
    if (field.DataType == ftDate) v.SetAsTDate(calendar);
    else if (field.DataType == ftTime) v.SetAsTTime(calendar);
    else v.SetAsTDateTime(calendar);
    return v;
  }
  if (IsWideStringBaseType(base)) {
    std::u16string text;
    if (const auto* w = std::get_if<std::u16string>(&value)) text = *w;
    else if (const auto* s = std::get_if<std::string>(&value)) text = AnsiCodePage().ToWide(*s);
    // The native buffer keeps at most Size characters with the terminator: a longer text
    // keeps its first Size - 1 characters.
    if (field.Size > 0 && static_cast<int32_t>(text.size()) > field.Size) text.resize(static_cast<size_t>(field.Size - 1));
    v.SetAsWideString(text);
    return v;
  }
  if (const auto* s = std::get_if<std::string>(&value)) {
    if (base == btBytes || base == btVarBytes) v.SetFromBuffer(s->data(), static_cast<int32_t>(s->size()), true, base);
    else v.SetAsString(*s);
  } else if (const auto* w = std::get_if<std::u16string>(&value)) {
    v.SetAsWideString(*w);
  } else if (const auto* i = std::get_if<int64_t>(&value)) {
    v.SetAsLargeint(*i);
  } else if (const auto* d = std::get_if<double>(&value)) {
    v.SetAsFloat(*d);
  } else if (const auto* b = std::get_if<bool>(&value)) {
    v.SetAsLogical(*b);
  }
  return v;
}

std::vector<std::string> split_names(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : text) {
    if (c == ';') {
      out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  out.push_back(cur);
  for (std::string& s : out) {
    while (!s.empty() && s.front() == ' ') s.erase(s.begin());
    while (!s.empty() && s.back() == ' ') s.pop_back();
  }
  std::erase_if(out, [](const std::string& s) { return s.empty(); });
  return out;
}

}  // namespace

TABSDataSet::TABSDataSet(TComponent* owner) : TDataSet(owner) {}

TABSDataSet::~TABSDataSet() = default;

// ---- properties ----

void TABSDataSet::SetDatabaseName(const std::string& value) {
  if (value == database_name_) return;
  if (database_) DatabaseError(kMsgDatabaseOpen, this);
  CheckInactive();
  database_name_ = value;
  in_memory_ = equal_ignoring_case(value, "MEMORY");
  DataEvent(TDataEvent::dePropertyChange);
}

void TABSDataSet::SetSessionName(const std::string& value) {
  if (value == session_name_) return;
  CheckInactive();
  session_name_ = value;
  DataEvent(TDataEvent::dePropertyChange);
}

void TABSDataSet::SetInMemory(bool value) {
  if (value == in_memory_) return;
  CheckInactive();
  in_memory_ = value;
  if (value) database_name_ = "MEMORY";
}

void TABSDataSet::SetReadOnly(bool value) {
  user_read_only_ = value;
  // A read-only database keeps every open dataset read-only.
  read_only_ = value || (database_ && database_->ReadOnly);
}

void TABSDataSet::SetFilterOptions(TFilterOptions value) {
  CheckBrowseMode();
  if (value == filter_options_) return;
  filter_options_ = value;
  if (Active() && Filtered()) {
    apply_filter_state();
    First();
  }
}

void TABSDataSet::SetFilterText(const std::u16string& value) {
  CheckBrowseMode();
  TDataSet::SetFilterText(value);
  if (Active() && Filtered()) {
    apply_filter_state();
    First();
  }
}

void TABSDataSet::SetFilter(const std::string& utf8_text) { SetFilterText(Utf8ToUtf16(utf8_text)); }

void TABSDataSet::SetFiltered(bool value) {
  if (!Active()) {
    TDataSet::SetFiltered(value);
    return;
  }
  CheckBrowseMode();
  if (value != Filtered()) {
    TDataSet::SetFiltered(value);
    apply_filter_state();
  }
  First();
}

void TABSDataSet::SetOnFilterRecord(TFilterRecordEvent handler) {
  const bool had = static_cast<bool>(OnFilterRecord());
  if (Active()) CheckBrowseMode();
  TDataSet::SetOnFilterRecord(std::move(handler));
  if (Active() && had != static_cast<bool>(OnFilterRecord())) {
    apply_filter_state();
    if (Filtered()) First();
  }
}

void TABSDataSet::apply_filter_state() {
  if (!cursor_) return;
  const bool use_text = Filtered() && !Filter().empty();
  if (use_text) {
    // An unchanged text with unchanged options keeps the compiled filter and its bitmap.
    if (!filter_applied_ || applied_text_ != Filter() || !(applied_options_ == filter_options_)) {
      cursor_->SetFilter(Filter(), filter_options_.foCaseInsensitive, !filter_options_.foNoPartialCompare);
      filter_applied_ = true;
      applied_text_ = Filter();
      applied_options_ = filter_options_;
    }
  } else if (filter_applied_ || cursor_->Filter) {
    cursor_->ClearFilter();
    filter_applied_ = false;
    applied_text_.clear();
  }
  const bool use_callback = Filtered() && static_cast<bool>(OnFilterRecord());
  if (use_callback)
    cursor_->SetFilterCallback([this](const void* record) { return cursor_accepts_callback(record); });
  else if (cursor_->FilterCallback)
    cursor_->SetFilterCallback(nullptr);
}

bool TABSDataSet::cursor_accepts_callback(const void* record) {
  TRecordBuffer probe = FilterBuffer();
  if (!probe) return true;
  std::memcpy(probe, record, static_cast<size_t>(record_size_));
  free_calc_values(probe);
  std::memset(probe + record_size_, 0, static_cast<size_t>(calc_area_size_));
  return FilterRecord(probe);
}

void TABSDataSet::check_open(int32_t code) const {
  if (!Active() || !cursor_) RaiseError(code);
}

// ---- buffers ----

int32_t TABSDataSet::calc_offset(const TField& field) const {
  const int i = Fields().IndexOf(&field);
  if (i < 0 || static_cast<size_t>(i) >= calc_offsets_.size()) return -1;
  return calc_offsets_[static_cast<size_t>(i)];
}

uint8_t* TABSDataSet::bookmark_of(TRecordBuffer buffer) const { return buffer + record_size_ + calc_area_size_; }

TRecordBuffer TABSDataSet::AllocRecordBuffer() {
  auto* b = new uint8_t[static_cast<size_t>(buffer_size_)]();
  return b;
}

void TABSDataSet::free_calc_values(TRecordBuffer buffer) {
  for (int32_t offset : calc_offsets_) {
    if (offset < 0) continue;
    uint8_t* slot = buffer + record_size_ + offset;
    TFieldValue* value = nullptr;
    std::memcpy(&value, slot + 1, sizeof value);
    delete value;
    std::memset(slot, 0, static_cast<size_t>(kCalcSlotSize));
  }
}

void TABSDataSet::FreeRecordBuffer(TRecordBuffer& buffer) {
  if (!buffer) return;
  free_calc_values(buffer);
  if (cursor_ && cursor_->TableData()) cursor_->TableData()->ReleaseRecordExtras(buffer);
  delete[] buffer;
  buffer = nullptr;
}

void TABSDataSet::ClearCalcFields(TRecordBuffer buffer) {
  if (buffer) free_calc_values(buffer);
}

TBookmarkFlag TABSDataSet::GetBookmarkFlag(TRecordBuffer buffer) {
  switch (bookmark_of(buffer)[6]) {
    case 1: return TBookmarkFlag::bfBOF;
    case 2: return TBookmarkFlag::bfEOF;
    case 3: return TBookmarkFlag::bfInserted;
    default: return TBookmarkFlag::bfCurrent;
  }
}

void TABSDataSet::SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) {
  bookmark_of(buffer)[6] = static_cast<uint8_t>(flag);
}

TBookmark TABSDataSet::GetBookmarkData(TRecordBuffer buffer) {
  const uint8_t* b = bookmark_of(buffer);
  return TBookmark(b, b + kDataSetBookmarkSize);
}

void TABSDataSet::position_cursor(const uint8_t* bookmark) {
  uint8_t cursor_bookmark[kBookmarkSize] = {};
  std::memcpy(cursor_bookmark + 2, bookmark, 6);
  cursor_->SetBookmark(cursor_bookmark);
}

void TABSDataSet::load_buffer(TRecordBuffer buffer) {
  std::memcpy(buffer, cursor_->CurrentRecord, static_cast<size_t>(record_size_));
  uint8_t* b = bookmark_of(buffer);
  StoreLE(b, cursor_->Position.PageNo);
  StoreLE(b + 4, static_cast<int16_t>(cursor_->Position.SlotNo));
  b[6] = 0;
  ClearCalcFields(buffer);
}

// ---- opening and closing ----

void TABSDataSet::InternalOpen() {
  database_ = &AttachDatabase();
  try {
    database_->AttachDataSet(this, IsSQLResult());
    cursor_ = CreateCursor();
    if (!cursor_) RaiseError(20001);
    cursor_->SetFilterFactory(&CursorExpressionFilterFactory());
    read_only_ = user_read_only_ || database_->ReadOnly;
    record_size_ = cursor_->RecordSize;
    FieldDefs.clear();
    for (int32_t i = 0; i < cursor_->VisibleFields.Count(); ++i) {
      const TABSFieldDef* d = cursor_->VisibleFields.Item(i);
      TFieldDef def;
      def.Name = d->Name;
      def.DataType = ColumnTypeToFieldType(d->ColumnType);
      def.Size = def.DataType == ftGuid ? 38 : d->Size;
      def.FieldNo = i + 1;
      def.WideText = d->ColumnType == ctWideMemo;
      FieldDefs.push_back(def);
    }
    CreateFields();
    calc_offsets_.assign(static_cast<size_t>(FieldCount()), -1);
    calc_area_size_ = 0;
    for (int i = 0; i < FieldCount(); ++i) {
      if (!Fields()[i]->InCalcArea()) continue;
      calc_offsets_[static_cast<size_t>(i)] = calc_area_size_;
      calc_area_size_ += kCalcSlotSize;
    }
    buffer_size_ = record_size_ + calc_area_size_ + kDataSetBookmarkSize;
    AfterCursorOpened();
    filter_applied_ = false;
    apply_filter_state();
  } catch (...) {
    InternalClose();
    throw;
  }
}

void TABSDataSet::ReleaseCursor(std::unique_ptr<TABSCursor>& cursor) {
  cursor->Close();
  cursor.reset();
}

TABSDatabase& TABSDataSet::AttachDatabase() {
  if (database_name_.empty()) DatabaseError(kMsgDataSetDatabaseNameBlank, this);
  TABSSession& session = Sessions().FindSession(session_name_);
  return *session.OpenDatabase(database_name_, Owner());
}

void TABSDataSet::ReleaseDatabase(TABSDatabase& database) {
  if (TABSSession* session = database.Session()) session->CloseDatabase(&database);
}

void TABSDataSet::BeginBufferFill() {
  if (fill_depth_ == 0 && cursor_) fill_scope_ = std::make_unique<TABSTableReadScope>(*cursor_);
  ++fill_depth_;
}

void TABSDataSet::EndBufferFill() {
  if (fill_depth_ > 0 && --fill_depth_ == 0) fill_scope_.reset();
}

void TABSDataSet::InternalClose() {
  fill_scope_.reset();
  if (cursor_) ReleaseCursor(cursor_);
  cursor_.reset();
  filter_applied_ = false;
  applied_text_.clear();
  DestroyFields();
  FieldDefs.clear();
  calc_offsets_.clear();
  if (database_) {
    TABSDatabase* database = database_;
    database_ = nullptr;
    database->DetachDataSet(this);
    try {
      if (TABSSession* session = database->Session()) session->CloseDatabase(database);
    } catch (...) {
    }
  }
}

// ---- reading ----

TGetResult TABSDataSet::GetRecord(TRecordBuffer buffer, TGetMode mode, bool do_check) {
  const int32_t m = mode == TGetMode::gmCurrent ? 0 : mode == TGetMode::gmNext ? 1 : 2;
  const int32_t r = cursor_->GetRecord(m);
  switch (r) {
    case 0:
      load_buffer(buffer);
      CalculateFields(buffer);
      return TGetResult::grOK;
    case 1:
      return TGetResult::grBOF;
    case 2:
      return TGetResult::grEOF;
    default:
      if (do_check) RaiseError(10026);
      return TGetResult::grError;
  }
}

void TABSDataSet::InternalFirst() { cursor_->GoToBegin(); }

void TABSDataSet::InternalLast() { cursor_->GoToEnd(); }

void TABSDataSet::InternalSetToRecord(TRecordBuffer buffer) {
  if (GetBookmarkFlag(buffer) == TBookmarkFlag::bfCurrent || GetBookmarkFlag(buffer) == TBookmarkFlag::bfInserted)
    position_cursor(bookmark_of(buffer));
}

int32_t TABSDataSet::field_no_of(const TField& field) const {
  if (field.FieldNo < 1 || field.FieldNo > cursor_->VisibleFields.Count())
    RaiseError(10005, field.FieldNo - 1, cursor_->VisibleFields.Count());
  return cursor_->VisibleFields.Item(field.FieldNo - 1)->TableFieldNo;
}

bool TABSDataSet::read_data_field(const TField& field, const uint8_t* record, TFieldValue& value) {
  value = std::monostate{};
  if (!cursor_ || !cursor_->TableData()) return false;
  const int32_t no = field_no_of(field);
  TABSTableData& table = *cursor_->TableData();
  const TABSRecordLayout& layout = table.FieldManager().Layout();
  if (layout.IsNull(no, record)) return false;
  const TABSBaseType base = layout.Field(no).BaseType;
  if (IsBlobBaseType(base)) {
    std::vector<uint8_t> bytes;
    if (!table.GetBlobValue(cursor_->Session->SessionID, no, record, bytes)) return false;
    if (base == btWideMemo) {
      std::u16string text(bytes.size() / 2, u'\0');
      std::memcpy(text.data(), bytes.data(), text.size() * 2);
      value = std::move(text);
    } else {
      value = std::string(bytes.begin(), bytes.end());
    }
    return true;
  }
  TABSVariant v;
  layout.GetFieldValue(no, record, v);
  value = variant_to_native(field.DataType, v);
  return !std::holds_alternative<std::monostate>(value);
}

bool TABSDataSet::GetFieldData(const TField& field, TFieldValue& value) {
  value = std::monostate{};
  TRecordBuffer buffer = ActiveRecordBuffer();
  if (!buffer || !cursor_) return false;
  if (field.InCalcArea()) {
    const int32_t offset = calc_offset(field);
    if (offset < 0) return false;
    const uint8_t* slot = buffer + record_size_ + offset;
    if (slot[0] == 0) return false;
    TFieldValue* stored = nullptr;
    std::memcpy(&stored, slot + 1, sizeof stored);
    if (stored) value = *stored;
    return !std::holds_alternative<std::monostate>(value);
  }
  return read_data_field(field, buffer, value);
}

void TABSDataSet::SetFieldData(TField& field, const TFieldValue& value) {
  const TDataSetState s = State();
  if (s != TDataSetState::dsEdit && s != TDataSetState::dsInsert && s != TDataSetState::dsSetKey &&
      s != TDataSetState::dsCalcFields && s != TDataSetState::dsFilter && s != TDataSetState::dsNewValue &&
      s != TDataSetState::dsInternalCalc)
    RaiseError(10007);
  TRecordBuffer buffer = ActiveRecordBuffer();
  if (!buffer) RaiseError(10011);
  if (field.InCalcArea()) {
    const int32_t offset = calc_offset(field);
    if (offset < 0) RaiseError(10011);
    uint8_t* slot = buffer + record_size_ + offset;
    TFieldValue* stored = nullptr;
    std::memcpy(&stored, slot + 1, sizeof stored);
    delete stored;
    stored = std::holds_alternative<std::monostate>(value) ? nullptr : new TFieldValue(value);
    slot[0] = stored ? 1 : 0;
    std::memcpy(slot + 1, &stored, sizeof stored);
    return;
  }
  const int32_t no = field_no_of(field);
  if (s == TDataSetState::dsSetKey) {
    bool in_index = false;
    if (const TABSIndexDef* index = cursor_->IndexDefs.FindByObjectID(cursor_->ActiveIndexID))
      for (const TABSIndexColumn& c : index->Columns)
        in_index = in_index || equal_ignoring_case(c.FieldName, cursor_->TableFields.Item(no)->Name);
    if (!in_index) RaiseError(20019, field.FieldName);
  }
  write_data_field(field, buffer, value);
}

void TABSDataSet::write_data_field(const TField& field, TRecordBuffer buffer, const TFieldValue& value) {
  const int32_t no = field_no_of(field);
  TABSTableData& table = *cursor_->TableData();
  const TABSRecordLayout& layout = table.FieldManager().Layout();
  const TABSBaseType base = layout.Field(no).BaseType;
  if (IsBlobBaseType(base)) {
    if (std::holds_alternative<std::monostate>(value)) {
      table.SetBlobValue(cursor_->Session->SessionID, no, buffer, nullptr, 0);
      return;
    }
    if (base == btWideMemo) {
      std::u16string text;
      if (const auto* w = std::get_if<std::u16string>(&value)) text = *w;
      else if (const auto* a = std::get_if<std::string>(&value)) text = AnsiCodePage().ToWide(*a);
      table.SetBlobValue(cursor_->Session->SessionID, no, buffer, text.data(),
                         static_cast<int64_t>(text.size() * 2));
    } else {
      std::string bytes;
      if (const auto* a = std::get_if<std::string>(&value)) bytes = *a;
      else if (const auto* w = std::get_if<std::u16string>(&value)) bytes = AnsiCodePage().ToAnsi(*w);
      table.SetBlobValue(cursor_->Session->SessionID, no, buffer, bytes.data(), static_cast<int64_t>(bytes.size()));
    }
    return;
  }
  const TABSVariant v = native_to_variant(field, base, value);
  if (v.IsNull()) layout.SetNull(no, buffer);
  else layout.SetFieldValue(no, v, buffer);
}

// ---- changes ----

void TABSDataSet::InternalInitRecord(TRecordBuffer buffer) {
  cursor_->InitRecordBuffer(buffer, true);
  std::memset(bookmark_of(buffer), 0, static_cast<size_t>(kDataSetBookmarkSize));
}

void TABSDataSet::InternalEdit() {
  if (read_only_) RaiseError(10032);
  InternalSetToRecord(ActiveBuffer());
  const int32_t r = cursor_->BeginEditRecord();
  if (r != 0) throw EABSEngineError(r, cursor_->LastMessage);
  edit_copy_.assign(ActiveBuffer(), ActiveBuffer() + record_size_);
}

void TABSDataSet::InternalPost() {
  check_open(10029);
  const bool inserting = State() == TDataSetState::dsInsert;
  if (!inserting && State() != TDataSetState::dsEdit) RaiseError(10030);
  if (read_only_) RaiseError(10032);
  TRecordBuffer buffer = ActiveBuffer();
  if (!inserting) InternalSetToRecord(buffer);
  std::memcpy(cursor_->CurrentRecord, buffer, static_cast<size_t>(record_size_));
  const int32_t r = cursor_->Post(inserting);
  if (r != 0) throw EABSEngineError(r, cursor_->LastMessage);
  if (inserting) {
    // The new record's place, so that the ring is re-read around it.
    uint8_t* b = bookmark_of(buffer);
    StoreLE(b, cursor_->Position.PageNo);
    StoreLE(b + 4, static_cast<int16_t>(cursor_->Position.SlotNo));
    b[6] = 3;
  }
  // The buffer's BLOB changes went with the record.
  std::memcpy(buffer, cursor_->CurrentRecord, static_cast<size_t>(record_size_));
  edit_copy_.clear();
}

void TABSDataSet::InternalCancel() {
  if (!cursor_) return;
  const bool inserting = State() == TDataSetState::dsInsert;
  cursor_->Cancel(inserting);
  if (TRecordBuffer buffer = ActiveBuffer(); buffer && cursor_->TableData())
    cursor_->TableData()->ReleaseRecordExtras(buffer);
  edit_copy_.clear();
}

void TABSDataSet::InternalDelete() {
  check_open(10068);
  if (read_only_) RaiseError(10069);
  InternalSetToRecord(ActiveBuffer());
  const int32_t r = cursor_->DeleteRecord();
  if (r != 0) throw EABSEngineError(r, cursor_->LastMessage);
}

void TABSDataSet::Post() {
  check_open(10029);
  const TDataSetState s = State();
  if (s == TDataSetState::dsSetKey) {
    TDataSet::Post();
    return;
  }
  if (s != TDataSetState::dsEdit && s != TDataSetState::dsInsert) RaiseError(10030);
  if (read_only_) RaiseError(10032);
  TDataSet::Post();
}

void TABSDataSet::Delete() {
  check_open(10068);
  if (read_only_) RaiseError(10069);
  TDataSet::Delete();
}

void TABSDataSet::InternalAddRecord(TRecordBuffer buffer, bool) {
  if (State() != TDataSetState::dsInsert) RaiseError(10076);
  if (read_only_) RaiseError(10077);
  std::memcpy(cursor_->CurrentRecord, buffer, static_cast<size_t>(record_size_));
  if (cursor_->Post(true) != 0) DatabaseError(kMsgErrorAddingRecord, this);
}

void TABSDataSet::InternalRefresh() {
  if (!cursor_) return;
  cursor_->InvalidateBitmap();
}

// ---- counts, numbers, searches, bookmarks ----

int64_t TABSDataSet::RecordCount() {
  if (!Active() || !cursor_) return 0;
  return cursor_->GetRecordCount();
}

int64_t TABSDataSet::RecNo() {
  if (!Active() || !cursor_) return -1;
  if (State() == TDataSetState::dsInsert) return -1;
  UpdateCursorPos();
  if (BufferedRecordCount() == 0) return -1;
  return cursor_->GetRecordNo();
}

void TABSDataSet::SetRecNo(int64_t value) {
  check_open(10029);
  CheckBrowseMode();
  if (value == RecNo()) return;
  DoBeforeScroll();
  cursor_->SetRecordNo(value);
  ResyncAtCursor();
  DoAfterScroll();
}

bool TABSDataSet::ReadRecordValues(int64_t rec_no, std::vector<TFieldValue>& values) {
  values.clear();
  if (!Active() || !cursor_ || rec_no < 1) return false;
  TABSCursor& c = *cursor_;
  // The count, the move, the read and the return share one read lock.
  const TABSTableReadScope scope(c);
  void* saved = c.GetBookmark();
  const bool saved_key_valid = c.PositionKeyValid;
  const std::vector<uint8_t> saved_key = c.PositionKey;
  const TABSRecordID saved_key_id = c.PositionKeyID;
  bool ok = false;
  std::vector<uint8_t> record;
  try {
    if (rec_no <= c.GetRecordCount()) {
      c.SetRecordNo(rec_no);
      if (c.GetRecord(0) == 0) {
        record.assign(c.CurrentRecord, c.CurrentRecord + record_size_);
        ok = true;
      }
    }
  } catch (...) {
    c.SetBookmark(saved);
    c.FreeBookmark(saved);
    throw;
  }
  c.SetBookmark(saved);
  c.FreeBookmark(saved);
  c.PositionKey = saved_key;
  c.PositionKeyID = saved_key_id;
  c.PositionKeyValid = saved_key_valid;
  CursorPosChanged();
  if (!ok) return false;
  values.resize(static_cast<size_t>(FieldCount()));
  for (int i = 0; i < FieldCount(); ++i) {
    TField* f = Fields()[i];
    if (!f->InCalcArea()) read_data_field(*f, record.data(), values[static_cast<size_t>(i)]);
  }
  return true;
}

bool TABSDataSet::land_search(bool found, void* saved) {
  // A search that found nothing leaves the dataset where it was; one that found a record
  // makes it current as a scroll.
  if (!found) {
    cursor_->SetBookmark(saved);
    cursor_->FreeBookmark(saved);
    CursorPosChanged();
    return false;
  }
  cursor_->FreeBookmark(saved);
  DoBeforeScroll();
  ResyncAtCursor();
  DoAfterScroll();
  return true;
}

bool TABSDataSet::Locate(const std::string& key_fields, std::span<const TFieldValue> key_values_in,
                         TLocateOptions options) {
  if (!Active() || !cursor_) RaiseError(10271);
  CheckBrowseMode();
  const std::vector<std::string> names = split_names(key_fields);
  const std::vector<TABSVariant> values = key_values(names, key_values_in);
  std::string joined;
  for (const std::string& n : names) joined += (joined.empty() ? "" : ";") + n;
  void* saved = cursor_->GetBookmark();
  bool found = false;
  try {
    found = cursor_->Locate(joined, values, options.loPartialKey, options.loCaseInsensitive);
  } catch (...) {
    cursor_->FreeBookmark(saved);
    throw;
  }
  return land_search(found, saved);
}

std::vector<TABSVariant> TABSDataSet::key_values(const std::vector<std::string>& names,
                                                std::span<const TFieldValue> values) {
  std::vector<TABSVariant> out;
  for (size_t i = 0; i < names.size(); ++i) {
    TField* f = FieldByName(names[i]);
    const TFieldValue v = i < values.size() ? values[i] : TFieldValue{};
    TABSBaseType base = btNone;
    if (!f->InCalcArea()) base = cursor_->TableFields.Item(field_no_of(*f))->BaseType;
    out.push_back(native_to_variant(*f, base, v));
  }
  return out;
}

std::vector<TFieldValue> TABSDataSet::Lookup(const std::string& key_fields, std::span<const TFieldValue> key_values,
                                             const std::string& result_fields) {
  if (!Active() || !cursor_) RaiseError(10271);
  return TDataSet::Lookup(key_fields, key_values, result_fields);
}

TBookmark TABSDataSet::GetBookmark() { return TDataSet::GetBookmark(); }

void TABSDataSet::GotoBookmark(const TBookmark& bookmark) {
  if (bookmark.size() != static_cast<size_t>(kDataSetBookmarkSize)) return;
  TDataSet::GotoBookmark(bookmark);
}

void TABSDataSet::InternalGotoBookmark(const TBookmark& bookmark) {
  if (bookmark.size() != static_cast<size_t>(kDataSetBookmarkSize)) RaiseError(10074);
  position_cursor(bookmark.data());
}

bool TABSDataSet::BookmarkValid(const TBookmark& bookmark) {
  if (!cursor_ || bookmark.size() != static_cast<size_t>(kDataSetBookmarkSize)) return false;
  void* saved = cursor_->GetBookmark();
  position_cursor(bookmark.data());
  const bool ok = cursor_->GetRecord(0) == 0;
  cursor_->SetBookmark(saved);
  cursor_->FreeBookmark(saved);
  CursorPosChanged();
  return ok;
}

int32_t TABSDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
  if (a.empty() && b.empty()) return 0;
  if (a.empty()) return -1;
  if (b.empty()) return 1;
  if (!cursor_ || a.size() < 6 || b.size() < 6) return TDataSet::CompareBookmarks(a, b);
  if (std::equal(a.begin(), a.begin() + 6, b.begin())) return 0;
  // Order of the records in the cursor's order: their record numbers.
  void* saved = cursor_->GetBookmark();
  position_cursor(a.data());
  const int64_t na = cursor_->GetRecordNo();
  position_cursor(b.data());
  const int64_t nb = cursor_->GetRecordNo();
  cursor_->SetBookmark(saved);
  cursor_->FreeBookmark(saved);
  CursorPosChanged();
  return na < nb ? -1 : na > nb ? 1 : 0;
}

// ---- filter searches ----

bool TABSDataSet::FindFirst() { return find_record(true, true); }
bool TABSDataSet::FindLast() { return find_record(true, false); }
bool TABSDataSet::FindNext() { return find_record(false, true); }
bool TABSDataSet::FindPrior() { return find_record(false, false); }

bool TABSDataSet::find_record(bool restart, bool forward) {
  check_open(10029);
  CheckBrowseMode();
  // The filter applies for the search even when Filtered is off.
  const bool was_filtered = Filtered();
  if (!was_filtered) {
    TDataSet::SetFiltered(true);
    apply_filter_state();
  }
  bool found = false;
  void* saved = cursor_->GetBookmark();
  try {
    if (restart) {
      if (forward) cursor_->GoToBegin();
      else cursor_->GoToEnd();
    } else {
      UpdateCursorPos();
    }
    found = cursor_->GetRecord(forward ? 1 : 2) == 0;
  } catch (...) {
    cursor_->FreeBookmark(saved);
    if (!was_filtered) {
      TDataSet::SetFiltered(false);
      apply_filter_state();
    }
    throw;
  }
  if (!was_filtered) {
    TDataSet::SetFiltered(false);
    apply_filter_state();
  }
  return land_search(found, saved);
}

// ---- BLOB streams ----

std::unique_ptr<TABSBLOBStream> TABSDataSet::CreateBlobStream(TField& field, TBlobStreamMode mode) {
  check_open(10029);
  if (mode != TBlobStreamMode::bmRead && read_only_) RaiseError(10107);
  return std::make_unique<TABSBLOBStream>(*this, field, mode);
}

}  // namespace dadoveri
