#include "engine/logger.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace orvane::engine {

Logger LOGGER;

namespace {

bool stdout_is_terminal() {
  static const bool tty = isatty(fileno(stdout)) != 0;
  return tty;
}

}  // namespace

int Logger::add_handler(Handler handler) {
  std::lock_guard lock(mutex_);
  handlers_.emplace_back(next_id_, std::move(handler));
  return next_id_++;
}

void Logger::remove_handler(int id) {
  std::lock_guard lock(mutex_);
  // Erase-remove rather than std::erase_if: the fuzz build compiles the engine as C++17.
  handlers_.erase(std::remove_if(handlers_.begin(), handlers_.end(),
                                 [id](const auto& entry) { return entry.first == id; }),
                  handlers_.end());
}

void Logger::set_console(bool enabled) {
  std::lock_guard lock(mutex_);
  console_ = enabled;
}

bool Logger::console() const {
  std::lock_guard lock(mutex_);
  return console_;
}

void Logger::set_verbose(bool enabled) {
  std::lock_guard lock(mutex_);
  verbose_ = enabled;
}

void Logger::log(LogRecord record) {
  std::lock_guard lock(mutex_);
  if (record.level == LogLevel::debug && !verbose_) return;
  if (console_) {
    // Progress bars redraw in place on a terminal; in a pipe or file only final lines appear.
    if (record.transient) {
      if (stdout_is_terminal()) {
        std::fprintf(stdout, "\r%s\x1b[K", record.message.c_str());
        std::fflush(stdout);
        console_line_open_ = true;
      }
    } else {
      if (console_line_open_) std::fputs("\r\x1b[K", stdout);
      console_line_open_ = false;
      std::fputs(record.message.c_str(), stdout);
      std::fputc('\n', stdout);
      std::fflush(stdout);
    }
  }
  for (const auto& [id, handler] : handlers_) handler(record);
}

void Logger::debug(std::string_view message) { log({LogLevel::debug, std::string(message)}); }
void Logger::info(std::string_view message) { log({LogLevel::info, std::string(message)}); }
void Logger::warning(std::string_view message) {
  log({LogLevel::warning, "WARNING " + std::string(message)});
}
void Logger::error(std::string_view message) {
  log({LogLevel::error, "ERROR " + std::string(message)});
}
void Logger::progress(std::string_view line) {
  log({LogLevel::info, std::string(line), true});
}

}  // namespace orvane::engine
