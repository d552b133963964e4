#pragma once
// SIGINT and SIGTERM for the long verbs (train, tune and the nproc launcher): a handler that is
// in place exactly as long as its guard lives, so no return path or exception leaves one behind.

#include <csignal>

namespace orvane::cli {

// Installs `handler` for SIGINT and SIGTERM; the destructor puts back the handlers it replaced.
class SignalGuard {
 public:
  explicit SignalGuard(void (*handler)(int));
  ~SignalGuard();
  SignalGuard(const SignalGuard&) = delete;
  SignalGuard& operator=(const SignalGuard&) = delete;

 private:
  struct sigaction previous_int_ {};
  struct sigaction previous_term_ {};
};

// The verbs' stop: the first SIGINT/SIGTERM asks for a graceful stop (the batch ends, the weights
// are saved), a second one ends the process at once by the signal's default action. One at a
// time: the request is a process-wide flag, because a signal handler can reach nothing else.
class GracefulStop {
 public:
  GracefulStop();  // clears the request and installs the handler
  bool requested() const;

 private:
  SignalGuard guard_;
};

}  // namespace orvane::cli
