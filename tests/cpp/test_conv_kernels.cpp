// The convolution layer's kernels that no operator launches (channels-last
// sequence, NCHW building blocks, fused kernels, gradient building blocks and
// one-launch gradients), launched through cudaLaunchKernel as a native caller
// would, against the reference in float64 with the filter applied unflipped;
// and the row-chunk kernels of the operators.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "paraconv2d/osparaconv2dauxkernels.h"
#include "paraconv2d/paraconv2dfusedkernels.h"
#include "paraconv2d/paraconv2dgradauxkernels.h"
#include "paraconv2d/paraconv2dgradfusedkernels.h"
#include "paraconv2d/paraconv2dgradkernels.h"
#include "tests/cpp/host_launch.h"
#include "tests/cpp/plain_workers.h"
#include "tests/cpp/test_values.h"

namespace {

// Output arrays carry a tail of sentinels that no kernel may touch; the
// elements themselves start as NaN where a kernel must write them all.
constexpr size_t kTail = 8;
constexpr double kSentinel = 12345;

template <typename T>
std::vector<T> buffer(size_t count, T fill = std::numeric_limits<T>::quiet_NaN()) {
  std::vector<T> v(count + kTail, T(kSentinel));
  std::fill(v.begin(), v.begin() + count, fill);
  return v;
}

template <typename T>
void expect_tail_untouched(const std::vector<T>& v, const std::string& what) {
  for (size_t i = v.size() - kTail; i < v.size(); ++i) ASSERT_EQ(v[i], T(kSentinel)) << what << i;
}

template <typename T>
std::vector<double> wide(const std::vector<T>& v) {
  return std::vector<double>(v.begin(), v.end());
}

// Random input and parameters of a layer in its layout, and their blocks (h0, h, p, p0).
template <typename T>
struct Layer {
  plain::Conv g;
  std::vector<T> input = random_values<T>(g.inputs(), 1),
                 parameters = random_values<T>(g.length(), 2);
  varekpt::ParameterBlocks<const T> w =
      varekpt::parameter_blocks<const T>(parameters.data(), g.units, g.d());
};

// hsum and output against the reference, and their tails untouched.
template <typename T>
void expect_results(const Layer<T>& L, double factor, const std::vector<T>& hsum,
                    const std::vector<T>& output) {
  std::vector<double> hs(L.g.outputs()), out(L.g.outputs());
  plain::forward(L.g, wide(L.input).data(), wide(L.parameters).data(), factor, out.data(),
                 hs.data());
  const double eps = (std::is_same<T, float>::value ? 4e-6 : 1e-14) * std::max(L.g.d(), 1);
  expect_close(hs, hsum, "hsum", hs.size(), eps);
  expect_close(out, output, "output", out.size(), eps);
  expect_tail_untouched(hsum, "hsum");
  expect_tail_untouched(output, "output");
}

// A copy of `values` that ends where an inaccessible page begins, so that a
// kernel that reads past it faults instead of reading stray memory.
template <typename T>
std::shared_ptr<const T> fenced(const std::vector<T>& values) {
  const size_t page = sysconf(_SC_PAGESIZE), bytes = values.size() * sizeof(T);
  const size_t span = (bytes + page - 1) / page * page + page;
  char* base = static_cast<char*>(
      mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  EXPECT_EQ(mprotect(base + span - page, page, PROT_NONE), 0);
  T* data = reinterpret_cast<T*>(base + span - page - bytes);
  std::memcpy(data, values.data(), bytes);
  return std::shared_ptr<const T>(data, [=](const T*) { munmap(base, span); });
}

FLOAT_AND_DOUBLE_TEST_SUITE(ConvKernels);

// N, C, H, W, units, kh, kw, sh, sw, dh, dw: a layer of the kernels' layout.
using Sizes = std::array<int, 11>;
plain::Conv geometry(const Sizes& a, bool last) {
  return {a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], false, last};
}
const Sizes kGeometries[] = {
    {2, 3, 9, 11, 3, 3, 3, 1, 1, 1, 1},   // C and units not multiples of the chunk
    {1, 5, 12, 13, 4, 3, 5, 2, 3, 2, 1},  // strides and dilations differ per direction
    {2, 4, 5, 6, 5, 1, 1, 2, 1, 1, 1},    // 1×1 taps with a stride
    {1, 2, 8, 9, 2, 2, 4, 1, 2, 1, 1},    // even kernel sizes
    {2, 3, 11, 9, 3, 3, 3, 1, 2, 2, 1},   // strides that differ from the dilations
};

// For each geometry, in channels-last layout: the sequence Init, Hsum, Psq,
// Output, then the fused kernel with fewer threads than channels and more;
// all over grids and blocks beyond the bounds (one more sample, row and
// column; one more thread than the chunks need; taps past kh and kw). Then
// GetPsq3 with any block size: fewer threads than squares, d, more.
TYPED_TEST(ConvKernels, ForwardSequences) {
  using T = TypeParam;
  const T factor = T(-0.75);
  const int chunk = 2;
  in_each_schedule([&] {
    for (const auto& a : kGeometries) {
      const Layer<T> L{geometry(a, true)};
      const plain::Conv& g = L.g;
      SCOPED_TRACE(::testing::Message() << "C " << g.C << " kh " << g.kh << " kw " << g.kw);
      const int outH = g.outH(), outW = g.outW();
      auto hsum = buffer<T>(g.outputs()), output = buffer<T>(g.outputs());
      const dim3 grid(g.N + 1, outH + 1, outW + 1), over_units((g.units + chunk - 1) / chunk + 1);
      const dim3 over_taps((g.C + chunk - 1) / chunk + 1, g.kh + 1, g.kw + 1);
      launch_ok(ParaConv2DInitCudaKernel<T>, grid, over_units, 0, L.w.h0, L.w.p0, g.N, outH, outW,
                g.units, chunk, hsum.data(), output.data());
      launch_ok(ParaConv2DHsumCudaKernel<T>, grid, over_taps, 0, L.input.data(), L.w.h, g.kh, g.kw,
                g.sh, g.sw, g.dh, g.dw, g.N, g.H, g.W, g.C, g.units, outH, outW, chunk,
                hsum.data());
      launch_ok(ParaConv2DPsqCudaKernel<T>, grid, over_taps, 0, L.input.data(), L.w.p, g.kh, g.kw,
                g.sh, g.sw, g.dh, g.dw, g.N, g.H, g.W, g.C, g.units, outH, outW, chunk,
                output.data());
      launch_ok(ParaConv2DOutputCudaKernel<T>, grid, over_units, 0, factor, g.N, outH, outW,
                g.units, chunk, hsum.data(), output.data());
      expect_results(L, factor, hsum, output);
      for (int B : {1, 3, 32}) {
        hsum = output = buffer<T>(g.outputs());
        launch_ok(ParaConv2DFusedCudaKernel<T>, dim3(g.N + 1, outH * outW + outW, g.units + 1), B,
                  2 * B * sizeof(T), factor, L.input.data(), L.w.h, L.w.h0, L.w.p, L.w.p0, g.kh,
                  g.kw, g.sh, g.sw, g.dh, g.dw, g.N, g.H, g.W, g.C, g.units, outH, outW, 0,
                  hsum.data(), output.data());
        expect_results(L, factor, hsum, output);
      }
    }
    const int units = 3;
    for (int d : {1, 147, 1500}) {
      const auto p = random_values<T>(size_t(units) * d, 3), p0 = random_values<T>(units, 4);
      for (int B : {1, 3, std::min(d, 1024), 1024}) {
        SCOPED_TRACE(::testing::Message() << "d " << d << " threads " << B);
        auto psq3 = buffer<T>(units);
        launch_ok(ParaConv2DGetPsq3<T>, units + 2, B, B * sizeof(T), p.data(), p0.data(), units, d,
                  psq3.data());
        for (int u = 0; u < units; ++u) {
          double expected = double(p0[u]) * p0[u];
          for (int k = 0; k < d; ++k) expected += double(p[u * d + k]) * p[u * d + k];
          EXPECT_NEAR(psq3[u], expected, expected * (sizeof(T) == 4 ? 1e-5 : 1e-13)) << u;
        }
        expect_tail_untouched(psq3, "psq3");
      }
    }
  });
}

// The NCHW fused kernel (and on 7×7×3 data its templated twin, bit for bit
// when threads run in a fixed order) over one more sample, more units and
// tiles than there are, with input and parameters ending at an inaccessible
// page: a scan past the image, or a block that read a unit that does not
// exist, would fault. Tile sides or strides of 0 make the kernels return
// without writing, as does the channels-last kernel without output columns.
TYPED_TEST(ConvKernels, FusedNCHW) {
  using T = TypeParam;
  const T factor = T(-1.25);
  const struct {
    Sizes g;
    int tileH, tileW, extra_threads, extra_out;
  } cases[] = {
      {kGeometries[0], 4, 5, 0, 0},                     // tiles that do not divide 7 × 9
      {kGeometries[1], 3, 2, 3, 0},                     // strides 2 and 3, dilation 2
      {{2, 3, 6, 7, 4, 1, 1, 1, 1, 1, 1}, 4, 4, 0, 0},  // 1×1: one thread per accumulator
      {kGeometries[2], 2, 3, 1, 0},                     // 1×1 with a stride
      {kGeometries[3], 5, 3, 0, 0},                     // even kernel sizes
      {{1, 2, 7, 8, 2, 3, 3, 2, 2, 1, 1}, 2, 2, 4, 1},  // outputs whose windows leave the image
      {{2, 3, 12, 13, 2, 7, 7, 1, 2, 1, 1}, 4, 3, 0, 0},
      {{1, 3, 20, 19, 3, 7, 7, 2, 1, 2, 2}, 3, 5, 2, 0},
  };
  in_each_schedule([&] {
    for (const auto& k : cases) {
      Layer<T> L{geometry(k.g, false)};
      L.g.extra = k.extra_out;
      const plain::Conv& g = L.g;
      SCOPED_TRACE(::testing::Message() << "kh " << g.kh << " tile " << k.tileH << "x" << k.tileW);
      const auto input = fenced(L.input), parameters = fenced(L.parameters);
      const auto w = varekpt::parameter_blocks(parameters.get(), g.units, g.d());
      const int outH = g.outH(), outW = g.outW();
      const int tiles = ((outH + k.tileH - 1) / k.tileH) * ((outW + k.tileW - 1) / k.tileW);
      const int B = std::max((k.tileH - 1) * g.sh + (g.kh - 1) * g.dh + 1,
                             (k.tileW - 1) * g.sw + (g.kw - 1) * g.dw + 1) +
                    k.extra_threads;
      const dim3 grid(g.N + 1, g.units + 3, tiles + 5);
      const size_t shared = (2 * k.tileH * k.tileW + 2 * g.d()) * sizeof(T);
      auto hsum = buffer<T>(g.outputs()), output = buffer<T>(g.outputs());
      launch_ok(ParaConv2DFusedCudaKernelNCHW<T>, grid, B, shared, k.tileH, k.tileW, factor,
                input.get(), w.h, w.h0, w.p, w.p0, g.kh, g.kw, g.sh, g.sw, g.dh, g.dw, g.N, g.H,
                g.W, g.C, g.units, outH, outW, hsum.data(), output.data());
      expect_results(L, factor, hsum, output);
      if (g.kh != 7 || g.C != 3) continue;
      auto hsum7 = buffer<T>(g.outputs()), output7 = buffer<T>(g.outputs());
      launch_ok(ParaConv2DFusedCudaKernelNCHWtemplated<T, 7, 7, 3>, grid, B, shared, k.tileH,
                k.tileW, factor, input.get(), w.h, w.h0, w.p, w.p0, g.sh, g.sw, g.dh, g.dw, g.N,
                g.H, g.W, g.units, outH, outW, hsum7.data(), output7.data());
      expect_results(L, factor, hsum7, output7);
      if (hostcuda::workers() == 1) EXPECT_TRUE(hsum7 == hsum && output7 == output);
    }
  });
  const Layer<T> L{geometry(kGeometries[0], false)};
  const plain::Conv& g = L.g;
  auto hsum = buffer<T>(g.outputs(), T(kSentinel)), output = buffer<T>(g.outputs(), T(kSentinel));
  const dim3 grid(g.N, g.units, 64);
  for (const auto [tileH, tileW, sh, sw] :
       {std::array<int, 4>{0, 2, 1, 1}, {2, 0, 1, 1}, {2, 2, 0, 1}, {2, 2, 1, 0}}) {
    launch_ok(ParaConv2DFusedCudaKernelNCHW<T>, grid, 16, (8 + 2 * g.d()) * sizeof(T), tileH, tileW,
              T(1), L.input.data(), L.w.h, L.w.h0, L.w.p, L.w.p0, g.kh, g.kw, sh, sw, g.dh, g.dw,
              g.N, g.H, g.W, g.C, g.units, g.outH(), g.outW(), hsum.data(), output.data());
    launch_ok(ParaConv2DFusedCudaKernelNCHWtemplated<T, 7, 7, 3>, grid, 16,
              (8 + 2 * 147) * sizeof(T), tileH, tileW, T(1), L.input.data(), L.w.h, L.w.h0, L.w.p,
              L.w.p0, sh, sw, g.dh, g.dw, g.N, g.H, g.W, g.units, g.outH(), g.outW(), hsum.data(),
              output.data());
  }
  launch_ok(ParaConv2DFusedCudaKernel<T>, dim3(g.N, g.outH() * g.outW(), g.units), 4, 8 * sizeof(T),
            T(1), L.input.data(), L.w.h, L.w.h0, L.w.p, L.w.p0, g.kh, g.kw, g.sh, g.sw, g.dh, g.dw,
            g.N, g.H, g.W, g.C, g.units, g.outH(), 0, 0, hsum.data(), output.data());
  for (const auto* v : {&hsum, &output})
    EXPECT_TRUE(std::all_of(v->begin(), v->end(), [](T x) { return x == T(kSentinel); }));
}

// Each reduction over blocks of 1 to 1024 threads: every unit gets the sum of
// its own elements, blocks past the units and blocks of the total other than
// the first write nothing, and an empty batch sums to 0.
TYPED_TEST(ConvKernels, ReductionsSumEveryElementOnce) {
  using T = TypeParam;
  const int units = 4, outH = 5, outW = 7;
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
      in_each_schedule([&] {
        auto a = buffer<T>(units), b = buffer<T>(units), c = buffer<T>(1);
        launch_ok(ParaConv2DGetdeltasumNCHWKernel<T>, units + 2, threads, threads * sizeof(T),
                  values.data(), N, units, outH, outW, a.data());
        launch_ok(ParaConv2DGetdeltasumNHWCKernel<T>, units + 2, threads, threads * sizeof(T),
                  values.data(), N, outH, outW, units, b.data());
        launch_ok(ParaConv2DGettotaldeltasumKernel<T>, 3, threads, threads * sizeof(T),
                  values.data(), int(values.size()), c.data());
        expect_close(nchw, a, "per-unit sum, channels first", units, 5e-5);
        expect_close(nhwc, b, "per-unit sum, channels last", units, 5e-5);
        expect_close(total, c, "total", 1, 5e-5);
        for (const auto* v : {&a, &b, &c}) expect_tail_untouched(*v, "sums");
      });
    }
  }
}

