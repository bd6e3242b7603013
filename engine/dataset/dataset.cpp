#include "engine/dataset/dataset.h"

#include <algorithm>
#include <optional>

#include "engine/dataset/data_source.h"
#include "engine/platform/code_page.h"
#include "engine/platform/locale.h"
#include "engine/table/meta_object_def.h"

namespace dadoveri {

namespace {

std::vector<std::string> split_names(const std::string& names) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= names.size()) {
    size_t end = names.find(';', start);
    if (end == std::string::npos) end = names.size();
    std::string name = names.substr(start, end - start);
    const size_t b = name.find_first_not_of(' ');
    const size_t e = name.find_last_not_of(' ');
    if (b != std::string::npos) out.push_back(name.substr(b, e - b + 1));
    start = end + 1;
  }
  return out;
}

// Restores a saved state on every path.
class StateScope {
 public:
  StateScope(TDataSetState& state, TDataSetState temporary) : state_(state), saved_(state) { state_ = temporary; }
  ~StateScope() { state_ = saved_; }

 private:
  TDataSetState& state_;
  TDataSetState saved_;
};

}  // namespace

TDataSet::TDataSet(TComponent* owner) : TComponent(owner), fields_(this) {}

TDataSet::~TDataSet() {
  // The concrete dataset closes itself in its own destructor (its hooks are gone here);
  // what remains is to let go of the sources and the fields.
  Destroy();
  state_ = TDataSetState::dsInactive;
  for (TDataSource* s : std::vector<TDataSource*>(data_sources_)) s->SetDataSet(nullptr);
  DestroyFields();
  for (int i = 0; i < fields_.Count(); ++i) fields_[i]->dataset_ = nullptr;
  fields_.Clear();
}

// ---- opening and closing ----

void TDataSet::SetActive(bool value) {
  if (Loading()) return;
  if (value == Active()) return;
  if (value) {
    do_event(BeforeOpen);
    try {
      open_cursor();
    } catch (...) {
      // A failed open leaves the dataset closed.
      state_ = TDataSetState::dsInactive;
      try {
        close_cursor();
      } catch (...) {
      }
      throw;
    }
    SetState(TDataSetState::dsBrowse);
    {
      const buffer_fill fill(*this);
      get_next_records();
    }
    bof_ = true;
    eof_ = record_count_ == 0;
    DataEvent(TDataEvent::deDataSetChange);
    do_event(AfterOpen);
    do_event(AfterScroll);
  } else {
    if (!Destroying()) do_event(BeforeClose);
    if (state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert) {
      try {
        InternalCancel();
      } catch (...) {
      }
    }
    SetState(TDataSetState::dsInactive);
    close_cursor();
    if (!Destroying()) do_event(AfterClose);
  }
}

void TDataSet::open_cursor() {
  state_ = TDataSetState::dsOpening;
  InternalOpen();
  set_buffer_list_size(0);
  UpdateBufferCount();
  ClearBuffers();
}

void TDataSet::close_cursor() {
  ClearBuffers();
  set_buffer_list_size(-1);
  if (IsCursorOpen()) InternalClose();
  DestroyFields();
  FieldDefs.clear();
  bof_ = eof_ = true;
  modified_ = false;
}

void TDataSet::CheckActive() const {
  if (!Active()) DatabaseError(kMsgDataSetClosed, this);
}

void TDataSet::CheckInactive() const {
  if (Active()) DatabaseError(kMsgDataSetOpen, this);
}

void TDataSet::SetState(TDataSetState value) {
  if (state_ == value) return;
  state_ = value;
  modified_ = false;
  DataEvent(TDataEvent::deUpdateState);
}

// ---- fields ----

void TDataSet::CreateFields() {
  for (const TFieldDef& def : FieldDefs) {
    if (TField* existing = fields_.FindField(def.Name)) {
      existing->FieldNo = def.FieldNo;
      if (existing->DataType == ftUnknown) existing->DataType = def.DataType;
      if (existing->Size == 0) existing->Size = def.Size;
      existing->WideText = def.WideText;
      continue;
    }
    auto* f = new TField(this);
    f->FieldName = def.Name;
    f->DataType = def.DataType;
    f->Size = def.Size;
    f->WideText = def.WideText;
    f->Required = def.Required;
    f->FieldNo = def.FieldNo;
    f->SetName(std::string());
    fields_.Add(f);
    f->dataset_ = this;
  }
}

