// The dense layer's kernels launched as a native caller launches them: by the
// launch function's address through cudaLaunchKernel, with a configuration of
// the caller's own, on the host execution layer.
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "common/hostcuda/hostcuda.h"
#include "paraboloid/osparaboloidkernels.h"
#include "paraboloid/paraboloid.h"
#include "paraboloid/paraboloidauxkernels.h"
#include "tests/cpp/test_launch.h"
#include "tests/cpp/test_schedule.h"
#include "tests/cpp/test_values.h"

namespace {

// The 9-parameter overload of ParaboloidHsumCudaKernel.
template <typename T>
constexpr auto one_pass_hsum = static_cast<void (*)(T, const T*, const T*, const T*, int, int,
                                                    int, int, T*)>(ParaboloidHsumCudaKernel<T>);

template <typename T>
constexpr T kSentinel = T(-7.25);

template <typename T>
class NativeLaunch : public HostScheduleTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    HostScheduleTest::TearDown();
  }
};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(NativeLaunch, ElementTypes);

// The element-wise kernels with a grid of three rows more than the matrix and
// blocks smaller and larger than a row: every element of the matrix gets its
// value, nothing past it is written.
TYPED_TEST(NativeLaunch, PerRowKernelsCoverTheMatrixAndNothingElse) {
  using T = TypeParam;
  const int rows = 5, cols = 37, size = rows * cols, padded = (rows + 3) * cols;
  const auto a = random_values<T>(padded, 1);
  const auto b = random_values<T>(padded, 2);
  const std::vector<T> zeros(padded, T(0));
  using Launch = std::function<cudaError_t(dim3 grid, dim3 block, T* out)>;
  const auto finalize = [&](int k) -> Launch {
    return [=](dim3 g, dim3 t, T* out) {
      return launch(ParaboloidGradFinalizeKernel<T>, g, t, 0, k, rows, cols, out);
    };
  };
  struct Case {
    const char* name;
    Launch run;
    std::function<T(int i, int r, int c)> expected;
    const std::vector<T>* in_place;  // the matrix updated in place, or null
  };
  const Case cases[] = {
      {"MatMul",
       [&](dim3 g, dim3 t, T* out) {
         return launch(ParaboloidGradPerElementMatMulKernel<T>, g, t, 0, rows, cols, a.data(),
                       b.data(), out);
       },
       [&](int i, int, int) { return a[i] * b[i]; }, nullptr},
      {"MatColMul",  // every row is b, whatever a holds
       [&](dim3 g, dim3 t, T* out) {
         return launch(ParaboloidGradPerElementMatColMulKernel<T>, g, t, 0, rows, cols, nullptr,
                       b.data(), out);
       },
       [&](int, int, int c) { return b[c]; }, nullptr},
      {"MatRowMul",
       [&](dim3 g, dim3 t, T* out) {
         return launch(ParaboloidGradPerElementMatRowMulKernel<T>, g, t, 0, rows, cols, a.data(),
                       b.data(), out);
       },
       [&](int i, int r, int) { return a[i] * b[r]; }, nullptr},
      {"VarekSet",
       [&](dim3 g, dim3 t, T* out) {
         return launch(VarekSet<T>, g, t, 0, T(0.5), rows, cols, out);
       },
       [&](int i, int, int) { return T(i) + T(0.5); }, nullptr},
      // The offset (k + 5)·1e-7 is formed in double and rounded to T: for
      // k = 4 a float product would give 9.0000003e-07 instead of 9e-07
      // (visible on a zero matrix).
      {"Finalize k=0", finalize(0), [&](int i, int, int) { return a[i] + T(5e-7); }, &a},
      {"Finalize k=4", finalize(4), [](int, int, int) { return T(9e-7); }, &zeros},
      {"Finalize k=-5", finalize(-5), [&](int i, int, int) { return a[i]; }, &a},
  };
  for (const Case& test : cases) {
    for (unsigned threads : {1u, 8u, 64u}) {
      SCOPED_TRACE(::testing::Message() << test.name << ", " << threads << " threads");
      std::vector<T> out = test.in_place ? *test.in_place : std::vector<T>(padded, kSentinel<T>);
      ASSERT_EQ(test.run(dim3(rows + 3), dim3(threads), out.data()), cudaSuccess);
      for (int i = 0; i < padded; ++i) {
        const T expected = i < size ? test.expected(i, i / cols, i % cols)
                                    : (test.in_place ? (*test.in_place)[i] : kSentinel<T>);
        ASSERT_EQ(out[i], expected) << "element " << i;
      }
    }
  }
}

