// Convolution gradient building blocks and one-launch gradient kernels, run on
// the host execution layer and launched by address as a native caller would.
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "common/hostcuda/hostcuda.h"
#include "paraconv2d/paraconv2d.h"
#include "paraconv2d/paraconv2dgradauxkernels.h"
#include "paraconv2d/paraconv2dgradfusedkernels.h"
#include "tests/cpp/test_launch.h"
#include "tests/cpp/test_schedule.h"
#include "tests/cpp/test_values.h"

namespace {

// A launch through cudaLaunchKernel that must succeed.
template <typename... Params, typename... Args>
void launch_ok(void (*kernel)(Params...), dim3 grid, dim3 block, size_t shared, Args... args) {
  ASSERT_EQ(launch(kernel, grid, block, shared, args...), cudaSuccess);
}

template <typename T>
const double tolerance = std::is_same<T, float>::value ? 5e-5 : 1e-12;

template <typename T>
void expect_near(const std::vector<double>& expected, const std::vector<T>& actual,
                 const std::string& what) {
  ASSERT_EQ(expected.size(), actual.size()) << what;
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_NEAR(expected[i], actual[i], tolerance<T> * (1 + std::abs(expected[i])))
        << what << " element " << i;
  }
}

// The first `count` elements of v; the rest must still hold `sentinel`.
template <typename T>
std::vector<T> head(std::vector<T> v, size_t count, T sentinel) {
  for (size_t i = count; i < v.size(); ++i) EXPECT_EQ(v[i], sentinel) << "element " << i;
  v.resize(count);
  return v;
}

// [A][B][R][S] rearranged as [A][R][S][B]: NCHW to NHWC, and filter rows
// [units][C][kh][kw] to [units][kh][kw][C].
template <typename T>
std::vector<T> channels_last(const std::vector<T>& a, int A, int B, int R, int S) {
  std::vector<T> out(a.size());
  for (int x = 0; x < A; ++x)
    for (int b = 0; b < B; ++b)
      for (int rs = 0; rs < R * S; ++rs)
        out[(x * R * S + rs) * B + b] = a[(x * B + b) * R * S + rs];
  return out;
}

// Every accumulating test runs in each schedule of the host layer.
template <typename T>
class ConvGradAux : public HostScheduleTest {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ConvGradAux, ElementTypes);

// Each reduction over blocks of 1 to 1024 threads: every unit gets the sum of
// its own elements, blocks past the units and blocks of the total other than
// the first write nothing, and an empty batch sums to 0.
TYPED_TEST(ConvGradAux, ReductionsSumEveryElementOnce) {
  using T = TypeParam;
  const int units = 4, outH = 5, outW = 7;
  const T sentinel = 7;
  for (int N : {3, 0}) {
    const auto values = random_values<T>(size_t(N) * units * outH * outW, 1);
    std::vector<double> nchw(units), nhwc(units), total(1);
    for (size_t k = 0; k < values.size(); ++k) {
      nchw[k / (outH * outW) % units] += values[k];
      nhwc[k % units] += values[k];
      total[0] += values[k];
    }
    for (unsigned threads : {1, 3, 6, 1000, 1024}) {
      SCOPED_TRACE(::testing::Message() << "N " << N << ", " << threads << " threads");
      const size_t shared = threads * sizeof(T);
      in_each_schedule([&] {
        std::vector<T> a(units + 2, sentinel), b(units + 2, sentinel), c(2, sentinel);
        launch_ok(ParaConv2DGetdeltasumNCHWKernel<T>, units + 2, threads, shared, values.data(), N,
                  units, outH, outW, a.data());
        launch_ok(ParaConv2DGetdeltasumNHWCKernel<T>, units + 2, threads, shared, values.data(), N,
                  outH, outW, units, b.data());
        launch_ok(ParaConv2DGettotaldeltasumKernel<T>, 3, threads, shared, values.data(),
                  int(values.size()), c.data());
        expect_near(nchw, head(a, units, sentinel), "per-unit sum, channels first");
        expect_near(nhwc, head(b, units, sentinel), "per-unit sum, channels last");
        expect_near(total, head(c, 1, sentinel), "total");
      });
    }
  }
}