// The element-wise kernels on grids and blocks larger than their extents:
// each element of the extent gets exactly its update in T, the element past
// it is untouched (the forward's NCHW building blocks among them). The two
// layouts of a pair share their arithmetic on the flat index (sizes A, B, R,
// S in the array's own order); the completion's scalar is read from the
// first element of its array only. The operators'
// row-chunk kernels on 2 rows of 5 elements, 2 per thread, in a grid of 32
// rows set, double, and double and scale exactly those 10 elements.
TYPED_TEST(ConvKernels, ElementwiseKernelsUpdateTheirExtentOnly) {
  using T = TypeParam;
  const int A = 2, B = 3, R = 4, S = 5, all = A * B * R * S, rows = 3, cols = 7, n = 10;
  const auto a = random_values<T>(all, 2), b = random_values<T>(all, 3);
  const T scalar[] = {T(0.375), std::numeric_limits<T>::quiet_NaN()};
  const auto check = [](const char* name, int count, const std::function<void(T*)>& run,
                        const std::function<T(int, T)>& expect) {
    auto out = random_values<T>(count + 1, 4);
    const auto before = out;
    run(out.data());
    for (int i = 0; i < count; ++i) ASSERT_EQ(out[i], expect(i, before[i])) << name << " " << i;
    EXPECT_EQ(out[count], before[count]) << name;
  };
  const dim3 grid(A + 1, B + 1);
  const auto plane = [&](int i) { return i / (R * S) % B; };  // u or c of NCHW element i
// Launches kernel(args) with o for the output, then expects `value` of
// element i, which held `was`; failures name the launch.
#define EXPECT_LAUNCH(count, value, ...)                          \
  check(                                                          \
      #__VA_ARGS__, count, [&](T* o) { launch_ok(__VA_ARGS__); }, \
      [&](int i, T was) { return value; })
  for (auto kernel : {ParaConv2DGetdeltahsumNCHWKernel<T>, ParaConv2DGetdeltahsumNHWCKernel<T>})
    EXPECT_LAUNCH(all, a[i] * b[i], kernel, grid, 5, 0, a.data(), b.data(), A, B, R, S, o);
  for (auto kernel :
       {ParaConv2DCompleteinputgradNCHWKernel<T>, ParaConv2DCompleteinputgradNHWCKernel<T>})
    EXPECT_LAUNCH(all, was - scalar[0] * a[i], kernel, grid, 5, 0, scalar, a.data(), A, B, R, S, o);
  EXPECT_LAUNCH(rows * cols, was - a[i / cols] * b[i], ParaConv2DCompletepgradKernel<T>, rows + 2,
                3, 0, a.data(), b.data(), rows, cols, o);
  EXPECT_LAUNCH(n, was - a[i] * b[i], ParaConv2DGetp0gradKernel<T>, 4, 3, 0, a.data(), b.data(), n,
                o);
  EXPECT_LAUNCH(n, was * 2, ParaConv2DGetgradx2factorKernel<T>, 4, 3, 0, o, 2, n);
  for (int k : {0, -5})
    EXPECT_LAUNCH(rows * cols, k == 0 ? was + T(double(T(5)) * 1e-7) : was,
                  ParaConv2DGradFinalizeKernel<T>, rows + 2, 4, 0, k, rows, cols, o);
  EXPECT_LAUNCH(all, b[plane(i)] + a[i], ParaConv2DGetHsumNCHW<T>, grid, 5, 0, a.data(), b.data(),
                A, B, R, S, o);
  EXPECT_LAUNCH(all, T(std::fma(a[i], a[i], b[i] + b[i])), ParaConv2DInitOutputNCHW<T>, grid, 5, 0,
                a.data(), b.data(), A, B, R, S, o);
  EXPECT_LAUNCH(all, was - b[plane(i)], ParaConv2DApplyPsq3<T>, grid, 5, 0, b.data(), A, B, R, S,
                o);
  EXPECT_LAUNCH(all, (was - a[i]) * T(0.5), ParaConv2DApplyPsq1<T>, grid, 5, 0, a.data(), T(0.5), A,
                B, R, S, o);
  EXPECT_LAUNCH(all, a[i] * a[i], ParaConv2DGetInputsq<T>, grid, 5, 0, a.data(), A, B, R, S, o);
  EXPECT_LAUNCH(B * 9, T(1), ParaConv2DGetUnitfilter<T>, B + 2, 4, 0, B, 3, 3, 1, o);
  EXPECT_LAUNCH(10, T(0), ParaConv2DGradZeroTensorCudaKernel<T>, 32, 3, 0, 2, 5, 2, o);
  EXPECT_LAUNCH(10, was + was, ParaConv2DGrad2TensorCudaKernel<T>, 32, 3, 0, 2, 5, 2, o);
  EXPECT_LAUNCH(10, (was + was) * T(-0.35), ParaConv2DGrad2FactorTensorCudaKernel<T>, 32, 3, 0,
                T(-0.35), 2, 5, 2, o);
#undef EXPECT_LAUNCH
}

