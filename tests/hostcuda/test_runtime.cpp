// Runtime behaviour of the host layer: launch limits and errors, streams,
// sticky kernel failures, atomics under parallel blocks, the launch trace.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "common/cuda/platform.h"

namespace {

class Runtime : public ::testing::Test {
 protected:
  void SetUp() override {
    hostcuda::reset_device();
    (void)cudaGetLastError();
  }
  void TearDown() override {
    hostcuda::set_workers(1);
    hostcuda::reset_device();
  }
};

__global__ void CountKernel(int* count) { atomicAdd(count, 1); }

TEST_F(Runtime, LaunchLimitsAreEnforcedAndErrorsReturnedOnce) {
  struct Case {
    dim3 grid, block;
    size_t shared;
    cudaError_t expected;
  };
  const Case cases[] = {
      {dim3(0), dim3(32), 0, cudaErrorInvalidConfiguration},
      {dim3(1, 0), dim3(32), 0, cudaErrorInvalidConfiguration},
      {dim3(1, 1, 0), dim3(32), 0, cudaErrorInvalidConfiguration},
      {dim3(1), dim3(0), 0, cudaErrorInvalidConfiguration},
      {dim3(1), dim3(32, 1, 0), 0, cudaErrorInvalidConfiguration},
      {dim3(1), dim3(1025), 0, cudaErrorInvalidConfiguration},
      {dim3(1), dim3(1, 1025), 0, cudaErrorInvalidConfiguration},
      {dim3(1), dim3(1, 1, 65), 0, cudaErrorInvalidConfiguration},
      {dim3(1), dim3(64, 4, 5), 0, cudaErrorInvalidConfiguration},  // 1280 threads
      {dim3(1u << 31), dim3(1), 0, cudaErrorInvalidConfiguration},
      {dim3(1, 65536), dim3(1), 0, cudaErrorInvalidConfiguration},
      {dim3(1, 1, 65536), dim3(1), 0, cudaErrorInvalidConfiguration},
      {dim3(1), dim3(32), 48 * 1024 + 1, cudaErrorInvalidValue},
      // The largest accepted values.
      {dim3(1), dim3(1024), 48 * 1024, cudaSuccess},
      {dim3(1), dim3(1, 1024), 0, cudaSuccess},
      {dim3(1), dim3(16, 1, 64), 0, cudaSuccess},
      {dim3(1, 65535), dim3(1), 0, cudaSuccess},
      {dim3(1, 1, 65535), dim3(1), 0, cudaSuccess},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "grid (" << c.grid.x << "," << c.grid.y << "," << c.grid.z
                                    << ") block (" << c.block.x << "," << c.block.y << "," << c.block.z
                                    << ") shared " << c.shared);
    int count = 0;
    EXPECT_EQ(hostcuda::launch("Count", CountKernel, c.grid, c.block, c.shared, nullptr, &count),
              c.expected);
    EXPECT_EQ(cudaPeekAtLastError(), c.expected);
    EXPECT_EQ(cudaGetLastError(), c.expected);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);  // not sticky
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    const long expected_count =
        c.expected == cudaSuccess
            ? static_cast<long>(c.grid.x) * c.grid.y * c.grid.z * c.block.x * c.block.y * c.block.z
            : 0;
    EXPECT_EQ(count, expected_count);
  }
}