// Both tree reductions for block sizes that are and are not powers of two,
// for more and for fewer elements than threads, on four workers with the
// threads resumed in shuffled order (a missing barrier, or a thread that
// leaves its slot unset, gives a wrong sum). Two blocks past the results do
// nothing; one thread per block gives the sequential sum exactly.
TYPED_TEST(NativeLaunch, TreeReductionsSumEveryBlockSize) {
  using T = TypeParam;
  hostcuda::set_workers(4);
  hostcuda::set_resume_order(hostcuda::ResumeOrder::Shuffle, 11);
  struct Shape {
    int rows, cols;
  };
  const Shape shapes[] = {{4, 3000}, {3000, 4}, {6, 3}, {3, 6}, {5, 0}};
  for (const Shape& s : shapes) {
    const auto a = random_values<T>(size_t(s.rows) * s.cols, 3);
    for (const bool along_rows : {true, false}) {  // Dim0: row sums; Dim1: column sums
      const int results = along_rows ? s.rows : s.cols;
      const int terms = along_rows ? s.cols : s.rows;
      std::vector<T> expected(results + 2, kSentinel<T>);
      for (int k = 0; k < results; ++k) {
        T sum = 0;
        for (int j = 0; j < terms; ++j) {
          sum = sum + (along_rows ? a[k * s.cols + j] : a[j * s.cols + k]);
        }
        expected[k] = sum;
      }
      for (unsigned threads : {1u, 3u, 1000u, 1024u}) {
        SCOPED_TRACE(::testing::Message() << (along_rows ? "Dim0 " : "Dim1 ") << s.rows << "x"
                                          << s.cols << ", " << threads << " threads");
        std::vector<T> out(results + 2, kSentinel<T>);
        auto kernel = along_rows ? ParaboloidGradSumAlongDim0Kernel<T>
                                 : ParaboloidGradSumAlongDim1Kernel<T>;
        ASSERT_EQ(launch(kernel, dim3(results + 2), dim3(threads), threads * sizeof(T), s.rows,
                         s.cols, a.data(), out.data()),
                  cudaSuccess);
        if (threads == 1) {
          EXPECT_EQ(out, expected);
        } else {
          expect_close(expected, out, "sums");
        }
        EXPECT_EQ(out[results], kSentinel<T>);
        EXPECT_EQ(out[results + 1], kSentinel<T>);
      }
    }
  }
}

// One thread per column, the grid larger than the columns; with no rows every
// column gets 0 × factor.
TYPED_TEST(NativeLaunch, FactorColumnSumsOneThreadPerColumn) {
  using T = TypeParam;
  const int cols = 37;
  const T factor = T(-1.5);
  for (int rows : {7, 0}) {
    SCOPED_TRACE(::testing::Message() << rows << " rows");
    const auto a = random_values<T>(size_t(rows) * cols, 4);
    std::vector<T> out(cols + 3, kSentinel<T>);
    ASSERT_EQ(launch(ParaboloidGradFactorSumAlongDim1Kernel<T>, dim3(6), dim3(8), 0, factor, rows,
                     cols, a.data(), out.data()),
              cudaSuccess);
    for (int j = 0; j < cols; ++j) {
      T sum = 0;
      for (int i = 0; i < rows; ++i) sum = sum + a[i * cols + j];
      ASSERT_EQ(out[j], sum * factor) << "column " << j;
    }
    for (int j = cols; j < cols + 3; ++j) EXPECT_EQ(out[j], kSentinel<T>);
  }
}

