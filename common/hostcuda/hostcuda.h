// Host execution layer for CUDA kernels.
//
// Included (through common/cuda/platform.h) in place of the CUDA headers when a
// .cu source is compiled by an ordinary C++ compiler. Kernels then run on the
// CPU: the threads of a block are cooperative fibers on one OS thread, blocks
// run one after another on a worker (or in parallel on several workers), and
// launches run eagerly, to completion, in issue order on the caller's thread.
//
// This header has no torch dependency.
#pragma once

#include <math.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

// ---------------------------------------------------------------------------
// Qualifiers. Everything is host code here; shared memory declared with
// __shared__ inside a kernel is per OS thread, which is per block because a
// worker runs one block at a time and a block never leaves its worker.
#define __global__
#define __device__
#define __host__
#define __constant__
#define __forceinline__ inline __attribute__((always_inline))
#define __shared__ static thread_local
#define __align__(n) __attribute__((aligned(n)))
#define __launch_bounds__(...)

// ---------------------------------------------------------------------------
// Vector types.
struct uint3 {
  unsigned int x, y, z;
};

struct dim3 {
  unsigned int x, y, z;
  constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1)
      : x(vx), y(vy), z(vz) {}
  constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}  // NOLINT: implicit as on the device
  constexpr operator uint3() const { return uint3{x, y, z}; }
};

// ---------------------------------------------------------------------------
// Runtime types.
enum cudaError {
  cudaSuccess = 0,
  cudaErrorInvalidValue = 1,
  cudaErrorMemoryAllocation = 2,
  cudaErrorInvalidConfiguration = 9,
  cudaErrorInvalidDeviceFunction = 98,
  cudaErrorInvalidResourceHandle = 400,
  cudaErrorNotReady = 600,
  cudaErrorLaunchFailure = 719,
};
typedef enum cudaError cudaError_t;

struct CUstream_st;
typedef struct CUstream_st* cudaStream_t;

// Special handles accepted wherever a stream is: both mean "the default stream".
#define cudaStreamLegacy ((cudaStream_t)0x1)
#define cudaStreamPerThread ((cudaStream_t)0x2)
#define cudaStreamDefault 0x00
#define cudaStreamNonBlocking 0x01

// The runtime calls have C linkage, as the CUDA runtime's do, so that a native
// caller (or ctypes) finds them by name.
extern "C" {
cudaError_t cudaStreamCreate(cudaStream_t* stream);
cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned int flags);
cudaError_t cudaStreamDestroy(cudaStream_t stream);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaDeviceSynchronize();
cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();
const char* cudaGetErrorString(cudaError_t error);
const char* cudaGetErrorName(cudaError_t error);

// Launches the registered kernel whose launch function is at `func`, with the
// arguments at the addresses in `args` (one per kernel parameter, read as the
// kernel's parameter types). An address that no kernel registered gives
// cudaErrorInvalidDeviceFunction; otherwise as hostcuda::launch below.
cudaError_t cudaLaunchKernel(const void* func, dim3 grid, dim3 block, void** args, size_t sharedMem,
                             cudaStream_t stream);
}
// "Device" memory is host memory; these exist so host wrappers compile unchanged.

