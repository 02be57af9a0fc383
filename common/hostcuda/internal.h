// Internals of the host execution layer shared by its files: settings, errors,
// streams, the launch state and the entry points of the scheduler.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>

#include "common/hostcuda/hostcuda.h"

struct CUstream_st {
  unsigned long long id;
};

namespace hostcuda {
namespace detail {

constexpr size_t kMaxDynamicShared = 48 * 1024;
constexpr unsigned kMaxThreadsPerBlock = 1024;

[[noreturn]] void fatal(const char* what);

// Fiber stacks: each costs two memory mappings (stack and guard page), and a
// process has a limited number of those (vm.max_map_count). The default limit
// of live stacks leaves a quarter of them to the rest of the process.
size_t default_stack_limit();

// ---------------------------------------------------------------------------
// Settings.

struct Settings {
  std::atomic<int> workers{1};
  std::atomic<int> order{static_cast<int>(ResumeOrder::Forward)};
  std::atomic<uint64_t> seed{0};
  std::atomic<bool> check_barrier_sites{false};
  std::atomic<size_t> stack_limit{default_stack_limit()};

  Settings() {
    if (const char* c = std::getenv("HOSTCUDA_CHECK_BARRIERS")) check_barrier_sites = std::atoi(c) != 0;
    if (const char* w = std::getenv("HOSTCUDA_WORKERS")) {
      const int n = std::atoi(w);
      workers = n > 0 ? n : hardware_workers();
    }
    if (const char* o = std::getenv("HOSTCUDA_RESUME_ORDER")) {
      if (std::strcmp(o, "reverse") == 0) {
        order = static_cast<int>(ResumeOrder::Reverse);
      } else if (std::strncmp(o, "shuffle", 7) == 0) {
        order = static_cast<int>(ResumeOrder::Shuffle);
        if (o[7] == ':') seed = std::strtoull(o + 8, nullptr, 10);
      }
    }
  }
  static int hardware_workers() {
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? static_cast<int>(n) : 1;
  }
};


Settings& settings();

// ---------------------------------------------------------------------------
// Errors: the calling thread's last error (returned once, then cleared) and the
// process-wide sticky error left by a failed kernel.

extern thread_local cudaError_t tl_last_error;
cudaError_t note(cudaError_t e);
cudaError_t sticky();
void set_sticky(const std::string& detail);

// ---------------------------------------------------------------------------
// Streams.

bool valid_stream(cudaStream_t s);

// ---------------------------------------------------------------------------
// Scheduler.

// One launch, shared by the workers that run its blocks.
struct LaunchState {
  const LaunchArgs* args;
  ResumeOrder order;
  uint64_t seed;
  uint64_t num_blocks;
  unsigned threads_per_block;
  std::atomic<uint64_t> next_block{0};
  std::atomic<bool> failed{false};
  std::mutex mu;
  std::string failure;
  cudaError_t error = cudaSuccess;  // of the first failure

  // A kernel's fault is sticky (cudaErrorLaunchFailure); a launch that could
  // not get the fiber stacks of a block fails with cudaErrorMemoryAllocation.
  void fail(const std::string& what, cudaError_t e = cudaErrorLaunchFailure) {
    std::lock_guard<std::mutex> lock(mu);
    if (!failed.load()) {
      failure = what;
      error = e;
      failed.store(true);
    }
  }
};


// Runs the launch's blocks on the calling thread and, with helpers > 0, on at
// most that many pool threads besides: as many as the fiber stacks allow.
void run_blocks(LaunchState& l, int helpers);

struct TrapSignal {};

}  // namespace detail
}  // namespace hostcuda
