#include "engine/weights_zoo.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/free_port.h"
#include "engine/error.h"
#include "engine/pt_test_files.h"
#include "engine/yolo.h"

namespace orvane::engine {
namespace {

namespace fs = std::filesystem;
using namespace testing;

// A small HTTP/1.0 server on 127.0.0.1 (any free port), one request per connection:
//   /ok/NAME    the real weights, whole
//   /cut/NAME   announces the whole file, sends half of it and closes
//   /bad/NAME   a whole file that is not a checkpoint
//   anything else: 404
class WeightsServer {
 public:
  explicit WeightsServer(std::string weights) : weights_(std::move(weights)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    const int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 8) != 0)
      throw std::runtime_error("test server cannot listen");
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~WeightsServer() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  std::string url(const std::string& route) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + route;
  }
  int requests() const { return requests_; }

 private:
  void serve() {
    while (!stop_) {
      const int client = ::accept(fd_, nullptr, nullptr);
      if (client < 0) return;
      ++requests_;
      std::string request;
      char buf[2048];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const auto n = ::recv(client, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, size_t(n));
      }
      const auto start = request.find(' ') + 1;
      const std::string path = request.substr(start, request.find(' ', start) - start);
      std::string body = weights_, status = "200 OK";
      size_t send = body.size();
      if (path.rfind("/cut/", 0) == 0) {
        send = body.size() / 2;
      } else if (path.rfind("/bad/", 0) == 0) {
        body = "PK\x03\x04 this is no checkpoint";
        send = body.size();
      } else if (path.rfind("/ok/", 0) != 0) {
        status = "404 Not Found";
        body = "not here";
        send = body.size();
      }
      const std::string head = "HTTP/1.0 " + status +
                               "\r\nContent-Length: " + std::to_string(body.size()) +
                               "\r\nConnection: close\r\n\r\n";
      write_all(client, head.data(), head.size());
      write_all(client, body.data(), send);
      ::close(client);
    }
  }
  static void write_all(int fd, const char* data, size_t n) {
    while (n > 0) {
      const auto sent = ::send(fd, data, n, MSG_NOSIGNAL);
      if (sent <= 0) return;
      data += sent;
      n -= size_t(sent);
    }
  }

  std::string weights_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

class WeightsZooTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("orvane_zoo_" +
           std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    // Relative names resolve here, never in the folder the test runs from.
    cwd = fs::current_path();
    fs::current_path(dir);
  }
  void TearDown() override {
    fs::current_path(cwd);
    fs::remove_all(dir);
  }
  ZooOptions options(const std::string& base) {
    ZooOptions o;
    o.weights_dir = dir / "share" / "weights";
    o.base_url = base;
    o.connect_timeout_s = 5;
    return o;
  }
  // The one-line failure of getting yolov8n.pt from `base`; the weights folder must be left empty.
  std::string failure(const std::string& base) {
    try {
      resolve_weights("yolov8n.pt", options(base));
    } catch (const EngineError& e) {
      EXPECT_FALSE(fs::exists(dir / "share"))
          << "left behind in the weights folder after: " << e.what();
      return e.what();
    }
    ADD_FAILURE() << "the download from " << base << " succeeded";
    return "";
  }

  fs::path dir, cwd;
};

TEST_F(WeightsZooTest, ZooNamesAreTheEcosystemsDetectionAndSegmentationFiles) {
  EXPECT_TRUE(is_zoo_name("yolov8n.pt"));
  EXPECT_TRUE(is_zoo_name("yolov8x-seg.pt"));
  EXPECT_FALSE(is_zoo_name("yolov8n.yaml"));
  EXPECT_FALSE(is_zoo_name("yolov8n-pose.pt"));
  EXPECT_FALSE(is_zoo_name("runs/yolov8n.pt"));
  EXPECT_EQ(std::string(kZooBaseUrl),
            "https://github.com/ultralytics/assets/releases/download/v8.3.0");
}

TEST_F(WeightsZooTest, DownloadsWithProgressThenUsesTheCachedFileWithTheServerGone) {
  const std::string weights = read_file(real_weights());
  std::vector<DownloadProgress> seen;
  fs::path got;
  {
    WeightsServer server(weights);
    auto o = options(server.url("ok"));
    o.progress = [&](const DownloadProgress& p) {
      seen.push_back(p);
      return true;
    };
    got = resolve_weights("yolov8n.pt", o);
  }
  EXPECT_EQ(got, dir / "share" / "weights" / "yolov8n.pt");
  EXPECT_EQ(read_file(got), weights);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().received, std::int64_t(weights.size()));
  EXPECT_EQ(seen.back().total, std::int64_t(weights.size()));
  // Only the file itself is in the folder: no temporary left over.
  EXPECT_EQ(
      std::distance(fs::directory_iterator(dir / "share" / "weights"), fs::directory_iterator()),
      1);

  // The server is gone: the cached file serves, through the engine's own entry point too.
  EXPECT_EQ(resolve_weights("yolov8n.pt", options("http://127.0.0.1:9/none")), got);
  YOLO model("yolov8n.pt", options("http://127.0.0.1:9/none"));
  EXPECT_EQ(model.names(), (std::vector<std::string>{"rect", "circle"}));
}

TEST_F(WeightsZooTest, FailedDownloadsLeaveNothingAndSayWhatToDo) {
  const std::string weights = read_file(real_weights());
  WeightsServer server(weights);
  const std::string folder = (dir / "share" / "weights").string();
  EXPECT_EQ(failure(server.url("missing")),
            "yolov8n.pt is not in " + folder +
                " and could not be downloaded (HTTP 404): put the file there, give its path, or "
                "train from fresh weights with model=yolov8n.yaml");
  EXPECT_NE(failure(server.url("cut")).find("(the transfer was cut short after"),
            std::string::npos);
  EXPECT_NE(failure(server.url("bad")).find("(the downloaded file does not load"),
            std::string::npos);

  // Nothing listens on a port that was just closed.
  const int port = test::free_port();
  EXPECT_NE(failure("http://127.0.0.1:" + std::to_string(port)).find("(connection refused)"),
            std::string::npos);

  // A cancel from the progress callback is a failure like the others.
  auto o = options(server.url("ok"));
  o.progress = [](const DownloadProgress& p) { return p.received < 100000; };
  try {
    resolve_weights("yolov8n.pt", o);
    ADD_FAILURE() << "a cancelled download succeeded";
  } catch (const EngineError& e) {
    EXPECT_NE(std::string(e.what()).find("(cancelled)"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(fs::exists(dir / "share"));
  // The engine never falls back to fresh weights for a zoo name.
  EXPECT_THROW(YOLO("yolov8n.pt", options(server.url("missing"))), EngineError);
}

}  // namespace
}  // namespace orvane::engine
