// Dense layer CUDA workers run on the host execution layer, against the CPU
// workers, and their launch sequences.
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <torch/torch.h>

#include "common/hostcuda/hostcuda.h"
#include "tests/cpp/test_values.h"
#include "paraboloid/paraboloid.h"

namespace {

struct Shape {
  int N, d, units, trailing;
};

template <typename T>
void expect_close(const std::vector<T>& expected, const std::vector<T>& actual, size_t count,
                  const std::string& what) {
  const double eps = std::is_same<T, float>::value ? 2e-5 : 1e-12;
  for (size_t i = 0; i < count; ++i) {
    const double tol = eps * (1.0 + std::abs(static_cast<double>(expected[i])));
    ASSERT_NEAR(expected[i], actual[i], tol) << what << " element " << i;
  }
}

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
  expect_close(hsum, hsum_cuda, outputs, "hsum");
  expect_close(output, output_cuda, outputs, "output");

  std::vector<T> grad_input(size_t(s.N) * s.d), grad_parameters(P);
  paraboloid_backward_cpu_main<T>(grad.data(), input.data(), parameters.data(), hsum.data(),
                                  factor, s.N, s.d, s.units, grad_input.data(),
                                  grad_parameters.data());
  std::vector<T> grad_input_cuda(grad_input.size(), nan), grad_parameters_cuda(P, nan);
  paraboloid_backward_cuda_main<T>(device, grad.data(), input.data(), parameters.data(),
                                   hsum.data(), factor, s.N, s.d, s.units,
                                   grad_input_cuda.data(), grad_parameters_cuda.data());
  expect_close(grad_input, grad_input_cuda, grad_input.size(), "grad_input");
  expect_close(grad_parameters, grad_parameters_cuda, L, "grad_parameters");
  for (int i = L; i < P; ++i) EXPECT_TRUE(std::isnan(grad_parameters_cuda[i])) << i;
}

template <typename T>
class DenseCudaWorkers : public ::testing::Test {
 protected:
  void TearDown() override {
    hostcuda::set_workers(1);
    hostcuda::set_resume_order(hostcuda::ResumeOrder::Forward);
  }
};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(DenseCudaWorkers, ElementTypes);

// Shapes that exercise the chunking: several threads per block, partial
// chunks, more than 128 terms per sum, one-element rows, and sizes of 0.
TYPED_TEST(DenseCudaWorkers, AgreeWithCpuWorkers) {
  const Shape shapes[] = {{33, 13, 20, 0}, {4, 1, 300, 3},  {130, 17, 3, 5}, {1, 1, 1, 0},
                          {5, 300, 2, 0},  {4, 0, 3, 1},    {0, 3, 2, 2},    {3, 2, 0, 5}};
  for (const Shape& s : shapes) {
    SCOPED_TRACE(::testing::Message() << "N " << s.N << " d " << s.d << " units " << s.units);
    for (double factor : {1.0, -0.35, 0.0}) compare_with_cpu<TypeParam>(s, factor);
  }
}

// Blocks in parallel on several workers and threads resumed in a shuffled
// order must not change the results beyond rounding.
TYPED_TEST(DenseCudaWorkers, AgreeUnderParallelBlocksAndShuffledThreads) {
  hostcuda::set_workers(4);
  hostcuda::set_resume_order(hostcuda::ResumeOrder::Shuffle, 7);
  compare_with_cpu<TypeParam>({150, 20, 140, 2}, 0.75);
  hostcuda::set_resume_order(hostcuda::ResumeOrder::Reverse);
  compare_with_cpu<TypeParam>({9, 40, 33, 0}, 2.0);
}

struct Expected {
  const char* kernel;
  dim3 grid;
  unsigned threads;
  int stream;  // index of the worker's stream in order of first use
};

