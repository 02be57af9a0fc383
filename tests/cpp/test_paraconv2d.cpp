// Convolution layer CPU workers and entries called from native code.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <torch/torch.h>

#include "paraconv2d/paraconv2d.h"

namespace {

const double nan = std::nan("");

// One channel, 3×3 image x[r][q] = 3r + q, one 3×3 unit whose only nonzero
// weight is h at tap (0, 0), which meets the window's last row and column.
// The outputs arrive full of NaN.
TEST(ConvCpuWorkers, WorkedExampleIsExact) {
  std::vector<double> x(9), parameters(20, 0.0), grad_input(9, nan), grad_parameters(20, nan);
  for (int k = 0; k < 9; ++k) x[k] = k;
  parameters[1] = 1;  // h[0][0][0][0]
  double output = nan, hsum = nan, grad = 1;
  paraconv2d_forward_cpu_main(x.data(), parameters.data(), 1.0, 3, 3, 1, 1, 1, 1, 1, 1, 3, 3, 1, 1,
                              1, &output, &hsum);
  EXPECT_EQ(hsum, 8);
  EXPECT_EQ(output, -140);  // 8² − Σ k² for k = 0..8
  paraconv2d_backward_cpu_main(&grad, x.data(), parameters.data(), &hsum, 1.0, 3, 3, 1, 1, 1, 1, 1,
                               1, 3, 3, 1, 1, 1, grad_input.data(), grad_parameters.data(), false);
  EXPECT_EQ(grad_parameters[0], 16);  // grad_h0
  EXPECT_EQ(grad_parameters[19], 0);  // grad_p0
  for (int k = 0; k < 9; ++k) {
    const double tapped = x[8 - k];  // tap k reads the mirrored input element
    EXPECT_EQ(grad_parameters[1 + k], 16 * tapped) << "grad_h " << k;
    EXPECT_EQ(grad_parameters[10 + k], 2 * tapped) << "grad_p " << k;
    EXPECT_EQ(grad_input[k], k == 8 ? 0 : -2 * x[k]) << "grad_input " << k;
  }
}

// Two images, channels and units: NaN-filled gradients come back finite (a
// skipped input gradient as zeros) and the two elements past the four blocks
// are not touched. Kernel 3×1, stride 2×2 on 6×6: 2×3 windows that never read
// row 5 or column 5.
TEST(ConvCpuWorkers, WritesEveryOwnedElementAndNothingElse) {
  const int L = 2 * 2 * (2 * 3 + 1);  // 2·units·(d+1)
  const std::vector<double> input(2 * 2 * 6 * 6, 0.5), parameters(L, 0.25), grad(24, 0.5);
  for (bool skip : {false, true}) {
    std::vector<double> grad_input(input.size(), nan), grad_parameters(L + 2, nan);
    // grad serves as hsum too: any finite values do
    paraconv2d_backward_cpu_main(grad.data(), input.data(), parameters.data(), grad.data(), 1.5, 3,
                                 1, 2, 2, 1, 1, 2, 2, 6, 6, 2, 2, 3, grad_input.data(),
                                 grad_parameters.data(), skip);
    for (double v : grad_input) EXPECT_TRUE(skip ? v == 0 : std::isfinite(v));
    for (int i = 0; i < L + 2; ++i) EXPECT_EQ(std::isnan(grad_parameters[i]), i >= L) << i;
  }
}

TEST(ConvCpuEntries, RefuseWhatTheyCannotRun) {
  // The call must throw a c10::Error whose full text, location included, holds `part`.
  const auto expect_error = [](auto call, const std::string& part) {
    try {
      call();
      ADD_FAILURE() << "no error: " << part;
    } catch (const c10::Error& e) {
      EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
    }
  };
  const auto x = torch::ones({1, 1, 3, 3}), p = torch::ones({4}), ints = x.to(torch::kInt);
  const auto one = torch::tensor({1, 1}, torch::kInt);
  const torch::Device meta(torch::kMeta);
  expect_error([&] { paraconv2d_forward_cpu(x.to(torch::kHalf), p, 1.0, one, one, one); },
               "implemented for 'Half'\nException raised from operator() at paraconv2d.cpp:337");
  expect_error([&] { paraconv2d_backward_cpu(ints, ints, p, ints, 1.0, one, one, one, false); },
               "implemented for 'Int'\nException raised from operator() at paraconv2d.cpp:451");
  expect_error([&] { paraconv2d_forward_cpu(x, p.to(meta), 1.0, one, one, one); },
               "expected all tensors on one device, but input is on cpu and parameters is on meta");
  expect_error([&] { paraconv2d_forward_cpu(x, p, 1.0, one, one.to(meta), one); },
               "strides_tensor must be on the CPU, where its values are read, but is on meta");
}

}  // namespace
