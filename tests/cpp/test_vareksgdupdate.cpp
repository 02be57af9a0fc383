// Update rule CPU worker and the entry called from native code.
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>
#include <torch/torch.h>

#include "update/vareksgdupdate.h"

namespace {

template <typename T>
class UpdateCpuWorker : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(UpdateCpuWorker, ElementTypes);

struct Step {
  double hlr = 0.5;
  double momentum = 0;
  bool nesterov = false;
  double wd = 0;
  double plr = 0;
  double dampening = 0;
};

// Runs the worker on vectors of length par.size(); update and scratch start
// out as `fill`.
template <typename T>
std::vector<T> run(const std::vector<T>& grad, const std::vector<T>& moments,
                   const std::vector<T>& par, int units, int d, const Step& s, T fill = 0) {
  std::vector<T> update(par.size(), fill), scratch(par.size() + 2 * units, fill);
  vareksgd_getparupdate_cpu_main<T>(grad.data(), moments.data(), par.data(), units, d, s.hlr,
                                    s.plr, s.momentum, s.dampening, s.nesterov, s.wd,
                                    update.data(), scratch.data());
  return update;
}

// units 1, d 1: the vector is (h0, h, p, p0).
TYPED_TEST(UpdateCpuWorker, WorkedExamplesAreExact) {
  using T = TypeParam;
  const std::vector<T> ones(4, 1);
  Step s;
  s.momentum = 0.5;
  EXPECT_EQ(run<T>(ones, ones, ones, 1, 1, s), std::vector<T>(4, T(0.75)));
  s.nesterov = true;
  EXPECT_EQ(run<T>(ones, ones, ones, 1, 1, s), std::vector<T>(4, T(0.875)));

  Step decay;
  decay.hlr = 1;
  decay.wd = 0.25;
  EXPECT_EQ(run<T>({0, 1, 0, 0}, {0, 0, 0, 0}, {0, 2, 0, 0}, 1, 1, decay),
            (std::vector<T>{0, 1, 0, 0}));
}

// Moments are read only; plr, dampening and what scratch holds on entry do
// not change the result; nothing of update past L is written.
TYPED_TEST(UpdateCpuWorker, ReadsOnlyWhatItUsesAndWritesOnlyTheUsedLength) {
  using T = TypeParam;
  const int units = 2, d = 2, L = 2 * units * (d + 1), P = L + 3;
  std::vector<T> grad(P), moments(P), par(P);
  for (int i = 0; i < P; ++i) {
    grad[i] = T(0.3) * T(i) - T(1);
    moments[i] = T(0.7) - T(0.1) * T(i);
    par[i] = T(1.5) - T(0.25) * T(i);
  }
  const std::vector<T> moments_before = moments;
  Step s;
  s.momentum = 0.9;
  s.nesterov = true;
  s.wd = 0.1;
  const std::vector<T> expected = run<T>(grad, moments, par, units, d, s);
  EXPECT_EQ(0, std::memcmp(moments.data(), moments_before.data(), P * sizeof(T)));

  s.plr = 123.0;
  s.dampening = 0.75;
  const T nan = std::numeric_limits<T>::quiet_NaN();
  const std::vector<T> update = run<T>(grad, moments, par, units, d, s, nan);
  for (int i = 0; i < L; ++i) EXPECT_EQ(update[i], expected[i]) << i;
  for (int i = L; i < P; ++i) EXPECT_TRUE(std::isnan(update[i])) << i;
}

// A unit whose decay brings (h0, h) to zero keeps the zero: factor 1, no NaN.
TYPED_TEST(UpdateCpuWorker, ZeroDecayedLengthKeepsFactorOne) {
  using T = TypeParam;
  Step s;
  s.hlr = 1;
  s.wd = 1;
  const std::vector<T> update = run<T>({0, 0, 0, 0}, {0, 0, 0, 0}, {1, 1, 3, 3}, 1, 1, s);
  EXPECT_EQ(update, (std::vector<T>{1, 1, 0, 0}));
}

// Momentum needs m > 0 strictly; Nesterov alone does nothing. 1e-13 counts.
TYPED_TEST(UpdateCpuWorker, MomentumThreshold) {
  using T = TypeParam;
  const std::vector<T> grad{1, -2, 0.5, 4}, moments{8, 8, 8, 8}, par{1, 1, 1, 1};
  Step s;
  s.hlr = 0.1;
  s.nesterov = true;
  for (double m : {0.0, -0.5, std::nan("")}) {
    s.momentum = m;
    const std::vector<T> update = run<T>(grad, moments, par, 1, 1, s);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(update[i], T(0.1) * grad[i], 1e-6) << m;
  }
  s.hlr = 1;
  s.nesterov = false;
  s.momentum = 1e-13;
  const std::vector<T> update = run<T>({0, 0, 0, 0}, moments, {0, 0, 0, 0}, 1, 1, s);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(update[i], T(8e-13), T(8e-13) * 1e-6);
}

// d = 0: the decay turns each h0 alone, so it keeps its absolute value and
// takes the sign of its decayed value; p0 is not decayed.
TYPED_TEST(UpdateCpuWorker, DecayWithoutRowsActsOnH0Alone) {
  using T = TypeParam;
  Step s;
  s.hlr = 1;
  s.wd = 0.5;
  // newpar h0 = (1, 0.25, -3); decayed: 1 − 0.5·3 < 0, 0.25 − 0.5·0.25 > 0, −3 − 0.5·2 < 0.
  const std::vector<T> par{3, 0.25, 2, 5, 6, 7};
  const std::vector<T> grad{2, 0, 5, 1, 1, 1};
  const std::vector<T> update = run<T>(grad, grad, par, 3, 0, s);
  const std::vector<T> newpar_h0{-1, 0.25, -3};
  for (int u = 0; u < 3; ++u) EXPECT_NEAR(par[u] - update[u], newpar_h0[u], 1e-6) << u;
  for (int u = 3; u < 6; ++u) EXPECT_EQ(update[u], 1) << u;
}

TEST(UpdateCpuEntry, ReturnsOneUpdateOfParsLengthAndDispatchesOnPar) {
  const auto par = torch::ones({5}, torch::kDouble);
  const auto result = vareksgd_getparupdate_cpu(par, par, par, 1.0, 0.5, 0, 0, 0, false, 0);
  ASSERT_EQ(result.size(), 1u);
  EXPECT_TRUE(torch::equal(result[0],
                           torch::tensor({0.5, 0.5, 0.5, 0.5, 0.0}, torch::kDouble)));
  const auto half = torch::ones({4}, torch::kHalf);
  try {
    vareksgd_getparupdate_cpu(half, half, half, 1.0, 0.5, 0, 0, 0, false, 0);
    FAIL() << "no error";
  } catch (const c10::NotImplementedError& e) {
    EXPECT_EQ(e.msg(), "\"vareksgd_getparupdate_cpu_main\" not implemented for 'Half'");
    EXPECT_NE(std::string(e.what()).find("operator() at vareksgdupdate.cpp:118"),
              std::string::npos);
  }
}

// Reachable from native code only: the dispatcher routes a meta tensor to no kernel.
TEST(UpdateCpuEntry, TensorsOnAnotherDeviceAreRefused) {
  const auto v = torch::ones({4});
  const auto meta = torch::ones({4}, torch::TensorOptions().device(torch::kMeta));
  const std::string prefix = "ptvareksgdfree::getparupdate: expected all tensors on one device, ";
  const std::vector<std::pair<std::vector<at::Tensor>, std::string>> cases{
      {{meta, v, v}, "but par is on cpu and grad is on meta"},
      {{v, meta, v}, "but par is on cpu and moments is on meta"},
      {{v, v, meta}, "but par is on meta and grad is on cpu"},
  };
  for (const auto& [t, message] : cases) {
    try {
      vareksgd_getparupdate_cpu(t[0], t[1], t[2], 1.0, 0.5, 0, 0, 0, false, 0);
      ADD_FAILURE() << "no error: " << message;
    } catch (const c10::Error& e) {
      EXPECT_EQ(e.msg(), prefix + message);
    }
  }
}

}  // namespace