void expect_trace(const std::vector<hostcuda::LaunchRecord>& trace,
                  const std::vector<Expected>& expected) {
  ASSERT_EQ(trace.size(), expected.size());
  std::vector<cudaStream_t> streams;
  for (size_t i = 0; i < trace.size(); ++i) {
    SCOPED_TRACE(::testing::Message() << "launch " << i + 1);
    const auto& r = trace[i];
    const auto& e = expected[i];
    EXPECT_EQ(r.kernel, e.kernel);
    EXPECT_EQ(r.grid.x, e.grid.x);
    EXPECT_EQ(r.grid.y, e.grid.y);
    EXPECT_EQ(r.grid.z, 1u);
    EXPECT_EQ(r.block.x, e.threads);
    EXPECT_EQ(r.block.y * r.block.z, 1u);
    EXPECT_EQ(r.shared_bytes, 0u);
    EXPECT_FALSE(r.refused);
    EXPECT_NE(r.stream, nullptr);  // a stream of the worker's own, not the default stream
    if (size_t(e.stream) == streams.size()) streams.push_back(r.stream);
    ASSERT_LT(size_t(e.stream), streams.size());
    EXPECT_EQ(r.stream, streams[e.stream]);
  }
  for (size_t i = 0; i < streams.size(); ++i) {
    for (size_t j = i + 1; j < streams.size(); ++j) EXPECT_NE(streams[i], streams[j]);
  }
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
  expect_trace(hostcuda::trace_stop(), {{"ParaboloidInitCudaKernel", dim3(64), 3, 0},
                                        {"ParaboloidHsumCudaKernel", dim3(64, 32), 2, 0},
                                        {"ParaboloidPsqCudaKernel", dim3(64, 32), 2, 0},
                                        {"ParaboloidOutputCudaKernel", dim3(64), 3, 0}});

  hostcuda::trace_start();
  paraboloid_backward_cuda_main<float>(device, grad.data(), input.data(), parameters.data(),
                                       hsum.data(), 1.0, N, d, units, grad_input.data(),
                                       grad_parameters.data());
  const char* zero = "ParaboloidGradZeroMatrixCudaKernel";
  const char* scale = "ParaboloidGrad2FactorMatrixCudaKernel";
  expect_trace(hostcuda::trace_stop(), {{zero, dim3(64), 1, 0},
                                        {zero, dim3(32), 1, 1},
                                        {zero, dim3(32), 1, 2},
                                        {zero, dim3(32), 1, 3},
                                        {zero, dim3(32), 1, 4},
                                        {"ParaboloidGradInputKernel", dim3(64, 32), 1, 0},
                                        {"ParaboloidGradHKernel", dim3(32, 32), 1, 1},
                                        {"ParaboloidGradH0Kernel", dim3(32), 1, 2},
                                        {"ParaboloidGradPKernel", dim3(32, 32), 1, 3},
                                        {"ParaboloidGradP0Kernel", dim3(32), 1, 4},
                                        {scale, dim3(64), 1, 0},
                                        {scale, dim3(32), 1, 1},
                                        {scale, dim3(32), 1, 2},
                                        {scale, dim3(32), 1, 3},
                                        {scale, dim3(32), 1, 4}});
  const auto after = hostcuda::stream_counts();
  EXPECT_EQ(after.created - before.created, 6u);
  EXPECT_EQ(after.destroyed - before.destroyed, 6u);
}

// With d = 0 the sums over the input are skipped, not refused: hsum = h0,
// and grad_h0, grad_p0 are still scaled.
TEST(DenseCudaLaunches, EmptyExtentsAreSkipped) {
  const float parameters[] = {1, 2, 0.5, 3};  // h0 = (1, 2), p0 = (0.5, 3)
  const float grad[] = {1, 1};
  float output[2], hsum[2], grad_parameters[4];
  const c10::Device device(c10::kCUDA, 0);
  hostcuda::trace_start();
  paraboloid_forward_cuda_main<float>(device, nullptr, parameters, 2.0, 1, 0, 2, output, hsum);
  paraboloid_backward_cuda_main<float>(device, grad, nullptr, parameters, hsum, 2.0, 1, 0, 2,
                                       nullptr, grad_parameters);
  for (const auto& r : hostcuda::trace_stop()) EXPECT_FALSE(r.refused) << r.kernel;
  EXPECT_EQ(hsum[0], 1);
  EXPECT_EQ(hsum[1], 2);
  EXPECT_EQ(output[0], 1.5f);
  EXPECT_EQ(output[1], -10.0f);
  EXPECT_EQ(grad_parameters[0], 4.0f);    // 4·h0·grad
  EXPECT_EQ(grad_parameters[1], 8.0f);
  EXPECT_EQ(grad_parameters[2], -2.0f);   // −4·p0·grad
  EXPECT_EQ(grad_parameters[3], -12.0f);
}

std::string error_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const c10::Error& e) {
    return e.msg();
  }
  return "no error";
}

// The CUDA entries refuse shapes beyond the device's launch limits before
// anything is allocated or queued, and tensors that are not on a CUDA device.
TEST(DenseCudaEntries, RefuseLaunchLimitsAndHostTensors) {
  const auto wide = torch::zeros({1, 8193});
  EXPECT_NE(error_of([&] { paraboloid_forward_cuda(wide, torch::zeros({0}), 1.0); })
                .find("ptparaboloidfree::forward: threads per block ceil(d/8) would be 1025, "
                      "beyond the device limit of 1024"),
            std::string::npos);
  const auto units = torch::zeros({2 * 8193 * 2});  // d = 1, units = 8193
  EXPECT_NE(error_of([&] { paraboloid_forward_cuda(torch::zeros({1, 1}), units, 1.0); })
                .find("threads per block ceil(units/8) would be 1025"),
            std::string::npos);
  const auto rows = torch::zeros({1, 65536});
  EXPECT_NE(error_of([&] {
              paraboloid_backward_cuda(torch::zeros({1, 0}), rows, torch::zeros({0}),
                                       torch::zeros({1, 0}), 1.0);
            }).find("grid extent up32(d) along y would be 65536, beyond the device limit of 65535"),
            std::string::npos);
  const auto samples = torch::zeros({131073, 1});
  EXPECT_NE(error_of([&] {
              paraboloid_backward_cuda(torch::zeros({131073, 0}), samples, torch::zeros({0}),
                                       torch::zeros({131073, 0}), 1.0);
            }).find("threads per block ceil(N/128) would be 1025"),
            std::string::npos);
  EXPECT_NE(error_of([] {
              paraboloid_forward_cuda(torch::zeros({2, 3}), torch::zeros({8}), 1.0);
            }).find("ptparaboloidfree::forward: expected CUDA tensors, but input is on cpu"),
            std::string::npos);
}

}  // namespace
