#include "training/job_runner.h"

#include <fcntl.h>
#include <unistd.h>

#include <memory>
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

namespace {

// One child job from start to end, each member one part of it: the console, the progress
// channel, the process's signals and the stop/abort polling. It lives on the calling thread's
// stack for the length of run_job.
class ChildJob {
 public:
  ChildJob(const QString& what, const JobEvents& events, const JobControl& control)
      : what_(what),
        events_(events),
        control_(control),
        sink_([this](const QString& text) { take_console(text); }),
        console_(sink_),
        with_channel_(bool(events.progress)) {}
  ChildJob(const ChildJob&) = delete;
  ChildJob& operator=(const ChildJob&) = delete;

  JobResult run(const QString& program, const QString& verb, const QStringList& words);

 private:
  bool open_channel(QStringList& arguments);
  void connect_signals();
  void start(const QString& program, const QStringList& arguments);
  void take_console(const QString& text);
  void flush_console();
  void deliver(const std::vector<QJsonObject>& objects);
  void drain_channel();
  void channel_readable();
  void process_finished(int code, QProcess::ExitStatus status);
  void process_error(QProcess::ProcessError error);
  void poll_control();

  const QString& what_;
  const JobEvents& events_;
  const JobControl& control_;
  JobResult result_;
  // Console text is gathered for a short while and handed on in one piece: a chatty child
  // writes thousands of tiny pieces a second, and each one the console takes costs the window
  // a layout pass.
  QString pending_;
  StreamToSignal sink_;
  ConsoleDecoder console_;
  JsonLineParser parser_;
  const bool with_channel_;
  int channel_[2] = {-1, -1};
  bool channel_open_ = false, exited_ = false, start_failed_ = false;
  QEventLoop loop_;
  QProcess process_;
  std::unique_ptr<QSocketNotifier> notifier_;
  QTimer console_timer_, control_timer_;
};

JobResult ChildJob::run(const QString& program, const QString& verb, const QStringList& words) {
  if (!QFileInfo(program).isExecutable()) {
    result_.start_error = QString("The %1 was not found: %2 is missing.").arg(what_, program);
    return result_;
  }
  QStringList arguments{verb};
  arguments += words;
  if (with_channel_ && !open_channel(arguments)) return result_;
  connect_signals();
  start(program, arguments);
  console_.finish();
  flush_console();
  if (control_.pid) *control_.pid = 0;
  if (with_channel_) ::close(channel_[0]);
  result_.started = !start_failed_;
  return result_;
}

// The progress pipe: its write end goes to the child as `progress=fd:N`, inherited by it alone.
bool ChildJob::open_channel(QStringList& arguments) {
  if (pipe2(channel_, O_CLOEXEC) != 0) {
    result_.start_error =
        QString("The %1 could not be started: no pipe for its progress.").arg(what_);
    return false;
  }
  fcntl(channel_[0], F_SETFL, fcntl(channel_[0], F_GETFL) | O_NONBLOCK);
  arguments << QString("progress=fd:%1").arg(channel_[1]);
  channel_open_ = true;
  notifier_ = std::make_unique<QSocketNotifier>(channel_[0], QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, &loop_,
                   [this] { channel_readable(); });
  return true;
}

void ChildJob::connect_signals() {
  process_.setProcessChannelMode(QProcess::MergedChannels);
  const int child_end = channel_[1];
  process_.setChildProcessModifier([child_end] {
    // Runs in the child between fork and exec: only async-signal-safe calls.
    if (child_end >= 0) fcntl(child_end, F_SETFD, 0);  // this descriptor alone is inherited
#ifdef __linux__
    // Should the studio die, the child is asked to stop as if the operator had pressed stop.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
  });
  QObject::connect(&process_, &QProcess::readyReadStandardOutput, &loop_,
                   [this] { console_.feed(process_.readAllStandardOutput()); });
  QObject::connect(
      &process_, &QProcess::finished, &loop_,
      [this](int code, QProcess::ExitStatus status) { process_finished(code, status); });
  QObject::connect(&process_, &QProcess::errorOccurred, &loop_,
                   [this](QProcess::ProcessError error) { process_error(error); });
  console_timer_.setInterval(kConsoleFlushMs);
  QObject::connect(&console_timer_, &QTimer::timeout, &loop_, [this] { flush_console(); });
  control_timer_.setInterval(kControlPollMs);
  QObject::connect(&control_timer_, &QTimer::timeout, &loop_, [this] { poll_control(); });
}

// Starts the child and runs the local event loop until it has exited and the pipes are drained.
void ChildJob::start(const QString& program, const QStringList& arguments) {
  process_.start(program, arguments, QIODevice::ReadOnly);
  if (with_channel_) ::close(channel_[1]);  // the child holds its own copy now
  if (start_failed_) return;
  control_timer_.start();
  console_timer_.start();
  if (control_.pid) *control_.pid = process_.processId();
  if (!exited_ && !start_failed_) loop_.exec();
}

void ChildJob::take_console(const QString& text) {
  const QStringList lines = text.split('\n', Qt::SkipEmptyParts);
  for (auto it = lines.rbegin(); it != lines.rend(); ++it)
    if (!it->trimmed().isEmpty()) {
      result_.last_line = it->trimmed();
      break;
    }
  pending_ += text;
  if (pending_.size() > kConsoleFlushChars) flush_console();
}

void ChildJob::flush_console() {
  if (pending_.isEmpty()) return;
  if (events_.console) events_.console(pending_);
  pending_.clear();
}

void ChildJob::deliver(const std::vector<QJsonObject>& objects) {
  if (!objects.empty()) flush_console();  // what was printed before the event shows first
  for (const QJsonObject& object : objects) {
    if (is_terminal(object)) result_.last_event = object;
    if (events_.progress) events_.progress(object);
  }
}

void ChildJob::drain_channel() {
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(channel_[0], buffer, sizeof buffer);
    if (n > 0) {
      deliver(parser_.feed(QByteArray(buffer, n)));
      continue;
    }
    if (n == 0) {  // every writer is gone
      deliver(parser_.finish());
      channel_open_ = false;
    }
    return;  // EAGAIN: more later
  }
}

