// TJvThread: runs a caller-supplied execute step on a new background thread per start and,
// when that step ends, the finish step on the main thread while the run's thread waits.
// The dictionary uses one per view for incremental search: with Exclusive set, starts that
// arrive while a run is in progress are dropped, and the finish step (running last, on the
// main thread) applies the newest search text.
#pragma once

#include <QObject>

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace nilvar {

class TJvThread;

// One run: a thread that holds the execute step and the parameter of its start.
class TJvHideThread {
 public:
  using ExecuteStep = std::function<void(QObject* sender, void* param)>;

  TJvHideThread(ExecuteStep step, void* param, TJvThread* owner);
  ~TJvHideThread();
  TJvHideThread(const TJvHideThread&) = delete;
  TJvHideThread& operator=(const TJvHideThread&) = delete;

  // Lets a thread created suspended begin its execute step.
  void Resume();
  bool Started() const;
  uint64_t ThreadID() const { return id_; }
  // The failure the execute step raised, kept and never reported.
  std::exception_ptr FatalException() const { return fatal_; }
  bool FreeOnTerminate = true;

 private:
  friend class TJvThread;
  void Run();

  ExecuteStep step_;
  void* param_;
  TJvThread* owner_;
  uint64_t id_;
  std::exception_ptr fatal_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool start_ = false;     // the gate of a thread created suspended
  bool finished_ = false;  // the finish routine has run on the main thread
  bool abandoned_ = false; // the owner is being destroyed: do not wait for the main thread
  bool done_ = false;      // the thread's routine has returned
  std::thread thread_;
};

class TJvThread : public QObject {
  Q_OBJECT
 public:
  using Event = std::function<void(QObject* sender)>;

  explicit TJvThread(QObject* parent = nullptr);
  // Waits for runs still in progress; their finish steps are not called any more.
  ~TJvThread() override;

  bool Exclusive = true;
  bool RunOnCreate = true;
  bool FreeOnTerminate = true;
  Event Onbegin;
  TJvHideThread::ExecuteStep OnExecute;
  Event OnFinish;
  Event OnFinishAll;

  // Starts a run (main thread only). Returns the run's thread identifier, or 0 when no
  // execute step is assigned or, with Exclusive set, a run is already in progress.
  uint64_t Execute(void* param = nullptr);
  bool OneThreadIsRunning() const { return running_ > 0; }
  int RunningCount() const { return running_; }

  // Thin thread controls over a run's identifier, as returned by Execute. A thread can only
  // be held before it starts (Suspend) and released (Resume); a started thread always runs
  // its step to the end. Return false when the identifier names no live run.
  bool Resume(uint64_t thread_id);
  int GetPriority(uint64_t thread_id) const;
  bool SetPriority(uint64_t thread_id, int priority);

 private:
  friend class TJvHideThread;
  // Runs on the main thread when a run's execute step has ended.
  void FinishRun(TJvHideThread* run);
  // Queued by a run whose execute step has ended (by name: the call carries nothing across
  // the threads but this object): finishes the run that ended first and is not finished.
  Q_INVOKABLE void FinishNextRun();
  // Joins and frees runs whose threads have ended.
  void Reap();
  TJvHideThread* Find(uint64_t thread_id) const;

  int running_ = 0;  // runs in progress; changed only on the main thread
  std::mutex ended_mutex_;
  std::list<TJvHideThread*> ended_;  // guarded by ended_mutex_: runs waiting for their finish
  std::list<std::unique_ptr<TJvHideThread>> runs_;
};

}  // namespace nilvar
