// A stand-in for `orvane` that behaves like a chatty training: `train` prints ~10,000 console
// lines (colour codes and carriage-return progress bars included, as a real console shows) and
// reports epochs on its progress channel; `val` prints a short table. Only the benchmark uses it.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string verb = argv[1];
  if (verb == "val") {
    std::printf(
        "  Class  Images  Instances  Box(P  R  mAP50  mAP50-95)\n    all  16  16  0.5  0.5  0.5  "
        "0.3\n");
    return 0;
  }
  int fd = -1;
  int lines = 10000;
  for (int i = 2; i < argc; ++i) {
    if (std::strncmp(argv[i], "progress=fd:", 12) == 0) fd = std::atoi(argv[i] + 12);
    if (std::strncmp(argv[i], "lines=", 6) == 0) lines = std::atoi(argv[i] + 6);
  }
  FILE* progress = fd >= 0 ? fdopen(fd, "w") : nullptr;
  auto event = [&](const std::string& json) {
    if (!progress) return;
    std::fputs((json + "\n").c_str(), progress);
    std::fflush(progress);
  };
  event(R"({"event": "start", "save_dir": "bench_run", "epochs": 10, "batches": 1000})");
  setvbuf(stdout, nullptr, _IOLBF, 0);  // line by line, as a terminal-attached engine would
  const int per_epoch = lines / 10;
  for (int i = 0; i < lines; ++i) {
    const int epoch = i / per_epoch + 1;
    if (i % 5 == 0)
      std::printf(
          "\r      %d/10   0.0G   \x1b[1m1.234\x1b[0m   2.345   1.111   %d/%d [00:01<00:02]\n",
          epoch, i % per_epoch, per_epoch);
    else
      std::printf(
          "\x1b[34m%5d\x1b[0m  batch line of a chatty training: box_loss 1.2345 cls_loss "
          "2.3456 dfl_loss 1.0101\n",
          i);
    if ((i + 1) % per_epoch == 0)
      event("{\"event\": \"epoch\", \"epoch\": " + std::to_string(epoch) +
            ", \"epochs\": 10, \"time\": 0.1}");
    if (i % 50 == 49) std::this_thread::sleep_for(std::chrono::microseconds(2000));
  }
  event(R"({"event": "finished", "save_dir": "bench_run", "metrics": {}})");
  return 0;
}