void TDataSet::DestroyFields() {
  // The fields the dataset made for itself are its owned TField children without a name.
  for (int i = ComponentCount() - 1; i >= 0; --i) {
    auto* f = dynamic_cast<TField*>(Components(i));
    if (f && f->Name().empty() && f->DataSet() == this) delete f;
  }
}

void TDataSet::WriteFieldValue(TField& field, const TFieldValue& value) {
  field.Validate();
  SetFieldData(field, value);
  if (state_ != TDataSetState::dsCalcFields && state_ != TDataSetState::dsInternalCalc &&
      state_ != TDataSetState::dsFilter) {
    modified_ = true;
    DataEvent(TDataEvent::deFieldChange, reinterpret_cast<intptr_t>(&field));
  }
}

TRecordBuffer TDataSet::ActiveBuffer() const {
  if (active_record_ < 0 || active_record_ >= static_cast<int32_t>(ring_.size())) return nullptr;
  return ring_[static_cast<size_t>(active_record_)];
}

TRecordBuffer TDataSet::ActiveRecordBuffer() {
  switch (state_) {
    case TDataSetState::dsBrowse:
      return record_count_ == 0 ? nullptr : ActiveBuffer();
    case TDataSetState::dsEdit:
    case TDataSetState::dsInsert:
      return ActiveBuffer();
    case TDataSetState::dsCalcFields:
    case TDataSetState::dsInternalCalc:
      return calc_buffer_;
    case TDataSetState::dsFilter:
      return filter_buffer_;
    case TDataSetState::dsSetKey:
      return KeyBuffer();
    default:
      return nullptr;
  }
}

void TDataSet::SetActiveRecord(int32_t index) {
  if (index < 0 || index >= std::max(record_count_, 1)) return;
  active_record_ = index;
}

// ---- the ring ----

void TDataSet::set_buffer_list_size(int32_t count) {
  // -1 frees everything; 0 keeps the current size (at least one row) and makes the
  // calculation and filter buffers.
  if (count < 0) {
    for (TRecordBuffer& b : ring_) FreeRecordBuffer(b);
    ring_.clear();
    if (calc_buffer_) FreeRecordBuffer(calc_buffer_);
    if (filter_buffer_) FreeRecordBuffer(filter_buffer_);
    calc_buffer_ = filter_buffer_ = nullptr;
    buffer_count_ = 0;
    record_count_ = 0;
    active_record_ = 0;
    current_record_ = -1;
    return;
  }
  if (count == 0) count = std::max(buffer_count_, 1);
  while (static_cast<int32_t>(ring_.size()) < count) ring_.push_back(AllocRecordBuffer());
  while (static_cast<int32_t>(ring_.size()) > count) {
    TRecordBuffer b = ring_.back();
    ring_.pop_back();
    FreeRecordBuffer(b);
  }
  if (!calc_buffer_) calc_buffer_ = AllocRecordBuffer();
  if (!filter_buffer_) filter_buffer_ = AllocRecordBuffer();
  buffer_count_ = count;
  if (record_count_ > count) record_count_ = count;
  if (active_record_ >= std::max(record_count_, 1)) active_record_ = std::max(record_count_ - 1, 0);
  if (current_record_ >= record_count_) current_record_ = -1;
}

void TDataSet::UpdateBufferCount() {
  if (!IsCursorOpen()) return;
  int32_t wanted = 1;
  for (TDataSource* s : data_sources_)
    for (TDataLink* l : s->DataLinks()) wanted = std::max(wanted, l->BufferCount());
  if (wanted == buffer_count_ && !ring_.empty()) return;
  const bool had_rows = record_count_ > 0 && Active();
  if (wanted < buffer_count_ && had_rows) {
    // Keep the current row: drop rows before it first.
    const int32_t drop_front = std::min(active_record_, record_count_ - wanted);
    if (drop_front > 0) {
      std::rotate(ring_.begin(), ring_.begin() + drop_front, ring_.begin() + record_count_);
      record_count_ -= drop_front;
      active_record_ -= drop_front;
      current_record_ = current_record_ >= drop_front ? current_record_ - drop_front : -1;
    }
  }
  set_buffer_list_size(wanted);
  if (had_rows && state_ == TDataSetState::dsBrowse) {
    const buffer_fill fill(*this);
    get_next_records();
  }
  for (TDataSource* s : data_sources_)
    for (TDataLink* l : s->DataLinks()) l->update_range();
}

