// The convolution layer's further forward kernels (channels-last sequence,
// NCHW building blocks, fused kernels), launched through cudaLaunchKernel as
// a native caller would, against a float64 reference of the same arithmetic:
// filters applied unflipped, channels last where the kernel says so.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "common/hostcuda/hostcuda.h"
#include "paraconv2d/osparaconv2dauxkernels.h"
#include "paraconv2d/paraconv2dfusedkernels.h"
#include "tests/cpp/test_launch.h"
#include "tests/cpp/test_schedule.h"
#include "tests/cpp/test_values.h"

namespace {

struct Geometry {
  int N, C, H, W, kh, kw, sh, sw, dh, dw, units;
  int outH() const { return (H - dh * (kh - 1) - 1) / sh + 1; }
  int outW() const { return (W - dw * (kw - 1) - 1) / sw + 1; }
  int d() const { return C * kh * kw; }
  int outputs() const { return N * units * outH() * outW(); }
};

enum class Layout { NCHW, NHWC };

// Input and parameter blocks h0 [units], h [units][d], p [units][d], p0 [units].
template <typename T>
struct Layer {
  Geometry g;
  std::vector<T> input, parameters;
  explicit Layer(const Geometry& geometry)
      : g(geometry),
        input(random_values<T>(size_t(g.N) * g.C * g.H * g.W, 1)),
        parameters(random_values<T>(2 * size_t(g.units) * (g.d() + 1), 2)) {}
  const T* h0() const { return parameters.data(); }
  const T* h() const { return h0() + g.units; }
  const T* p() const { return h() + g.units * g.d(); }
  const T* p0() const { return p() + g.units * g.d(); }
};

// Calls term(x, f) for each tap of unit u at output (n, oh, ow) that lies in
// the image, with x the input index and f the index into the unit's filter
// block (h or p).
template <typename Term>
void for_taps(const Geometry& g, Layout layout, int n, int u, int oh, int ow, Term term) {
  for (int c = 0; c < g.C; ++c) {
    for (int i = 0; i < g.kh; ++i) {
      for (int j = 0; j < g.kw; ++j) {
        const int row = oh * g.sh + i * g.dh, col = ow * g.sw + j * g.dw;
        if (row >= g.H || col >= g.W) continue;
        if (layout == Layout::NHWC) {
          term(((n * g.H + row) * g.W + col) * g.C + c, ((u * g.kh + i) * g.kw + j) * g.C + c);
        } else {
          term(((n * g.C + c) * g.H + row) * g.W + col, u * g.d() + (c * g.kh + i) * g.kw + j);
        }
      }
    }
  }
}

// Calls body(n, u, oh, ow, e) for every output element e.
template <typename Body>
void for_outputs(const Geometry& g, Layout layout, int outH, int outW, Body body) {
  for (int n = 0; n < g.N; ++n) {
    for (int u = 0; u < g.units; ++u) {
      for (int oh = 0; oh < outH; ++oh) {
        for (int ow = 0; ow < outW; ++ow) {
          body(n, u, oh, ow,
               layout == Layout::NHWC ? ((n * outH + oh) * outW + ow) * g.units + u
                                      : ((n * g.units + u) * outH + oh) * outW + ow);
        }
      }
    }
  }
}

// Output arrays carry a tail of sentinels that no kernel may touch; the
// elements themselves start as NaN where a kernel must write them all.
constexpr size_t kTail = 64;
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

// hsum and output against a float64 reference, and their tails untouched.
template <typename T>
void expect_results(const Layer<T>& L, Layout layout, double factor, int outH, int outW,
                    const std::vector<T>& hsum, const std::vector<T>& output) {
  const double eps = (std::is_same<T, float>::value ? 4e-6 : 1e-14) * L.g.d();
  for_outputs(L.g, layout, outH, outW, [&](int n, int u, int oh, int ow, int e) {
    if (::testing::Test::HasFatalFailure()) return;
    double hs = L.h0()[u], q = double(L.p0()[u]) * L.p0()[u];
    for_taps(L.g, layout, n, u, oh, ow, [&](int x, int f) {
      const double v = L.input[x], t = v - L.p()[f];
      hs += L.h()[f] * v;
      q += t * t;
    });
    const double out = factor * (hs * hs - q);
    ASSERT_NEAR(hsum[e], hs, eps * (1 + std::abs(hs))) << "hsum " << e;
    ASSERT_NEAR(output[e], out, eps * (1 + std::abs(out))) << "output " << e;
  });
  expect_tail_untouched(hsum, "hsum");
  expect_tail_untouched(output, "output");
}

// The values at the end of a mapping whose next page is inaccessible, so that
// a kernel that reads past them faults instead of reading stray memory.
template <typename T>
class Fenced {
 public:
  explicit Fenced(const std::vector<T>& values) {
    const size_t page = sysconf(_SC_PAGESIZE), bytes = values.size() * sizeof(T);
    span_ = (bytes + page - 1) / page * page + page;
    base_ = static_cast<char*>(
        mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    EXPECT_NE(base_, MAP_FAILED);
    EXPECT_EQ(mprotect(base_ + span_ - page, page, PROT_NONE), 0);
    data_ = reinterpret_cast<T*>(base_ + span_ - page - bytes);
    std::memcpy(data_, values.data(), bytes);
  }
  ~Fenced() { munmap(base_, span_); }
  Fenced(const Fenced&) = delete;
  Fenced& operator=(const Fenced&) = delete;
  const T* data() const { return data_; }

 private:
  char* base_;
  size_t span_;
  T* data_;
};

// Each test runs in every schedule of the host layer (in_each_schedule).
template <typename T>
class ConvForwardKernels : public HostScheduleTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);  // no launch was refused
    HostScheduleTest::TearDown();
  }
};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ConvForwardKernels, ElementTypes);