// ---------------------------------------------------------------------------
// Layer control, for tests and tools.
namespace hostcuda {

// Order in which the threads of a block are started and, at each barrier,
// resumed. Forward is the default; Reverse and Shuffle (seeded, per block and
// per barrier) make a missing __syncthreads() show up as a wrong result.
enum class ResumeOrder { Forward, Reverse, Shuffle };
void set_resume_order(ResumeOrder order, uint64_t seed = 0);
ResumeOrder resume_order();

// Number of worker threads that run the blocks of a launch (the caller is one
// of them). 1 (the default) gives reproducible results; 0 means one per core.
// The environment variable HOSTCUDA_WORKERS sets the initial value, and
// HOSTCUDA_RESUME_ORDER ("forward", "reverse", "shuffle" or "shuffle:SEED")
// the initial resume order.
void set_workers(int n);
int workers();

// When on, threads of one block that wait at different __syncthreads() calls
// fail the launch (real hardware releases them silently, hiding the bug).
// Off by default: an optimising compiler may turn one call of the source into
// several, so use it on kernels built without optimisation. The environment
// variable HOSTCUDA_CHECK_BARRIERS=1 sets the initial value.
void set_check_barrier_sites(bool on);

// Largest number of fiber stacks (two memory mappings each) the process keeps
// at once; 0 restores the default, 3/8 of vm.max_map_count. Workers
// give up free stacks while more than half are in use; a launch takes as many
// workers as the stacks allow, and one whose block cannot get a stack fails
// with cudaErrorMemoryAllocation (not sticky).
void set_fiber_stack_limit(size_t n);
size_t fiber_stacks();  // stacks mapped now

// Clears the sticky error (and the calling thread's last error), as a device
// reset would. Streams stay valid.
void reset_device();

// Human-readable detail of the current sticky error (which kernel, block,
// thread, what happened); empty if there is none.
std::string error_detail();

struct LaunchRecord {
  std::string kernel;
  dim3 grid;
  dim3 block;
  size_t shared_bytes;
  cudaStream_t stream;
  bool refused;         // the launch was not run
  cudaError_t error;    // why it was refused, or cudaSuccess
};

// Records every launch (refused ones too, flagged) from trace_start() until
// trace_stop(), from all host threads.
void trace_start();
std::vector<LaunchRecord> trace_stop();

struct StreamCounts {
  size_t created;
  size_t destroyed;
};
// Totals since process start.
StreamCounts stream_counts();

namespace detail {

struct Block;

// Per-fiber context; `hc_current` points at the running fiber's on the worker
// that runs it, and is null outside kernels.
struct ThreadContext {
  uint3 thread_idx;
  Block* block;
};

struct Block {
  uint3 block_idx;
  dim3 block_dim;
  dim3 grid_dim;
  unsigned char* dynamic_smem;
};

extern __thread ThreadContext* hc_current;

using Thunk = void (*)(const void* kernel, const void* args);

struct LaunchArgs {
  const char* name;
  const void* kernel;
  Thunk thunk;
  const void* args;
  dim3 grid;
  dim3 block;
  size_t shared_bytes;
  cudaStream_t stream;
};

cudaError_t launch(const LaunchArgs& launch);

template <typename Kernel, typename Tuple>
void invoke(const void* kernel, const void* args) {
  std::apply(reinterpret_cast<Kernel>(const_cast<void*>(kernel)),
             *static_cast<const Tuple*>(args));
}

[[noreturn]] void trap();

template <typename... Params>
cudaError_t launch_copied(const char* name, void (*kernel)(Params...), dim3 grid, dim3 block,
                          size_t shared_bytes, cudaStream_t stream,
                          const std::tuple<std::decay_t<Params>...>& copied) {
  static_assert((std::is_trivially_copyable<std::decay_t<Params>>::value && ...),
                "kernel parameters must be trivially copyable");
  using Tuple = std::tuple<std::decay_t<Params>...>;
  const LaunchArgs l{name,   reinterpret_cast<const void*>(kernel),
                     &invoke<void (*)(Params...), Tuple>,
                     &copied, grid, block, shared_bytes, stream};
  return launch(l);
}

// cudaLaunchKernel's path into a registered kernel: copies each argument out
// of `args` as the kernel's own parameter type.
template <typename... Params, size_t... I>
cudaError_t launch_from_addresses(const char* name, void (*kernel)(Params...), dim3 grid,
                                  dim3 block, void** args, size_t shared_bytes,
                                  cudaStream_t stream, std::index_sequence<I...>) {
  const std::tuple<std::decay_t<Params>...> copied(
      *static_cast<const std::decay_t<Params>*>(args[I])...);
  return launch_copied(name, kernel, grid, block, shared_bytes, stream, copied);
}

template <typename... Params>
cudaError_t launch_registered(const char* name, const void* func, dim3 grid, dim3 block,
                              void** args, size_t shared_bytes, cudaStream_t stream) {
  auto kernel = reinterpret_cast<void (*)(Params...)>(const_cast<void*>(func));
  return launch_from_addresses(name, kernel, grid, block, args, shared_bytes, stream,
                               std::index_sequence_for<Params...>{});
}

using Launcher = cudaError_t (*)(const char* name, const void* func, dim3 grid, dim3 block,
                                 void** args, size_t shared_bytes, cudaStream_t stream);
void register_kernel(const void* func, const char* name, Launcher launcher);
void unregister_kernel(const void* func);

}  // namespace detail

// Runs kernel<<<grid, block, shared_bytes, stream>>>(args...) to completion
// before returning. The arguments are converted to the kernel's parameter
// types and copied once; every thread receives its own copy of that.
//
// A launch is refused (not run) with a device's limits: a zero extent, more
// than 1024 threads per block, block x or y > 1024 or z > 64, grid x > 2^31-1
// or y or z > 65535 give cudaErrorInvalidConfiguration; more than 48 KiB of
// dynamic shared memory gives cudaErrorInvalidValue; an unknown or destroyed
// stream gives cudaErrorInvalidResourceHandle. Such an error is returned by
// cudaGetLastError() once. A kernel that throws or calls __trap(), or threads
// of a block that wait at different __syncthreads() calls, leave the sticky
// cudaErrorLaunchFailure; while it is set, launches are refused with it. A
// launch whose block cannot get its fiber stacks stops there and fails with
// cudaErrorMemoryAllocation, returned by cudaGetLastError() once.
// Returns the launch's error.
template <typename... Params, typename... Args>
cudaError_t launch(const char* name, void (*kernel)(Params...), dim3 grid, dim3 block,
                   size_t shared_bytes, cudaStream_t stream, Args&&... args) {
  static_assert(sizeof...(Params) == sizeof...(Args), "wrong number of kernel arguments");
  const std::tuple<std::decay_t<Params>...> copied(
      static_cast<std::decay_t<Params>>(std::forward<Args>(args))...);
  return detail::launch_copied(name, kernel, grid, block, shared_bytes, stream, copied);
}

// Registers a kernel for cudaLaunchKernel for the registration's lifetime, as
// the CUDA runtime registers a library's device code while it is loaded.
class KernelRegistration {
 public:
  template <typename... Params>
  KernelRegistration(const char* name, void (*kernel)(Params...))
      : func_(reinterpret_cast<const void*>(kernel)) {
    detail::register_kernel(func_, name, &detail::launch_registered<Params...>);
  }
  ~KernelRegistration() { detail::unregister_kernel(func_); }
  KernelRegistration(const KernelRegistration&) = delete;
  KernelRegistration& operator=(const KernelRegistration&) = delete;