void TDataSet::ClearBuffers() {
  record_count_ = 0;
  active_record_ = 0;
  current_record_ = -1;
  bof_ = eof_ = true;
}

void TDataSet::UpdateCursorPos() {
  if (record_count_ > 0 && current_record_ != active_record_) {
    InternalSetToRecord(ActiveBuffer());
    current_record_ = active_record_;
  }
}

bool TDataSet::get_next_record() {
  if (buffer_count_ == 0) return false;
  if (record_count_ > 0 && current_record_ != record_count_ - 1) {
    InternalSetToRecord(ring_[static_cast<size_t>(record_count_ - 1)]);
    current_record_ = record_count_ - 1;
  }
  const bool full = record_count_ == buffer_count_;
  // Read into the free slot after the last row, or into the first row's slot when full
  // (the ring then turns by one).
  const size_t slot = full ? 0 : static_cast<size_t>(record_count_);
  const TGetResult r = GetRecord(ring_[slot], TGetMode::gmNext, true);
  if (r != TGetResult::grOK) {
    CursorPosChanged();
    return false;
  }
  if (full) {
    std::rotate(ring_.begin(), ring_.begin() + 1, ring_.end());
    active_record_ = std::max(active_record_ - 1, 0);
  } else {
    ++record_count_;
  }
  current_record_ = record_count_ - 1;
  return true;
}

bool TDataSet::get_prior_record() {
  if (buffer_count_ == 0) return false;
  if (record_count_ > 0 && current_record_ != 0) {
    InternalSetToRecord(ring_[0]);
    current_record_ = 0;
  }
  const bool full = record_count_ == buffer_count_;
  // Read into the last slot (free, or the last row's when full) and turn it to the front.
  const size_t slot = full ? static_cast<size_t>(buffer_count_ - 1) : static_cast<size_t>(record_count_);
  const TGetResult r = GetRecord(ring_[slot], TGetMode::gmPrior, true);
  if (r != TGetResult::grOK) {
    CursorPosChanged();
    return false;
  }
  std::rotate(ring_.begin(), ring_.begin() + static_cast<std::ptrdiff_t>(slot),
              ring_.begin() + static_cast<std::ptrdiff_t>(slot) + 1);
  if (!full) ++record_count_;
  if (record_count_ > 1) active_record_ = std::min(active_record_ + 1, record_count_ - 1);
  current_record_ = 0;
  return true;
}

void TDataSet::get_next_records() {
  while (record_count_ < buffer_count_ && get_next_record()) {
  }
}

void TDataSet::get_prior_records() {
  while (record_count_ < buffer_count_ && get_prior_record()) {
  }
}

void TDataSet::Resync() {
  const int32_t wanted_active = active_record_;
  std::optional<buffer_fill> fill(std::in_place, *this);
  // Re-read the current row (or, with none, the record the cursor is on); when it is gone
  // take its neighbour.
  if (record_count_ > 0 && ActiveBuffer()) {
    InternalSetToRecord(ActiveBuffer());
    std::swap(ring_[0], ring_[static_cast<size_t>(active_record_)]);
  }
  ClearBuffers();
  TGetResult r = GetRecord(ring_[0], TGetMode::gmCurrent, false);
  if (r != TGetResult::grOK) r = GetRecord(ring_[0], TGetMode::gmNext, false);
  if (r != TGetResult::grOK) r = GetRecord(ring_[0], TGetMode::gmPrior, false);
  if (r != TGetResult::grOK) {
    fill.reset();
    ClearBuffers();
    DataEvent(TDataEvent::deDataSetChange);
    return;
  }
  record_count_ = 1;
  active_record_ = 0;
  current_record_ = 0;
  // Rows before it, as many as it had before, then rows after it.
  while (active_record_ < wanted_active && get_prior_record()) {
  }
  get_next_records();
  fill.reset();
  bof_ = eof_ = false;
  DataEvent(TDataEvent::deDataSetChange);
}

