// The CPU workers give the plain loops' bits on every instruction-set path
// this machine has, on one thread and on several, for sizes that fill no
// whole vector and shapes that split across threads and row chunks.
#include <ATen/Parallel.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "common/cpu/isa.h"
#include "paraboloid/paraboloid.h"
#include "paraconv2d/paraconv2d.h"
#include "tests/cpp/plain_workers.h"
#include "tests/cpp/test_values.h"
#include "update/vareksgdupdate.h"

namespace {

using varekpt::cpu::Isa;

// Runs check(label) on each path the processor supports, and on the AVX-512
// path's layout in portable instructions, at 1, 3 and 8 threads.
void on_every_path(const std::function<void(const std::string&)>& check) {
  const int threads = at::get_num_threads();
  int paths = 0;
  for (Isa isa : {Isa::kPortable, Isa::kPortableWide, Isa::kAvx2, Isa::kAvx512}) {
    if (!varekpt::cpu::force_isa(isa)) continue;
    ++paths;
    for (int n : {1, 3, 8}) {
      at::set_num_threads(n);
      check("path " + std::to_string(static_cast<int>(isa)) + ", " + std::to_string(n) +
            " threads");
    }
  }
  at::set_num_threads(threads);
  varekpt::cpu::force_isa(varekpt::cpu::best_isa());
  EXPECT_GE(paths, 2);
}

// `got` holds `want`'s bits, then `tail` elements of NaN that no worker may touch.
template <typename T>
void expect_same_bits(const std::vector<T>& got, const std::vector<T>& want,
                      const std::string& what, size_t tail = 0) {
  ASSERT_EQ(got.size(), want.size() + tail) << what;
  for (size_t i = 0; i < got.size(); ++i) {
    if (i < want.size() ? std::memcmp(&got[i], &want[i], sizeof(T)) != 0 : !std::isnan(got[i])) {
      ADD_FAILURE() << what << ": element " << i << " is " << got[i];
      return;
    }
  }
}

// Values over several orders of magnitude, so that the order of the terms
// shows in the last bits.
template <typename T>
std::vector<T> spread_values(size_t n, unsigned seed) {
  std::vector<T> v = random_values<T>(n, seed);
  for (size_t i = 0; i < n; ++i) v[i] *= static_cast<T>(1 << (i * 7 % 11));
  return v;
}

FLOAT_AND_DOUBLE_TEST_SUITE(CpuPaths);

// Dense shapes are N × d with H = W = 1; 300 rows make two row chunks.
// Convolution windows per image: 1; 7×9; 5×33 (dilated, strided rows); 10×10
// with a 1×1 kernel; 18×18 = 324, more than one row chunk; 3×3 windows of
// 16389 taps, which the input gradient takes in slices.
const plain::Conv kDense[] = {{1, 1, 1, 1, 1},     {7, 9, 1, 1, 33}, {33, 7, 1, 1, 9},
                              {9, 33, 1, 1, 7},    {5, 0, 1, 1, 3},  {300, 70, 1, 1, 41},
                              {64, 130, 1, 1, 150}};
// N, C, H, W, units, kh, kw, sh, sw, dh, dw
const plain::Conv kConvs[] = {
    {1, 1, 3, 3, 1, 3, 3},    {2, 3, 9, 11, 7, 3, 3},   {3, 2, 13, 41, 9, 3, 5, 2, 1, 1, 2},
    {2, 5, 10, 10, 33, 1, 1}, {3, 6, 20, 20, 20, 3, 3}, {1, 1, 5, 5465, 3, 3, 5463}};

// Outputs arrive full of NaN and come back with the plain loops' bits; the
// two elements past the parameter gradient's blocks stay NaN.
template <typename T>
void check_layer(bool dense, const plain::Conv& g) {
  const T nan = std::numeric_limits<T>::quiet_NaN();
  const auto x = spread_values<T>(g.inputs(), 1), prm = spread_values<T>(g.length(), 2),
             grad = spread_values<T>(g.outputs(), 3);
  std::vector<T> out(g.outputs()), hsum(out.size()), gi(x.size()), gp(g.length());
  plain::forward(g, x.data(), prm.data(), 0.7, out.data(), hsum.data());
  plain::backward(g, grad.data(), x.data(), prm.data(), hsum.data(), 0.7, gi.data(), gp.data());
  on_every_path([&](const std::string& path) {
    const std::string what = (dense ? "dense N " : "conv N ") + std::to_string(g.N) + " C " +
                             std::to_string(g.C) + " units " + std::to_string(g.units) + ", " +
                             path;
    for (bool skip : {false, true}) {
      if (dense && skip) continue;
      std::vector<T> out2(out.size(), nan), hsum2(out.size(), nan), gi2(gi.size(), nan),
          gp2(g.length() + 2, nan);
      if (dense) {
        paraboloid_forward_cpu_main(x.data(), prm.data(), 0.7, g.N, g.C, g.units, out2.data(),
                                    hsum2.data());
        paraboloid_backward_cpu_main(grad.data(), x.data(), prm.data(), hsum.data(), 0.7, g.N, g.C,
                                     g.units, gi2.data(), gp2.data());
      } else {
        paraconv2d_forward_cpu_main(x.data(), prm.data(), 0.7, g.kh, g.kw, g.sh, g.sw, g.dh, g.dw,
                                    g.N, g.C, g.H, g.W, g.units, g.outH(), g.outW(), out2.data(),
                                    hsum2.data());
        paraconv2d_backward_cpu_main(grad.data(), x.data(), prm.data(), hsum.data(), 0.7, g.kh,
                                     g.kw, g.sh, g.sw, g.dh, g.dw, g.N, g.C, g.H, g.W, g.units,
                                     g.outH(), g.outW(), gi2.data(), gp2.data(), skip);
      }
      expect_same_bits(hsum2, hsum, "hsum, " + what);
      expect_same_bits(out2, out, "output, " + what);
      expect_same_bits(gi2, skip ? std::vector<T>(gi.size()) : gi, "grad_input, " + what);
      expect_same_bits(gp2, gp, "grad_parameters, " + what, 2);
    }
  });
}

TYPED_TEST(CpuPaths, LayersMatchPlainLoops) {
  using T = TypeParam;
  for (const plain::Conv& g : kDense) check_layer<T>(true, g);
  for (const plain::Conv& g : kConvs) check_layer<T>(false, g);
}

// The step with plr and dampening set (the rule does not use them). Momentum
// needs m > 0: 0, negative and NaN leave the gradient even with Nesterov;
// 1e-13 counts. A unit decayed to length 0 (zero gradient, hlr·wd = 1) keeps
// its factor 1.
TYPED_TEST(CpuPaths, UpdateMatchesPlainLoop) {
  using T = TypeParam;
  // 300 × 333 makes 200400 parameters, several tasks of the element pass.
  const std::pair<int, int> shapes[] = {{1, 1}, {7, 9}, {33, 7}, {3, 0}, {300, 333}};
  const double nan = std::nan("");
  const std::tuple<double, double, bool, double> steps[] = {
      {0.05, 0, true, 0},      {0.05, 0.9, false, 0},   {0.05, 0.9, true, 0},
      {0.05, 0.9, true, 0.01}, {0.05, 0, false, 0.3},   {0.05, -0.5, true, 0},
      {0.05, nan, true, 0},    {0.05, 1e-13, false, 0}, {1, 0, false, 1}};
  for (const auto& shape : shapes) {
    const int units = shape.first, d = shape.second;
    const int L = 2 * units * (d + 1);
    const auto grad = spread_values<T>(L, 7), moments = spread_values<T>(L, 8),
               par = spread_values<T>(L, 9), zeros = std::vector<T>(L);
    for (const auto& [hlr, m, nesterov, wd] : steps) {
      const T* g = wd == 1 ? zeros.data() : grad.data();
      const auto want =
          plain::update(g, moments.data(), par.data(), units, d, hlr, m, nesterov, wd);
      // Structured bindings are copied: C++17 lambdas cannot capture them.
      on_every_path([&, hlr = hlr, m = m, nesterov = nesterov, wd = wd](const std::string& path) {
        std::vector<T> got(L), scratch(L + 2 * units);
        vareksgd_getparupdate_cpu_main(g, moments.data(), par.data(), units, d, hlr, 7.0, m, 0.75,
                                       nesterov, wd, got.data(), scratch.data());
        expect_same_bits(got, want,
                         "units " + std::to_string(units) + ", d " + std::to_string(d) + ", m " +
                             std::to_string(m) + ", wd " + std::to_string(wd) + ", " + path);
      });
    }
  }
}

}  // namespace
