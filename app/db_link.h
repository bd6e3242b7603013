// The data link of a data-aware control: passes the dataset's notifications to the control
// on the main thread, under the window's dataset lock.
//
// Notifications normally arrive on the main thread (a worker defers a dataset's controls
// while it works on it, see TDatasetLock). Should one arrive on another thread anyway, the
// link touches no widget there: it counts the stray call and queues one catch-up to the
// control's own thread.
#pragma once

#include <QPointer>
#include <QWidget>

#include <atomic>
#include <functional>
#include <string>

#include "engine/dataset/data_source.h"

namespace nilvar {

class TDatasetLock;

class TControlDataLink : public dadoveri::TDataLink {
 public:
  // `changed` runs after the data (or the dataset's state) changed; `scrolled` after only
  // the current record moved (defaults to `changed`); `update_data` when the dataset asks
  // the control to write its pending change into the field.
  TControlDataLink(QObject* control, std::function<void()> changed);

  std::function<void()> OnScrolled;
  std::function<void()> OnUpdateData;
  // Held around everything the control does with the dataset (null: no lock).
  TDatasetLock* Lock = nullptr;

  // Notifications that reached a link away from the main thread, since the process began.
  static int StrayCalls() { return stray_calls_.load(); }

 protected:
  void ActiveChanged() override { Changed(); }
  void DataSetChanged() override { Changed(); }
  void DataSetScrolled(int32_t) override;
  void RecordChanged(dadoveri::TField*) override { Changed(); }
  void LayoutChanged() override { Changed(); }
  void EditingChanged() override { Changed(); }
  void UpdateData() override;

 private:
  void Changed();
  QPointer<QObject> control_;
  std::function<void()> changed_;
  static std::atomic<int> stray_calls_;
};

// A data-aware control's link to one field, by name.
class TFieldDataLink : public TControlDataLink {
 public:
  using TControlDataLink::TControlDataLink;
  std::string FieldName;
  // The bound field of the linked dataset, or null (inactive, unknown name).
  dadoveri::TField* Field() const;

 protected:
  // A change of another field leaves the control (and a text put into it) alone.
  void RecordChanged(dadoveri::TField* field) override;
};

}  // namespace nilvar
