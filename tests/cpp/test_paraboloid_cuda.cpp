// Dense layer CUDA workers run on the host execution layer, against the CPU
// workers, and their launch sequences.
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <torch/torch.h>

#include "common/hostcuda/hostcuda.h"
#include "paraboloid/paraboloid.h"
#include "tests/cpp/test_errors.h"
#include "tests/cpp/test_schedule.h"
#include "tests/cpp/test_trace.h"
#include "tests/cpp/test_values.h"

namespace {

struct Shape {
  int N, d, units, trailing;
};

// Runs the CPU and the CUDA worker of both directions on the same data. The
// CUDA workers get output buffers full of NaN: they must not rely on the
// entries' zero fill. Elements past the parameter blocks must stay untouched.
template <typename T>
void compare_with_cpu(const Shape& s, double factor) {
  const int L = 2 * s.units * (s.d + 1);
  const int P = L + s.trailing;
  const auto input = random_values<T>(size_t(s.N) * s.d, 1);
  const auto parameters = random_values<T>(P, 2);
  const auto grad = random_values<T>(size_t(s.N) * s.units, 3);
  const T nan = std::numeric_limits<T>::quiet_NaN();
  const c10::Device device(c10::kCUDA, 0);
  const size_t outputs = size_t(s.N) * s.units;

  std::vector<T> output(outputs), hsum(outputs);
  paraboloid_forward_cpu_main<T>(input.data(), parameters.data(), factor, s.N, s.d, s.units,
                                 output.data(), hsum.data());
  std::vector<T> output_cuda(outputs, nan), hsum_cuda(outputs, nan);
  paraboloid_forward_cuda_main<T>(device, input.data(), parameters.data(), factor, s.N, s.d,
                                  s.units, output_cuda.data(), hsum_cuda.data());
  expect_close(hsum, hsum_cuda, "hsum");
  expect_close(output, output_cuda, "output");

  std::vector<T> grad_input(size_t(s.N) * s.d), grad_parameters(P);
  paraboloid_backward_cpu_main<T>(grad.data(), input.data(), parameters.data(), hsum.data(),
                                  factor, s.N, s.d, s.units, grad_input.data(),
                                  grad_parameters.data());
  std::vector<T> grad_input_cuda(grad_input.size(), nan), grad_parameters_cuda(P, nan);
  paraboloid_backward_cuda_main<T>(device, grad.data(), input.data(), parameters.data(),
                                   hsum.data(), factor, s.N, s.d, s.units,
                                   grad_input_cuda.data(), grad_parameters_cuda.data());
  expect_close(grad_input, grad_input_cuda, "grad_input");
  expect_close(grad_parameters, grad_parameters_cuda, "grad_parameters", L);
  for (int i = L; i < P; ++i) EXPECT_TRUE(std::isnan(grad_parameters_cuda[i])) << i;
}

template <typename T>
class DenseCudaWorkers : public HostScheduleTest {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(DenseCudaWorkers, ElementTypes);

// Shapes that exercise the chunking (several threads per block, partial
// chunks, more than 128 terms per sum, one-element rows, sizes of 0), first
// as on a device with one block at a time, then with blocks in parallel and
// threads resumed in shuffled order.
TYPED_TEST(DenseCudaWorkers, AgreeWithCpuWorkers) {
  const Shape shapes[] = {{33, 13, 20, 0}, {4, 1, 300, 3}, {130, 17, 3, 5}, {1, 1, 1, 0},
                          {5, 300, 2, 0},  {4, 0, 3, 1},   {0, 3, 2, 2},    {3, 2, 0, 5}};
  in_each_schedule([&] {
    for (const Shape& s : shapes) {
      SCOPED_TRACE(::testing::Message() << "N " << s.N << " d " << s.d << " units " << s.units);
      for (double factor : {1.0, -0.35, 0.0}) compare_with_cpu<TypeParam>(s, factor);
    }
  });
}

TEST(DenseCudaLaunches, ForwardAndBackwardFollowTheirTables) {
  const int N = 33, d = 13, units = 20;
  const auto input = random_values<float>(N * d, 1);
  const auto parameters = random_values<float>(2 * units * (d + 1), 2);
  const auto grad = random_values<float>(N * units, 3);
  std::vector<float> output(N * units), hsum(N * units), grad_input(N * d),
      grad_parameters(parameters.size());
  const c10::Device device(c10::kCUDA, 0);
  const auto before = hostcuda::stream_counts();

  hostcuda::trace_start();
  paraboloid_forward_cuda_main<float>(device, input.data(), parameters.data(), 1.0, N, d, units,
                                      output.data(), hsum.data());
  EXPECT_EQ(describe(hostcuda::trace_stop()),
            (std::vector<std::string>{"ParaboloidInitCudaKernel 64x1x1 3x1x1 0 s0",
                                      "ParaboloidHsumCudaKernel 64x32x1 2x1x1 0 s0",
                                      "ParaboloidPsqCudaKernel 64x32x1 2x1x1 0 s0",
                                      "ParaboloidOutputCudaKernel 64x1x1 3x1x1 0 s0"}));

  hostcuda::trace_start();
  paraboloid_backward_cuda_main<float>(device, grad.data(), input.data(), parameters.data(),
                                       hsum.data(), 1.0, N, d, units, grad_input.data(),
                                       grad_parameters.data());
  const std::string zero = "ParaboloidGradZeroMatrixCudaKernel ";
  const std::string scale = "ParaboloidGrad2FactorMatrixCudaKernel ";
  EXPECT_EQ(describe(hostcuda::trace_stop()),
            (std::vector<std::string>{
                zero + "64x1x1 1x1x1 0 s0", zero + "32x1x1 1x1x1 0 s1",
                zero + "32x1x1 1x1x1 0 s2", zero + "32x1x1 1x1x1 0 s3",
                zero + "32x1x1 1x1x1 0 s4", "ParaboloidGradInputKernel 64x32x1 1x1x1 0 s0",
                "ParaboloidGradHKernel 32x32x1 1x1x1 0 s1", "ParaboloidGradH0Kernel 32x1x1 1x1x1 0 s2",
                "ParaboloidGradPKernel 32x32x1 1x1x1 0 s3", "ParaboloidGradP0Kernel 32x1x1 1x1x1 0 s4",
                scale + "64x1x1 1x1x1 0 s0", scale + "32x1x1 1x1x1 0 s1",
                scale + "32x1x1 1x1x1 0 s2", scale + "32x1x1 1x1x1 0 s3",
                scale + "32x1x1 1x1x1 0 s4"}));
  const auto after = hostcuda::stream_counts();
  EXPECT_EQ(after.created - before.created, 6u);
  EXPECT_EQ(after.destroyed - before.destroyed, 6u);
}

__global__ void TrapKernel() { __trap(); }

// A device fault left by earlier work makes the worker's first launch fail:
// the worker raises an error naming that kernel and destroys the streams it
// created before the error.
TEST(DenseCudaLaunches, FailedLaunchRaisesAndReleasesStreams) {
  hostcuda::launch("TrapKernel", TrapKernel, dim3(1), dim3(1), 0, nullptr);
  const auto before = hostcuda::stream_counts();
  std::vector<float> x(4), parameters(4), out(4), hsum(4);
  const std::string message = error_of([&] {
    paraboloid_forward_cuda_main<float>(c10::Device(c10::kCUDA, 0), x.data(), parameters.data(),
                                        1.0, 4, 1, 1, out.data(), hsum.data());
  });
  hostcuda::reset_device();
  EXPECT_NE(message.find("CUDA kernel ParaboloidInitCudaKernel failed to launch"),
            std::string::npos)
      << message;
  const auto after = hostcuda::stream_counts();
  EXPECT_EQ(after.created - before.created, 1u);
  EXPECT_EQ(after.destroyed - before.destroyed, 1u);
}

// The CUDA entries refuse shapes beyond the device's launch limits before
// anything is allocated or queued, and tensors that are not on a CUDA device.
TEST(DenseCudaEntries, RefuseLaunchLimitsAndHostTensors) {
  using torch::zeros;
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[] { paraboloid_forward_cuda(zeros({1, 8193}), zeros({0}), 1.0); },
       "forward: threads per block ceil(d/8) would be 1025, beyond the device limit of 1024"},
      {[] { paraboloid_forward_cuda(zeros({1, 1}), zeros({4 * 8193}), 1.0); },
       "forward: threads per block ceil(units/8) would be 1025"},
      {[] {
         paraboloid_backward_cuda(zeros({1, 0}), zeros({1, 65536}), zeros({0}), zeros({1, 0}), 1.0);
       },
       "backward: grid extent up32(d) along y would be 65536, beyond the device limit of 65535"},
      {[] {
         paraboloid_backward_cuda(zeros({131073, 0}), zeros({131073, 1}), zeros({0}),
                                  zeros({131073, 0}), 1.0);
       },
       "backward: threads per block ceil(N/128) would be 1025"},
      {[] { paraboloid_forward_cuda(zeros({2, 3}), zeros({8}), 1.0); },
       "forward: expected CUDA tensors, but input is on cpu"},
  };
  for (const auto& [call, message] : cases) {
    EXPECT_NE(error_of(call).find(std::string("ptparaboloidfree::") + message), std::string::npos)
        << message;
  }
}

}  // namespace
