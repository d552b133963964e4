// A failure on any thread of a run ends the run with one message: it never reaches
// std::terminate, and every thread is joined on the way out. Each test throws from one kind of
// thread; a regression kills the whole test program instead of failing one test.

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <stdexcept>

#include "engine/checkpoint.h"
#include "engine/data/data_config.h"
#include "engine/data/loader.h"
#include "engine/error.h"
#include "engine/shapes_data.h"

namespace orvane::engine {
namespace {

class ThreadFailureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          (std::string("orvane_thread_failure_") +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
           std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir;
};

// The dataset scan decodes and resizes images for the cache on a pool of threads. An image size
// whose resize cannot be allocated (a typo of a few zeros) fails on whichever thread gets there
// first; the scan waits for the others and reports it.
TEST_F(ThreadFailureTest, ADatasetScanThreadThatFailsEndsTheScanWithOneMessage) {
  const auto data = make_dataset(dir / "det", false, 8);
  LoaderOptions options;
  options.imgsz = 1'000'000;  // 3 TB per cached image: no allocation can hold it
  options.workers = 4;
  try {
    (void)build_dataset(load_data_config(data), "train", options);
    FAIL() << "the scan succeeded";
  } catch (const EngineError& e) {
    const std::string message = e.what();
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    EXPECT_NE(message.find("train"), std::string::npos) << message;
  }
}

// The checkpoint writer's thread: an exception out of the write (memory, a library fault) fails
// that write like a full disk does, reported by wait(); later files are still written.
TEST_F(ThreadFailureTest, ACheckpointWriterThreadThatThrowsReportsTheFailureAndGoesOn) {
  std::atomic<int> calls{0};
  CheckpointWriter writer([&](const fs::path& path, const std::string& bytes) -> std::string {
    if (calls++ == 0) throw std::runtime_error("simulated fault\nsecond line");
    std::ofstream(path, std::ios::binary) << bytes;
    return {};
  });
  writer.write(dir / "last.pt", "first");
  try {
    writer.wait();
    FAIL() << "the failed write was not reported";
  } catch (const EngineError& e) {
    EXPECT_EQ(std::string(e.what()), (dir / "last.pt").string() +
                                         " could not be written: simulated fault");
  }
  writer.write(dir / "best.pt", "second");
  writer.wait();
  EXPECT_TRUE(fs::exists(dir / "best.pt"));
}

// A writer destroyed while its thread throws (training ended by another error) joins it and
// only logs the failure.
TEST_F(ThreadFailureTest, ACheckpointWriterDestroyedAfterAThrowJoinsItsThread) {
  {
    CheckpointWriter writer([](const fs::path&, const std::string&) -> std::string {
      throw std::bad_alloc();
    });
    writer.write(dir / "last.pt", "bytes");
  }
  EXPECT_FALSE(fs::exists(dir / "last.pt"));
}

}  // namespace
}  // namespace orvane::engine
