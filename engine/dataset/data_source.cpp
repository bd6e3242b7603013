#include "engine/dataset/data_source.h"

#include <algorithm>

namespace dadoveri {

// ---- TDataSource ----

TDataSource::TDataSource(TComponent* owner) : TComponent(owner) {}

TDataSource::~TDataSource() {
  Destroy();
  for (TDataLink* l : std::vector<TDataLink*>(links_)) l->SetDataSource(nullptr);
  SetDataSet(nullptr);
}

void TDataSource::SetDataSet(TDataSet* dataset) {
  if (dataset == dataset_) return;
  // A dataset that depends on this source through a master link would go round in a circle.
  if (dataset && dataset->IsLinkedTo(this)) DatabaseError(kMsgCircularDataLink, this);
  if (dataset_) {
    dataset_->RemoveDataSource(this);
    RemoveFreeNotification(dataset_);
  }
  dataset_ = dataset;
  if (dataset_) {
    FreeNotification(dataset_);
    dataset_->AddDataSource(this);
  }
  set_state(dataset_ && enabled_ ? dataset_->State() : TDataSetState::dsInactive);
  for (TDataLink* l : std::vector<TDataLink*>(links_)) l->update_state();
}

void TDataSource::SetEnabled(bool value) {
  if (value == enabled_) return;
  enabled_ = value;
  set_state(dataset_ && enabled_ ? dataset_->State() : TDataSetState::dsInactive);
  for (TDataLink* l : std::vector<TDataLink*>(links_)) l->update_state();
}

void TDataSource::Edit() {
  if (AutoEdit && dataset_ && dataset_->State() == TDataSetState::dsBrowse) dataset_->Edit();
}

bool TDataSource::IsLinkedTo(TDataSet* dataset) const { return dataset && dataset == dataset_; }

void TDataSource::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == TOperation::opRemove && component == dataset_) {
    dataset_ = nullptr;
    set_state(TDataSetState::dsInactive);
    for (TDataLink* l : std::vector<TDataLink*>(links_)) l->update_state();
  }
}

void TDataSource::set_state(TDataSetState value) {
  if (value == state_) return;
  state_ = value;
  if (OnStateChange) OnStateChange(*this);
}

void TDataSource::notify_links(TDataEvent event, intptr_t info) {
  for (TDataLink* l : std::vector<TDataLink*>(links_)) l->data_event(event, info);
}

void TDataSource::DataEvent(TDataEvent event, intptr_t info) {
  if (event == TDataEvent::deUpdateState) {
    set_state(dataset_ && enabled_ ? dataset_->State() : TDataSetState::dsInactive);
    for (TDataLink* l : std::vector<TDataLink*>(links_)) l->update_state();
    return;
  }
  if (!enabled_ || state_ == TDataSetState::dsInactive) return;
  notify_links(event, info);
  switch (event) {
    case TDataEvent::deFieldChange:
    case TDataEvent::deRecordChange:
      if (OnDataChange) OnDataChange(*this, reinterpret_cast<TField*>(info));
      break;
    case TDataEvent::deDataSetChange:
    case TDataEvent::deDataSetScroll:
    case TDataEvent::deLayoutChange:
      if (OnDataChange) OnDataChange(*this, nullptr);
      break;
    case TDataEvent::deUpdateRecord:
      if (OnUpdateData) OnUpdateData(*this);
      break;
    default:
      break;
  }
}

void TDataSource::add_link(TDataLink* link) {
  links_.push_back(link);
  if (dataset_) dataset_->UpdateBufferCount();
}

void TDataSource::remove_link(TDataLink* link) {
  links_.erase(std::remove(links_.begin(), links_.end(), link), links_.end());
  if (dataset_ && !Destroying()) dataset_->UpdateBufferCount();
}

// ---- TDataLink ----

TDataLink::TDataLink() = default;

TDataLink::~TDataLink() {
  if (source_) source_->remove_link(this);
  source_ = nullptr;
}