// N, C, H, W, kh, kw, sh, sw, dh, dw, units.
const Geometry kGeometries[] = {
    {2, 3, 9, 11, 3, 3, 1, 1, 1, 1, 3},   // C and units not multiples of the chunk
    {1, 5, 12, 13, 3, 5, 2, 3, 2, 1, 4},  // strides and dilations differ per direction
    {2, 4, 5, 6, 1, 1, 2, 1, 1, 1, 5},    // 1×1 taps with a stride
    {1, 2, 8, 9, 2, 4, 1, 2, 1, 1, 2},    // even kernel sizes
};

// The sequence Init, Hsum, Psq, Output, then the fused kernel with fewer
// threads than channels and more; all over grids and blocks beyond the
// bounds (one more sample, row and column; one more thread than the chunks
// need; taps past kh and kw).
TYPED_TEST(ConvForwardKernels, ChannelsLast) {
  using T = TypeParam;
  const T factor = T(-0.75);
  const int chunk = 2;
  in_each_schedule([&] {
    for (const Geometry& g : kGeometries) {
      SCOPED_TRACE(::testing::Message() << "C " << g.C << " kh " << g.kh << " kw " << g.kw);
      const Layer<T> L(g);
      const int outH = g.outH(), outW = g.outW();
      auto hsum = buffer<T>(g.outputs()), output = buffer<T>(g.outputs());
      const dim3 grid(g.N + 1, outH + 1, outW + 1);
      const dim3 over_units((g.units + chunk - 1) / chunk + 1);
      const dim3 over_taps((g.C + chunk - 1) / chunk + 1, g.kh + 1, g.kw + 1);
      launch(ParaConv2DInitCudaKernel<T>, grid, over_units, 0, L.h0(), L.p0(), g.N, outH, outW,
             g.units, chunk, hsum.data(), output.data());
      launch(ParaConv2DHsumCudaKernel<T>, grid, over_taps, 0, L.input.data(), L.h(), g.kh, g.kw,
             g.sh, g.sw, g.dh, g.dw, g.N, g.H, g.W, g.C, g.units, outH, outW, chunk, hsum.data());
      launch(ParaConv2DPsqCudaKernel<T>, grid, over_taps, 0, L.input.data(), L.p(), g.kh, g.kw,
             g.sh, g.sw, g.dh, g.dw, g.N, g.H, g.W, g.C, g.units, outH, outW, chunk,
             output.data());
      launch(ParaConv2DOutputCudaKernel<T>, grid, over_units, 0, factor, g.N, outH, outW,
             g.units, chunk, hsum.data(), output.data());
      expect_results(L, Layout::NHWC, factor, outH, outW, hsum, output);

      for (int B : {1, 3, 32}) {
        hsum = buffer<T>(g.outputs());
        output = buffer<T>(g.outputs());
        launch(ParaConv2DFusedCudaKernel<T>, dim3(g.N + 1, outH * outW + outW, g.units + 1),
               dim3(B), 2 * B * sizeof(T), factor, L.input.data(), L.h(), L.h0(), L.p(), L.p0(),
               g.kh, g.kw, g.sh, g.sw, g.dh, g.dw, g.N, g.H, g.W, g.C, g.units, outH, outW, 0,
               hsum.data(), output.data());
        expect_results(L, Layout::NHWC, factor, outH, outW, hsum, output);
      }
    }
  });
}

