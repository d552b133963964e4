// The all-reduce of one optimizer step's gradients, alone: two ranks as threads of this process
// over loopback TCP (Gloo), for the parameters of yolov8n/s/m. Prints the bytes each step
// all-reduces and the median time, for the same flat buffer the trainer sends without overlap
// and for the 4 MB buckets it sends while the backward pass runs.
// usage: allreduce_bench [repeats=10]

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "engine/distributed.h"
#include "engine/model.h"

using namespace orvane::engine;

namespace {

int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return 29500;
  const int port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  torch::set_num_threads(1);
  std::printf("%-8s %12s %10s %16s %16s\n", "model", "parameters", "MB/step", "flat ms (median)",
              "4MB buckets ms");
  for (char scale : {'n', 's', 'm'}) {
    ModelSpec arch;
    arch.scale = scale;
    arch.nc = 80;
    std::vector<torch::Tensor> params;
    {
      YoloModel model(arch);
      for (auto& p : model->parameters())
        if (p.requires_grad()) params.push_back(p.detach().clone().set_requires_grad(true));
    }
    double times[2] = {0, 0};
    std::int64_t bytes = 0;
    for (int overlap = 0; overlap < 2; ++overlap) {
      const int port = free_port();  // a fresh group each time
      std::vector<double> ms;
      std::vector<std::thread> ranks;
      for (int r = 0; r < 2; ++r) {
        ranks.emplace_back([&, r] {
          DistributedEnv env;
          env.rank = r;
          env.world_size = 2;
          env.master_port = port;
          std::vector<torch::Tensor> mine;
          for (auto& p : params) {
            auto q = p.detach().clone().set_requires_grad(true);
            q.mutable_grad() = torch::ones_like(q);
            mine.push_back(q);
          }
          DistributedGroup group(env, std::chrono::milliseconds(60000));
          GradientSyncOptions so;
          so.overlap = overlap == 1;
          GradientSync sync(group, mine, so);
          if (r == 0) bytes = sync.bytes_per_step();
          for (int k = 0; k < repeats + 2; ++k) {
            group.barrier();
            const auto t0 = std::chrono::steady_clock::now();
            sync.arm();  // no backward: finish() starts every bucket, in order
            sync.finish(false);
            const double t =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                    .count();
            if (r == 0 && k >= 2) ms.push_back(t);
          }
          group.barrier();
        });
      }
      for (auto& t : ranks) t.join();
      std::sort(ms.begin(), ms.end());
      times[overlap] = ms[ms.size() / 2];
    }
    std::printf("yolov8%c  %12zu %10.2f %16.1f %16.1f\n", scale, std::size_t(bytes / 4),
                double(bytes) / 1e6, times[0], times[1]);
  }
  return 0;
}
