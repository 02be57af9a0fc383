// Convolution layer CPU workers and entries called from native code.
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>
#include <torch/torch.h>

#include "paraconv2d/paraconv2d.h"

namespace {

template <typename T>
class ConvCpuWorkers : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ConvCpuWorkers, ElementTypes);

// One channel, 3×3 image x[r][q] = 3r + q, one 3×3 unit whose only nonzero
// weight is h at tap (0, 0), which meets the window's last row and column.
TYPED_TEST(ConvCpuWorkers, WorkedExampleIsExact) {
  using T = TypeParam;
  std::vector<T> x(9), parameters(2 * (9 + 1), T(0));
  for (int k = 0; k < 9; ++k) x[k] = T(k);
  parameters[1] = 1;  // h[0][0][0][0]
  const T grad = 1;
  for (double factor : {1.0, 2.0}) {
    T output = 0, hsum = 0;
    paraconv2d_forward_cpu_main<T>(x.data(), parameters.data(), factor, 3, 3, 1, 1, 1, 1, 1, 1, 3,
                                   3, 1, 1, 1, &output, &hsum);
    EXPECT_EQ(hsum, T(8));
    EXPECT_EQ(output, T(-140 * factor));  // 8² − Σ k² for k = 0..8

    std::vector<T> grad_input(9), grad_parameters(20);
    paraconv2d_backward_cpu_main<T>(&grad, x.data(), parameters.data(), &hsum, factor, 3, 3, 1, 1,
                                    1, 1, 1, 1, 3, 3, 1, 1, 1, grad_input.data(),
                                    grad_parameters.data(), false);
    const T f2 = T(2 * factor);
    EXPECT_EQ(grad_parameters[0], 8 * f2);  // grad_h0
    for (int k = 0; k < 9; ++k) {
      const T tapped = x[8 - k];  // tap k reads the mirrored input element
      EXPECT_EQ(grad_parameters[1 + k], tapped * 8 * f2) << "grad_h " << k;
      EXPECT_EQ(grad_parameters[10 + k], tapped * f2) << "grad_p " << k;
      EXPECT_EQ(grad_input[k], k == 8 ? T(0) : -x[k] * f2) << "grad_input " << k;
    }
    EXPECT_EQ(grad_parameters[19], T(0));  // grad_p0
  }
}

// The workers own every element they write: buffers that arrive full of NaN
// come back finite, and nothing past the parameter blocks is touched. A
// skipped input gradient comes back zero.
TYPED_TEST(ConvCpuWorkers, WritesEveryOwnedElementAndNothingElse) {
  using T = TypeParam;
  const int N = 2, C = 2, H = 6, W = 6, units = 2, d = C * 3 * 1, L = 2 * units * (d + 1);
  const int outH = 2, outW = 3;  // kernel 3×1, stride 2×2: row 5 and column 5 unread
  const T nan = std::numeric_limits<T>::quiet_NaN();
  std::vector<T> input(N * C * H * W), parameters(L), grad(N * units * outH * outW);
  for (size_t i = 0; i < input.size(); ++i) input[i] = T(0.25) * T(i % 7);
  for (size_t i = 0; i < parameters.size(); ++i) parameters[i] = T(0.5) - T(0.125) * T(i);
  for (size_t i = 0; i < grad.size(); ++i) grad[i] = T(1) + T(i);

  std::vector<T> output(grad.size(), nan), hsum(grad.size(), nan);
  paraconv2d_forward_cpu_main<T>(input.data(), parameters.data(), 1.5, 3, 1, 2, 2, 1, 1, N, C, H, W,
                                 units, outH, outW, output.data(), hsum.data());
  for (T v : output) EXPECT_TRUE(std::isfinite(v));
  for (bool skip : {false, true}) {
    std::vector<T> grad_input(input.size(), nan), grad_parameters(L + 2, nan);
    paraconv2d_backward_cpu_main<T>(grad.data(), input.data(), parameters.data(), hsum.data(), 1.5,
                                    3, 1, 2, 2, 1, 1, N, C, H, W, units, outH, outW,
                                    grad_input.data(), grad_parameters.data(), skip);
    for (T v : grad_input) EXPECT_TRUE(skip ? v == 0 : std::isfinite(v));
    EXPECT_EQ(grad_input[H * W - 1], T(0));  // never read
    for (int i = 0; i < L; ++i) EXPECT_TRUE(std::isfinite(grad_parameters[i])) << i;
    EXPECT_TRUE(std::isnan(grad_parameters[L]) && std::isnan(grad_parameters[L + 1]));
  }
}

torch::Tensor pair(int a, int b) { return torch::tensor({a, b}, torch::kInt); }

TEST(ConvCpuEntries, DispatchErrorNamesWorkerAndLocation) {
  const auto half = torch::ones({1, 1, 3, 3}, torch::kHalf);
  try {
    paraconv2d_forward_cpu(half, torch::ones({4}, torch::kHalf), 1.0, pair(1, 1), pair(1, 1),
                           pair(1, 1));
    FAIL() << "no error";
  } catch (const c10::NotImplementedError& e) {
    EXPECT_EQ(e.msg(), "\"paraconv2d_forward_cpu_main\" not implemented for 'Half'");
    EXPECT_NE(std::string(e.what()).find("operator() at paraconv2d.cpp:337"), std::string::npos);
  }
  const auto ints = torch::ones({1, 1, 3, 3}, torch::kInt);
  try {
    paraconv2d_backward_cpu(ints, ints, torch::ones({4}, torch::kInt), ints, 1.0, pair(1, 1),
                            pair(1, 1), pair(1, 1), false);
    FAIL() << "no error";
  } catch (const c10::NotImplementedError& e) {
    EXPECT_EQ(e.msg(), "\"paraconv2d_backward_cpu_main\" not implemented for 'Int'");
    EXPECT_NE(std::string(e.what()).find("operator() at paraconv2d.cpp:451"), std::string::npos);
  }
}

TEST(ConvCpuEntries, TensorsOnAnotherDeviceAreRefused) {
  const auto input = torch::ones({1, 1, 3, 3});
  const auto meta = torch::ones({4}, torch::TensorOptions().device(torch::kMeta));
  EXPECT_THROW(
      {
        try {
          paraconv2d_forward_cpu(input, meta, 1.0, pair(1, 1), pair(1, 1), pair(1, 1));
        } catch (const c10::Error& e) {
          EXPECT_NE(e.msg().find("parameters is on meta"), std::string::npos) << e.msg();
          throw;
        }
      },
      c10::Error);
  const auto meta_pair =
      torch::ones({2}, torch::TensorOptions().dtype(torch::kInt).device(torch::kMeta));
  try {
    paraconv2d_forward_cpu(input, torch::ones({4}), 1.0, pair(1, 1), meta_pair, pair(1, 1));
    FAIL() << "no error";
  } catch (const c10::Error& e) {
    EXPECT_EQ(e.msg(),
              "ptparaconv2dfree::forward: strides_tensor must be on the CPU, where its values are "
              "read, but is on meta");
  }
  const auto grad = torch::ones({1, 1, 3, 3}, torch::TensorOptions().device(torch::kMeta));
  EXPECT_THROW(paraconv2d_backward_cpu(grad, input, torch::ones({4}), torch::ones({1, 1, 3, 3}),
                                       1.0, pair(1, 1), pair(1, 1), pair(1, 1), false),
               c10::Error);
}

}  // namespace
