// The host execution layer: barriers and resume orders, early returns,
// shared memory, indices and atomics, launch limits and errors, streams,
// sticky kernel failures, launches by address.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/cuda/platform.h"

namespace {

using hostcuda::ResumeOrder;

class HostCuda : public ::testing::Test {
 protected:
  void TearDown() override {
    hostcuda::set_resume_order(ResumeOrder::Forward);
    hostcuda::set_workers(1);
    hostcuda::set_check_barrier_sites(false);
    hostcuda::set_fiber_stack_limit(0);
    hostcuda::reset_device();
    hostcuda::set_device_count(1);
    (void)cudaSetDevice(0);
  }
};

// Block tree reduction into the first element of shared memory or, mirrored,
// into the last. Without the barrier in the loop a thread may add a partial
// sum before its producer has finished it.
__global__ void SumKernel(const float* a, int n, bool sync, bool to_last, float* out) {
  VAREKPT_DYNAMIC_SHARED(float, acc);
  const int b = blockDim.x, t = threadIdx.x, i = blockIdx.x * b + t;
  const int r = to_last ? b - 1 - t : t;  // distance from the collecting element
  acc[t] = i < n ? __ldg(a + i) : 0.0f;
  __syncthreads();
  for (int s = 512; s > 0; s >>= 1) {
    if (r < s && r + s < b) acc[t] += acc[to_last ? t - s : t + s];
    if (sync) __syncthreads();
  }
  if (r == 0) atomicAdd(out, acc[t]);
}

bool sum_ok(unsigned block, bool sync, bool to_last) {
  const int n = 10000;
  std::vector<float> a(n);
  float expected = 0, out = 0;
  for (int i = 0; i < n; ++i) expected += a[i] = static_cast<float>(i % 7);
  hostcuda::launch("Sum", SumKernel, dim3((n + block - 1) / block), dim3(block),
                   block * sizeof(float), nullptr, a.data(), n, sync, to_last, &out);
  return out == expected;
}

TEST_F(HostCuda, TreeReductionIsWrongWithoutItsBarrierAndExactWithIt) {
  // Without the barrier a reduction comes out right only when the order
  // releases producers first: higher threads (Reverse) for the plain one,
  // lower threads (Forward) for the mirrored one.
  const ResumeOrder orders[] = {ResumeOrder::Forward, ResumeOrder::Reverse, ResumeOrder::Shuffle};
  const bool plain_ok[] = {false, true, false}, mirrored_ok[] = {true, false, false};
  for (int k = 0; k < 3; ++k) {
    hostcuda::set_resume_order(orders[k], 42);
    for (unsigned block : {1u, 64u, 1000u, 1024u})
      EXPECT_TRUE(sum_ok(block, true, false) && sum_ok(block, true, true)) << block;
    EXPECT_EQ(sum_ok(256, false, false), plain_ok[k]) << k;
    EXPECT_EQ(sum_ok(256, false, true), mirrored_ok[k]) << k;
  }
}

// After a barrier (which resumes threads on other fibers) each thread reads
// its dynamic shared slot before writing it (must see the poison), then the
// mirrored thread's dynamic and static slots; and adds 1 to two totals.
__global__ void SharedKernel(uint32_t* poison, float* dynamic, float* fixed, float* f, double* d) {
  VAREKPT_DYNAMIC_SHARED(float, s);
  __shared__ float tile[256];
  __syncthreads();
  const unsigned t = (threadIdx.z * blockDim.y + threadIdx.y) * blockDim.x + threadIdx.x;
  const unsigned i = ((blockIdx.z * gridDim.y + blockIdx.y) * gridDim.x + blockIdx.x) * 256 + t;
  std::memcpy(poison + i, s + t, sizeof(float));
  s[t] = static_cast<float>(i);
  tile[t] = -static_cast<float>(i);
  __syncthreads();
  dynamic[i] = s[255 - t];
  fixed[i] = tile[255 - t];
  atomicAdd(f, 1.0f);
  atomicAdd(d, 1.0);
}

TEST_F(HostCuda, SharedMemoryIsPoisonedAndPrivatePerBlockAndFloatAtomicsAreExact) {
  hostcuda::set_resume_order(ResumeOrder::Shuffle, 11);
  hostcuda::set_workers(8);  // blocks run in parallel, and one after another on each worker
  const int n = 1 << 18;     // 1024 blocks of 256 threads; n adds of 1 are exact in float too
  std::vector<uint32_t> poison(n);
  std::vector<float> dynamic(n), fixed(n);
  float f = 0;
  double d = 0;
  ASSERT_EQ(
      hostcuda::launch("Shared", SharedKernel, dim3(16, 16, 4), dim3(8, 4, 8), 256 * sizeof(float),
                       nullptr, poison.data(), dynamic.data(), fixed.data(), &f, &d),
      cudaSuccess);
  EXPECT_TRUE(f == n && d == n) << f << " " << d;
  for (int i = 0; i < n; ++i) {
    const float mirrored = static_cast<float>(i - i % 256 + 255 - i % 256);
    ASSERT_TRUE(poison[i] == 0xFFFFFFFFu && dynamic[i] == mirrored && fixed[i] == -mirrored) << i;
  }
}

// Threads t >= n return before the first barrier and t >= m between the two;
// blocks 0 and 3 return at once, so only later blocks reach the barriers.
__global__ void EarlyReturnKernel(int n, int m, int* runs, float* out) {
  VAREKPT_DYNAMIC_SHARED(float, s);
  const int t = threadIdx.x, i = blockIdx.x * blockDim.x + t;
  atomicAdd(runs + i, 1);
  if (blockIdx.x % 3 == 0 || t >= n) return;
  s[t] = static_cast<float>(t + blockIdx.x);
  __syncthreads();
  if (t >= m) return;
  const float mirrored = s[n - 1 - t];
  __syncthreads();
  out[i] = mirrored;
}

// Odd and even threads wait at different barriers (with different code
// around them, so the compiler cannot merge the two calls).
__global__ void MismatchedBarrierKernel(float* out) {
  if (threadIdx.x % 2) {
    __syncthreads();
    out[threadIdx.x] = 1;
  } else {
    out[threadIdx.x] = 2;
    __syncthreads();
  }
}

TEST_F(HostCuda, ReturnedThreadsCountAsArrivedAndMismatchedBarriersAreReported) {
  hostcuda::set_check_barrier_sites(true);  // returned threads are not at a different barrier
  const int block = 256, blocks = 5, n = 100, m = 40;
  std::vector<int> runs;
  std::vector<float> out;
  for (auto order : {ResumeOrder::Forward, ResumeOrder::Reverse, ResumeOrder::Shuffle}) {
    hostcuda::set_resume_order(order, 3);
    runs.assign(block * blocks, 0);
    out.assign(block * blocks, -1.0f);
    ASSERT_EQ(hostcuda::launch("EarlyReturn", EarlyReturnKernel, dim3(blocks), dim3(block),
                               block * sizeof(float), nullptr, n, m, runs.data(), out.data()),
              cudaSuccess);
    for (int i = 0, b = 0, t = 0; i < block * blocks; b = ++i / block, t = i % block)
      ASSERT_TRUE(runs[i] == 1 &&
                  out[i] == (b % 3 && t < m ? static_cast<float>(n - 1 - t + b) : -1.0f))
          << i;
  }
  EXPECT_EQ(hostcuda::launch("Mismatched", MismatchedBarrierKernel, dim3(2), dim3(32), 0, nullptr,
                             out.data()),
            cudaErrorLaunchFailure);
  const std::string detail = hostcuda::error_detail();
  // With several workers either block may be the first to fail.
  EXPECT_TRUE(std::regex_search(
      detail, std::regex(R"(Mismatched block \([01],0,0\): threads wait at different)")))
      << detail;
}

__global__ void CountKernel(int* count) { atomicAdd(count, 1); }

cudaError_t count(int* n, cudaStream_t s = nullptr, dim3 grid = dim3(1), dim3 block = dim3(1),
                  size_t shared = 0) {
  return hostcuda::launch("Count", CountKernel, grid, block, shared, s, n);
}

TEST_F(HostCuda, LaunchLimitsAreEnforcedAndErrorsReturnedOnce) {
  const cudaError_t bad = cudaErrorInvalidConfiguration, ok = cudaSuccess;
  std::vector<std::tuple<dim3, dim3, size_t, cudaError_t>> cases = {
      {dim3(1), dim3(32), 48 * 1024 + 1, cudaErrorInvalidValue},
      {dim3(1), dim3(1024), 48 * 1024, ok}};  // the largest accepted values
  for (dim3 grid :
       {dim3(0), dim3(1, 0), dim3(1, 1, 0), dim3(1u << 31), dim3(1, 65536), dim3(1, 1, 65536)})
    cases.emplace_back(grid, dim3(1), 0, bad);
  for (dim3 block :
       {dim3(0), dim3(32, 1, 0), dim3(1025), dim3(1, 1025), dim3(1, 1, 65), dim3(64, 4, 5)})
    cases.emplace_back(dim3(1), block, 0, bad);
  for (dim3 block : {dim3(1, 1024), dim3(16, 1, 64)}) cases.emplace_back(dim3(1), block, 0, ok);
  for (dim3 grid : {dim3(1, 65535), dim3(1, 1, 65535)}) cases.emplace_back(grid, dim3(1), 0, ok);
  int k = 0;
  for (const auto& [grid, block, shared, expected] : cases) {
    SCOPED_TRACE(k++);
    int n = 0;
    EXPECT_EQ(count(&n, nullptr, grid, block, shared), expected);
    EXPECT_TRUE(cudaPeekAtLastError() == expected && cudaGetLastError() == expected);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);  // not sticky
    EXPECT_EQ(n, expected ? 0L : 1L * grid.x * grid.y * grid.z * block.x * block.y * block.z);
  }
}