 private:
  const void* func_;
};

}  // namespace hostcuda

// ---------------------------------------------------------------------------
// Built-in variables: real values in the running fiber's context.
#define threadIdx (static_cast<const ::uint3&>(::hostcuda::detail::hc_current->thread_idx))
#define blockIdx (static_cast<const ::uint3&>(::hostcuda::detail::hc_current->block->block_idx))
#define blockDim (static_cast<const ::dim3&>(::hostcuda::detail::hc_current->block->block_dim))
#define gridDim (static_cast<const ::dim3&>(::hostcuda::detail::hc_current->block->grid_dim))
constexpr int warpSize = 32;

// Barrier of the block. Opaque and never inlined: the compiler must assume it
// changes memory. Aborts when called outside a kernel.
void __syncthreads();

// Stops the kernel; the launch fails with a sticky cudaErrorLaunchFailure.
[[noreturn]] inline void __trap() { ::hostcuda::detail::trap(); }

template <typename T>
inline T __ldg(const T* p) {
  return *p;
}

// Dynamic shared memory of the running block; use VAREKPT_DYNAMIC_SHARED.
inline void* hostcuda_dynamic_smem() {
  return ::hostcuda::detail::hc_current->block->dynamic_smem;
}

// ---------------------------------------------------------------------------
// Atomic addition. Blocks may run in parallel on several workers, so these are
// real atomic operations: compare-exchange loops on the bit pattern.
inline int atomicAdd(int* p, int v) { return __atomic_fetch_add(p, v, __ATOMIC_RELAXED); }

namespace hostcuda {
namespace detail {
template <typename F, typename Bits>
inline F atomic_add_float(F* p, F v) {
  static_assert(sizeof(F) == sizeof(Bits), "bit pattern size");
  Bits* bits = reinterpret_cast<Bits*>(p);
  Bits expected = __atomic_load_n(bits, __ATOMIC_RELAXED);
  for (;;) {
    F old;
    __builtin_memcpy(&old, &expected, sizeof(F));
    const F sum = old + v;
    Bits desired;
    __builtin_memcpy(&desired, &sum, sizeof(F));
    if (__atomic_compare_exchange_n(bits, &expected, desired, true, __ATOMIC_RELAXED,
                                    __ATOMIC_RELAXED)) {
      return old;
    }
  }
}
}  // namespace detail
}  // namespace hostcuda

inline float atomicAdd(float* p, float v) {
  return ::hostcuda::detail::atomic_add_float<float, uint32_t>(p, v);
}
inline double atomicAdd(double* p, double v) {
  return ::hostcuda::detail::atomic_add_float<double, uint64_t>(p, v);
}

// ---------------------------------------------------------------------------
// Device math with the device's results. fma rounds once (std::fma); the
// host build uses -ffp-contract=off so no other expression is fused. min/max
// of floating point values follow fmin/fmax (a NaN operand is ignored).
using std::fma;
using std::sqrt;

#define HOSTCUDA_MINMAX(T)                                  \
  inline T min(T a, T b) { return b < a ? b : a; }          \
  inline T max(T a, T b) { return a < b ? b : a; }
HOSTCUDA_MINMAX(int)
HOSTCUDA_MINMAX(unsigned int)
HOSTCUDA_MINMAX(long)
HOSTCUDA_MINMAX(unsigned long)
HOSTCUDA_MINMAX(long long)
HOSTCUDA_MINMAX(unsigned long long)
#undef HOSTCUDA_MINMAX
inline float min(float a, float b) { return std::fmin(a, b); }
inline float max(float a, float b) { return std::fmax(a, b); }
inline double min(double a, double b) { return std::fmin(a, b); }
inline double max(double a, double b) { return std::fmax(a, b); }