// ---- navigation ----

void TDataSet::First() {
  CheckBrowseMode();
  do_event(BeforeScroll);
  ClearBuffers();
  {
    const buffer_fill fill(*this);
    InternalFirst();
    get_next_records();
  }
  bof_ = true;
  eof_ = record_count_ == 0;
  DataEvent(TDataEvent::deDataSetChange);
  do_event(AfterScroll);
}

void TDataSet::Last() {
  CheckBrowseMode();
  do_event(BeforeScroll);
  ClearBuffers();
  {
    const buffer_fill fill(*this);
    InternalLast();
    get_prior_records();
  }
  active_record_ = std::max(record_count_ - 1, 0);
  eof_ = true;
  bof_ = record_count_ == 0;
  DataEvent(TDataEvent::deDataSetChange);
  do_event(AfterScroll);
}

int32_t TDataSet::MoveBy(int32_t distance) {
  CheckBrowseMode();
  int32_t moved = 0;
  if ((distance > 0 && !eof_) || (distance < 0 && !bof_)) {
    do_event(BeforeScroll);
    bof_ = eof_ = false;
    const int32_t old_count = record_count_;
    int32_t scrolled = 0;  // ring turns: positive when rows left at the front
    try {
      const buffer_fill fill(*this);
      while (distance > 0) {
        if (active_record_ < record_count_ - 1) {
          ++active_record_;
        } else {
          const bool full = record_count_ == buffer_count_;
          if (!get_next_record()) {
            eof_ = true;
            break;
          }
          if (full) ++scrolled;
          active_record_ = record_count_ - 1;
        }
        --distance;
        ++moved;
      }
      while (distance < 0) {
        if (active_record_ > 0) {
          --active_record_;
        } else {
          if (!get_prior_record()) {
            bof_ = true;
            break;
          }
          --scrolled;
          active_record_ = 0;
        }
        ++distance;
        --moved;
      }
    } catch (...) {
      DataEvent(TDataEvent::deDataSetChange);
      throw;
    }
    if (record_count_ != old_count)
      DataEvent(TDataEvent::deDataSetChange);
    else
      DataEvent(TDataEvent::deDataSetScroll, scrolled);
    do_event(AfterScroll);
  }
  return moved;
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  do_event(BeforeRefresh);
  UpdateCursorPos();
  InternalRefresh();
  Resync();
  do_event(AfterRefresh);
}

bool TDataSet::IsEmpty() const { return !Active() || (record_count_ == 0 && state_ != TDataSetState::dsInsert); }

int64_t TDataSet::RecordCount() { return -1; }
int64_t TDataSet::RecNo() { return -1; }
void TDataSet::SetRecNo(int64_t) {}

// ---- changes ----

void TDataSet::CheckOperation(const std::function<void()>& operation, const TDataSetErrorEvent& error_event) {
  for (;;) {
    try {
      UpdateCursorPos();
      operation();
      return;
    } catch (const EDatabaseError& e) {
      if (!error_event) throw;
      TDataAction action = TDataAction::daFail;
      error_event(*this, e, action);
      if (action == TDataAction::daFail) throw;
      if (action == TDataAction::daAbort) throw EAbort();
    }
  }
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  DataEvent(TDataEvent::deCheckBrowseMode);
  if (state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert) {
    UpdateRecord();
    if (modified_) Post();
    else Cancel();
  } else if (state_ == TDataSetState::dsSetKey) {
    Post();
  }
}

void TDataSet::UpdateRecord() {
  if (state_ != TDataSetState::dsEdit && state_ != TDataSetState::dsInsert && state_ != TDataSetState::dsSetKey)
    DatabaseError(kMsgNotEditing, this);
  DataEvent(TDataEvent::deUpdateRecord);
}