// One block, exactly enough blocks, and more: the same products, and nothing
// past the vector.
TYPED_TEST(NativeLaunch, Getp0gradAnyGridCoversTheVector) {
  using T = TypeParam;
  const int n = 1000;
  const T factor = T(-0.7);
  const auto a = random_values<T>(n, 5);
  const auto b = random_values<T>(n, 6);
  for (unsigned blocks : {1u, 16u, 40u}) {
    SCOPED_TRACE(::testing::Message() << blocks << " blocks");
    std::vector<T> out(n + 1, kSentinel<T>);
    ASSERT_EQ(launch(ParaboloidGradGetp0gradKernel<T>, dim3(blocks), dim3(64), 0, factor, n,
                     a.data(), b.data(), out.data()),
              cudaSuccess);
    for (int i = 0; i < n; ++i) ASSERT_EQ(out[i], (a[i] * factor) * b[i]) << "element " << i;
    EXPECT_EQ(out[n], kSentinel<T>);
  }
}

struct DenseShape {
  int N, d, units;
};

// The fused forward and the one-pass hsum against the CPU forward, with
// 2-D grids larger than needed, hsum and output full of NaN before the
// launch, and arbitrary values in the arguments that are not read.
TYPED_TEST(NativeLaunch, FusedForwardAndOnePassHsumMatchTheCpuForward) {
  using T = TypeParam;
  const DenseShape shapes[] = {{5, 7, 3}, {33, 0, 4}, {1, 1, 1}, {17, 130, 9}};
  const double factor = -0.35;
  const T nan = std::numeric_limits<T>::quiet_NaN();
  for (const DenseShape& s : shapes) {
    const auto input = random_values<T>(size_t(s.N) * s.d, 7);
    const auto parameters = random_values<T>(2 * s.units * (s.d + 1), 8);
    const T* h0 = parameters.data();
    const T* h = h0 + s.units;
    const T* p = h + s.units * s.d;
    const T* p0 = p + s.units * s.d;
    const size_t outputs = size_t(s.N) * s.units;
    std::vector<T> output(outputs), hsum(outputs);
    paraboloid_forward_cpu_main<T>(input.data(), parameters.data(), factor, s.N, s.d, s.units,
                                   output.data(), hsum.data());
    for (const dim3 block : {dim3(1, 1), dim3(4, 3)}) {
      SCOPED_TRACE(::testing::Message() << "N " << s.N << " d " << s.d << " units " << s.units
                                        << ", block " << block.x << "x" << block.y);
      const dim3 grid((s.N + block.x - 1) / block.x + 1, (s.units + block.y - 1) / block.y + 1);
      std::vector<T> fused_hsum(outputs, nan), fused_output(outputs, nan);
      ASSERT_EQ(launch(ParaboloidFusedCudaKernel<T>, grid, block, 0, T(factor), input.data(), h,
                       h0, p, p0, s.N, s.d, s.units, -7, fused_hsum.data(), fused_output.data()),
                cudaSuccess);
      expect_close(hsum, fused_hsum, "fused hsum");
      expect_close(output, fused_output, "fused output");

      std::vector<T> one_pass(outputs, nan);
      ASSERT_EQ(launch(one_pass_hsum<T>, grid, block, 0, T(123), input.data(), h, h0, s.N, s.d,
                       s.units, -7, one_pass.data()),
                cudaSuccess);
      expect_close(hsum, one_pass, "one-pass hsum");
    }
  }
}

