#include "app/jv_thread.h"

#include <QMetaObject>
#include <QPointer>

#include <atomic>
#include <pthread.h>
#include <sched.h>

namespace nilvar {

namespace {
std::atomic<uint64_t> next_thread_id{1};
}

TJvHideThread::TJvHideThread(ExecuteStep step, void* param, TJvThread* owner)
    : step_(std::move(step)), param_(param), owner_(owner), id_(next_thread_id++) {
  thread_ = std::thread([this] { Run(); });
}

TJvHideThread::~TJvHideThread() {
  {
    std::lock_guard lock(mutex_);
    abandoned_ = true;  // also opens the gate of a thread never started, which then ends
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void TJvHideThread::Resume() {
  {
    std::lock_guard lock(mutex_);
    start_ = true;
  }
  wake_.notify_all();
}

bool TJvHideThread::Started() const {
  std::lock_guard lock(mutex_);
  return start_;
}

void TJvHideThread::Run() {
  {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return start_ || abandoned_; });
    if (!start_) {
      done_ = true;
      return;
    }
  }
  try {
    if (step_) step_(nullptr, param_);
  } catch (...) {
    fatal_ = std::current_exception();
  }
  // Hand the finish routine to the main thread and wait until it has run. If the owner
  // goes away first, its queued call is dropped and the destructor releases this wait.
  {
    std::lock_guard lock(mutex_);
    if (abandoned_) {
      done_ = true;
      return;
    }
  }
  {
    std::lock_guard lock(owner_->ended_mutex_);
    owner_->ended_.push_back(this);
  }
  QMetaObject::invokeMethod(owner_, "FinishNextRun", Qt::QueuedConnection);
  std::unique_lock lock(mutex_);
  wake_.wait(lock, [this] { return finished_ || abandoned_; });
  done_ = true;
}

TJvThread::TJvThread(QObject* parent) : QObject(parent) {}

TJvThread::~TJvThread() {
  // Destroying a run releases its thread from waiting for the main thread and joins it.
  runs_.clear();
}

uint64_t TJvThread::Execute(void* param) {
  Reap();
  if (!OnExecute || (Exclusive && running_ > 0)) return 0;
  ++running_;
  auto run = std::make_unique<TJvHideThread>(OnExecute, param, this);
  run->FreeOnTerminate = FreeOnTerminate;
  TJvHideThread* started = run.get();
  runs_.push_back(std::move(run));
  if (Onbegin) Onbegin(this);
  if (RunOnCreate) started->Resume();
  return started->ThreadID();
}

void TJvThread::FinishNextRun() {
  TJvHideThread* run;
  {
    std::lock_guard lock(ended_mutex_);
    if (ended_.empty()) return;
    run = ended_.front();
    ended_.pop_front();
  }
  FinishRun(run);
}

void TJvThread::FinishRun(TJvHideThread* run) {
  --running_;
  try {
    if (OnFinish) OnFinish(this);
    if (running_ == 0 && OnFinishAll) OnFinishAll(this);
  } catch (...) {
    // A failing finish step is handed back to the run's thread, which ends without
    // reporting it; the count is already lowered, so later starts are not blocked.
  }
  {
    std::lock_guard lock(run->mutex_);
    run->finished_ = true;
  }
  run->wake_.notify_all();
  // The run's thread ends right after this; free it now unless it must outlive its run.
  QPointer<TJvThread> self(this);
  QMetaObject::invokeMethod(
      this, [self] { if (self) self->Reap(); }, Qt::QueuedConnection);
}

void TJvThread::Reap() {
  for (auto it = runs_.begin(); it != runs_.end();) {
    TJvHideThread& run = **it;
    bool ended;
    {
      std::lock_guard lock(run.mutex_);
      ended = run.finished_;
    }
    if (ended && run.FreeOnTerminate) {
      it = runs_.erase(it);  // joins the thread, which has passed its last wait
    } else {
      ++it;
    }
  }
}

TJvHideThread* TJvThread::Find(uint64_t thread_id) const {
  for (const auto& run : runs_)
    if (run->ThreadID() == thread_id) return run.get();
  return nullptr;
}

bool TJvThread::Resume(uint64_t thread_id) {
  TJvHideThread* run = Find(thread_id);
  if (!run) return false;
  run->Resume();
  return true;
}

int TJvThread::GetPriority(uint64_t thread_id) const {
  TJvHideThread* run = Find(thread_id);
  if (!run || !run->thread_.joinable()) return 0;
  int policy = 0;
  sched_param param{};
  pthread_getschedparam(const_cast<std::thread&>(run->thread_).native_handle(), &policy, &param);
  return param.sched_priority;
}

bool TJvThread::SetPriority(uint64_t thread_id, int priority) {
  TJvHideThread* run = Find(thread_id);
  if (!run || !run->thread_.joinable()) return false;
  int policy = 0;
  sched_param param{};
  pthread_getschedparam(run->thread_.native_handle(), &policy, &param);
  param.sched_priority = priority;
  return pthread_setschedparam(run->thread_.native_handle(), policy, &param) == 0;
}

}  // namespace nilvar