void TDataSet::Edit() {
  if (state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert) return;
  if (record_count_ == 0 && Active()) {
    Insert();
    return;
  }
  CheckBrowseMode();
  if (!CanModify()) DatabaseError(kMsgDataSetReadOnly, this);
  do_event(BeforeEdit);
  CheckOperation([this] { InternalEdit(); }, OnEditError);
  CalculateFields(ActiveBuffer());
  SetState(TDataSetState::dsEdit);
  DataEvent(TDataEvent::deRecordChange);
  do_event(AfterEdit);
}

void TDataSet::begin_insert_append() {
  CheckBrowseMode();
  if (!CanModify()) DatabaseError(kMsgDataSetReadOnly, this);
  do_event(BeforeInsert);
  do_event(BeforeScroll);
}

void TDataSet::end_insert_append() {
  SetState(TDataSetState::dsInsert);
  try {
    do_event(OnNewRecord);
  } catch (...) {
    UpdateCursorPos();
    try {
      InternalCancel();
    } catch (...) {
    }
    SetState(TDataSetState::dsBrowse);
    Resync();
    throw;
  }
  modified_ = false;
  DataEvent(TDataEvent::deDataSetChange);
  do_event(AfterInsert);
  do_event(AfterScroll);
}

void TDataSet::init_record(TRecordBuffer buffer) {
  InternalInitRecord(buffer);
  ClearCalcFields(buffer);
  SetBookmarkFlag(buffer, TBookmarkFlag::bfInserted);
}

void TDataSet::Insert() {
  begin_insert_append();
  UpdateCursorPos();
  // Make room at the current row: when the ring is full the row at the far end goes.
  if (record_count_ == buffer_count_) {
    if (active_record_ == record_count_ - 1 && record_count_ > 1) {
      std::rotate(ring_.begin(), ring_.begin() + 1, ring_.end());
      --active_record_;
    }
    --record_count_;
  }
  std::rotate(ring_.begin() + active_record_, ring_.begin() + record_count_, ring_.begin() + record_count_ + 1);
  ++record_count_;
  current_record_ = -1;
  InternalInsert();
  init_record(ActiveBuffer());
  if (record_count_ == 1) bof_ = eof_ = true;
  end_insert_append();
}

void TDataSet::Append() {
  begin_insert_append();
  ClearBuffers();
  {
    const buffer_fill fill(*this);
    InternalLast();
    // The last rows, leaving the final slot for the new record.
    while (record_count_ < buffer_count_ - 1 && get_prior_record()) {
    }
  }
  const size_t slot = static_cast<size_t>(record_count_);
  ++record_count_;
  active_record_ = record_count_ - 1;
  current_record_ = -1;
  InternalInsert();
  init_record(ring_[slot]);
  SetBookmarkFlag(ring_[slot], TBookmarkFlag::bfEOF);
  bof_ = false;
  eof_ = true;
  end_insert_append();
}

void TDataSet::Post() {
  UpdateRecord();
  switch (state_) {
    case TDataSetState::dsEdit:
    case TDataSetState::dsInsert: {
      DataEvent(TDataEvent::deCheckBrowseMode);
      do_event(BeforePost);
      for (int i = 0; i < fields_.Count(); ++i) fields_[i]->CheckRequired();
      CheckOperation([this] { InternalPost(); }, OnPostError);
      SetState(TDataSetState::dsBrowse);
      Resync();
      do_event(AfterPost);
      break;
    }
    case TDataSetState::dsSetKey:
      SetState(TDataSetState::dsBrowse);
      break;
    default:
      break;
  }
}

void TDataSet::Cancel() {
  switch (state_) {
    case TDataSetState::dsEdit:
    case TDataSetState::dsInsert: {
      DataEvent(TDataEvent::deCheckBrowseMode);
      do_event(BeforeCancel);
      const bool was_insert = state_ == TDataSetState::dsInsert;
      if (!was_insert) UpdateCursorPos();
      InternalCancel();
      if (was_insert) {
        // The new row leaves the ring.
        std::rotate(ring_.begin() + active_record_, ring_.begin() + active_record_ + 1,
                    ring_.begin() + record_count_);
        --record_count_;
        if (active_record_ >= record_count_) active_record_ = std::max(record_count_ - 1, 0);
        current_record_ = -1;
      }
      SetState(TDataSetState::dsBrowse);
      Resync();
      do_event(AfterCancel);
      break;
    }
    case TDataSetState::dsSetKey:
      SetState(TDataSetState::dsBrowse);
      DataEvent(TDataEvent::deDataSetChange);
      break;
    default:
      break;
  }
}

