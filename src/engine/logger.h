#pragma once
// The engine's logger, LOGGER. Every engine message passes through it: by default to the
// console (standard output), and to any handler added, e.g. the studio's console or a test.
//
// Thread-safe: training logs from its own thread while another thread adds or removes handlers.

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::engine {

enum class LogLevel { debug, info, warning, error };

struct LogRecord {
  LogLevel level = LogLevel::info;
  std::string message;  // one or more lines, no trailing newline
  // A progress line that the next record replaces (a terminal redraws it in place). Handlers
  // that keep a transcript may skip these: the final state of each bar follows as a normal record.
  bool transient = false;
};

class Logger {
 public:
  using Handler = std::function<void(const LogRecord&)>;

  // Returns an id for remove_handler. Handlers run on the logging thread, in order of addition,
  // and must not log themselves.
  int add_handler(Handler handler);
  void remove_handler(int id);  // unknown ids are ignored

  // The built-in console handler (standard output; warnings and errors carry a "WARNING " /
  // "ERROR " prefix as records do). On by default.
  void set_console(bool enabled);
  bool console() const;
  // Debug records are dropped unless enabled.
  void set_verbose(bool enabled);

  void log(LogRecord record);
  void debug(std::string_view message);
  void info(std::string_view message);
  void warning(std::string_view message);  // message gets a "WARNING " prefix
  void error(std::string_view message);
  void progress(std::string_view line);  // a transient record

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<int, Handler>> handlers_;
  int next_id_ = 1;
  bool console_ = true;
  bool verbose_ = false;
  bool console_line_open_ = false;  // a transient line is on the terminal
};

extern Logger LOGGER;

}  // namespace orvane::engine
