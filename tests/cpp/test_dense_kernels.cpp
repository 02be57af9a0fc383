// The dense layer's and the update rule's kernels launched as a native caller
// launches them (by the launch function's address through cudaLaunchKernel,
// with a configuration of the caller's own) on the host execution layer.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "paraboloid/osparaboloidkernels.h"
#include "paraboloid/paraboloidauxkernels.h"
#include "tests/cpp/host_launch.h"
#include "tests/cpp/plain_workers.h"
#include "tests/cpp/test_values.h"
#include "update/vareksgdupdatekernels.h"

namespace {

// The 9-parameter overload of ParaboloidHsumCudaKernel.
template <typename T>
constexpr auto one_pass_hsum =
    static_cast<void (*)(T, const T*, const T*, const T*, int, int, int, int, T*)>(
        ParaboloidHsumCudaKernel<T>);

template <typename T>
constexpr T kSentinel = T(-7.25);

FLOAT_AND_DOUBLE_TEST_SUITE(DenseKernels);

// The element-wise kernels on grids past the matrix (three rows more, or a
// grid wider than the vector) with blocks smaller and larger than a row:
// every element gets its value in T, nothing past the matrix is written.
TYPED_TEST(DenseKernels, ElementwiseKernelsCoverTheirExtentOnly) {
  using T = TypeParam;
  const int rows = 5, cols = 37, size = rows * cols, padded = (rows + 3) * cols;
  const auto a = random_values<T>(padded, 1), b = random_values<T>(padded, 2);
  const std::vector<T> zeros(padded, T(0));
  struct Case {
    const char* name;
    std::function<void(dim3 block, T* out)> run;
    std::function<T(int i, int r, int c)> expected;
    const std::vector<T>* in_place;  // the matrix updated in place, or null
  };
  const dim3 grid(rows + 3);
  const auto finalize = [&](int k) {
    return [=](dim3 t, T* o) {
      launch_ok(ParaboloidGradFinalizeKernel<T>, grid, t, 0, k, rows, cols, o);
    };
  };
  const T f = T(-0.7);
  // The per-element products of a (MatColMul reads none) and b.
  const auto per_row = [&](auto kernel, const T* first) {
    return [=, &b](dim3 t, T* o) { launch_ok(kernel, grid, t, 0, rows, cols, first, b.data(), o); };
  };
  const Case cases[] = {
      {"MatMul", per_row(ParaboloidGradPerElementMatMulKernel<T>, a.data()),
       [&](int i, int, int) { return a[i] * b[i]; }, nullptr},
      {"MatColMul", per_row(ParaboloidGradPerElementMatColMulKernel<T>, nullptr),
       [&](int, int, int c) { return b[c]; }, nullptr},
      {"MatRowMul", per_row(ParaboloidGradPerElementMatRowMulKernel<T>, a.data()),
       [&](int i, int r, int) { return a[i] * b[r]; }, nullptr},
      {"VarekSet", [&](dim3 t, T* o) { launch_ok(VarekSet<T>, grid, t, 0, T(0.5), rows, cols, o); },
       [&](int i, int, int) { return T(i) + T(0.5); }, nullptr},
      // The offset (k + 5)·1e-7 is formed in double and rounded to T: for k = 4
      // a float product would give 9.0000003e-07 (visible on a zero matrix).
      {"Finalize k=0", finalize(0), [&](int i, int, int) { return a[i] + T(5e-7); }, &a},
      {"Finalize k=4", finalize(4), [](int, int, int) { return T(9e-7); }, &zeros},
      {"Finalize k=-5", finalize(-5), [&](int i, int, int) { return a[i]; }, &a},
      // One thread per column, 6 blocks of 8 threads.
      {"FactorSumAlongDim1",
       [&](dim3, T* o) {
         launch_ok(ParaboloidGradFactorSumAlongDim1Kernel<T>, 6, 8, 0, f, rows, cols, a.data(), o);
       },
       [&](int i, int r, int) {
         T s = 0;
         for (int k = 0; r == 0 && k < rows; ++k) s = s + a[k * cols + i];
         return r == 0 ? s * f : kSentinel<T>;
       },
       nullptr},
      {"FactorSumAlongDim1 of no rows",
       [&](dim3, T* o) {
         launch_ok(ParaboloidGradFactorSumAlongDim1Kernel<T>, 6, 8, 0, f, 0, cols, a.data(), o);
       },
       [&](int i, int r, int) { return r == 0 ? T(0) * f : kSentinel<T>; }, nullptr},
  };
  for (const Case& test : cases) {
    for (unsigned threads : {1u, 8u, 64u}) {
      SCOPED_TRACE(::testing::Message() << test.name << ", " << threads << " threads");
      std::vector<T> out = test.in_place ? *test.in_place : std::vector<T>(padded, kSentinel<T>);
      test.run(dim3(threads), out.data());
      for (int i = 0; i < padded; ++i) {
        const T expected = i < size ? test.expected(i, i / cols, i % cols)
                                    : (test.in_place ? (*test.in_place)[i] : kSentinel<T>);
        ASSERT_EQ(out[i], expected) << "element " << i;
      }
    }
  }
  // Getp0grad steps by the whole grid: one block, exactly enough, and more.
  for (unsigned blocks : {1u, 3u, 8u}) {
    std::vector<T> out(size + 1, kSentinel<T>);
    launch_ok(ParaboloidGradGetp0gradKernel<T>, blocks, 64, 0, f, size, a.data(), b.data(),
              out.data());
    for (int i = 0; i <= size; ++i)
      ASSERT_EQ(out[i], i < size ? (a[i] * f) * b[i] : kSentinel<T>) << i;
  }
}

// Both tree reductions for block sizes that are and are not powers of two,
// for more and for fewer elements than threads, in each schedule. Two blocks
// past the results do nothing; one thread per block gives the sequential sum
// exactly.
TYPED_TEST(DenseKernels, TreeReductionsSumEveryBlockSize) {
  using T = TypeParam;
  for (const auto [rows, cols] :
       {std::pair<int, int>{4, 3000}, {3000, 4}, {6, 3}, {3, 6}, {5, 0}}) {
    const auto a = random_values<T>(size_t(rows) * cols, 3);
    for (const bool along_rows : {true, false}) {  // Dim0: row sums; Dim1: column sums
      const int results = along_rows ? rows : cols, terms = along_rows ? cols : rows;
      std::vector<T> expected(results + 2, kSentinel<T>);
      for (int k = 0; k < results; ++k) {
        expected[k] = 0;
        for (int j = 0; j < terms; ++j)
          expected[k] = expected[k] + (along_rows ? a[k * cols + j] : a[j * cols + k]);
      }
      for (unsigned threads : {1u, 3u, 1000u, 1024u}) {
        SCOPED_TRACE(::testing::Message()
                     << along_rows << " " << rows << "x" << cols << ", " << threads << " threads");
        in_each_schedule([&] {
          std::vector<T> out(results + 2, kSentinel<T>);
          launch_ok(along_rows ? ParaboloidGradSumAlongDim0Kernel<T>
                               : ParaboloidGradSumAlongDim1Kernel<T>,
                    results + 2, threads, threads * sizeof(T), rows, cols, a.data(), out.data());
          if (threads == 1) EXPECT_EQ(out, expected);
          expect_close(expected, out, "sums");
          EXPECT_TRUE(out[results] == kSentinel<T> && out[results + 1] == kSentinel<T>);
        });
      }
    }
  }
}

// The fused forward and the one-pass hsum against the reference, with 2-D
// grids larger than needed, outputs full of NaN before the launch and
// arbitrary values in the arguments that are not read.
TYPED_TEST(DenseKernels, ForwardKernelsMatchTheReference) {
  using T = TypeParam;
  const T nan = std::numeric_limits<T>::quiet_NaN();
  for (const plain::Conv& g :
       {plain::Conv{5, 7, 1, 1, 3}, {33, 0, 1, 1, 4}, {1, 1, 1, 1, 1}, {17, 130, 1, 1, 9}}) {
    const auto x = random_values<T>(g.inputs(), 7), prm = random_values<T>(g.length(), 8);
    const T *h0 = prm.data(), *h = h0 + g.units, *p = h + g.units * g.C, *p0 = p + g.units * g.C;
    std::vector<double> output(g.outputs()), hsum(g.outputs());
    plain::forward(g, std::vector<double>(x.begin(), x.end()).data(),
                   std::vector<double>(prm.begin(), prm.end()).data(), -0.35, output.data(),
                   hsum.data());
    for (const dim3 block : {dim3(1, 1), dim3(4, 3)}) {
      SCOPED_TRACE(::testing::Message()
                   << "N " << g.N << " d " << g.C << " units " << g.units << ", block " << block.x);
      const dim3 grid((g.N + block.x - 1) / block.x + 1, (g.units + block.y - 1) / block.y + 1);
      std::vector<T> fused_hsum(g.outputs(), nan), fused_output(g.outputs(), nan),
          one_pass(g.outputs(), nan);
      launch_ok(ParaboloidFusedCudaKernel<T>, grid, block, 0, T(-0.35), x.data(), h, h0, p, p0, g.N,
                g.C, g.units, -7, fused_hsum.data(), fused_output.data());
      launch_ok(one_pass_hsum<T>, grid, block, 0, T(123), x.data(), h, h0, g.N, g.C, g.units, -7,
                one_pass.data());
      expect_close(hsum, fused_hsum, "fused hsum");
      expect_close(output, fused_output, "fused output");
      expect_close(hsum, one_pass, "one-pass hsum");
    }
  }
}

// The two update kernels the worker never launches set 130 elements of 140.
TYPED_TEST(DenseKernels, FocusKernels) {
  using T = TypeParam;
  const auto a = random_values<T>(140, 6), b = random_values<T>(140, 7);
  auto decayed = b, adjusted = b;
  launch_ok(ApplydecaytofocusKernel<T>, 2, 128, 0, a.data(), 130, T(0.25), decayed.data());
  launch_ok(AdjustfocusKernel<T>, 2, 128, 0, a.data(), b.data(), 130, adjusted.data());
  for (int i = 0; i < 140; ++i) {
    EXPECT_EQ(decayed[i], i < 130 ? T(b[i] - a[i] * T(0.25)) : b[i]) << i;
    EXPECT_EQ(adjusted[i], i < 130 ? T((b[i] + b[i]) - a[i]) : b[i]) << i;
  }
}

}  // namespace