// Column sums of grad over the samples, then (p0 × −2·factor) × sum: the CPU
// backward's grad_p0.
TYPED_TEST(NativeLaunch, ChainedBuildingBlocksGiveGradP0) {
  using T = TypeParam;
  const int N = 300, d = 5, units = 7;
  const double factor = 0.8;
  const auto input = random_values<T>(size_t(N) * d, 9);
  const auto parameters = random_values<T>(2 * units * (d + 1), 10);
  const auto grad = random_values<T>(size_t(N) * units, 11);
  std::vector<T> output(size_t(N) * units), hsum(output.size()), grad_input(input.size()),
      grad_parameters(parameters.size());
  paraboloid_forward_cpu_main<T>(input.data(), parameters.data(), factor, N, d, units,
                                 output.data(), hsum.data());
  paraboloid_backward_cpu_main<T>(grad.data(), input.data(), parameters.data(), hsum.data(),
                                  factor, N, d, units, grad_input.data(), grad_parameters.data());
  const T* p0 = parameters.data() + units + 2 * units * d;
  const std::vector<T> grad_p0(grad_parameters.end() - units, grad_parameters.end());

  std::vector<T> column_sums(units), chained(units);
  const unsigned threads = 128;
  ASSERT_EQ(launch(ParaboloidGradSumAlongDim1Kernel<T>, dim3(units), dim3(threads),
                   threads * sizeof(T), N, units, grad.data(), column_sums.data()),
            cudaSuccess);
  const T f = static_cast<T>(factor);
  ASSERT_EQ(launch(ParaboloidGradGetp0gradKernel<T>, dim3(1), dim3(32), 0, -(f + f), units, p0,
                   column_sums.data(), chained.data()),
            cudaSuccess);
  expect_close(grad_p0, chained, "grad_p0");
}

// A kernel that an operator launches is registered all the same.
TYPED_TEST(NativeLaunch, OperatorKernelLaunchesByAddress) {
  using T = TypeParam;
  const int N = 3, units = 20, chunk = 8;
  const auto h0 = random_values<T>(units, 12);
  const auto p0 = random_values<T>(units, 13);
  std::vector<T> hsum(N * units, kSentinel<T>), output(N * units, kSentinel<T>);
  ASSERT_EQ(launch(ParaboloidInitCudaKernel<T>, dim3(N + 2), dim3(3), 0, h0.data(), p0.data(), N,
                   units, chunk, hsum.data(), output.data()),
            cudaSuccess);
  for (int i = 0; i < N * units; ++i) {
    ASSERT_EQ(hsum[i], h0[i % units]) << i;
    ASSERT_EQ(output[i], -(p0[i % units] * p0[i % units])) << i;
  }
}

__global__ void UnregisteredKernel(float* out) { *out = 1; }

// Refused launches run nothing and report their error once through
// cudaGetLastError.
TEST(NativeLaunchRefusals, UnknownAddressTooManyThreadsTooMuchSharedMemory) {
  const int rows = 2, cols = 3;
  const std::vector<float> a(rows * cols, 1.0f);
  std::vector<float> out(rows, kSentinel<float>);
  struct Case {
    const char* what;
    std::function<cudaError_t()> run;
    cudaError_t error;
  };
  const Case cases[] = {
      {"unregistered address",
       [&] { return launch(UnregisteredKernel, dim3(1), dim3(1), 0, out.data()); },
       cudaErrorInvalidDeviceFunction},
      {"1025 threads",
       [&] {
         return launch(ParaboloidGradSumAlongDim0Kernel<float>, dim3(rows), dim3(1025),
                       1025 * sizeof(float), rows, cols, a.data(), out.data());
       },
       cudaErrorInvalidConfiguration},
      {"48 KiB + 1 of shared memory",
       [&] {
         return launch(ParaboloidGradSumAlongDim0Kernel<float>, dim3(rows), dim3(1024),
                       48 * 1024 + 1, rows, cols, a.data(), out.data());
       },
       cudaErrorInvalidValue},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    EXPECT_EQ(test.run(), test.error);
    EXPECT_EQ(cudaGetLastError(), test.error);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(out, std::vector<float>(rows, kSentinel<float>));
  }
}

}  // namespace
