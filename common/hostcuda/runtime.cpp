// Runtime calls of the host execution layer: settings, errors, streams, and the
// layer's own controls.
#include <cstdio>
#include <vector>

#include "common/hostcuda/internal.h"

namespace hostcuda {
namespace detail {

[[noreturn]] void fatal(const char* what) {
  std::fprintf(stderr, "hostcuda: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

Settings& settings() {
  static Settings* s = new Settings;
  return *s;
}

// ---------------------------------------------------------------------------
// Errors.

thread_local cudaError_t tl_last_error = cudaSuccess;
namespace {
std::atomic<int> g_sticky{cudaSuccess};
std::mutex g_sticky_mu;
std::string g_sticky_detail;
}  // namespace

cudaError_t note(cudaError_t e) {
  if (e != cudaSuccess) tl_last_error = e;
  return e;
}

cudaError_t sticky() { return static_cast<cudaError_t>(g_sticky.load(std::memory_order_acquire)); }

void set_sticky(const std::string& detail) {
  std::lock_guard<std::mutex> lock(g_sticky_mu);
  if (g_sticky.load() == cudaSuccess) {
    g_sticky_detail = detail;
    g_sticky.store(cudaErrorLaunchFailure, std::memory_order_release);
  }
}


// ---------------------------------------------------------------------------
// Streams. A destroyed handle is invalid until a later cudaStreamCreate
// recycles it, as the runtime's are: the handles in use bound the memory.

namespace {

struct StreamRegistry {
  std::mutex mu;
  std::deque<CUstream_st> handles;
  std::vector<cudaStream_t> recycled;
  std::unordered_set<cudaStream_t> live;
  size_t created = 0;
  size_t destroyed = 0;
};

StreamRegistry& streams() {
  static StreamRegistry* r = new StreamRegistry;
  return *r;
}

bool is_default_stream(cudaStream_t s) {
  return s == nullptr || s == cudaStreamLegacy || s == cudaStreamPerThread;
}

}  // namespace

bool valid_stream(cudaStream_t s) {
  if (is_default_stream(s)) return true;
  StreamRegistry& r = streams();
  std::lock_guard<std::mutex> lock(r.mu);
  return r.live.count(s) != 0;
}


}  // namespace detail

// ---------------------------------------------------------------------------
// Layer control.

void set_resume_order(ResumeOrder order, uint64_t seed) {
  detail::settings().order = static_cast<int>(order);
  detail::settings().seed = seed;
}

ResumeOrder resume_order() { return static_cast<ResumeOrder>(detail::settings().order.load()); }

void set_workers(int n) {
  detail::settings().workers = n > 0 ? n : detail::Settings::hardware_workers();
}

int workers() { return detail::settings().workers.load(); }

void set_check_barrier_sites(bool on) { detail::settings().check_barrier_sites = on; }

void set_fiber_stack_limit(size_t n) {
  detail::settings().stack_limit = n > 0 ? n : detail::default_stack_limit();
}

void reset_device() {
  std::lock_guard<std::mutex> lock(detail::g_sticky_mu);
  detail::g_sticky.store(cudaSuccess);
  detail::g_sticky_detail.clear();
  detail::tl_last_error = cudaSuccess;
}

std::string error_detail() {
  std::lock_guard<std::mutex> lock(detail::g_sticky_mu);
  return detail::g_sticky_detail;
}

StreamCounts stream_counts() {
  detail::StreamRegistry& r = detail::streams();
  std::lock_guard<std::mutex> lock(r.mu);
  return StreamCounts{r.created, r.destroyed};
}

}  // namespace hostcuda

// ---------------------------------------------------------------------------
// Runtime API.

using hostcuda::detail::note;

cudaError_t cudaStreamCreate(cudaStream_t* stream) { return cudaStreamCreateWithFlags(stream, 0); }

cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned int flags) {
  if (!stream || flags > cudaStreamNonBlocking) return note(cudaErrorInvalidValue);
  auto& r = hostcuda::detail::streams();
  std::lock_guard<std::mutex> lock(r.mu);
  if (r.recycled.empty()) {
    r.handles.push_back(CUstream_st{r.handles.size() + 1});
    *stream = &r.handles.back();
  } else {
    *stream = r.recycled.back();
    r.recycled.pop_back();
  }
  r.live.insert(*stream);
  ++r.created;
  return cudaSuccess;
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
  auto& r = hostcuda::detail::streams();
  std::lock_guard<std::mutex> lock(r.mu);
  if (r.live.erase(stream) == 0) return note(cudaErrorInvalidResourceHandle);
  r.recycled.push_back(stream);
  ++r.destroyed;
  return cudaSuccess;
}

// Launches run to completion when issued, so synchronising only reports.
cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
  if (!hostcuda::detail::valid_stream(stream)) return note(cudaErrorInvalidResourceHandle);
  return hostcuda::detail::sticky();
}

cudaError_t cudaDeviceSynchronize() { return hostcuda::detail::sticky(); }

cudaError_t cudaGetLastError() {
  const cudaError_t s = hostcuda::detail::sticky();
  if (s != cudaSuccess) return s;
  const cudaError_t e = hostcuda::detail::tl_last_error;
  hostcuda::detail::tl_last_error = cudaSuccess;
  return e;
}

cudaError_t cudaPeekAtLastError() {
  const cudaError_t s = hostcuda::detail::sticky();
  return s != cudaSuccess ? s : hostcuda::detail::tl_last_error;
}

const char* cudaGetErrorString(cudaError_t error) {
  switch (error) {
    case cudaSuccess: return "no error";
    case cudaErrorInvalidValue: return "invalid argument";
    case cudaErrorMemoryAllocation: return "out of memory";
    case cudaErrorInvalidConfiguration: return "invalid configuration argument";
    case cudaErrorInvalidDeviceFunction: return "invalid device function";
    case cudaErrorInvalidResourceHandle: return "invalid resource handle";
    case cudaErrorNotReady: return "device not ready";
    case cudaErrorLaunchFailure: return "unspecified launch failure";
  }
  return "unrecognized error code";
}

const char* cudaGetErrorName(cudaError_t error) {
  switch (error) {
    case cudaSuccess: return "cudaSuccess";
    case cudaErrorInvalidValue: return "cudaErrorInvalidValue";
    case cudaErrorMemoryAllocation: return "cudaErrorMemoryAllocation";
    case cudaErrorInvalidConfiguration: return "cudaErrorInvalidConfiguration";
    case cudaErrorInvalidDeviceFunction: return "cudaErrorInvalidDeviceFunction";
    case cudaErrorInvalidResourceHandle: return "cudaErrorInvalidResourceHandle";
    case cudaErrorNotReady: return "cudaErrorNotReady";
    case cudaErrorLaunchFailure: return "cudaErrorLaunchFailure";
  }
  return "cudaErrorUnknown";
}