void ChildJob::channel_readable() {
  drain_channel();
  if (!channel_open_) notifier_->setEnabled(false);
  if (exited_ && !channel_open_) loop_.quit();
}

void ChildJob::process_finished(int code, QProcess::ExitStatus status) {
  console_.feed(process_.readAllStandardOutput());
  console_.finish();
  result_.crashed = status == QProcess::CrashExit;
  result_.exit_code = code;
  exited_ = true;
  if (with_channel_) {
    // A child that left a writer behind (a grandchild) cannot hold us: what is in the pipe now
    // is all we wait for.
    drain_channel();
    channel_open_ = false;
    notifier_->setEnabled(false);
  }
  loop_.quit();
}

void ChildJob::process_error(QProcess::ProcessError error) {
  if (error != QProcess::FailedToStart) return;
  start_failed_ = true;
  result_.start_error =
      QString("The %1 could not be started: %2").arg(what_, process_.errorString());
  loop_.quit();
}

void ChildJob::poll_control() {
  if (control_.abort && *control_.abort && process_.state() != QProcess::NotRunning) {
    process_.kill();
  } else if (control_.stop && *control_.stop && !result_.terminate_sent &&
             process_.state() == QProcess::Running) {
    result_.terminate_sent = true;
    process_.terminate();  // the child ends its batch, saves and reports "stopped"
  }
}

}  // namespace

JobResult run_job(const QString& program, const QString& verb, const QStringList& words,
                  const QString& what, const JobEvents& events, const JobControl& control) {
  ChildJob job(what, events, control);
  return job.run(program, verb, words);
}

// A child that died of a signal or exited non-zero: the error with the child's own reason.
namespace {

const tasks::TaskEnd kFinished{};
const tasks::TaskEnd kStopped{true, {}};
tasks::TaskEnd failed(const QString& why) { return {false, why}; }

}  // namespace

static std::optional<tasks::TaskEnd> exit_failure(const JobResult& r, const QString& what) {
  if (r.crashed)
    return failed(QString("The %1 ended abnormally: %2.").arg(what, signal_text(r.exit_code)));
  if (r.exit_code != 0) {
    const QString why = reason(r);
    if (why.isEmpty())
      return failed(QString("The %1 failed with exit code %2.").arg(what).arg(r.exit_code));
    return failed(why);
  }
  return std::nullopt;
}

tasks::TaskEnd training_outcome(const JobResult& r, bool stop_requested) {
  const QString what = "training process";
  if (!r.started) return failed(r.start_error);
  const QString event = r.last_event["event"].toString();
  if (event == "stopped") return kStopped;
  // Stopped before the child could catch the request (still starting up), or ended at once
  // because the window is closing: what was asked for happened.
  if (stop_requested && r.crashed &&
      (r.exit_code == SIGTERM || r.exit_code == SIGINT || r.exit_code == SIGKILL))
    return kStopped;
  if (auto failure = exit_failure(r, what)) return *failure;
  if (event == "finished") return stop_requested ? kStopped : kFinished;
  if (event == "error") return failed(reason(r));
  return failed(QString("The %1 ended without reporting a result.").arg(what));
}

tasks::TaskEnd plain_outcome(const JobResult& r, bool stop_requested, const QString& what) {
  if (!r.started) return failed(r.start_error);
  if (stop_requested && (r.crashed || r.terminate_sent)) return kStopped;
  if (auto failure = exit_failure(r, what)) return *failure;
  return stop_requested ? kStopped : kFinished;
}

}  // namespace orvane::training