void TDataSet::Delete() {
  CheckActive();
  if (state_ == TDataSetState::dsInsert) {
    Cancel();
    return;
  }
  if (record_count_ == 0) DatabaseError(kMsgDataSetEmpty, this);
  DataEvent(TDataEvent::deCheckBrowseMode);
  do_event(BeforeDelete);
  do_event(BeforeScroll);
  CheckOperation([this] { InternalDelete(); }, OnDeleteError);
  current_record_ = -1;
  SetState(TDataSetState::dsBrowse);
  Resync();
  do_event(AfterDelete);
  do_event(AfterScroll);
}

// ---- calculated fields and record filters ----

void TDataSet::CalculateFields(TRecordBuffer buffer) {
  if (!buffer || calculating_) return;
  bool any = false;
  for (int i = 0; i < fields_.Count(); ++i) any = any || fields_[i]->InCalcArea();
  if (!any && !OnCalcFields) return;
  // The fields read and write `buffer` while the calculation state lasts.
  calculating_ = true;
  const TRecordBuffer saved = calc_buffer_;
  calc_buffer_ = buffer;
  try {
    StateScope scope(state_, TDataSetState::dsCalcFields);
    ClearCalcFields(buffer);
    do_event(OnCalcFields);
  } catch (...) {
    calc_buffer_ = saved;
    calculating_ = false;
    throw;
  }
  calc_buffer_ = saved;
  calculating_ = false;
}

bool TDataSet::FilterRecord(TRecordBuffer buffer) {
  if (!on_filter_record_) return true;
  const TRecordBuffer saved = filter_buffer_;
  filter_buffer_ = buffer;
  bool accept = true;
  try {
    StateScope scope(state_, TDataSetState::dsFilter);
    on_filter_record_(*this, accept);
  } catch (...) {
    filter_buffer_ = saved;
    throw;
  }
  filter_buffer_ = saved;
  return accept;
}

// ---- controls and notifications ----

void TDataSet::DisableControls() {
  if (disable_count_++ == 0) {
    disable_state_ = state_;
    enable_event_pending_ = false;
  }
}

void TDataSet::EnableControls() {
  if (disable_count_ == 0) return;
  if (--disable_count_ > 0) return;
  if (disable_state_ != state_) DataEvent(TDataEvent::deUpdateState);
  if (disable_state_ != TDataSetState::dsInactive && state_ != TDataSetState::dsInactive)
    DataEvent(TDataEvent::deDataSetChange);
  enable_event_pending_ = false;
}

void TDataSet::DataEvent(TDataEvent event, intptr_t info) {
  switch (event) {
    case TDataEvent::deFieldChange: {
      auto* field = reinterpret_cast<TField*>(info);
      if (field && field->FieldKind == TFieldKind::fkData && state_ != TDataSetState::dsSetKey && AutoCalcFields)
        CalculateFields(ActiveBuffer());
      if (field) field->Change();
      break;
    }
    case TDataEvent::deDataSetChange:
    case TDataEvent::deDataSetScroll:
    case TDataEvent::deLayoutChange:
      break;
    default:
      break;
  }
  // With controls disabled nothing reaches them; EnableControls catches them up.
  if (disable_count_ > 0) {
    enable_event_pending_ = true;
    return;
  }
  for (TDataSource* s : std::vector<TDataSource*>(data_sources_)) s->DataEvent(event, info);
}

void TDataSet::AddDataSource(TDataSource* source) {
  if (std::find(data_sources_.begin(), data_sources_.end(), source) == data_sources_.end())
    data_sources_.push_back(source);
  UpdateBufferCount();
}

void TDataSet::RemoveDataSource(TDataSource* source) {
  data_sources_.erase(std::remove(data_sources_.begin(), data_sources_.end(), source), data_sources_.end());
  if (!Destroying()) UpdateBufferCount();
}

bool TDataSet::IsLinkedTo(TDataSource* source) {
  return source && std::find(data_sources_.begin(), data_sources_.end(), source) != data_sources_.end();
}

void TDataSet::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
}