// The element-wise kernels on grids and blocks larger than their extents:
// each element of the extent gets exactly its update in T, the element past
// it is untouched. The two layouts of a pair share their arithmetic on the
// flat index (sizes A, B, R, S in the array's own order). The completion's
// scalar is read from the first element of its array only.
TYPED_TEST(ConvGradAux, ElementwiseKernelsUpdateTheirExtentOnly) {
  using T = TypeParam;
  const int A = 2, B = 3, R = 4, S = 5, all = A * B * R * S, rows = 3, cols = 7, n = 10;
  const auto a = random_values<T>(all, 2), b = random_values<T>(all, 3);
  const T scalar[] = {T(0.375), std::numeric_limits<T>::quiet_NaN()};
  const T increment = T(double(T(5)) * 1e-7);
  const auto check = [](const char* name, int count, const std::function<void(T*)>& run,
                        const std::function<T(int, T)>& expect) {
    auto out = random_values<T>(count + 1, 4);
    const auto before = out;
    run(out.data());
    for (int i = 0; i < count; ++i) ASSERT_EQ(out[i], expect(i, before[i])) << name << " " << i;
    EXPECT_EQ(out[count], before[count]) << name;
  };
  const dim3 grid(A + 1, B + 1);
  for (auto kernel : {ParaConv2DGetdeltahsumNCHWKernel<T>, ParaConv2DGetdeltahsumNHWCKernel<T>}) {
    check(
        "product", all,
        [&](T* o) { launch_ok(kernel, grid, 5, 0, a.data(), b.data(), A, B, R, S, o); },
        [&](int i, T) { return a[i] * b[i]; });
  }
  for (auto kernel :
       {ParaConv2DCompleteinputgradNCHWKernel<T>, ParaConv2DCompleteinputgradNHWCKernel<T>}) {
    check(
        "complete input", all,
        [&](T* o) { launch_ok(kernel, grid, 5, 0, scalar, a.data(), A, B, R, S, o); },
        [&](int i, T was) { return was - scalar[0] * a[i]; });
  }
  check(
      "complete p", rows * cols,
      [&](T* o) {
        launch_ok(ParaConv2DCompletepgradKernel<T>, rows + 2, 3, 0, a.data(), b.data(), rows, cols,
                  o);
      },
      [&](int i, T was) { return was - a[i / cols] * b[i]; });
  check(
      "p0", n,
      [&](T* o) { launch_ok(ParaConv2DGetp0gradKernel<T>, 4, 3, 0, a.data(), b.data(), n, o); },
      [&](int i, T was) { return was - a[i] * b[i]; });
  check(
      "scale", n, [&](T* o) { launch_ok(ParaConv2DGetgradx2factorKernel<T>, 4, 3, 0, o, 2, n); },
      [&](int, T was) { return was * 2; });
  for (int k : {0, -5}) {
    check(
        "finalize", rows * cols,
        [&](T* o) { launch_ok(ParaConv2DGradFinalizeKernel<T>, rows + 2, 4, 0, k, rows, cols, o); },
        [&](int, T was) { return k == 0 ? was + increment : was; });
  }
}

