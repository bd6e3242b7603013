// TDataSource connects a dataset to data-aware controls: it passes the dataset's
// notifications to its data links and fires its own events. TDataLink is the control's side:
// it tracks whether the dataset is active and editing, keeps its own window of BufferCount
// rows in the dataset's ring, and turns notifications into the virtual calls a control
// overrides.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "engine/dataset/component.h"
#include "engine/dataset/dataset.h"

namespace dadoveri {

class TDataLink;

class TDataSource : public TComponent {
 public:
  using TNotifyEvent = std::function<void(TDataSource&)>;
  using TDataChangeEvent = std::function<void(TDataSource&, TField*)>;

  explicit TDataSource(TComponent* owner = nullptr);
  ~TDataSource() override;

  TDataSet* DataSet() const { return dataset_; }
  void SetDataSet(TDataSet* dataset);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  bool AutoEdit = true;
  // The dataset's state; inactive without a dataset or while disabled.
  TDataSetState State() const { return state_; }
  // Starts editing the dataset when AutoEdit is on and it is browsing.
  void Edit();
  bool IsLinkedTo(TDataSet* dataset) const;

  TNotifyEvent OnStateChange;
  TDataChangeEvent OnDataChange;
  TNotifyEvent OnUpdateData;

  const std::vector<TDataLink*>& DataLinks() const { return links_; }

  // Called by the dataset.
  void DataEvent(TDataEvent event, intptr_t info);

 protected:
  void Notification(TComponent* component, TOperation operation) override;

 private:
  friend class TDataLink;
  void add_link(TDataLink* link);
  void remove_link(TDataLink* link);
  void set_state(TDataSetState value);
  void notify_links(TDataEvent event, intptr_t info);

  TDataSet* dataset_ = nullptr;
  bool enabled_ = true;
  TDataSetState state_ = TDataSetState::dsInactive;
  std::vector<TDataLink*> links_;
};

class TDataLink {
 public:
  TDataLink();
  virtual ~TDataLink();
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;

  TDataSource* DataSource() const { return source_; }
  void SetDataSource(TDataSource* source);
  TDataSet* DataSet() const;
  bool Active() const { return active_; }
  bool Editing() const { return editing_; }
  bool ReadOnly = false;
  // Rows this link shows; the dataset's ring is at least this large.
  int32_t BufferCount() const { return buffer_count_; }
  void SetBufferCount(int32_t value);
  // The current record's row within this link's window, and moving it.
  int32_t ActiveRecord() const;
  void SetActiveRecord(int32_t value);
  // Rows of the window that hold records.
  int32_t RecordCount() const;
  // Starts editing through the data source (AutoEdit); true when the dataset is editing.
  bool Edit();
  // Asks the link to write its pending change (the update-record notification).
  void UpdateRecord();
  // Whether the link lets the dataset post: false while its control refuses.
  virtual bool ExecuteAction() { return false; }

 protected:
  // The notifications a control overrides.
  virtual void ActiveChanged() {}
  virtual void CheckBrowseMode() {}
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  virtual void DataSetScrolled(int32_t /*distance*/) { DataSetChanged(); }
  virtual void FocusControl(TField* /*field*/) {}
  virtual void EditingChanged() {}
  virtual void LayoutChanged() { DataSetChanged(); }
  virtual void RecordChanged(TField* /*field*/) {}
  virtual void UpdateData() {}
  virtual void PropertyChanged() {}

 private:
  friend class TDataSource;
  friend class TDataSet;
  void data_event(TDataEvent event, intptr_t info);
  void update_state();
  void update_range();
  void set_active(bool value);
  void set_editing(bool value);

  TDataSource* source_ = nullptr;
  int32_t buffer_count_ = 1;
  int32_t first_record_ = 0;
  bool active_ = false;
  bool editing_ = false;
  bool updating_ = false;
};

}  // namespace dadoveri