void TDataLink::SetDataSource(TDataSource* source) {
  if (source == source_) return;
  if (source_) source_->remove_link(this);
  source_ = source;
  if (source_) source_->add_link(this);
  update_state();
}

TDataSet* TDataLink::DataSet() const { return source_ ? source_->DataSet() : nullptr; }

void TDataLink::SetBufferCount(int32_t value) {
  if (value < 1) value = 1;
  if (value == buffer_count_) return;
  buffer_count_ = value;
  if (active_ && DataSet()) {
    DataSet()->UpdateBufferCount();
    update_range();
  }
}

int32_t TDataLink::ActiveRecord() const {
  TDataSet* ds = DataSet();
  if (!active_ || !ds) return 0;
  return ds->ActiveRecord() - first_record_;
}

void TDataLink::SetActiveRecord(int32_t value) {
  TDataSet* ds = DataSet();
  if (active_ && ds) ds->SetActiveRecord(first_record_ + value);
}

int32_t TDataLink::RecordCount() const {
  TDataSet* ds = DataSet();
  if (!active_ || !ds) return 0;
  return std::max(0, std::min(ds->BufferedRecordCount() - first_record_, buffer_count_));
}

bool TDataLink::Edit() {
  if (!ReadOnly && source_) source_->Edit();
  return editing_;
}

void TDataLink::UpdateRecord() {
  updating_ = true;
  try {
    UpdateData();
  } catch (...) {
    updating_ = false;
    throw;
  }
  updating_ = false;
}

void TDataLink::update_range() {
  TDataSet* ds = DataSet();
  if (!ds) return;
  const int32_t active = ds->ActiveRecord();
  const int32_t count = ds->BufferedRecordCount();
  // The window shows the current row; it sticks to the ring's end rows where it can.
  int32_t first = first_record_;
  if (first > active) first = active;
  if (active - first >= buffer_count_) first = active - buffer_count_ + 1;
  if (first + buffer_count_ > count) first = std::max(0, std::min(active, count - buffer_count_));
  first_record_ = std::max(first, 0);
}

void TDataLink::set_active(bool value) {
  if (value == active_) return;
  active_ = value;
  if (value) {
    first_record_ = 0;
    update_range();
  } else {
    first_record_ = 0;
  }
  ActiveChanged();
}

void TDataLink::set_editing(bool value) {
  if (value == editing_) return;
  editing_ = value;
  EditingChanged();
}

void TDataLink::update_state() {
  const bool active = source_ && source_->State() != TDataSetState::dsInactive;
  set_active(active);
  const TDataSetState s = source_ ? source_->State() : TDataSetState::dsInactive;
  set_editing(!ReadOnly && (s == TDataSetState::dsEdit || s == TDataSetState::dsInsert ||
                            s == TDataSetState::dsSetKey));
}

void TDataLink::data_event(TDataEvent event, intptr_t info) {
  switch (event) {
    case TDataEvent::deFieldChange:
    case TDataEvent::deRecordChange:
      if (!updating_) RecordChanged(reinterpret_cast<TField*>(info));
      break;
    case TDataEvent::deDataSetChange:
      update_range();
      DataSetChanged();
      break;
    case TDataEvent::deDataSetScroll: {
      // The ring turned by `info` rows: keep the window on the same records where it can.
      const int32_t before = first_record_ - static_cast<int32_t>(info);
      first_record_ = before;
      update_range();
      DataSetScrolled(first_record_ - before);
      break;
    }
    case TDataEvent::deLayoutChange:
      update_range();
      LayoutChanged();
      break;
    case TDataEvent::deUpdateRecord:
      UpdateRecord();
      break;
    case TDataEvent::deCheckBrowseMode:
      CheckBrowseMode();
      break;
    case TDataEvent::deFocusControl:
      FocusControl(reinterpret_cast<TField*>(info));
      break;
    case TDataEvent::dePropertyChange:
      PropertyChanged();
      break;
    default:
      break;
  }
}

}  // namespace dadoveri
