// varekpt::launch_kernel, VAREKPT_CUDA_CHECK and varekpt::WorkerStreams:
// errors become c10::Error naming the kernel or call and the CUDA error text.
#include <c10/util/Exception.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/cuda/launch.h"
#include "common/cuda/streams.h"
#include "tests/cpp/test_values.h"

namespace {

__global__ void ScaleKernel(const float* in, int n, float factor, float* out) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i < n) out[i] = in[i] * factor + 1;
}

__global__ void TrapKernel() { __trap(); }

TEST(Launch, ErrorsBecomeC10ErrorsNamingTheKernelOrCall) {
  const auto expect_error = [](const std::function<void()>& f, const std::string& text) {
    EXPECT_NE(error_of(f).find(text), std::string::npos) << text;
  };
  std::vector<float> in(100, 2.0f), out(100);
  auto scale = [&](dim3 grid, dim3 block) {
    varekpt::launch_kernel("ScaleKernel", ScaleKernel, grid, block, 0, nullptr, in.data(), 100, 3.0,
                           out.data());
  };
  scale(dim3(4), dim3(32));
  EXPECT_EQ(std::count(out.begin(), out.end(), 7.0f), 100);
  for (dim3 empty : {dim3(0), dim3(1, 0), dim3(1, 1, 0)}) {  // no work: skipped, not refused
    EXPECT_NO_THROW(scale(empty, dim3(32)));
    EXPECT_NO_THROW(scale(dim3(1), empty));
  }
  expect_error([&] { scale(dim3(1), dim3(2000)); },
               "CUDA kernel ScaleKernel failed to launch: invalid configuration argument");
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);  // consumed by the check

  cudaStream_t s;
  VAREKPT_CUDA_CHECK(cudaStreamCreate(&s));
  VAREKPT_CUDA_CHECK(cudaStreamDestroy(s));
  expect_error([&] { VAREKPT_CUDA_CHECK(cudaStreamDestroy(s)); },
               "CUDA call cudaStreamDestroy(s) failed: invalid resource handle");
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);

  // A worker's streams: a failed destruction at the call's end raises too.
  varekpt::WorkerStreams streams;
  VAREKPT_CUDA_CHECK(cudaStreamDestroy(streams.create()));
  expect_error([&] { streams.release(); },
               "CUDA call cudaStreamDestroy(s) failed: invalid resource handle");

  // A launch that cannot get its fiber stacks (a limit of none beyond those
  // mapped, on a thread without stacks) raises and leaves no error behind.
  std::thread([&] {
    hostcuda::set_fiber_stack_limit(hostcuda::fiber_stacks());
    expect_error([&] { scale(dim3(1), dim3(32)); },
                 "CUDA kernel ScaleKernel failed to launch: out of memory");
    hostcuda::set_fiber_stack_limit(0);
    EXPECT_NO_THROW(scale(dim3(1), dim3(32)));
  }).join();

  expect_error(
      [] { varekpt::launch_kernel("TrapKernel", TrapKernel, dim3(1), dim3(1), 0, nullptr); },
      "CUDA kernel TrapKernel failed to launch: unspecified launch failure (kernel TrapKernel "
      "block "
      "(0,0,0) thread (0,0,0): __trap())");
  hostcuda::reset_device();
}

}  // namespace