TEST_F(HostCuda, LaunchOnDestroyedOrUnknownStreamIsRefusedAndHandlesAreRecycled) {
  cudaStream_t a;
  ASSERT_EQ(cudaStreamCreate(&a), cudaSuccess);
  int n = 0, not_a_stream = 0;
  for (cudaStream_t s : {a, cudaStream_t(nullptr), cudaStreamLegacy, cudaStreamPerThread})
    EXPECT_EQ(count(&n, s, dim3(2), dim3(3)), cudaSuccess);
  ASSERT_EQ(cudaStreamDestroy(a), cudaSuccess);
  for (cudaStream_t s : {a, reinterpret_cast<cudaStream_t>(&not_a_stream)}) {
    EXPECT_EQ(count(&n, s), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaStreamSynchronize(s), cudaErrorInvalidResourceHandle);
  }
  EXPECT_EQ(n, 24);
  // Creating and destroying streams costs no memory that stays: the handle is
  // reused.
  cudaStream_t b;
  for (int i = 0; i < 100000; ++i)
    ASSERT_TRUE(cudaStreamCreate(&b) == cudaSuccess && b == a &&
                cudaStreamDestroy(b) == cudaSuccess);
}

// Fiber stacks: every thread of a 1024-thread block waits at a barrier, so a
// worker needs 1024 stacks for it. 64 workers share a limit they would exceed
// 16 times; 32 threads that call one after another and stay alive give up
// their free stacks when more than half of the limit is in use. A launch on a
// new thread (no stacks yet) beyond the limit fails with
// cudaErrorMemoryAllocation and leaves no sticky error behind.
TEST_F(HostCuda, WorkersAndCallingThreadsShareTheFiberStackLimit) {
  const size_t limit = hostcuda::fiber_stacks() + 4096;
  hostcuda::set_fiber_stack_limit(limit);
  hostcuda::set_workers(64);
  EXPECT_TRUE(sum_ok(1024, true, false));
  EXPECT_LE(hostcuda::fiber_stacks(), limit);
  hostcuda::set_workers(1);
  std::mutex mu;
  std::condition_variable cv;
  int done = 0;
  std::vector<std::thread> callers;
  for (int k = 0; k < 32; ++k) {
    callers.emplace_back([&, k] {
      std::unique_lock<std::mutex> lock(mu);
      cv.wait(lock, [&] { return done == k; });
      EXPECT_TRUE(sum_ok(1024, true, false) && hostcuda::fiber_stacks() <= limit) << k;
      ++done;
      cv.notify_all();
      cv.wait(lock, [&] { return done == 32; });
    });
  }
  for (std::thread& t : callers) t.join();
  std::thread([] {
    const size_t before = hostcuda::fiber_stacks();
    hostcuda::set_fiber_stack_limit(before + 100);
    EXPECT_FALSE(sum_ok(1024, true, false));
    EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_TRUE(sum_ok(64, true, false) && hostcuda::fiber_stacks() <= before + 100);
    hostcuda::set_fiber_stack_limit(0);
  }).join();
  EXPECT_TRUE(sum_ok(1024, true, false));
}

