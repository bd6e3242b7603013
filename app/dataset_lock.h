// The lock around the window's datasets and the queued delivery of what a search worker did
// to them.
//
// Datasets and the controls bound to them are not safe for concurrent use. The search
// worker changes a table's filter on its own thread; the main thread reads the same table
// when it paints the grid, runs a handler or passes a notification to a control. Both
// sides hold this one (recursive) lock around every use of the window's datasets.
//
// The worker must not reach a control at all: before it changes a dataset it defers the
// dataset's controls (`DeferControls`), which holds every notification back in the dataset,
// and one queued call, coalesced however many changes the worker made meanwhile, lets them
// go again on the main thread. The controls then catch up with a single dataset-changed
// notification there, so row counts and selections change on the main thread alone.
#pragma once

#include <QObject>

#include <mutex>
#include <vector>

namespace dadoveri {
class TDataSet;
}

namespace nilvar {

class TDatasetLock : public QObject {
  Q_OBJECT
 public:
  explicit TDatasetLock(QObject* parent = nullptr);
  ~TDatasetLock() override;

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  bool try_lock() { return mutex_.try_lock(); }

  // Worker side, with the lock held: keeps `dataset`'s notifications from its controls
  // until the main thread delivers them. Any number of calls before the delivery cost one
  // delivery.
  void DeferControls(dadoveri::TDataSet& dataset);
  // Delivers the deferred notifications now (main thread); the queued call does the same.
  // Queued by name, so that the call posted from the worker carries nothing of ours across
  // the threads but this object, whose members the lock guards.
  Q_INVOKABLE void Deliver();
  // Drops `dataset` from the deferred ones without delivering: it is being freed.
  void Forget(dadoveri::TDataSet& dataset);
  // Whether a delivery is queued and not yet run.
  bool DeliveryPending();

 private:
  std::recursive_mutex mutex_;
  std::vector<dadoveri::TDataSet*> deferred_;  // guarded by mutex_
  bool posted_ = false;                        // guarded by mutex_
};

// Whether the caller runs on the thread of the application's widgets.
bool OnGuiThread();

}  // namespace nilvar
