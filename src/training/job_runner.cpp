#include "training/job_runner.h"

#include <fcntl.h>
#include <unistd.h>

#include <optional>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QMutex>
#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>

#include "training/log_bridge.h"
#include "training/train_progress.h"

namespace orvane::training {

namespace {

QMutex g_dir_mutex;
QString g_dir;  // empty: beside the executable

constexpr int kControlPollMs = 20;
constexpr int kConsoleFlushMs = 40;
constexpr int kConsoleFlushChars = 16384;

bool is_terminal(const QJsonObject& event) {
  const QString kind = event["event"].toString();
  return kind == "finished" || kind == "stopped" || kind == "error";
}

// The failing child's own reason: its error event, else its last console line.
QString reason(const JobResult& r) {
  if (r.last_event["event"].toString() == "error") {
    const QString message = r.last_event["message"].toString().trimmed();
    if (!message.isEmpty()) return message;
  }
  return r.last_line;
}

}  // namespace

QString orvane_program() {
  QString dir;
  {
    QMutexLocker lock(&g_dir_mutex);
    dir = g_dir;
  }
  if (dir.isEmpty()) dir = QCoreApplication::applicationDirPath();
  return QDir(dir).filePath("orvane");
}

void set_orvane_directory(const QString& dir) {
  QMutexLocker lock(&g_dir_mutex);
  g_dir = dir;
}

QString signal_text(int signal_number) {
  static const std::pair<int, const char*> names[] = {
      {SIGKILL, "SIGKILL"}, {SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"},   {SIGSEGV, "SIGSEGV"},
      {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},   {SIGFPE, "SIGFPE"},   {SIGILL, "SIGILL"},
      {SIGHUP, "SIGHUP"},   {SIGPIPE, "SIGPIPE"}, {SIGQUIT, "SIGQUIT"},
  };
  QString text = QString("killed by signal %1").arg(signal_number);
  for (const auto& [number, name] : names)
    if (number == signal_number) text += QString(" (%1)").arg(name);
  return text;
}

JobResult run_job(const QString& program, const QString& verb, const QStringList& words,
                  const QString& what, const JobEvents& events, const JobControl& control) {
  JobResult result;
  if (!QFileInfo(program).isExecutable()) {
    result.start_error = QString("The %1 was not found: %2 is missing.").arg(what, program);
    return result;
  }

  // Console text is gathered for a short while and handed on in one piece: a chatty child
  // writes thousands of tiny pieces a second, and each one the console takes costs the window
  // a layout pass.
  QString pending;
  auto flush_console = [&] {
    if (pending.isEmpty()) return;
    if (events.console) events.console(pending);
    pending.clear();
  };
  StreamToSignal sink([&](const QString& text) {
    const QStringList lines = text.split('\n', Qt::SkipEmptyParts);
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
      if (!it->trimmed().isEmpty()) {
        result.last_line = it->trimmed();
        break;
      }
    pending += text;
    if (pending.size() > kConsoleFlushChars) flush_console();
  });
  ConsoleDecoder console(sink);
  JsonLineParser parser;
  auto deliver = [&](const std::vector<QJsonObject>& objects) {
    if (!objects.empty()) flush_console();  // what was printed before the event shows first
    for (const QJsonObject& object : objects) {
      if (is_terminal(object)) result.last_event = object;
      if (events.progress) events.progress(object);
    }
  };

  QStringList arguments{verb};
  arguments += words;
  int channel[2] = {-1, -1};
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  const bool with_channel = bool(events.progress);
  if (with_channel) {
    if (pipe2(channel, O_CLOEXEC) != 0) {
      result.start_error =
          QString("The %1 could not be started: no pipe for its progress.").arg(what);
      return result;
    }
    fcntl(channel[0], F_SETFL, fcntl(channel[0], F_GETFL) | O_NONBLOCK);
    arguments << QString("progress=fd:%1").arg(channel[1]);
  }
  const int child_end = channel[1];
  process.setChildProcessModifier([child_end] {
    // Runs in the child between fork and exec: only async-signal-safe calls.
    if (child_end >= 0) fcntl(child_end, F_SETFD, 0);  // this descriptor alone is inherited
#ifdef __linux__
    // Should the studio die, the child is asked to stop as if the operator had pressed stop.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
  });

  QEventLoop loop;
  bool exited = false, channel_open = with_channel;
  auto drain_channel = [&] {
    char buffer[16384];
    for (;;) {
      const ssize_t n = ::read(channel[0], buffer, sizeof buffer);
      if (n > 0) {
        deliver(parser.feed(QByteArray(buffer, n)));
        continue;
      }
      if (n == 0) {  // every writer is gone
        deliver(parser.finish());
        channel_open = false;
      }
      return;  // EAGAIN: more later
    }
  };
  std::unique_ptr<QSocketNotifier> notifier;
  if (with_channel) {
    notifier = std::make_unique<QSocketNotifier>(channel[0], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, &loop, [&] {
      drain_channel();
      if (!channel_open) notifier->setEnabled(false);
      if (exited && !channel_open) loop.quit();
    });
  }
  QObject::connect(&process, &QProcess::readyReadStandardOutput, &loop,
                   [&] { console.feed(process.readAllStandardOutput()); });
  QObject::connect(&process, &QProcess::finished, &loop,
                   [&](int code, QProcess::ExitStatus status) {
                     console.feed(process.readAllStandardOutput());
                     console.finish();
                     result.crashed = status == QProcess::CrashExit;
                     result.exit_code = code;
                     exited = true;
                     if (with_channel) {
                       // A child that left a writer behind (a grandchild) cannot hold us: what
                       // is in the pipe now is all we wait for.
                       drain_channel();
                       channel_open = false;
                       notifier->setEnabled(false);
                     }
                     loop.quit();
                   });
  bool start_failed = false;
  QObject::connect(&process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) {
      start_failed = true;
      result.start_error =
          QString("The %1 could not be started: %2").arg(what, process.errorString());
      loop.quit();
    }
  });
  QTimer console_timer;
  console_timer.setInterval(kConsoleFlushMs);
  QObject::connect(&console_timer, &QTimer::timeout, &loop, flush_console);
  QTimer control_timer;
  control_timer.setInterval(kControlPollMs);
  QObject::connect(&control_timer, &QTimer::timeout, &loop, [&] {
    if (control.abort && *control.abort && process.state() != QProcess::NotRunning) {
      process.kill();
    } else if (control.stop && *control.stop && !result.terminate_sent &&
               process.state() == QProcess::Running) {
      result.terminate_sent = true;
      process.terminate();  // the child ends its batch, saves and reports "stopped"
    }
  });

