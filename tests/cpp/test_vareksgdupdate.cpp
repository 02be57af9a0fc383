// Update rule CPU worker and the entry called from native code.
#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <torch/torch.h>

#include "update/vareksgdupdate.h"

namespace {

template <typename T>
using Vec = std::vector<T>;

// Runs the worker on units 1, d 1 with plr and dampening, which it does not
// use, set and update and scratch filled with NaN; moments must stay unchanged.
template <typename T>
Vec<T> run(Vec<T> grad, Vec<T> moments, Vec<T> par, double hlr, double m, bool nesterov = false,
           double wd = 0) {
  const Vec<T> moments_before = moments;
  Vec<T> update(4, std::numeric_limits<T>::quiet_NaN()), scratch(6, update[0]);
  vareksgd_getparupdate_cpu_main<T>(grad.data(), moments.data(), par.data(), 1, 1, hlr, 7.0, m,
                                    0.75, nesterov, wd, update.data(), scratch.data());
  EXPECT_EQ(moments, moments_before);
  return update;
}

template <typename T>
class UpdateCpuWorker : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(UpdateCpuWorker, ElementTypes);

// units 1, d 1: the vector is (h0, h, p, p0). A decay of (h0, h) to length 0
// keeps factor 1 rather than 0/0. Momentum needs m > 0: 0, negative and NaN
// leave hlr·grad even with Nesterov; 1e-13 counts.
TYPED_TEST(UpdateCpuWorker, WorkedExamplesAndMomentumThreshold) {
  using T = TypeParam;
  const Vec<T> ones(4, 1), zeros(4, 0), grad{1, -2, 0.5, 4}, eights(4, 8);
  EXPECT_EQ(run<T>(ones, ones, ones, 0.5, 0.5), Vec<T>(4, T(0.75)));
  EXPECT_EQ(run<T>(ones, ones, ones, 0.5, 0.5, true), Vec<T>(4, T(0.875)));
  EXPECT_EQ(run<T>({0, 1, 0, 0}, zeros, {0, 2, 0, 0}, 1, 0, false, 0.25), (Vec<T>{0, 1, 0, 0}));
  EXPECT_EQ(run<T>(zeros, zeros, {1, 1, 3, 3}, 1, 0, false, 1), (Vec<T>{1, 1, 0, 0}));
  for (double m : {0.0, -0.5, std::nan("")}) {
    const Vec<T> update = run<T>(grad, eights, zeros, 0.1, m, true);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(update[i], T(0.1) * grad[i], 1e-6) << m;
  }
  for (T u : run<T>(zeros, eights, zeros, 1, 1e-13)) EXPECT_NEAR(u, T(8e-13), T(8e-19));
}

// Other devices are reachable from native code only (the dispatcher routes a
// meta tensor to no kernel); element types are dispatched on par.
TEST(UpdateCpuEntry, RefusesOtherDevicesAndElementTypes) {
  const auto v = torch::ones({4}), meta = torch::ones({4}, torch::kMeta), half = v.to(torch::kHalf);
  const std::string on = "ptvareksgdfree::getparupdate: expected all tensors on one device, ";
  const std::vector<std::tuple<at::Tensor, at::Tensor, at::Tensor, std::string>> cases{
      {meta, v, v, on + "but par is on cpu and grad is on meta"},
      {v, meta, v, on + "but par is on cpu and moments is on meta"},
      {v, v, meta, on + "but par is on meta and grad is on cpu"},
      {half, half, half, "for 'Half'\nException raised from operator() at vareksgdupdate.cpp:118"},
  };
  for (const auto& [grad, moments, par, message] : cases) {
    try {
      vareksgd_getparupdate_cpu(grad, moments, par, 1.0, 0.5, 0, 0, 0, false, 0);
      ADD_FAILURE() << "no error: " << message;
    } catch (const c10::Error& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
  }
}

}  // namespace
