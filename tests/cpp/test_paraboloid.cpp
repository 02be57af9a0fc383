// Dense layer CPU workers and entries called from native code; negative views
// passed to every CPU entry.
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <ATen/core/dispatch/Dispatcher.h>
#include <torch/torch.h>

#include "paraboloid/paraboloid.h"
#include "paraconv2d/paraconv2d.h"
#include "tests/cpp/test_values.h"
#include "update/vareksgdupdate.h"

namespace {

template <typename T>
class DenseCpuWorkers : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(DenseCpuWorkers, ElementTypes);

// The workers own every element they write: buffers that arrive full of NaN
// come back finite, and nothing past the parameter blocks is touched.
TYPED_TEST(DenseCpuWorkers, WriteEveryOwnedElementAndNothingElse) {
  using T = TypeParam;
  const int N = 3, d = 2, units = 2, L = 2 * units * (d + 1);
  const T nan = std::numeric_limits<T>::quiet_NaN();
  const auto input = random_values<T>(N * d, 1), parameters = random_values<T>(L, 2),
             grad = random_values<T>(N * units, 3);
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

// Native code reaches the operators through the dispatcher, as the README shows.
TEST(DenseCpuEntries, DispatcherRoutesToTheEntries) {
  auto forward = c10::Dispatcher::singleton()
                     .findSchemaOrThrow("ptparaboloidfree::forward", "")
                     .typed<std::vector<at::Tensor>(at::Tensor, at::Tensor, double)>();
  const auto x = torch::tensor({{2.0}}), parameters = torch::tensor({1.0, 3.0, 0.5, 2.0});
  const auto result = forward.call(x, parameters, 1.0);
  EXPECT_EQ(result[0].item<float>(), 42.75f);
  EXPECT_EQ(result[1].item<float>(), 7.0f);
}

TEST(DenseCpuEntries, DispatchErrorNamesWorkerAndLocation) {
  try {
    paraboloid_backward_cpu(torch::ones({2, 1}, torch::kInt), torch::ones({2, 3}, torch::kInt),
                            torch::ones({8}, torch::kInt), torch::ones({2, 1}, torch::kInt), 1.0);
    FAIL() << "no error";
  } catch (const c10::NotImplementedError& e) {
    EXPECT_EQ(e.msg(), "\"paraboloid_backward_cpu_main\" not implemented for 'Int'");
    EXPECT_NE(std::string(e.what()).find("operator() at paraboloid.cpp:303"), std::string::npos);
  }
}

// Python cannot pass tensors of two devices to a CPU entry; native code can.
TEST(DenseCpuEntries, TensorsOnAnotherDeviceAreRefused) {
  const auto meta = torch::ones({8}, torch::TensorOptions().device(torch::kMeta));
  try {
    paraboloid_forward_cpu(torch::ones({2, 3}), meta, 1.0);
    FAIL() << "no error";
  } catch (const c10::Error& e) {
    EXPECT_NE(e.msg().find("expected all tensors on one device, but input is on cpu and "
                           "parameters is on meta"),
              std::string::npos)
        << e.msg();
  }
}

// The dispatcher resolves negative views before an entry sees them; native
// callers reach the entries directly, and get the same results.
TEST(CpuEntries, NegativeViewsGiveTheResultsOfTheirValues) {
  using Tensors = std::vector<at::Tensor>;
  const auto values = [](at::IntArrayRef sizes) { return torch::randn(sizes, torch::kDouble); };
  const auto kernel = torch::tensor({3, 1}, torch::kInt);
  const auto stride = torch::tensor({1, 2}, torch::kInt),
             dilation = torch::tensor({1, 1}, torch::kInt);
  // Dense: N 3, d 2, units 2. Convolution: 2 images 2×5×4, 3×1 kernel, units 2, output 3×2.
  const std::pair<std::function<Tensors(const Tensors&)>, Tensors> calls[] = {
      {[](const Tensors& a) { return paraboloid_forward_cpu(a[0], a[1], 0.5); },
       {values({3, 2}), values({12})}},
      {[](const Tensors& a) { return paraboloid_backward_cpu(a[0], a[1], a[2], a[3], 0.5); },
       {values({3, 2}), values({3, 2}), values({12}), values({3, 2})}},
      {[](const Tensors& a) { return paraconv2d_forward_cpu(a[0], a[1], 0.5, a[2], a[3], a[4]); },
       {values({2, 2, 5, 4}), values({28}), kernel, stride, dilation}},
      {[](const Tensors& a) {
         return paraconv2d_backward_cpu(a[0], a[1], a[2], a[3], 0.5, a[4], a[5], a[6], false);
       },
       {values({2, 2, 3, 2}), values({2, 2, 5, 4}), values({28}), values({2, 2, 3, 2}), kernel,
        stride, dilation}},
      {[](const Tensors& a) {
         return vareksgd_getparupdate_cpu(a[0], a[1], a[2], 2.0, 0.1, 0, 0.9, 0, true, 0.01);
       },
       {values({12}), values({12}), values({13})}},
  };
  for (const auto& [call, args] : calls) {
    Tensors negative;
    for (const at::Tensor& t : args) negative.push_back(at::_neg_view(-t));
    const Tensors want = call(args), got = call(negative);
    for (size_t i = 0; i < want.size(); ++i) EXPECT_TRUE(torch::equal(got[i], want[i])) << i;
  }
}

}  // namespace
