#pragma once
// The one runner of child-process jobs (training, validation, tuning): starts `orvane VERB
// key=value ...` with QProcess, turns its console into cleaned text pieces and its JSON-lines
// progress channel into objects, and says how the child ended. It blocks the calling thread (a
// worker thread) in a local event loop until the child has exited and both pipes are drained.
//
// The progress channel is a pipe, not a file: its write end is created close-on-exec, made
// inheritable only inside the child (QProcess's child-process modifier) and handed over as
// `progress=fd:N`; the read end is watched with a QSocketNotifier. A pipe needs no polling, leaves
// nothing on disk, and reaches end-of-file exactly when the child is gone.

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>

#include "tasks/long_task.h"

namespace orvane::training {

// The `orvane` tool the studio runs: beside the studio's executable, unless a folder was set.
QString orvane_program();
// Tests and tools whose executable lives elsewhere point the studio at the tool's folder.
void set_orvane_directory(const QString& dir);

struct JobEvents {
  std::function<void(const QString&)> console;       // cleaned console text, as written
  std::function<void(const QJsonObject&)> progress;  // every progress line; null: no channel
};

// Written by the GUI thread, read by the runner (checked every few milliseconds).
struct JobControl {
  const std::atomic<bool>* stop = nullptr;   // graceful: QProcess::terminate once
  const std::atomic<bool>* abort = nullptr;  // at once: QProcess::kill
  std::atomic<qint64>* pid = nullptr;        // the running child's process id, 0 when none
};

struct JobResult {
  bool started = false;
  QString start_error;     // why it did not start (one line)
  bool crashed = false;    // ended by a signal
  int exit_code = -1;      // the exit code, or the signal number when crashed
  QJsonObject last_event;  // the last progress line with an "event" of finished/stopped/error
  QString last_line;       // the last non-empty console line (a failing child's reason)
  bool terminate_sent = false;
};

// `what` names the job in messages ("training process").
JobResult run_job(const QString& program, const QString& verb, const QStringList& words,
                  const QString& what, const JobEvents& events, const JobControl& control);

// How a child job ended is told with the end record of every long task of the window
// (tasks::TaskEnd): `cancelled` when it was stopped, `error` (one line) when it failed, neither
// when it finished.

// What a training child's end means. Exactly one outcome: "stopped" on the channel wins; a
// crash, a non-zero exit or a missing result is an error; a clean "finished" is a stop when the
// stop came too late to cut the training short.
tasks::TaskEnd training_outcome(const JobResult& result, bool stop_requested);
// The same for a child without a progress channel (validation, tuning): exit 0 is Finished.
tasks::TaskEnd plain_outcome(const JobResult& result, bool stop_requested, const QString& what);

// "killed by signal 9 (SIGKILL)".
QString signal_text(int signal_number);

}  // namespace orvane::training