// Chained as a caller would, in both layouts, the building blocks give the
// CPU backward's grad_h0 and grad_p0 (which do not depend on the tap rule).
TYPED_TEST(ConvGradAux, ChainedBlocksGiveTheCpuGradients) {
  using T = TypeParam;
  const int N = 2, C = 2, H = 6, W = 7, kh = 3, kw = 1, sh = 1, sw = 2, dh = 2, dw = 1, units = 3;
  const int outH = (H - dh * (kh - 1) - 1) / sh + 1, outW = (W - dw * (kw - 1) - 1) / sw + 1;
  const int d = C * kh * kw, L = 2 * units * (d + 1), outputs = N * units * outH * outW;
  const double factor = 0.7;
  const auto input = random_values<T>(N * C * H * W, 5), parameters = random_values<T>(L, 6),
             grad = random_values<T>(outputs, 7), hsum = random_values<T>(outputs, 8);
  std::vector<T> grad_input(input.size()), expected(L);
  paraconv2d_backward_cpu_main<T>(grad.data(), input.data(), parameters.data(), hsum.data(), factor,
                                  kh, kw, sh, sw, dh, dw, N, C, H, W, units, outH, outW,
                                  grad_input.data(), expected.data(), true);
  const std::vector<double> grad_h0_cpu(expected.begin(), expected.begin() + units),
      grad_p0_cpu(expected.end() - units, expected.end());
  const T scale = T(factor) + T(factor);
  const size_t shared = 64 * sizeof(T);

  for (bool last : {false, true}) {
    SCOPED_TRACE(last ? "channels last" : "channels first");
    const auto g = last ? channels_last(grad, N, units, outH, outW) : grad;
    const auto hs = last ? channels_last(hsum, N, units, outH, outW) : hsum;
    const auto product =
        last ? ParaConv2DGetdeltahsumNHWCKernel<T> : ParaConv2DGetdeltahsumNCHWKernel<T>;
    const auto sum = last ? ParaConv2DGetdeltasumNHWCKernel<T> : ParaConv2DGetdeltasumNCHWKernel<T>;
    const std::array<int, 4> dims =
        last ? std::array<int, 4>{N, outH, outW, units} : std::array<int, 4>{N, units, outH, outW};
    in_each_schedule([&] {
      std::vector<T> deltahsum(outputs), deltasum(units), grad_h0(units), grad_p0(units, 0);
      launch_ok(product, dim3(dims[0], dims[1]), 32, 0, g.data(), hs.data(), dims[0], dims[1],
                dims[2], dims[3], deltahsum.data());
      launch_ok(sum, units, 64, shared, deltahsum.data(), dims[0], dims[1], dims[2], dims[3],
                grad_h0.data());
      launch_ok(sum, units, 64, shared, g.data(), dims[0], dims[1], dims[2], dims[3],
                deltasum.data());
      launch_ok(ParaConv2DGetp0gradKernel<T>, 1, units, 0, parameters.data() + L - units,
                deltasum.data(), units, grad_p0.data());
      for (T* v : {grad_h0.data(), grad_p0.data()}) {
        launch_ok(ParaConv2DGetgradx2factorKernel<T>, 1, units, 0, v, scale, units);
      }
      expect_near(grad_h0_cpu, grad_h0, "grad_h0");
      expect_near(grad_p0_cpu, grad_p0, "grad_p0");
    });
  }
}

struct Geometry {
  int kh, kw, sh, sw, dh, dw;
};

// Random channels-first data of one geometry, its channels-last copies, and
// float64 results of the kernels' arithmetic (taps unflipped): the parameter
// gradients scaled by 2·factor and the undoubled input gradient.
template <typename T>
struct GradCase {
  static constexpr int N = 2, C = 3, H = 7, W = 8, units = 5;
  static constexpr double factor = -0.35;
  Geometry g;
  int outH = (H - g.dh * (g.kh - 1) - 1) / g.sh + 1, outW = (W - g.dw * (g.kw - 1) - 1) / g.sw + 1;
  int d = C * g.kh * g.kw;
  std::vector<T> input = random_values<T>(N * C * H * W, 9);
  std::vector<T> grad = random_values<T>(N * units * outH * outW, 10);
  std::vector<T> hsum = random_values<T>(grad.size(), 11);
  std::vector<T> h = random_values<T>(units * d, 12), p = random_values<T>(units * d, 13);
  std::vector<T> p0 = random_values<T>(units, 14);
  std::vector<T> input_last = channels_last(input, N, C, H, W);
  std::vector<T> grad_last = channels_last(grad, N, units, outH, outW);
  std::vector<T> hsum_last = channels_last(hsum, N, units, outH, outW);
  std::vector<T> h_last = channels_last(h, units, C, g.kh, g.kw);
  std::vector<T> p_last = channels_last(p, units, C, g.kh, g.kw);
  std::vector<double> grad_input = std::vector<double>(input.size()), grad_h0 = zeros(units),
                      grad_h = zeros(units * d), grad_p = zeros(units * d), grad_p0 = zeros(units);

  static std::vector<double> zeros(int n) { return std::vector<double>(n); }
  explicit GradCase(Geometry geometry) : g(geometry) {
    const double f2 = 2 * factor;
    for (int n = 0; n < N; ++n)
      for (int f = 0; f < units; ++f)
        for (int oh = 0; oh < outH; ++oh)
          for (int ow = 0; ow < outW; ++ow) {
            const int at = ((n * units + f) * outH + oh) * outW + ow;
            const double gr = grad[at], hs = hsum[at];
            grad_h0[f] += f2 * gr * hs;
            grad_p0[f] -= f2 * gr * p0[f];
            for (int c = 0; c < C; ++c)
              for (int i = 0; i < g.kh; ++i)
                for (int j = 0; j < g.kw; ++j) {
                  const int xi =
                      ((n * C + c) * H + oh * g.sh + i * g.dh) * W + ow * g.sw + j * g.dw;
                  const int e = ((f * C + c) * g.kh + i) * g.kw + j;
                  const double x = input[xi];
                  grad_h[e] += f2 * gr * hs * x;
                  grad_p[e] += f2 * gr * (x - p[e]);
                  grad_input[xi] += gr * (hs * h[e] - x + p[e]);
                }
          }
  }
};