// Each host thread has its own current device among device_count(); a launch
// records it and goes only to a stream of that device or a default stream.
TEST_F(HostCuda, DevicesArePerThreadAndOwnTheirStreams) {
  int device = -1, devices = 0, n = 0;
  ASSERT_EQ(cudaGetDeviceCount(&devices), cudaSuccess);
  EXPECT_EQ(devices, 1);
  EXPECT_EQ(cudaSetDevice(1), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
  hostcuda::set_device_count(2);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  cudaStream_t on1;
  ASSERT_EQ(cudaStreamCreate(&on1), cudaSuccess);
  std::thread([&] { EXPECT_EQ(cudaGetDevice(&device), cudaSuccess); }).join();
  EXPECT_EQ(device, 0);  // another thread starts on device 0

  hostcuda::trace_start();
  EXPECT_EQ(count(&n, on1), cudaSuccess);
  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
  EXPECT_EQ(count(&n, on1), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(count(&n, nullptr), cudaSuccess);
  const std::vector<hostcuda::LaunchRecord> trace = hostcuda::trace_stop();
  ASSERT_EQ(trace.size(), 3u);
  EXPECT_EQ(std::make_tuple(trace[0].device, trace[1].device, trace[1].refused, trace[2].device),
            std::make_tuple(1, 0, true, 0));
  EXPECT_EQ(n, 2);
  EXPECT_EQ(cudaStreamDestroy(on1), cudaSuccess);
}

// Thread 5 of block 1 fails between two barriers.
__global__ void FailingKernel(bool use_trap) {
  __syncthreads();
  if (blockIdx.x == 1 && threadIdx.x == 5) {
    if (use_trap) __trap();
    throw std::runtime_error("bad input");
  }
  __syncthreads();
}

TEST_F(HostCuda, FailingKernelLeavesStickyErrorUntilReset) {
  for (bool use_trap : {false, true}) {
    EXPECT_EQ(hostcuda::launch("Failing", FailingKernel, dim3(4), dim3(32), 0, nullptr, use_trap),
              cudaErrorLaunchFailure);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    const std::string detail = hostcuda::error_detail(),
                      what = use_trap ? "__trap()" : "exception: bad input";
    EXPECT_NE(detail.find("Failing block (1,0,0) thread (5,0,0): " + what), std::string::npos)
        << detail;
    int n = 0;
    EXPECT_EQ(count(&n), cudaErrorLaunchFailure);  // the device stays failed
    hostcuda::reset_device();
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(count(&n), cudaSuccess);
    EXPECT_EQ(n, 1);
  }
}

// A kernel with parameters of several sizes, registered for launches by address.
__global__ void AxpyKernel(double a, const float* x, int n, char tag, double* y) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i < n) y[i] += a * x[i] + tag;
}
const hostcuda::KernelRegistration axpy_registration("Axpy", AxpyKernel);