TEST_F(Runtime, StreamsAreValidatedAndCounted) {
  const hostcuda::StreamCounts start = hostcuda::stream_counts();
  cudaStream_t a = nullptr, b = nullptr;
  ASSERT_EQ(cudaStreamCreate(&a), cudaSuccess);
  ASSERT_EQ(cudaStreamCreateWithFlags(&b, cudaStreamNonBlocking), cudaSuccess);
  EXPECT_NE(a, b);
  int count = 0;
  EXPECT_EQ(hostcuda::launch("Count", CountKernel, dim3(2), dim3(3), 0, a, &count), cudaSuccess);
  EXPECT_EQ(cudaStreamSynchronize(a), cudaSuccess);
  EXPECT_EQ(count, 6);
  for (cudaStream_t s : {static_cast<cudaStream_t>(nullptr), cudaStreamLegacy, cudaStreamPerThread}) {
    EXPECT_EQ(hostcuda::launch("Count", CountKernel, dim3(1), dim3(1), 0, s, &count), cudaSuccess);
  }
  EXPECT_EQ(count, 9);

  ASSERT_EQ(cudaStreamDestroy(a), cudaSuccess);
  EXPECT_EQ(hostcuda::launch("Count", CountKernel, dim3(1), dim3(1), 0, a, &count),
            cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(count, 9);
  EXPECT_EQ(cudaStreamSynchronize(a), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaStreamDestroy(a), cudaErrorInvalidResourceHandle);
  int not_a_stream = 0;
  EXPECT_EQ(hostcuda::launch("Count", CountKernel, dim3(1), dim3(1), 0,
                             reinterpret_cast<cudaStream_t>(&not_a_stream), &count),
            cudaErrorInvalidResourceHandle);
  ASSERT_EQ(cudaStreamDestroy(b), cudaSuccess);
  (void)cudaGetLastError();

  const hostcuda::StreamCounts end = hostcuda::stream_counts();
  EXPECT_EQ(end.created - start.created, 2u);
  EXPECT_EQ(end.destroyed - start.destroyed, 2u);
}

// Thread `bad` of block 1 fails; all other threads of the launch finish or
// are not started, none runs twice.
__global__ void FailingKernel(int bad, bool use_trap, int* runs) {
  const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
  atomicAdd(runs + i, 1);
  __syncthreads();
  if (blockIdx.x == 1 && threadIdx.x == static_cast<unsigned>(bad)) {
    if (use_trap) __trap();
    throw std::runtime_error("bad input");
  }
  __syncthreads();
}

TEST_F(Runtime, FailingKernelLeavesStickyErrorUntilReset) {
  for (bool use_trap : {false, true}) {
    SCOPED_TRACE(use_trap ? "__trap" : "throw");
    cudaStream_t s;
    ASSERT_EQ(cudaStreamCreate(&s), cudaSuccess);
    std::vector<int> runs(4 * 32, 0);
    EXPECT_EQ(hostcuda::launch("Failing", FailingKernel, dim3(4), dim3(32), 0, s, 5, use_trap, runs.data()),
              cudaErrorLaunchFailure);
    for (int r : runs) EXPECT_LE(r, 1);
    EXPECT_EQ(cudaStreamSynchronize(s), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    const std::string detail = hostcuda::error_detail();
    EXPECT_NE(detail.find("Failing block (1,0,0) thread (5,0,0)"), std::string::npos) << detail;
    EXPECT_NE(detail.find(use_trap ? "__trap" : "bad input"), std::string::npos) << detail;

    // The device stays failed: later launches do not run.
    int count = 0;
    EXPECT_EQ(hostcuda::launch("Count", CountKernel, dim3(1), dim3(1), 0, nullptr, &count),
              cudaErrorLaunchFailure);
    EXPECT_EQ(count, 0);

    hostcuda::reset_device();
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(hostcuda::error_detail(), "");
    EXPECT_EQ(hostcuda::launch("Count", CountKernel, dim3(1), dim3(1), 0, s, &count), cudaSuccess);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(cudaStreamDestroy(s), cudaSuccess);
  }
}

template <typename T>
__global__ void AddOneKernel(T* total) {
  atomicAdd(total, T(1));
}
template __global__ void AddOneKernel<float>(float*);
template __global__ void AddOneKernel<double>(double*);
template __global__ void AddOneKernel<int>(int*);
template __global__ void AddOneKernel<unsigned long long>(unsigned long long*);

template <typename T>
T add_ones(unsigned blocks, unsigned block) {
  T total = 0;
  EXPECT_EQ(hostcuda::launch("AddOne", AddOneKernel<T>, dim3(blocks), dim3(block), 0, nullptr, &total),
            cudaSuccess);
  return total;
}

TEST_F(Runtime, AtomicsAreExactUnderParallelBlocks) {
  hostcuda::set_workers(8);
  // 2^18 adds of 1: exact in float too.
  EXPECT_EQ(add_ones<float>(1024, 256), 262144.0f);
  EXPECT_EQ(add_ones<double>(1024, 256), 262144.0);
  EXPECT_EQ(add_ones<int>(1024, 256), 262144);
  EXPECT_EQ(add_ones<unsigned long long>(1024, 256), 262144u);
}

// Appends `id` to a log; run with several workers, the log still follows
// the issue order of the launches.
__global__ void AppendKernel(int id, int* log, int* len) {
  const bool last_block =
      blockIdx.x == gridDim.x - 1 && blockIdx.y == gridDim.y - 1 && blockIdx.z == gridDim.z - 1;
  if (last_block && threadIdx.x == 0 && threadIdx.y == 0) log[atomicAdd(len, 1)] = id;
}

std::string describe(const hostcuda::LaunchRecord& r, cudaStream_t s) {
  auto d = [](dim3 v) {
    return "(" + std::to_string(v.x) + "," + std::to_string(v.y) + "," + std::to_string(v.z) + ")";
  };
  return r.kernel + " " + d(r.grid) + " " + d(r.block) + " " + std::to_string(r.shared_bytes) + " " +
         (r.stream == s ? "s" : r.stream == nullptr ? "default" : "other") + " " +
         (r.refused ? std::string("refused ") + cudaGetErrorName(r.error) : "ran");
}

TEST_F(Runtime, TraceRecordsLaunchesInIssueOrder) {
  hostcuda::set_workers(4);
  cudaStream_t s;
  ASSERT_EQ(cudaStreamCreate(&s), cudaSuccess);
  std::vector<int> log(8, -1);
  int len = 0;
  hostcuda::launch("NotTraced", AppendKernel, dim3(1), dim3(1), 0, s, 0, log.data(), &len);
  hostcuda::trace_start();
  hostcuda::launch("First", AppendKernel, dim3(16), dim3(64), 0, s, 1, log.data(), &len);
  hostcuda::launch("Refused", AppendKernel, dim3(1), dim3(2048), 0, s, 9, log.data(), &len);
  hostcuda::launch("Second", AppendKernel, dim3(4, 2), dim3(8, 8), 128, nullptr, 2, log.data(), &len);
  hostcuda::launch("Third", AppendKernel, dim3(7), dim3(32), 0, s, 3, log.data(), &len);
  const std::vector<hostcuda::LaunchRecord> trace = hostcuda::trace_stop();
  hostcuda::launch("AfterStop", AppendKernel, dim3(1), dim3(1), 0, s, 4, log.data(), &len);
  (void)cudaGetLastError();
  ASSERT_EQ(cudaStreamDestroy(s), cudaSuccess);

  EXPECT_EQ(std::vector<int>(log.begin(), log.begin() + len), (std::vector<int>{0, 1, 2, 3, 4}));
  std::vector<std::string> seen;
  for (const hostcuda::LaunchRecord& r : trace) seen.push_back(describe(r, s));
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "First (16,1,1) (64,1,1) 0 s ran",
                      "Refused (1,1,1) (2048,1,1) 0 s refused cudaErrorInvalidConfiguration",
                      "Second (4,2,1) (8,8,1) 128 default ran",
                      "Third (7,1,1) (32,1,1) 0 s ran",
                  }));
}

}  // namespace
