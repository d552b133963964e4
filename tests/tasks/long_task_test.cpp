// The long-task runner: work runs off the calling thread, its progress and end come back as
// queued plain values, one run at a time, cancel reaches the work, an escaping exception becomes
// the end's error, and the calling thread's event loop stays free meanwhile.

#include "tasks/long_task.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>
#include <stdexcept>

namespace orvane::tasks {
namespace {

QCoreApplication& app() {
  static int argc = 1;
  static char name[] = "long_task_test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* instance =
      QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
  return instance ? *instance : *QCoreApplication::instance();
}

// Runs the event loop until `task` has ended (or 20 s passed).
void run_until_done(LongTask& task) {
  QEventLoop loop;
  QObject::connect(&task, &LongTask::finished_signal, &loop, &QEventLoop::quit);
  QTimer::singleShot(20000, &loop, &QEventLoop::quit);
  if (task.running()) loop.exec();
}

TEST(LongTaskTest, RunsOffTheCallingThreadReportsProgressAndEndsOnce) {
  app();
  LongTask task;
  QSignalSpy progress(&task, &LongTask::progress_signal);
  Qt::HANDLE work_thread = nullptr;
  int done_calls = 0;
  TaskEnd seen;
  ASSERT_TRUE(task.start(
      [&](TaskControl& control) {
        work_thread = QThread::currentThreadId();
        for (int i = 1; i <= 3; ++i) control.report(i, 3, QString("file%1").arg(i));
      },
      [&](const TaskEnd& end) {
        ++done_calls;
        seen = end;
        EXPECT_FALSE(task.running());  // a done handler may start the next batch
      }));
  run_until_done(task);
  EXPECT_NE(work_thread, QThread::currentThreadId());
  EXPECT_EQ(done_calls, 1);
  EXPECT_FALSE(seen.cancelled);
  EXPECT_TRUE(seen.error.isEmpty());
  // The first and the last always arrive; those between may be thinned out.
  ASSERT_GE(progress.size(), 2);
  EXPECT_EQ(progress[0][0].toInt(), 1);
  EXPECT_EQ(progress.last()[0].toInt(), 3);
  EXPECT_EQ(progress.last()[2].toString(), "file3");
}

TEST(LongTaskTest, ASecondStartIsRefusedWhileOneRunsAndCancelReachesTheWork) {
  app();
  LongTask task;
  std::atomic_bool may_go{false};
  int files = 0;
  TaskEnd seen;
  ASSERT_TRUE(task.start(
      [&](TaskControl& control) {
        while (!may_go) QThread::msleep(1);
        for (; files < 1000 && !control.stop_requested(); ++files) QThread::msleep(2);
      },
      [&](const TaskEnd& end) { seen = end; }));
  EXPECT_TRUE(task.running());
  EXPECT_FALSE(task.start([](TaskControl&) { ADD_FAILURE() << "a second batch ran"; }));
  task.cancel();
  may_go = true;
  ASSERT_TRUE(task.wait(20000));
  EXPECT_TRUE(seen.cancelled);
  EXPECT_EQ(files, 0);
  // Idle again: the next batch starts, uncancelled.
  bool ran = false;
  ASSERT_TRUE(task.start([&](TaskControl& c) { ran = !c.stop_requested(); },
                         [&](const TaskEnd& end) { seen = end; }));
  ASSERT_TRUE(task.wait(20000));
  EXPECT_TRUE(ran);
  EXPECT_FALSE(seen.cancelled);
}

TEST(LongTaskTest, AnExceptionEndsTheTaskWithItsFirstLine) {
  app();
  LongTask task;
  TaskEnd seen;
  ASSERT_TRUE(task.start([](TaskControl&) { throw std::runtime_error("disk gone\ndetails"); },
                         [&](const TaskEnd& end) { seen = end; }));
  ASSERT_TRUE(task.wait(20000));
  EXPECT_EQ(seen.error, "disk gone");
}

// A task of about two seconds: timers of the calling thread keep firing every few milliseconds.
TEST(LongTaskTest, TheCallingThreadsEventLoopStaysFreeDuringTheWork) {
  app();
  LongTask task;
  ASSERT_TRUE(task.start([](TaskControl& control) {
    QElapsedTimer busy;
    busy.start();
    for (int i = 0; busy.elapsed() < 2000; ++i) control.report(i, 1 << 30);
  }));
  QElapsedTimer clock;
  clock.start();
  qint64 last = 0, worst = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    worst = std::max(worst, clock.elapsed() - last);
    last = clock.elapsed();
  });
  tick.start(10);
  run_until_done(task);
  EXPECT_GE(clock.elapsed(), 1900);
  EXPECT_LT(worst, 100) << "the event loop stalled for " << worst << " ms";
}

// The window goes away mid-batch: the runner stops the work and waits for it.
TEST(LongTaskTest, DestroyingTheRunnerStopsAndWaitsForTheWork) {
  app();
  std::atomic_bool finished{false};
  {
    LongTask task;
    ASSERT_TRUE(task.start([&](TaskControl& control) {
      while (!control.stop_requested()) QThread::msleep(1);
      finished = true;
    }));
  }
  EXPECT_TRUE(finished);
}

}  // namespace
}  // namespace orvane::tasks