// The caller's window sums (hdot, pdot, and xsqsum from the kernels' inputsq
// and unitfilter) at unflipped tap positions, then the building blocks.
TYPED_TEST(ConvForwardKernels, BuildingBlockSequence) {
  using T = TypeParam;
  const T factor = T(0.5);
  in_each_schedule([&] {
    for (const Geometry& g : kGeometries) {
      SCOPED_TRACE(::testing::Message() << "C " << g.C << " kh " << g.kh << " kw " << g.kw);
      const Layer<T> L(g);
      const int outH = g.outH(), outW = g.outW(), d = g.d(), count = g.outputs();
      const dim3 planes(g.N + 1, g.units + 2), threads(7);
      auto inputsq = buffer<T>(L.input.size()), unitfilter = buffer<T>(size_t(g.units) * d);
      launch(ParaConv2DGetInputsq<T>, dim3(g.N + 1, g.C + 1), threads, 0, L.input.data(), g.N,
             g.C, g.H, g.W, inputsq.data());
      launch(ParaConv2DGetUnitfilter<T>, dim3(g.units + 2), dim3(4), 0, g.units, g.C, g.kh, g.kw,
             unitfilter.data());
      for (size_t i = 0; i < L.input.size(); ++i) ASSERT_EQ(inputsq[i], L.input[i] * L.input[i]);
      for (int i = 0; i < g.units * d; ++i) ASSERT_EQ(unitfilter[i], T(1));
      expect_tail_untouched(inputsq, "inputsq");
      expect_tail_untouched(unitfilter, "unitfilter");

      std::vector<T> hdot(count), pdot(count), xsqsum(count);
      for_outputs(g, Layout::NCHW, outH, outW, [&](int n, int u, int oh, int ow, int e) {
        double hx = 0, px = 0, xx = 0;
        for_taps(g, Layout::NCHW, n, u, oh, ow, [&](int x, int f) {
          hx += double(L.h()[f]) * L.input[x];
          px += double(L.p()[f]) * L.input[x];
          xx += double(unitfilter[f]) * inputsq[x];
        });
        hdot[e] = T(hx);
        pdot[e] = T(px);
        xsqsum[e] = T(xx);
      });
      auto hsum = buffer<T>(count), output = buffer<T>(count), psq3 = buffer<T>(g.units);
      launch(ParaConv2DGetHsumNCHW<T>, planes, threads, 0, hdot.data(), L.h0(), g.N, g.units,
             outH, outW, hsum.data());
      launch(ParaConv2DInitOutputNCHW<T>, planes, threads, 0, hsum.data(), pdot.data(), g.N,
             g.units, outH, outW, output.data());
      launch(ParaConv2DGetPsq3<T>, dim3(g.units), dim3(d), d * sizeof(T), L.p(), L.p0(), g.units,
             d, psq3.data());
      launch(ParaConv2DApplyPsq3<T>, planes, threads, 0, psq3.data(), g.N, g.units, outH, outW,
             output.data());
      launch(ParaConv2DApplyPsq1<T>, planes, threads, 0, xsqsum.data(), factor, g.N, g.units,
             outH, outW, output.data());
      expect_results(L, Layout::NCHW, factor, outH, outW, hsum, output);
      expect_tail_untouched(psq3, "psq3");
    }
  });
}

