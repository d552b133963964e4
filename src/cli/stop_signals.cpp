#include "cli/stop_signals.h"

#include <atomic>

namespace orvane::cli {

namespace {

std::atomic<bool> g_stop_requested{false};

extern "C" void on_stop_signal(int sig) {
  if (g_stop_requested.exchange(true)) {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
  }
}

}  // namespace

SignalGuard::SignalGuard(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // Restart interrupted reads and waits, as std::signal does on Linux.
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, &previous_int_);
  ::sigaction(SIGTERM, &action, &previous_term_);
}

SignalGuard::~SignalGuard() {
  ::sigaction(SIGINT, &previous_int_, nullptr);
  ::sigaction(SIGTERM, &previous_term_, nullptr);
}

GracefulStop::GracefulStop() : guard_((g_stop_requested = false, on_stop_signal)) {}

bool GracefulStop::requested() const { return g_stop_requested.load(); }

}  // namespace orvane::cli
