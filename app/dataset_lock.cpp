#include "app/dataset_lock.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>

#include "engine/dataset/dataset.h"

namespace nilvar {

bool OnGuiThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

TDatasetLock::TDatasetLock(QObject* parent) : QObject(parent) {}

TDatasetLock::~TDatasetLock() = default;

void TDatasetLock::DeferControls(dadoveri::TDataSet& dataset) {
  std::lock_guard guard(mutex_);
  if (std::find(deferred_.begin(), deferred_.end(), &dataset) == deferred_.end()) {
    dataset.DisableControls();
    deferred_.push_back(&dataset);
  }
  if (posted_) return;
  posted_ = true;
  // Queued to this object: a delivery still queued when the window (and this lock) goes
  // away is dropped with it.
  QMetaObject::invokeMethod(this, "Deliver", Qt::QueuedConnection);
}

void TDatasetLock::Deliver() {
  std::lock_guard guard(mutex_);
  posted_ = false;
  std::vector<dadoveri::TDataSet*> deferred;
  deferred.swap(deferred_);
  for (dadoveri::TDataSet* dataset : deferred) dataset->EnableControls();
}

void TDatasetLock::Forget(dadoveri::TDataSet& dataset) {
  std::lock_guard guard(mutex_);
  auto it = std::find(deferred_.begin(), deferred_.end(), &dataset);
  if (it == deferred_.end()) return;
  deferred_.erase(it);
}

bool TDatasetLock::DeliveryPending() {
  std::lock_guard guard(mutex_);
  return posted_;
}

}  // namespace nilvar