// Any block size sums every square: d = 1 and d = 147 (the 7×7×3 filter) with
// d threads as the sequence launches them, fewer threads than squares, more.
TYPED_TEST(ConvForwardKernels, GetPsq3WithAnyBlockSize) {
  using T = TypeParam;
  const int units = 3;
  in_each_schedule([&] {
    for (int d : {1, 147, 1500}) {
      const auto p = random_values<T>(size_t(units) * d, 3), p0 = random_values<T>(units, 4);
      for (int B : {std::min(d, 1024), 1, 3, 1024}) {
        SCOPED_TRACE(::testing::Message() << "d " << d << " threads " << B);
        auto psq3 = buffer<T>(units);
        launch(ParaConv2DGetPsq3<T>, dim3(units + 2), dim3(B), B * sizeof(T), p.data(),
               p0.data(), units, d, psq3.data());
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

struct TileCase {
  Geometry g;
  int tileH, tileW;
  int extra_threads;  // beyond the scan that the tile needs
  int extra_out;      // outH and outW beyond the image's output size
};

// Launches the NCHW fused kernel (or its 7×7×3 twin) over one more sample,
// more units than there are and more tiles than there are.
template <typename T>
void launch_fused_nchw(const TileCase& k, const T* input, const T* parameters, T factor,
                       int outH, int outW, bool templated, T* hsum, T* output) {
  const Geometry& g = k.g;
  const int tiles = ((outH + k.tileH - 1) / k.tileH) * ((outW + k.tileW - 1) / k.tileW);
  const int B = std::max((k.tileH - 1) * g.sh + (g.kh - 1) * g.dh + 1,
                         (k.tileW - 1) * g.sw + (g.kw - 1) * g.dw + 1) +
                k.extra_threads;
  const dim3 grid(g.N + 1, g.units + 3, tiles + 5);
  const size_t shared = (2 * k.tileH * k.tileW + 2 * g.d()) * sizeof(T);
  const T *h0 = parameters, *h = h0 + g.units, *p = h + g.units * g.d(), *p0 = p + g.units * g.d();
  if (templated) {
    launch(ParaConv2DFusedCudaKernelNCHWtemplated<T, 7, 7, 3>, grid, dim3(B), shared, k.tileH,
           k.tileW, factor, input, h, h0, p, p0, g.sh, g.sw, g.dh, g.dw, g.N, g.H, g.W, g.units,
           outH, outW, hsum, output);
  } else {
    launch(ParaConv2DFusedCudaKernelNCHW<T>, grid, dim3(B), shared, k.tileH, k.tileW, factor,
           input, h, h0, p, p0, g.kh, g.kw, g.sh, g.sw, g.dh, g.dw, g.N, g.H, g.W, g.C, g.units,
           outH, outW, hsum, output);
  }
}

// Input and parameters end at an inaccessible page: a scan past the image, or
// a block that read the values of a unit that does not exist, would fault.
// On 7×7×3 data the templated kernel computes what the general one does, bit
// for bit when threads run in a fixed order.
TYPED_TEST(ConvForwardKernels, FusedNCHW) {
  using T = TypeParam;
  const T factor = T(-1.25);
  const TileCase cases[] = {
      {kGeometries[0], 4, 5, 0, 0},                     // tiles that do not divide 7 × 9
      {kGeometries[1], 3, 2, 3, 0},                     // strides 2 and 3, dilation 2
      {{2, 3, 6, 7, 1, 1, 1, 1, 1, 1, 4}, 4, 4, 0, 0},  // 1×1: one thread per accumulator
      {kGeometries[2], 2, 3, 1, 0},                     // 1×1 with a stride
      {kGeometries[3], 5, 3, 0, 0},                     // even kernel sizes
      {{1, 2, 7, 8, 3, 3, 2, 2, 1, 1, 2}, 2, 2, 4, 1},  // outputs whose windows leave the image
      {{2, 3, 12, 13, 7, 7, 1, 2, 1, 1, 2}, 4, 3, 0, 0},
      {{1, 3, 20, 19, 7, 7, 2, 1, 2, 2, 3}, 3, 5, 2, 0},
  };
  in_each_schedule([&] {
    for (const TileCase& k : cases) {
      const Geometry& g = k.g;
      SCOPED_TRACE(::testing::Message() << "kh " << g.kh << " tile " << k.tileH << "x" << k.tileW);
      const Layer<T> L(g);
      const Fenced<T> input(L.input), parameters(L.parameters);
      const int outH = g.outH() + k.extra_out, outW = g.outW() + k.extra_out;
      const size_t count = size_t(g.N) * g.units * outH * outW;
      auto hsum = buffer<T>(count), output = buffer<T>(count);
      launch_fused_nchw(k, input.data(), parameters.data(), factor, outH, outW, false,
                        hsum.data(), output.data());
      expect_results(L, Layout::NCHW, factor, outH, outW, hsum, output);
      if (g.kh != 7 || g.kw != 7 || g.C != 3) continue;
      auto hsum7 = buffer<T>(count), output7 = buffer<T>(count);
      launch_fused_nchw(k, input.data(), parameters.data(), factor, outH, outW, true,
                        hsum7.data(), output7.data());
      expect_results(L, Layout::NCHW, factor, outH, outW, hsum7, output7);
      if (hostcuda::workers() == 1) {
        EXPECT_EQ(hsum7, hsum);
        EXPECT_EQ(output7, output);
      }
    }
  });
}

// Arguments that would divide by zero (a tile side or stride of 0 in the NCHW
// kernels, no output columns in the channels-last one) make the kernels
// return without writing.
TYPED_TEST(ConvForwardKernels, FusedKernelsIgnoreDivisorsOfZero) {
  using T = TypeParam;
  const Geometry g = kGeometries[0];
  const Layer<T> L(g);
  const int outH = g.outH(), outW = g.outW();
  auto hsum = buffer<T>(g.outputs(), T(kSentinel)), output = buffer<T>(g.outputs(), T(kSentinel));
  const dim3 grid(g.N, g.units, 64);
  for (const auto [tileH, tileW, sh, sw] : {std::array<int, 4>{0, 2, 1, 1}, {2, 0, 1, 1},
                                            {2, 2, 0, 1}, {2, 2, 1, 0}}) {
    launch(ParaConv2DFusedCudaKernelNCHW<T>, grid, dim3(16), (8 + 2 * g.d()) * sizeof(T), tileH,
           tileW, T(1), L.input.data(), L.h(), L.h0(), L.p(), L.p0(), g.kh, g.kw, sh, sw, g.dh,
           g.dw, g.N, g.H, g.W, g.C, g.units, outH, outW, hsum.data(), output.data());
    launch(ParaConv2DFusedCudaKernelNCHWtemplated<T, 7, 7, 3>, grid, dim3(16),
           (8 + 2 * 147) * sizeof(T), tileH, tileW, T(1), L.input.data(), L.h(), L.h0(), L.p(),
           L.p0(), sh, sw, g.dh, g.dw, g.N, g.H, g.W, g.units, outH, outW, hsum.data(),
           output.data());
  }
  launch(ParaConv2DFusedCudaKernel<T>, dim3(g.N, outH * outW, g.units), dim3(4), 8 * sizeof(T),
         T(1), L.input.data(), L.h(), L.h0(), L.p(), L.p0(), g.kh, g.kw, g.sh, g.sw, g.dh, g.dw,
         g.N, g.H, g.W, g.C, g.units, outH, 0, 0, hsum.data(), output.data());
  for (const auto* v : {&hsum, &output}) {
    EXPECT_TRUE(std::all_of(v->begin(), v->end(), [](T x) { return x == T(kSentinel); }));
  }
}

}  // namespace
