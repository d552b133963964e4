#include "cli/stop_signals.h"

#include <gtest/gtest.h>

#include <csignal>

namespace orvane::cli {
namespace {

using Handler = void (*)(int);

Handler current(int sig) {
  struct sigaction now {};
  ::sigaction(sig, nullptr, &now);
  return now.sa_handler;
}

extern "C" void outer_handler(int) {}

TEST(SignalGuard, PutsBackWhateverHandlerItReplaced) {
  const SignalGuard outer(outer_handler);
  {
    const GracefulStop stop;
    EXPECT_NE(current(SIGINT), outer_handler);
    EXPECT_NE(current(SIGTERM), outer_handler);
  }
  // Not SIG_DFL: a verb run inside another handler's scope leaves that one in place.
  EXPECT_EQ(current(SIGINT), outer_handler);
  EXPECT_EQ(current(SIGTERM), outer_handler);
}

TEST(GracefulStop, FirstSignalIsARequestAndANewStopStartsClear) {
  {
    const GracefulStop stop;
    EXPECT_FALSE(stop.requested());
    std::raise(SIGTERM);  // the process lives on: the first signal only asks
    EXPECT_TRUE(stop.requested());
  }
  const GracefulStop next;
  EXPECT_FALSE(next.requested());
}

TEST(GracefulStop, SecondSignalEndsTheProcess) {
  EXPECT_EXIT(
      {
        const GracefulStop stop;
        std::raise(SIGINT);
        std::raise(SIGINT);
        std::exit(0);  // not reached
      },
      ::testing::KilledBySignal(SIGINT), "");
}

}  // namespace
}  // namespace orvane::cli
