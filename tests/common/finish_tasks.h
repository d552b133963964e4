#pragma once
// Batches run on a LongTask, off the window's thread: a widget test that starts one waits here
// for every task below `root` to end (its closing message shown) before looking at the outcome.

#include <gtest/gtest.h>

#include <QObject>

#include "tasks/long_task.h"

namespace orvane::test {

inline void finish_tasks(QObject& root, int timeout_ms = 120000) {
  for (auto* task : root.findChildren<tasks::LongTask*>())
    EXPECT_TRUE(task->wait(timeout_ms)) << "a batch did not end";
}

}  // namespace orvane::test
