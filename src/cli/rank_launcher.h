#pragma once
// `orvane train ... nproc=N`: N ranks of this same program on this host, each one rank of a
// data-parallel group (engine/distributed.h), supervised until the last one ends.
//
// The ranks live in their own process groups, so a terminal's Ctrl+C reaches them once, through
// the launcher: the first SIGINT/SIGTERM asks them to stop after the batch, a second ends them at
// once. A rank that fails makes the others fail within the group's timeout; whoever is still
// there `timeout_seconds` + 15 s after the first failure is killed. No rank outlives the launcher.

#include <string>
#include <vector>

namespace orvane::cli {

struct LocalRanks {
  int count = 2;                  // ranks to start (more than 1)
  int threads = 1;                // intra-op threads of each rank
  double timeout_seconds = 60.0;  // the group's dist_timeout
};

// Starts `ranks.count` copies of `orvane train WORDS threads=T` with RANK, LOCAL_RANK,
// WORLD_SIZE, MASTER_ADDR/PORT (a free loopback port) and OMP_NUM_THREADS set, and waits for all.
// Returns the exit code of the run: 0, or the first failing rank's (128 + signal when a signal
// ended it). Throws engine::EngineError when no rank could be started.
int launch_local_ranks(const std::vector<std::string>& train_words, const LocalRanks& ranks);

}  // namespace orvane::cli