// Data of one geometry in a layout, and the reference's gradients at factor
// 0.5 (2·factor = 1): the undoubled input gradient and the plain sums.
template <typename T>
struct Gradients {
  Layer<T> L;
  std::vector<T> grad = random_values<T>(L.g.outputs(), 10),
                 hsum = random_values<T>(L.g.outputs(), 11);
  std::vector<double> grad_input = std::vector<double>(L.g.inputs()),
                      sums = std::vector<double>(L.g.length());
  explicit Gradients(const plain::Conv& g) : L{g} {
    plain::backward(g, wide(grad).data(), wide(L.input).data(), wide(L.parameters).data(),
                    wide(hsum).data(), 0.5, grad_input.data(), sums.data());
  }
};

// The fused parameter gradients over grids of outH·W and of H·W rows
// (positions past the output skipped), with blocks of exactly the taps and
// larger (the per-unit terms still added once per block) and fewer threads
// along x than channels. The channels-last input gradient (doubled) with
// exactly enough threads and blocks, and with more threads than units and a
// grid past (N, outH, outW); the channels-first one (not doubled). Kernel
// sizes, strides and dilations differ by direction.
TYPED_TEST(ConvKernels, OneLaunchGradientsMatchTheReference) {
  using T = TypeParam;
  const T factor = T(-0.35);
  const int kernels[][6] = {{3, 3, 1, 1, 1, 1},
                            {3, 1, 2, 1, 1, 2},
                            {1, 5, 1, 2, 1, 1},
                            {3, 5, 2, 1, 2, 1},
                            {1, 1, 1, 1, 1, 1}};
  for (const auto& k : kernels) {
    const int kh = k[0], kw = k[1], sh = k[2], sw = k[3], dh = k[4], dw = k[5];
    SCOPED_TRACE(::testing::Message() << "kernel " << kh << "x" << kw);
    const Gradients<T> last(geometry({2, 3, 7, 8, 5, kh, kw, sh, sw, dh, dw}, true));
    const Gradients<T> first(geometry({2, 3, 7, 8, 5, kh, kw, sh, sw, dh, dw}, false));
    const plain::Conv& g = last.L.g;
    std::vector<double> doubled = last.grad_input, scaled = last.sums;
    for (double& v : doubled) v += v;
    for (double& v : scaled) v *= 2 * double(factor);
    in_each_schedule([&] {
      for (const auto& [rows, block] :
           {std::pair{g.outH(), dim3(2, kh, kw)}, {g.H, dim3(2, kh + 1, kw + 2)}}) {
        std::vector<T> gp(g.length());
        const auto w = varekpt::parameter_blocks(gp.data(), g.units, g.d());
        launch_ok(ParaConv2DGradParametersFusedKernel<T>, dim3(g.N, rows * g.W, g.units), block, 0,
                  factor, last.grad.data(), last.hsum.data(), last.L.input.data(), last.L.w.p,
                  last.L.w.p0, kh, kw, sh, sw, dh, dw, g.N, g.H, g.W, g.C, g.units, g.outH(),
                  g.outW(), 0, w.h, w.h0, w.p, w.p0);
        expect_close(scaled, gp, "parameter gradients", -1, 5e-5);
      }
      for (const auto& [grid, block, chunk] :
           {std::tuple{dim3(g.N, g.outH(), g.outW()), dim3(g.units, kh, kw), 1},
            {dim3(g.N + 1, g.outH() + 2, g.outW() + 1), dim3(2, kh + 1, kw), 4}}) {
        std::vector<T> grad_input(g.inputs());
        launch_ok(ParaConv2DGradInputKernel<T>, grid, block, 0, last.grad.data(), last.hsum.data(),
                  last.L.w.h, last.L.w.p, last.L.input.data(), kh, kw, sh, sw, dh, dw, g.N, g.H,
                  g.W, g.C, g.units, g.outH(), g.outW(), chunk, grad_input.data());
        expect_close(doubled, grad_input, "channels last", -1, 5e-5);
      }
      std::vector<T> grad_input(g.inputs());
      launch_ok(ParaConv2DGradInputKernelNCHW<T>, dim3(g.N, g.C, g.outH()), dim3(g.outW(), g.units),
                0, first.grad.data(), first.hsum.data(), first.L.w.h, first.L.w.p,
                first.L.input.data(), kh, kw, sh, sw, dh, dw, g.N, g.H, g.W, g.C, g.units, g.outH(),
                g.outW(), 0, grad_input.data());
      expect_close(first.grad_input, grad_input, "channels first", -1, 5e-5);
    });
  }
}

}  // namespace
