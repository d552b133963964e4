#pragma once
// Base fixture for engine tests that train in-process: a fresh folder per test and the engine's
// log gathered into `log` (the console kept quiet), both undone after the test.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "engine/logger.h"

namespace orvane::engine {

class LoggedRunTest : public ::testing::Test {
 protected:
  explicit LoggedRunTest(std::string prefix) : prefix_(std::move(prefix)) {}

  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          (prefix_ + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
           std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    LOGGER.set_console(false);
    handler = LOGGER.add_handler([this](const LogRecord& r) {
      if (!r.transient) log += r.message + "\n";
    });
  }
  void TearDown() override {
    LOGGER.remove_handler(handler);
    LOGGER.set_console(true);
    std::filesystem::remove_all(dir);
  }

  std::filesystem::path dir;
  std::string log;
  int handler = 0;

 private:
  std::string prefix_;
};

}  // namespace orvane::engine
