// Dense layer CPU workers and entries called from native code.
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>
#include <torch/torch.h>

#include "paraboloid/paraboloid.h"

namespace {

template <typename T>
class DenseCpuWorkers : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(DenseCpuWorkers, ElementTypes);

// One unit, d = 1: h0 = 1, h = 3, p = 0.5, p0 = 2, input 2.
TYPED_TEST(DenseCpuWorkers, WorkedExampleIsExact) {
  using T = TypeParam;
  const std::vector<T> parameters{1, 3, 0.5, 2};
  const T x = 2, grad = 1;
  for (double factor : {1.0, 2.0}) {
    T output = 0, hsum = 0;
    paraboloid_forward_cpu_main<T>(&x, parameters.data(), factor, 1, 1, 1, &output, &hsum);
    EXPECT_EQ(hsum, T(7));
    EXPECT_EQ(output, T(42.75 * factor));
    T grad_input = 0;
    std::vector<T> grad_parameters(4);
    paraboloid_backward_cpu_main<T>(&grad, &x, parameters.data(), &hsum, factor, 1, 1, 1,
                                    &grad_input, grad_parameters.data());
    EXPECT_EQ(grad_input, T(39 * factor));
    EXPECT_EQ(grad_parameters, (std::vector<T>{T(14 * factor), T(28 * factor),
                                               T(3 * factor), T(-4 * factor)}));
  }
}

// The workers own every element they write: buffers that arrive full of NaN
// come back finite, and nothing past the parameter blocks is touched.
TYPED_TEST(DenseCpuWorkers, WritesEveryOwnedElementAndNothingElse) {
  using T = TypeParam;
  const int N = 3, d = 2, units = 2, L = 2 * units * (d + 1);
  const T nan = std::numeric_limits<T>::quiet_NaN();
  std::vector<T> input(N * d), parameters(L), grad(N * units);
  for (size_t i = 0; i < input.size(); ++i) input[i] = T(0.25) * T(i);
  for (size_t i = 0; i < parameters.size(); ++i) parameters[i] = T(0.5) - T(0.125) * T(i);
  for (size_t i = 0; i < grad.size(); ++i) grad[i] = T(1) + T(i);

  std::vector<T> output(N * units, nan), hsum(N * units, nan);
  paraboloid_forward_cpu_main<T>(input.data(), parameters.data(), 1.5, N, d, units,
                                 output.data(), hsum.data());
  std::vector<T> grad_input(N * d, nan), grad_parameters(L + 2, nan);
  paraboloid_backward_cpu_main<T>(grad.data(), input.data(), parameters.data(), hsum.data(),
                                  1.5, N, d, units, grad_input.data(),
                                  grad_parameters.data());
  for (T v : output) EXPECT_TRUE(std::isfinite(v));
  for (T v : grad_input) EXPECT_TRUE(std::isfinite(v));
  for (int i = 0; i < L; ++i) EXPECT_TRUE(std::isfinite(grad_parameters[i])) << i;
  EXPECT_TRUE(std::isnan(grad_parameters[L]) && std::isnan(grad_parameters[L + 1]));
}

TEST(DenseCpuEntries, DispatchErrorNamesWorkerAndLocation) {
  const auto half = torch::ones({2, 3}, torch::kHalf);
  try {
    paraboloid_forward_cpu(half, torch::ones({8}, torch::kHalf), 1.0);
    FAIL() << "no error";
  } catch (const c10::NotImplementedError& e) {
    EXPECT_EQ(e.msg(), "\"paraboloid_forward_cpu_main\" not implemented for 'Half'");
    EXPECT_NE(std::string(e.what()).find("operator() at paraboloid.cpp:224"), std::string::npos);
  }
  try {
    paraboloid_backward_cpu(torch::ones({2, 1}, torch::kInt), torch::ones({2, 3}, torch::kInt),
                            torch::ones({8}, torch::kInt), torch::ones({2, 1}, torch::kInt), 1.0);
    FAIL() << "no error";
  } catch (const c10::NotImplementedError& e) {
    EXPECT_EQ(e.msg(), "\"paraboloid_backward_cpu_main\" not implemented for 'Int'");
    EXPECT_NE(std::string(e.what()).find("operator() at paraboloid.cpp:303"), std::string::npos);
  }
}

TEST(DenseCpuEntries, TensorsOnAnotherDeviceAreRefused) {
  const auto input = torch::ones({2, 3});
  const auto meta = torch::ones({8}, torch::TensorOptions().device(torch::kMeta));
  EXPECT_THROW(
      {
        try {
          paraboloid_forward_cpu(input, meta, 1.0);
        } catch (const c10::Error& e) {
          EXPECT_NE(e.msg().find("parameters is on meta"), std::string::npos) << e.msg();
          throw;
        }
      },
      c10::Error);
  const auto grad = torch::ones({2, 1}, torch::TensorOptions().device(torch::kMeta));
  EXPECT_THROW(paraboloid_backward_cpu(grad, input, torch::ones({8}), torch::ones({2, 1}), 1.0),
               c10::Error);
}

}  // namespace
