#include "app/db_link.h"

#include <mutex>

#include "app/dataset_lock.h"

namespace nilvar {

std::atomic<int> TControlDataLink::stray_calls_{0};

TControlDataLink::TControlDataLink(QObject* control, std::function<void()> changed)
    : control_(control), changed_(std::move(changed)) {}

void TControlDataLink::Changed() {
  if (!OnGuiThread()) {
    ++stray_calls_;
    QPointer<QObject> control = control_;
    if (control) {
      QMetaObject::invokeMethod(
          control, [this, control] { if (control) Changed(); }, Qt::QueuedConnection);
    }
    return;
  }
  if (changed_) changed_();
}

void TControlDataLink::DataSetScrolled(int32_t) {
  if (!OnGuiThread() || !OnScrolled) {
    Changed();
    return;
  }
  OnScrolled();
}

void TControlDataLink::UpdateData() {
  if (!OnGuiThread()) {
    ++stray_calls_;  // a write from a worker has no place to come from: nothing to write
    return;
  }
  if (OnUpdateData) OnUpdateData();
}

void TFieldDataLink::RecordChanged(dadoveri::TField* field) {
  if (field && field != Field()) return;
  TControlDataLink::RecordChanged(field);
}

dadoveri::TField* TFieldDataLink::Field() const {
  dadoveri::TDataSet* dataset = DataSet();
  if (!Active() || !dataset || FieldName.empty()) return nullptr;
  return dataset->FindField(FieldName);
}

}  // namespace nilvar
