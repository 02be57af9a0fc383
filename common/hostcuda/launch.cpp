// Launches of the host execution layer: the device's limits, the launch
// trace, and running a launch's blocks.
#include <algorithm>
#include <unordered_map>
#include <vector>

#include "common/hostcuda/internal.h"

namespace hostcuda {
namespace detail {

namespace {

// ---------------------------------------------------------------------------
// Trace.

std::atomic<bool> g_tracing{false};
std::mutex g_trace_mu;
std::vector<LaunchRecord>* g_trace = new std::vector<LaunchRecord>;

void trace(const LaunchArgs& l, bool refused, cudaError_t error) {
  if (!g_tracing.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> lock(g_trace_mu);
  g_trace->push_back(
      LaunchRecord{l.name ? l.name : "", l.grid, l.block, l.shared_bytes, l.stream, refused, error});
}

cudaError_t check_config(const LaunchArgs& l) {
  const dim3 g = l.grid, b = l.block;
  if (g.x == 0 || g.y == 0 || g.z == 0 || b.x == 0 || b.y == 0 || b.z == 0) {
    return cudaErrorInvalidConfiguration;
  }
  if (b.x > 1024 || b.y > 1024 || b.z > 64 ||
      static_cast<uint64_t>(b.x) * b.y * b.z > kMaxThreadsPerBlock) {
    return cudaErrorInvalidConfiguration;
  }
  if (g.x > 0x7fffffffu || g.y > 65535 || g.z > 65535) return cudaErrorInvalidConfiguration;
  if (l.shared_bytes > kMaxDynamicShared) return cudaErrorInvalidValue;
  return cudaSuccess;
}


}  // namespace

cudaError_t launch(const LaunchArgs& l) {
  if (hc_current) fatal("kernel launch from inside a kernel is not supported");
  cudaError_t e = valid_stream(l.stream) ? check_config(l) : cudaErrorInvalidResourceHandle;
  if (e != cudaSuccess) {
    trace(l, true, e);
    return note(e);
  }
  if ((e = sticky()) != cudaSuccess) {  // the device is unusable until reset
    trace(l, true, e);
    return e;
  }
  trace(l, false, cudaSuccess);

  LaunchState state;
  state.args = &l;
  Settings& s = settings();
  state.order = static_cast<ResumeOrder>(s.order.load(std::memory_order_relaxed));
  state.seed = s.seed.load(std::memory_order_relaxed);
  state.num_blocks = static_cast<uint64_t>(l.grid.x) * l.grid.y * l.grid.z;
  state.threads_per_block = l.block.x * l.block.y * l.block.z;
  const int workers = s.workers.load(std::memory_order_relaxed);
  const uint64_t helpers =
      workers > 1 ? std::min<uint64_t>(static_cast<uint64_t>(workers - 1), state.num_blocks - 1) : 0;
  run_blocks(state, static_cast<int>(helpers));
  if (state.failed.load()) {
    if (state.error == cudaErrorMemoryAllocation) return note(cudaErrorMemoryAllocation);
    set_sticky(state.failure);
    return sticky();
  }
  return cudaSuccess;
}

// ---------------------------------------------------------------------------
// Kernels registered for cudaLaunchKernel, by the address of their launch function.

namespace {

struct RegisteredKernel {
  const char* name;
  Launcher launcher;
};

struct KernelRegistry {
  std::mutex mu;
  std::unordered_map<const void*, RegisteredKernel> kernels;
};

KernelRegistry& kernel_registry() {
  static KernelRegistry* r = new KernelRegistry;  // outlives the registrations' destructors
  return *r;
}

}  // namespace

void register_kernel(const void* func, const char* name, Launcher launcher) {
  KernelRegistry& r = kernel_registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.kernels[func] = RegisteredKernel{name, launcher};
}

void unregister_kernel(const void* func) {
  KernelRegistry& r = kernel_registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.kernels.erase(func);
}

[[noreturn]] void trap() { throw TrapSignal{}; }

}  // namespace detail

void trace_start() {
  std::lock_guard<std::mutex> lock(detail::g_trace_mu);
  detail::g_trace->clear();
  detail::g_tracing = true;
}

std::vector<LaunchRecord> trace_stop() {
  std::lock_guard<std::mutex> lock(detail::g_trace_mu);
  detail::g_tracing = false;
  std::vector<LaunchRecord> out;
  out.swap(*detail::g_trace);
  return out;
}

}  // namespace hostcuda

cudaError_t cudaLaunchKernel(const void* func, dim3 grid, dim3 block, void** args, size_t sharedMem,
                             cudaStream_t stream) {
  hostcuda::detail::RegisteredKernel k{};
  {
    auto& r = hostcuda::detail::kernel_registry();
    std::lock_guard<std::mutex> lock(r.mu);
    const auto it = r.kernels.find(func);
    if (it == r.kernels.end()) return hostcuda::detail::note(cudaErrorInvalidDeviceFunction);
    k = it->second;
  }
  return k.launcher(k.name, func, grid, block, args, sharedMem, stream);
}
