// The CPU workers give the plain loops' bits on every instruction-set path
// this machine has, on one thread and on several, for sizes that fill no
// whole vector and shapes that split across threads and row chunks.
#include <ATen/Parallel.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
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
// path's layout in portable instructions, at 1, 3 and 8 threads; restores the
// best path and the thread count afterwards.
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

template <typename T>
void expect_same_bits(const std::vector<T>& got, const std::vector<T>& want,
                      const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < got.size(); ++i) {
    if (std::memcmp(&got[i], &want[i], sizeof(T)) != 0) {
      ADD_FAILURE() << what << ": element " << i << " is " << got[i] << ", plain loop " << want[i];
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

template <typename T>
class CpuPaths : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(CpuPaths, ElementTypes);

TYPED_TEST(CpuPaths, DenseLayerMatchesPlainLoops) {
  using T = TypeParam;
  struct Shape {
    int N, d, units;
  };
  // 300 rows span two row chunks of the parameter gradients.
  for (const Shape s : {Shape{1, 1, 1}, Shape{7, 9, 33}, Shape{33, 7, 9}, Shape{9, 33, 7},
                        Shape{5, 0, 3}, Shape{300, 70, 41}, Shape{64, 130, 150}}) {
    const int L = 2 * s.units * (s.d + 1);
    const auto x = spread_values<T>(s.N * s.d, 1), prm = spread_values<T>(L, 2),
               grad = spread_values<T>(s.N * s.units, 3);
    std::vector<T> out(s.N * s.units), hsum(out.size()), gi(s.N * s.d), gp(L);
    plain::dense_forward(x.data(), prm.data(), 0.7, s.N, s.d, s.units, out.data(), hsum.data());
    plain::dense_backward(grad.data(), x.data(), prm.data(), hsum.data(), 0.7, s.N, s.d, s.units,
                          gi.data(), gp.data());
    on_every_path([&](const std::string& path) {
      const std::string what = "N " + std::to_string(s.N) + ", d " + std::to_string(s.d) +
                               ", units " + std::to_string(s.units) + ", " + path;
      std::vector<T> out2(out.size()), hsum2(out.size()), gi2(gi.size()), gp2(L);
      paraboloid_forward_cpu_main(x.data(), prm.data(), 0.7, s.N, s.d, s.units, out2.data(),
                                  hsum2.data());
      paraboloid_backward_cpu_main(grad.data(), x.data(), prm.data(), hsum.data(), 0.7, s.N, s.d,
                                   s.units, gi2.data(), gp2.data());
      expect_same_bits(hsum2, hsum, "hsum, " + what);
      expect_same_bits(out2, out, "output, " + what);
      expect_same_bits(gi2, gi, "grad_input, " + what);
      expect_same_bits(gp2, gp, "grad_parameters, " + what);
    });
  }
}

TYPED_TEST(CpuPaths, ConvolutionLayerMatchesPlainLoops) {
  using T = TypeParam;
  struct Shape {
    int N, C, H, W, units, kh, kw, sh, sw, dh, dw;
  };
  // Windows per image: 1; 7×9; 5×33 (dilated, strided rows); 10×10 with a
  // 1×1 kernel; 18×18 = 324, more than one row chunk; 3×3 windows of 16389
  // taps, which the input gradient takes in slices.
  for (const Shape s :
       {Shape{1, 1, 3, 3, 1, 3, 3, 1, 1, 1, 1}, Shape{2, 3, 9, 11, 7, 3, 3, 1, 1, 1, 1},
        Shape{3, 2, 13, 41, 9, 3, 5, 2, 1, 1, 2}, Shape{2, 5, 10, 10, 33, 1, 1, 1, 1, 1, 1},
        Shape{3, 6, 20, 20, 20, 3, 3, 1, 1, 1, 1}, Shape{1, 1, 5, 5465, 3, 3, 5463, 1, 1, 1, 1}}) {
    const int d = s.C * s.kh * s.kw, L = 2 * s.units * (d + 1);
    const int outH = (s.H - (s.dh * (s.kh - 1) + 1)) / s.sh + 1;
    const int outW = (s.W - (s.dw * (s.kw - 1) + 1)) / s.sw + 1;
    const int outputs = s.N * s.units * outH * outW;
    const auto x = spread_values<T>(s.N * s.C * s.H * s.W, 4), prm = spread_values<T>(L, 5),
               grad = spread_values<T>(outputs, 6);
    std::vector<T> out(outputs), hsum(outputs), gi(x.size()), gp(L);
    plain::conv_forward(x.data(), prm.data(), 0.7, s.kh, s.kw, s.sh, s.sw, s.dh, s.dw, s.N, s.C,
                        s.H, s.W, s.units, outH, outW, out.data(), hsum.data());
    plain::conv_backward(grad.data(), x.data(), prm.data(), hsum.data(), 0.7, s.kh, s.kw, s.sh,
                         s.sw, s.dh, s.dw, s.N, s.C, s.H, s.W, s.units, outH, outW, gi.data(),
                         gp.data(), false);
    on_every_path([&](const std::string& path) {
      const std::string what =
          "outW " + std::to_string(outW) + ", units " + std::to_string(s.units) + ", " + path;
      std::vector<T> out2(outputs), hsum2(outputs), gi2(gi.size()), gp2(L);
      paraconv2d_forward_cpu_main(x.data(), prm.data(), 0.7, s.kh, s.kw, s.sh, s.sw, s.dh, s.dw,
                                  s.N, s.C, s.H, s.W, s.units, outH, outW, out2.data(),
                                  hsum2.data());
      expect_same_bits(hsum2, hsum, "hsum, " + what);
      expect_same_bits(out2, out, "output, " + what);
      for (bool skip : {false, true}) {
        paraconv2d_backward_cpu_main(grad.data(), x.data(), prm.data(), hsum.data(), 0.7, s.kh,
                                     s.kw, s.sh, s.sw, s.dh, s.dw, s.N, s.C, s.H, s.W, s.units,
                                     outH, outW, gi2.data(), gp2.data(), skip);
        expect_same_bits(gi2, skip ? std::vector<T>(gi.size()) : gi, "grad_input, " + what);
        expect_same_bits(gp2, gp, "grad_parameters, " + what);
      }
    });
  }
}

TYPED_TEST(CpuPaths, UpdateMatchesPlainLoop) {
  using T = TypeParam;
  struct Shape {
    int units, d;
  };
  struct Step {
    double momentum;
    bool nesterov;
    double wd;
  };
  // 300 × 333 makes 200400 parameters, several tasks of the element pass.
  for (const Shape s : {Shape{1, 1}, Shape{7, 9}, Shape{33, 7}, Shape{3, 0}, Shape{300, 333}}) {
    const int L = 2 * s.units * (s.d + 1);
    const auto grad = spread_values<T>(L, 7), moments = spread_values<T>(L, 8),
               par = spread_values<T>(L, 9);
    for (const Step step : {Step{0, true, 0}, Step{0.9, false, 0}, Step{0.9, true, 0},
                            Step{0.9, true, 0.01}, Step{0, false, 0.3}}) {
      std::vector<T> want(L), scratch(L + 2 * s.units);
      plain::update(grad.data(), moments.data(), par.data(), s.units, s.d, 0.05, 0.0, step.momentum,
                    0.0, step.nesterov, step.wd, want.data(), scratch.data());
      on_every_path([&](const std::string& path) {
        std::vector<T> got(L), scratch2(scratch.size());
        vareksgd_getparupdate_cpu_main(grad.data(), moments.data(), par.data(), s.units, s.d, 0.05,
                                       0.0, step.momentum, 0.0, step.nesterov, step.wd, got.data(),
                                       scratch2.data());
        expect_same_bits(got, want,
                         "units " + std::to_string(s.units) + ", d " + std::to_string(s.d) +
                             ", momentum " + std::to_string(step.momentum) + ", wd " +
                             std::to_string(step.wd) + ", " + path);
      });
    }
  }
}

}  // namespace
