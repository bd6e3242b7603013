#include "app/jv_thread.h"
#include "tests/app/test_application.h"

#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace nilvar {
namespace {

// Processes main-thread events until `done` holds or five seconds pass.
template <typename Pred>
bool pump_until(Pred done) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > 5000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class JvThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { test::Application(); }
};

TEST_F(JvThreadTest, ExecuteRunsOnWorkerAndFinishOnMainThread) {
  TJvThread worker;
  std::atomic<bool> execute_on_main{true};
  bool finish_on_main = false;
  bool worker_waiting_during_finish = false;
  std::atomic<bool> execute_returned{false};
  int finish_all = 0;
  void* seen_param = nullptr;
  QObject* seen_sender = &worker;
  int param_value = 7;

  worker.OnExecute = [&](QObject* sender, void* param) {
    execute_on_main = QThread::currentThread() == qApp->thread();
    seen_param = param;
    seen_sender = sender;
    execute_returned = true;
  };
  worker.OnFinish = [&](QObject* sender) {
    EXPECT_EQ(sender, &worker);
    finish_on_main = QThread::currentThread() == qApp->thread();
    worker_waiting_during_finish = execute_returned.load();
  };
  worker.OnFinishAll = [&](QObject*) { ++finish_all; };

  const uint64_t id = worker.Execute(&param_value);
  EXPECT_NE(id, 0u);
  EXPECT_TRUE(worker.OneThreadIsRunning());
  ASSERT_TRUE(pump_until([&] { return !worker.OneThreadIsRunning(); }));
  EXPECT_FALSE(execute_on_main);
  EXPECT_TRUE(finish_on_main);
  EXPECT_TRUE(worker_waiting_during_finish);
  EXPECT_EQ(seen_param, &param_value);
  EXPECT_EQ(seen_sender, nullptr);
  EXPECT_EQ(finish_all, 1);
}

TEST_F(JvThreadTest, ExclusiveDropsStartsDuringARunAndNewestTextWins) {
  TJvThread worker;
  std::string pattern;  // the shared search text, written on the main thread only
  std::atomic<bool> release{false};
  std::atomic<int> executes{0};
  std::vector<std::string> applied;

  worker.OnExecute = [&](QObject*, void*) {
    ++executes;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  worker.OnFinish = [&](QObject*) { applied.push_back(pattern); };

  pattern = "a*";
  EXPECT_NE(worker.Execute(), 0u);
  for (const char* typed : {"ab*", "abc*", "abca*"}) {
    pattern = typed;
    EXPECT_EQ(worker.Execute(), 0u) << "a start during a run must be dropped";
  }
  release = true;
  ASSERT_TRUE(pump_until([&] { return !worker.OneThreadIsRunning(); }));
  EXPECT_EQ(executes.load(), 1);
  ASSERT_EQ(applied.size(), 1u);
  EXPECT_EQ(applied.back(), "abca*");
}

TEST_F(JvThreadTest, FailuresInEitherStepDoNotBlockTheNextRun) {
  TJvThread worker;
  int finishes = 0;
  bool fail_finish = false;
  worker.OnExecute = [&](QObject*, void*) { throw std::runtime_error("execute failed"); };
  worker.OnFinish = [&](QObject*) {
    ++finishes;
    if (fail_finish) throw std::runtime_error("finish failed");
  };

  ASSERT_NE(worker.Execute(), 0u);
  ASSERT_TRUE(pump_until([&] { return !worker.OneThreadIsRunning(); }));
  EXPECT_EQ(finishes, 1);

  fail_finish = true;
  ASSERT_NE(worker.Execute(), 0u);
  ASSERT_TRUE(pump_until([&] { return !worker.OneThreadIsRunning(); }));
  EXPECT_EQ(finishes, 2);

  fail_finish = false;
  ASSERT_NE(worker.Execute(), 0u) << "a failed finish step must not block the next start";
  ASSERT_TRUE(pump_until([&] { return !worker.OneThreadIsRunning(); }));
  EXPECT_EQ(finishes, 3);
}

TEST_F(JvThreadTest, WithoutExclusiveEveryStartRunsAndFinishAllFiresAfterTheLast) {
  TJvThread worker;
  worker.Exclusive = false;
  std::atomic<bool> release{false};
  int finishes = 0;
  std::vector<int> running_at_finish_all;
  worker.OnExecute = [&](QObject*, void*) {
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  worker.OnFinish = [&](QObject*) { ++finishes; };
  worker.OnFinishAll = [&](QObject*) { running_at_finish_all.push_back(worker.RunningCount()); };

  for (int i = 0; i < 3; ++i) EXPECT_NE(worker.Execute(), 0u);
  EXPECT_EQ(worker.RunningCount(), 3);
  release = true;
  ASSERT_TRUE(pump_until([&] { return finishes == 3; }));
  EXPECT_EQ(running_at_finish_all, std::vector<int>{0});
}

TEST_F(JvThreadTest, NothingStartsWithoutAnExecuteStep) {
  TJvThread worker;
  bool began = false;
  worker.Onbegin = [&](QObject*) { began = true; };
  EXPECT_EQ(worker.Execute(), 0u);
  EXPECT_FALSE(began);
  EXPECT_FALSE(worker.OneThreadIsRunning());
}

TEST_F(JvThreadTest, SuspendedRunWaitsForResumeAndOnbeginPrecedesIt) {
  TJvThread worker;
  worker.RunOnCreate = false;
  std::atomic<bool> executed{false};
  bool began_before_execute = false;
  worker.Onbegin = [&](QObject*) { began_before_execute = !executed; };
  worker.OnExecute = [&](QObject*, void*) { executed = true; };
  const uint64_t id = worker.Execute();
  ASSERT_NE(id, 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(executed);
  EXPECT_TRUE(began_before_execute);
  EXPECT_TRUE(worker.Resume(id));
  ASSERT_TRUE(pump_until([&] { return !worker.OneThreadIsRunning(); }));
  EXPECT_TRUE(executed);
}

TEST_F(JvThreadTest, DestroyingTheComponentDuringARunDoesNotHang) {
  std::atomic<bool> finished_step{false};
  bool finish_called = false;
  {
    TJvThread worker;
    worker.OnExecute = [&](QObject*, void*) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      finished_step = true;
    };
    worker.OnFinish = [&](QObject*) { finish_called = true; };
    ASSERT_NE(worker.Execute(), 0u);
  }
  EXPECT_TRUE(finished_step);
  QCoreApplication::processEvents();
  EXPECT_FALSE(finish_called);
}

}  // namespace
}  // namespace nilvar
