// Execution semantics of the host layer: barriers, resume orders, shared
// memory, indices, parameters.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/cuda/platform.h"

namespace {

// Restores the default scheduling after each test.
class Scheduling : public ::testing::Test {
 protected:
  void TearDown() override {
    hostcuda::set_resume_order(hostcuda::ResumeOrder::Forward);
    hostcuda::set_workers(1);
    hostcuda::reset_device();
  }
};

const hostcuda::ResumeOrder kOrders[] = {hostcuda::ResumeOrder::Forward,
                                         hostcuda::ResumeOrder::Reverse,
                                         hostcuda::ResumeOrder::Shuffle};

// Block tree reduction of the project's shape: any block size up to 1024.
template <typename T>
__global__ void SumKernel(const T* __restrict__ a, int n, T* out) {
  VAREKPT_DYNAMIC_SHARED(T, acc);
  const int t = threadIdx.x;
  const int i = blockIdx.x * blockDim.x + t;
  acc[t] = i < n ? __ldg(a + i) : T(0);
  __syncthreads();
  for (int s = 512; s > 0; s >>= 1) {
    if (t < s && t + s < static_cast<int>(blockDim.x)) acc[t] += acc[t + s];
    __syncthreads();
  }
  if (t == 0) atomicAdd(out, acc[0]);
}
template __global__ void SumKernel<float>(const float*, int, float*);
template __global__ void SumKernel<double>(const double*, int, double*);

template <typename T>
T run_sum(int n, unsigned block) {
  std::vector<T> a(n);
  for (int i = 0; i < n; ++i) a[i] = static_cast<T>(i % 7);
  T out = 0;
  const unsigned blocks = (n + block - 1) / block;
  EXPECT_EQ(hostcuda::launch("SumKernel", SumKernel<T>, dim3(blocks), dim3(block), block * sizeof(T),
                             nullptr, a.data(), n, &out),
            cudaSuccess);
  return out;
}

TEST_F(Scheduling, TreeReductionIsExactUnderEveryOrderAndBlockSize) {
  const int n = 10000;
  double expected = 0;
  for (int i = 0; i < n; ++i) expected += i % 7;
  for (auto order : kOrders) {
    hostcuda::set_resume_order(order, 42);
    for (unsigned block : {1u, 64u, 256u, 1000u, 1024u}) {
      EXPECT_EQ(run_sum<float>(n, block), expected) << "block " << block;
      EXPECT_EQ(run_sum<double>(n, block), expected) << "block " << block;
    }
  }
  hostcuda::set_workers(4);
  EXPECT_EQ(run_sum<double>(n, 128), expected);
}

// out[t] = in[t] + in[t-1] through shared memory; the barrier between the
// store and the neighbour's load is optional so that its absence can be seen.
__global__ void AddLeftKernel(const float* in, float* out, bool sync) {
  VAREKPT_DYNAMIC_SHARED(float, s);
  const unsigned t = threadIdx.x;
  s[t] = in[t];
  if (sync) __syncthreads();
  out[t] = s[t] + (t > 0 ? s[t - 1] : 0.0f);
}

// Reads the left neighbour, then overwrites its own slot; the barrier between
// the read and the write is optional.
__global__ void ReadLeftThenWriteKernel(const float* in, float* out, bool sync) {
  VAREKPT_DYNAMIC_SHARED(float, s);
  const unsigned t = threadIdx.x;
  s[t] = in[t];
  __syncthreads();
  const float left = t > 0 ? s[t - 1] : 0.0f;
  if (sync) __syncthreads();
  s[t] += left;
  __syncthreads();
  out[t] = s[t];
}

// Runs `kernel` on one block of 256 and tells whether the result is right.
bool neighbour_result_ok(void (*kernel)(const float*, float*, bool), bool sync) {
  const unsigned n = 256;
  std::vector<float> in(n), out(n);
  for (unsigned i = 0; i < n; ++i) in[i] = static_cast<float>(i);
  hostcuda::launch("Neighbour", kernel, dim3(1), dim3(n), n * sizeof(float), nullptr, in.data(),
                   out.data(), sync);
  for (unsigned i = 0; i < n; ++i) {
    if (out[i] != in[i] + (i > 0 ? in[i - 1] : 0.0f)) return false;
  }
  return true;
}

TEST_F(Scheduling, ResumeOrderExposesMissingBarriers) {
  using hostcuda::ResumeOrder;
  struct Case {
    ResumeOrder order;
    bool add_left_ok;         // start order: read of a lower thread's store
    bool read_then_write_ok;  // release order: lower thread overwrites before the read
  };
  const Case cases[] = {{ResumeOrder::Forward, true, false},
                        {ResumeOrder::Reverse, false, true},
                        {ResumeOrder::Shuffle, false, false}};
  for (const Case& c : cases) {
    hostcuda::set_resume_order(c.order, 7);
    EXPECT_TRUE(neighbour_result_ok(AddLeftKernel, true));
    EXPECT_TRUE(neighbour_result_ok(ReadLeftThenWriteKernel, true));
    EXPECT_EQ(neighbour_result_ok(AddLeftKernel, false), c.add_left_ok);
    EXPECT_EQ(neighbour_result_ok(ReadLeftThenWriteKernel, false), c.read_then_write_ok);
  }
}

// Threads t >= n return before the barriers and threads t >= m between them;
// blocks 0, 3, ... return at once, so barriers are reached only in later
// blocks (scheduling must be decided per block). `runs` counts how often each
// thread's body starts.
__global__ void EarlyReturnKernel(int n, int m, int* runs, float* out) {
  VAREKPT_DYNAMIC_SHARED(float, s);
  const int t = threadIdx.x;
  atomicAdd(runs + blockIdx.x * blockDim.x + t, 1);
  if (blockIdx.x % 3 == 0 || t >= n) return;
  s[t] = static_cast<float>(t + blockIdx.x);
  __syncthreads();
  if (t >= m) return;
  const float mirrored = s[n - 1 - t];
  __syncthreads();
  out[blockIdx.x * blockDim.x + t] = mirrored;
}

TEST_F(Scheduling, ReturnedThreadsCountAsArrivedAndRunOnce) {
  const int block = 256, blocks = 5, n = 100, m = 40;
  for (auto order : kOrders) {
    hostcuda::set_resume_order(order, 3);
    std::vector<int> runs(block * blocks, 0);
    std::vector<float> out(block * blocks, -1.0f);
    ASSERT_EQ(hostcuda::launch("EarlyReturn", EarlyReturnKernel, dim3(blocks), dim3(block),
                               block * sizeof(float), nullptr, n, m, runs.data(), out.data()),
              cudaSuccess);
    for (int b = 0; b < blocks; ++b) {
      for (int t = 0; t < block; ++t) {
        const int i = b * block + t;
        ASSERT_EQ(runs[i], 1) << "block " << b << " thread " << t;
        const bool writes = b % 3 != 0 && t < m;
        ASSERT_EQ(out[i], writes ? static_cast<float>(n - 1 - t + b) : -1.0f) << "block " << b << " thread " << t;
      }
    }
  }
}

// Every (block, thread) of a 3-D launch runs once and sees consistent indices,
// also across a barrier (which resumes threads on other fibers).
__global__ void IndexKernel(int* hits, int* bad) {
  const unsigned tid = (threadIdx.z * blockDim.y + threadIdx.y) * blockDim.x + threadIdx.x;
  const unsigned bid = (blockIdx.z * gridDim.y + blockIdx.y) * gridDim.x + blockIdx.x;
  const uint3 before = threadIdx;
  __syncthreads();
  if (threadIdx.x != before.x || threadIdx.y != before.y || threadIdx.z != before.z) atomicAdd(bad, 1);
  if (threadIdx.x >= blockDim.x || blockIdx.z >= gridDim.z) atomicAdd(bad, 1);
  atomicAdd(hits + bid * blockDim.x * blockDim.y * blockDim.z + tid, 1);
}

TEST_F(Scheduling, EveryThreadOfEveryBlockRunsOnceWithItsIndices) {
  const dim3 grid(3, 2, 2), block(5, 4, 3);
  for (int workers : {1, 4}) {
    hostcuda::set_workers(workers);
    hostcuda::set_resume_order(hostcuda::ResumeOrder::Shuffle, 11);
    std::vector<int> hits(3 * 2 * 2 * 5 * 4 * 3, 0);
    int bad = 0;
    ASSERT_EQ(hostcuda::launch("Index", IndexKernel, grid, block, 0, nullptr, hits.data(), &bad),
              cudaSuccess);
    EXPECT_EQ(bad, 0);
    for (size_t i = 0; i < hits.size(); ++i) ASSERT_EQ(hits[i], 1) << i;
  }
}

// Reads its slot before writing it (must see the poison), then exchanges
// values through shared memory.
__global__ void SharedKernel(uint32_t* before, float* after, uintptr_t* addr) {
  VAREKPT_DYNAMIC_SHARED(float, s);
  __shared__ float tile[64];
  const unsigned t = threadIdx.x, n = blockDim.x;
  const unsigned i = blockIdx.x * n + t;
  std::memcpy(before + i, s + t, sizeof(float));
  if (t == 0) *addr |= reinterpret_cast<uintptr_t>(s) & 63;
  s[t] = static_cast<float>(blockIdx.x * 1000 + t);
  tile[t] = -static_cast<float>(blockIdx.x * 1000 + t);
  __syncthreads();
  after[2 * i] = s[(t + 1) % n];
  after[2 * i + 1] = tile[(t + 1) % n];
}

TEST_F(Scheduling, SharedMemoryIsPoisonedAlignedAndPrivatePerBlock) {
  const unsigned block = 64, blocks = 64;
  for (int workers : {1, 4}) {
    hostcuda::set_workers(workers);
    std::vector<uint32_t> before(block * blocks);
    std::vector<float> after(2 * block * blocks);
    uintptr_t misalignment = 0;
    ASSERT_EQ(hostcuda::launch("Shared", SharedKernel, dim3(blocks), dim3(block), block * sizeof(float),
                               nullptr, before.data(), after.data(), &misalignment),
              cudaSuccess);
    EXPECT_EQ(misalignment, 0u);
    float poison;
    std::memcpy(&poison, &before[0], sizeof poison);
    EXPECT_TRUE(std::isnan(poison));
    for (unsigned b = 0; b < blocks; ++b) {
      for (unsigned t = 0; t < block; ++t) {
        const unsigned i = b * block + t;
        ASSERT_EQ(before[i], 0xFFFFFFFFu) << "block " << b << " thread " << t;
        const float v = static_cast<float>(b * 1000 + (t + 1) % block);
        ASSERT_EQ(after[2 * i], v) << "block " << b << " thread " << t;
        ASSERT_EQ(after[2 * i + 1], -v) << "block " << b << " thread " << t;
      }
    }
  }
}

// Each thread gets its own copy of the (converted) arguments.
__global__ void ParamKernel(int n, const float* in, double scale, float* out) {
  n += threadIdx.x;
  scale *= 2;
  out[threadIdx.x] = static_cast<float>(n * scale) + in[0];
}

TEST_F(Scheduling, ArgumentsAreConvertedAndCopiedPerThread) {
  float in = 0.5f;
  std::vector<float> out(8);
  long n = 10;
  ASSERT_EQ(hostcuda::launch("Param", ParamKernel, dim3(1), dim3(8), 0, nullptr, n, &in, 1.5f, out.data()),
            cudaSuccess);
  for (int t = 0; t < 8; ++t) EXPECT_EQ(out[t], (10 + t) * 3.0f + 0.5f) << t;
}

// Odd and even threads wait at different barriers (with different code after
// them, so the compiler cannot merge the two calls).
__global__ void MismatchedBarrierKernel(float* out) {
  if (threadIdx.x % 2) {
    __syncthreads();
    out[threadIdx.x] = 1;
  } else {
    out[threadIdx.x] = 2;
    __syncthreads();
    out[threadIdx.x] += 3;
  }
}

TEST_F(Scheduling, ThreadsAtDifferentBarriersAreReported) {
  std::vector<float> out(32);
  hostcuda::set_check_barrier_sites(true);
  EXPECT_EQ(hostcuda::launch("MismatchedBarrier", MismatchedBarrierKernel, dim3(2), dim3(32), 0, nullptr,
                             out.data()),
            cudaErrorLaunchFailure);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
  const std::string detail = hostcuda::error_detail();
  EXPECT_NE(detail.find("MismatchedBarrier"), std::string::npos) << detail;
  EXPECT_NE(detail.find("different __syncthreads"), std::string::npos) << detail;
  hostcuda::set_check_barrier_sites(false);
}

__global__ void DeepKernel(int depth, int* out) {
  volatile char big[1024];  // smaller than a page: each frame touches the next page down
  big[0] = big[1023] = static_cast<char>(depth);
  if (depth > 0) DeepKernel(depth - 1, out);
  *out += big[0];
}

TEST(SchedulingDeathTest, MisuseCrashesClearly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(__syncthreads(), "__syncthreads\\(\\) called outside a kernel");
  int out = 0;
  // A kernel that overflows its 64 KiB fiber stack hits the guard page.
  EXPECT_DEATH(hostcuda::launch("Deep", DeepKernel, dim3(1), dim3(1), 0, nullptr, 200, &out), "");
}

}  // namespace