// ---- searching and bookmarks: the model's answers ----

bool TDataSet::Locate(const std::string& key_fields, std::span<const TFieldValue> key_values, TLocateOptions options) {
  CheckBrowseMode();
  const std::vector<std::string> names = split_names(key_fields);
  if (names.empty() || names.size() != key_values.size()) DatabaseError(kMsgFieldNotFound, this, key_fields);
  std::vector<TField*> fields;
  for (const std::string& n : names) fields.push_back(FieldByName(n));
  auto matches = [&] {
    for (size_t i = 0; i < fields.size(); ++i) {
      const TFieldValue v = fields[i]->Value();
      const TFieldValue& k = key_values[i];
      if (std::holds_alternative<std::monostate>(k) || std::holds_alternative<std::monostate>(v)) {
        if (v.index() != k.index()) return false;
        continue;
      }
      const bool text = std::holds_alternative<std::string>(k) || std::holds_alternative<std::u16string>(k);
      if (text) {
        std::u16string a = fields[i]->AsWideString();
        std::u16string b = std::holds_alternative<std::string>(k) ? AnsiCodePage().ToWide(std::get<std::string>(k))
                                                                  : std::get<std::u16string>(k);
        if (options.loPartialKey && a.size() > b.size()) a.resize(b.size());
        if (options.loCaseInsensitive) {
          a = TUserLocale::FoldCase(a);
          b = TUserLocale::FoldCase(b);
        }
        if (a != b) return false;
      } else if (v != k) {
        TFieldValue probe = k;
        if (const auto* i = std::get_if<int64_t>(&k); i && std::holds_alternative<double>(v))
          probe = static_cast<double>(*i);
        if (probe != v) return false;
      }
    }
    return true;
  };
  DisableControls();
  const TBookmark start = GetBookmark();
  bool found = false;
  try {
    First();
    while (!Eof()) {
      if (matches()) {
        found = true;
        break;
      }
      Next();
    }
    if (!found && !start.empty()) GotoBookmark(start);
  } catch (...) {
    EnableControls();
    throw;
  }
  EnableControls();
  return found;
}

std::vector<TFieldValue> TDataSet::Lookup(const std::string& key_fields, std::span<const TFieldValue> key_values,
                                          const std::string& result_fields) {
  CheckBrowseMode();
  const TBookmark start = GetBookmark();
  std::vector<TFieldValue> out;
  DisableControls();
  try {
    if (Locate(key_fields, key_values, {}))
      for (const std::string& n : split_names(result_fields)) out.push_back(FieldByName(n)->Value());
    if (!start.empty()) GotoBookmark(start);
  } catch (...) {
    EnableControls();
    throw;
  }
  EnableControls();
  return out;
}

TBookmark TDataSet::GetBookmark() {
  if (!Active() || record_count_ == 0 || state_ == TDataSetState::dsInsert) return {};
  TRecordBuffer b = ActiveBuffer();
  if (GetBookmarkFlag(b) != TBookmarkFlag::bfCurrent) return {};
  return GetBookmarkData(b);
}

void TDataSet::GotoBookmark(const TBookmark& bookmark) {
  if (bookmark.empty()) return;
  CheckBrowseMode();
  do_event(BeforeScroll);
  InternalGotoBookmark(bookmark);
  ResyncAtCursor();
  do_event(AfterScroll);
}

void TDataSet::ResyncAtCursor() {
  ClearBuffers();
  std::optional<buffer_fill> fill(std::in_place, *this);
  if (GetRecord(ring_[0], TGetMode::gmCurrent, true) == TGetResult::grOK) {
    record_count_ = 1;
    current_record_ = 0;
    // Rows after it, then rows before it up to a full ring.
    get_next_records();
    while (record_count_ < buffer_count_ && get_prior_record()) {
    }
    fill.reset();
    bof_ = eof_ = false;
  } else {
    fill.reset();
    CursorPosChanged();
  }
  DataEvent(TDataEvent::deDataSetChange);
}

bool TDataSet::BookmarkValid(const TBookmark& bookmark) { return !bookmark.empty(); }

int32_t TDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
  if (a == b) return 0;
  return a < b ? -1 : 1;
}

}  // namespace dadoveri
