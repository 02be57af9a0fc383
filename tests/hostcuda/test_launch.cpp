// varekpt::launch_kernel and VAREKPT_CUDA_CHECK: errors become c10::Error
// naming the kernel or call and the CUDA error text.
#include <c10/util/Exception.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/cuda/launch.h"

namespace {

class Launch : public ::testing::Test {
 protected:
  void SetUp() override { hostcuda::reset_device(); }
  void TearDown() override { hostcuda::reset_device(); }
};

template <typename T>
__global__ void ScaleKernel(const T* __restrict__ in, int n, T factor, T* out) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i < n) out[i] = fma(__ldg(in + i), factor, T(1));
}
template __global__ void ScaleKernel<float>(const float*, int, float, float*);

__global__ void TrapKernel() { __trap(); }

std::string launch_error(const std::function<void()>& f) {
  try {
    f();
  } catch (const c10::Error& e) {
    return e.what_without_backtrace();
  }
  return "";
}

TEST_F(Launch, LaunchKernelRunsAndReportsFailures) {
  std::vector<float> in(100, 2.0f), out(100);
  varekpt::launch_kernel("ScaleKernel", ScaleKernel<float>, dim3(4), dim3(32), 0, nullptr, in.data(), 100,
                         3.0, out.data());
  for (float v : out) ASSERT_EQ(v, 7.0f);

  std::string msg = launch_error([&] {
    varekpt::launch_kernel("ScaleKernel", ScaleKernel<float>, dim3(1), dim3(2000), 0, nullptr, in.data(),
                           100, 3.0f, out.data());
  });
  EXPECT_NE(msg.find("CUDA kernel ScaleKernel failed to launch: invalid configuration argument"),
            std::string::npos)
      << msg;
  // The refused launch's error was consumed by the check.
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);

  msg = launch_error([] { varekpt::launch_kernel("TrapKernel", TrapKernel, dim3(1), dim3(1), 0, nullptr); });
  EXPECT_NE(msg.find("CUDA kernel TrapKernel failed to launch: unspecified launch failure"),
            std::string::npos)
      << msg;
  EXPECT_NE(msg.find("__trap"), std::string::npos) << msg;
}

TEST_F(Launch, CudaCheckNamesTheCall) {
  cudaStream_t s;
  VAREKPT_CUDA_CHECK(cudaStreamCreate(&s));
  VAREKPT_CUDA_CHECK(cudaStreamDestroy(s));
  const std::string msg = launch_error([&] { VAREKPT_CUDA_CHECK(cudaStreamDestroy(s)); });
  EXPECT_NE(msg.find("CUDA call cudaStreamDestroy(s) failed: invalid resource handle"), std::string::npos)
      << msg;
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

}  // namespace