  process.start(program, arguments, QIODevice::ReadOnly);
  if (with_channel) ::close(channel[1]);  // the child holds its own copy now
  if (!start_failed) {
    control_timer.start();
    console_timer.start();
    if (control.pid) *control.pid = process.processId();
    if (!exited && !start_failed) loop.exec();
  }
  console.finish();
  flush_console();
  if (control.pid) *control.pid = 0;
  if (with_channel) ::close(channel[0]);
  result.started = !start_failed;
  return result;
}

// A child that died of a signal or exited non-zero: the error with the child's own reason.
static std::optional<Outcome> exit_failure(const JobResult& r, const QString& what) {
  if (r.crashed)
    return Outcome{Outcome::Error,
                   QString("The %1 ended abnormally: %2.").arg(what, signal_text(r.exit_code))};
  if (r.exit_code != 0) {
    const QString why = reason(r);
    if (why.isEmpty())
      return Outcome{Outcome::Error,
                     QString("The %1 failed with exit code %2.").arg(what).arg(r.exit_code)};
    return Outcome{Outcome::Error, why};
  }
  return std::nullopt;
}

Outcome training_outcome(const JobResult& r, bool stop_requested) {
  const QString what = "training process";
  if (!r.started) return {Outcome::Error, r.start_error};
  const QString event = r.last_event["event"].toString();
  if (event == "stopped") return {Outcome::Stopped, {}};
  // Stopped before the child could catch the request (still starting up), or ended at once
  // because the window is closing: what was asked for happened.
  if (stop_requested && r.crashed &&
      (r.exit_code == SIGTERM || r.exit_code == SIGINT || r.exit_code == SIGKILL))
    return {Outcome::Stopped, {}};
  if (auto failure = exit_failure(r, what)) return *failure;
  if (event == "finished") return {stop_requested ? Outcome::Stopped : Outcome::Finished, {}};
  if (event == "error") return {Outcome::Error, reason(r)};
  return {Outcome::Error, QString("The %1 ended without reporting a result.").arg(what)};
}

Outcome plain_outcome(const JobResult& r, bool stop_requested, const QString& what) {
  if (!r.started) return {Outcome::Error, r.start_error};
  if (stop_requested && (r.crashed || r.terminate_sent)) return {Outcome::Stopped, {}};
  if (auto failure = exit_failure(r, what)) return *failure;
  return {stop_requested ? Outcome::Stopped : Outcome::Finished, {}};
}

}  // namespace orvane::training