// Launches by address copy the arguments as the kernel's parameter types,
// check the configuration, and refuse an address that no kernel registered.
TEST_F(HostCuda, LaunchByAddress) {
  const float x[5] = {1, 2, 3, 4, 5};
  double y[5] = {}, a = 0.5, *yp = y;
  const float* xp = x;
  int n = 5;
  char tag = 2;
  void* args[] = {&a, &xp, &n, &tag, &yp};
  const void* axpy = reinterpret_cast<const void*>(AxpyKernel);
  ASSERT_EQ(cudaLaunchKernel(axpy, dim3(2), dim3(4), args, 0, nullptr), cudaSuccess);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(y[i], 0.5 * x[i] + 2);
  const std::tuple<const void*, dim3, size_t, cudaError_t> refused[] = {
      {axpy, dim3(1025), 0, cudaErrorInvalidConfiguration},
      {axpy, dim3(1), 48 * 1024 + 1, cudaErrorInvalidValue},
      {reinterpret_cast<const void*>(CountKernel), dim3(1), 0, cudaErrorInvalidDeviceFunction}};
  for (const auto& [kernel, block, shared, error] : refused) {
    EXPECT_EQ(cudaLaunchKernel(kernel, dim3(1), block, args, shared, nullptr), error);
    EXPECT_EQ(cudaGetLastError(), error);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  }
  EXPECT_EQ(y[0], 0.5 * x[0] + 2);  // nothing ran
}

}  // namespace