// Kernel heights and widths that differ (also in their halves), strides and
// dilations that differ by direction, and 1×1.
const Geometry geometries[] = {{3, 3, 1, 1, 1, 1},
                               {3, 1, 2, 1, 1, 2},
                               {1, 5, 1, 2, 1, 1},
                               {3, 5, 2, 1, 2, 1},
                               {1, 1, 1, 1, 1, 1}};

// The fused kernel over grids of outH·W and of H·W rows (positions past the
// output skipped), with blocks of exactly the taps and larger than them (the
// per-unit terms still added once per block) and fewer threads along x than
// channels. The channels-last input gradient (doubled) with exactly enough
// threads and blocks, and with more threads than units to cover and a grid
// past (N, outH, outW); the channels-first one (not doubled).
TYPED_TEST(ConvGradAux, OneLaunchGradientsMatchReference) {
  using T = TypeParam;
  for (const Geometry& geometry : geometries) {
    const GradCase<T> r(geometry);
    const auto& g = r.g;
    SCOPED_TRACE(::testing::Message() << "kernel " << g.kh << "x" << g.kw);
    std::vector<double> doubled = channels_last(r.grad_input, r.N, r.C, r.H, r.W);
    for (double& v : doubled) v += v;
    const struct {
      int rows;
      dim3 block;
    } fused[] = {{r.outH, dim3(2, g.kh, g.kw)}, {r.H, dim3(2, g.kh + 1, g.kw + 2)}};
    const struct {
      dim3 grid, block;
      int chunk;
    } input[] = {{dim3(r.N, r.outH, r.outW), dim3(r.units, g.kh, g.kw), 1},
                 {dim3(r.N + 1, r.outH + 2, r.outW + 1), dim3(2, g.kh + 1, g.kw), 4}};
    in_each_schedule([&] {
      for (const auto& l : fused) {
        std::vector<T> grad_h(r.units * r.d), grad_h0(r.units), grad_p(r.units * r.d),
            grad_p0(r.units);
        launch_ok(ParaConv2DGradParametersFusedKernel<T>, dim3(r.N, l.rows * r.W, r.units), l.block,
                  0, T(r.factor), r.grad_last.data(), r.hsum_last.data(), r.input_last.data(),
                  r.p_last.data(), r.p0.data(), g.kh, g.kw, g.sh, g.sw, g.dh, g.dw, r.N, r.H, r.W,
                  r.C, r.units, r.outH, r.outW, 0, grad_h.data(), grad_h0.data(), grad_p.data(),
                  grad_p0.data());
        expect_near(r.grad_h0, grad_h0, "grad_h0");
        expect_near(channels_last(r.grad_h, r.units, r.C, g.kh, g.kw), grad_h, "grad_h");
        expect_near(channels_last(r.grad_p, r.units, r.C, g.kh, g.kw), grad_p, "grad_p");
        expect_near(r.grad_p0, grad_p0, "grad_p0");
      }
      for (const auto& l : input) {
        std::vector<T> grad_input(r.input.size());
        launch_ok(ParaConv2DGradInputKernel<T>, l.grid, l.block, 0, r.grad_last.data(),
                  r.hsum_last.data(), r.h_last.data(), r.p_last.data(), r.input_last.data(), g.kh,
                  g.kw, g.sh, g.sw, g.dh, g.dw, r.N, r.H, r.W, r.C, r.units, r.outH, r.outW,
                  l.chunk, grad_input.data());
        expect_near(doubled, grad_input, "channels last");
      }
      std::vector<T> grad_input(r.input.size());
      launch_ok(ParaConv2DGradInputKernelNCHW<T>, dim3(r.N, r.C, r.outH), dim3(r.outW, r.units), 0,
                r.grad.data(), r.hsum.data(), r.h.data(), r.p.data(), r.input.data(), g.kh, g.kw,
                g.sh, g.sw, g.dh, g.dw, r.N, r.H, r.W, r.C, r.units, r.outH, r.outW, 0,
                grad_input.data());
      expect_near(r.grad_input, grad_input, "channels first");
    });
  }
}

}  // namespace
