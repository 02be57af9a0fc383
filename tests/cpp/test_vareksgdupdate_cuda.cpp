// Update rule CUDA worker and kernels run on the host execution layer, against
// the CPU worker, and the worker's launch sequence.
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <torch/torch.h>

#include "common/cuda/launch.h"
#include "common/hostcuda/hostcuda.h"
#include "tests/cpp/test_values.h"
#include "update/vareksgdupdate.h"
#include "update/vareksgdupdatekernels.h"

namespace {

struct Step {
  double hlr = 0.5;
  double momentum = 0;
  bool nesterov = false;
  double wd = 0;
  double plr = 0;
  double dampening = 0;
};

// Runs the CUDA worker on vectors of length par.size(); update starts out as
// 0 (the entry's fill), scratch as `scratch_fill`.
template <typename T>
std::vector<T> run_cuda(const std::vector<T>& grad, const std::vector<T>& moments,
                        const std::vector<T>& par, int units, int d, const Step& s,
                        std::vector<T>* scratch = nullptr, T scratch_fill = 0) {
  std::vector<T> update(par.size(), 0), own;
  std::vector<T>& work = scratch ? *scratch : own;
  work.assign(par.size() + 2 * units, scratch_fill);
  vareksgd_getparupdate_cuda_main<T>(grad.data(), moments.data(), par.data(), units, d, s.hlr,
                                     s.plr, s.momentum, s.dampening, s.nesterov, s.wd,
                                     update.data(), work.data());
  return update;
}

// The CUDA worker, with NaN in scratch and plr, dampening set, against the CPU
// worker without; only the unit lengths are summed in another order.
template <typename T>
void compare_with_cpu(int units, int d, int trailing, Step s) {
  const int L = 2 * units * (d + 1);
  const int P = L + trailing;
  const auto grad = random_values<T>(P, 1);
  const auto moments = random_values<T>(P, 2);
  const auto par = random_values<T>(P, 3);
  std::vector<T> expected(P, 0), cpu_scratch(P + 2 * units, 0);
  vareksgd_getparupdate_cpu_main<T>(grad.data(), moments.data(), par.data(), units, d, s.hlr,
                                    s.plr, s.momentum, s.dampening, s.nesterov, s.wd,
                                    expected.data(), cpu_scratch.data());

  s.plr = 0.3;
  s.dampening = 0.9;
  const auto moments_before = moments;
  std::vector<T> scratch;
  const auto update =
      run_cuda(grad, moments, par, units, d, s, &scratch, std::numeric_limits<T>::quiet_NaN());
  const double eps = std::is_same<T, float>::value ? 2e-5 : 1e-12;
  for (int i = 0; i < L; ++i) {
    const double tol = eps * (1.0 + std::abs(double(par[i])) + std::abs(double(expected[i])));
    ASSERT_NEAR(expected[i], update[i], tol) << "element " << i;
  }
  for (int i = L; i < P; ++i) EXPECT_EQ(update[i], 0) << "trailing element " << i;
  for (int i = L + 2 * units; i < P + 2 * units; ++i) EXPECT_TRUE(std::isnan(scratch[i])) << i;
  EXPECT_EQ(std::memcmp(moments.data(), moments_before.data(), P * sizeof(T)), 0);
}

// Every test leaves the layer as it found it: one worker, forward order.
class HostLayerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    hostcuda::set_workers(1);
    hostcuda::set_resume_order(hostcuda::ResumeOrder::Forward);
  }
};

template <typename T>
class UpdateCuda : public HostLayerTest {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(UpdateCuda, ElementTypes);

TYPED_TEST(UpdateCuda, AgreesWithCpuWorker) {
  struct Shape {
    int units, d, trailing;
  };
  const Shape shapes[] = {{1, 1, 0}, {3, 0, 2}, {5, 200, 3}, {40, 7, 1}, {300, 2, 0}};
  // hlr, momentum, nesterov, wd
  const Step steps[] = {{0.5}, {0.5, 0.9}, {0.5, 0.9, true}, {0.5, 0, false, 0.1},
                        {0.5, 0.9, true, 0.3}};
  for (const Shape& sh : shapes) {
    for (const Step& s : steps) {
      SCOPED_TRACE(::testing::Message() << "units " << sh.units << " d " << sh.d << " m "
                                        << s.momentum << " nesterov " << s.nesterov << " wd "
                                        << s.wd);
      compare_with_cpu<TypeParam>(sh.units, sh.d, sh.trailing, s);
    }
  }
}

TYPED_TEST(UpdateCuda, AgreesUnderParallelBlocksAndShuffledThreads) {
  hostcuda::set_workers(4);
  hostcuda::set_resume_order(hostcuda::ResumeOrder::Shuffle, 11);
  compare_with_cpu<TypeParam>(150, 300, 4, {0.5, 0.5, true, 0.2});
}

// units 1, d 1: the vector is (h0, h, p, p0). A decay of (h0, h) to length 0
// keeps factor 1: newpar's (h0, h) stays 0 and the update is finite.
TYPED_TEST(UpdateCuda, WorkedExamplesAndZeroDecayedLength) {
  using T = TypeParam;
  const std::vector<T> ones(4, 1);
  Step s;
  s.momentum = 0.5;
  EXPECT_EQ(run_cuda<T>(ones, ones, ones, 1, 1, s), std::vector<T>(4, T(0.75)));
  s.nesterov = true;
  EXPECT_EQ(run_cuda<T>(ones, ones, ones, 1, 1, s), std::vector<T>(4, T(0.875)));

  Step decay;
  decay.hlr = 1;
  decay.wd = 0.25;
  const std::vector<T> zeros(4, 0);
  EXPECT_EQ(run_cuda<T>({0, 1, 0, 0}, zeros, {0, 2, 0, 0}, 1, 1, decay),
            (std::vector<T>{0, 1, 0, 0}));
  decay.wd = 1;
  EXPECT_EQ(run_cuda<T>(zeros, zeros, {3, 4, 5, 6}, 1, 1, decay), (std::vector<T>{3, 4, 0, 0}));
}

struct Expected {
  const char* kernel;
  unsigned grid;
  bool reduces;  // GetmagsKernel, with 128·sizeof(T) bytes of shared memory
  bool legacy;   // on the legacy default stream rather than the worker's
};

template <typename T>
void expect_launches(const Step& s, int units, int d, const std::vector<Expected>& expected) {
  const int P = 2 * units * (d + 1);
  const std::vector<T> v(P, T(0.5));
  const auto before = hostcuda::stream_counts();
  hostcuda::trace_start();
  run_cuda(v, v, v, units, d, s);
  const auto trace = hostcuda::trace_stop();
  const auto after = hostcuda::stream_counts();
  EXPECT_EQ(after.created - before.created, 1u);
  EXPECT_EQ(after.destroyed - before.destroyed, 1u);
  ASSERT_EQ(trace.size(), expected.size());
  cudaStream_t own = nullptr;
  for (size_t i = 0; i < trace.size(); ++i) {
    SCOPED_TRACE(::testing::Message() << "launch " << i + 1);
    const auto& r = trace[i];
    const auto& e = expected[i];
    EXPECT_EQ(r.kernel, e.kernel);
    EXPECT_EQ(r.grid.x, e.grid);
    EXPECT_EQ(r.grid.y * r.grid.z, 1u);
    EXPECT_EQ(r.block.x, 128u);
    EXPECT_EQ(r.block.y * r.block.z, 1u);
    EXPECT_EQ(r.shared_bytes, e.reduces ? 128 * sizeof(T) : 0u);
    EXPECT_FALSE(r.refused);
    if (e.legacy) {
      EXPECT_EQ(r.stream, nullptr);
    } else {
      if (own == nullptr) own = r.stream;
      EXPECT_NE(r.stream, nullptr);
      EXPECT_EQ(r.stream, own);
    }
  }
}

// units 3, d 200: L = 1206 elements in 10 blocks, 3 unit blocks. A NaN or
// negative momentum or decay counts as none; units = 0 launches nothing.
TYPED_TEST(UpdateCuda, LaunchSequence) {
  using T = TypeParam;
  const Step all{0.5, 0.9, true, 0.1};
  expect_launches<T>(all, 3, 200,
                     {{"InitTensorKernel", 10, false, false},
                      {"ApplymomentumKernel", 10, false, false},
                      {"ApplynesterovKernel", 10, false, true},
                      {"InitTensorKernel", 10, false, false},
                      {"ApplywithlrKernel", 10, false, false},
                      {"GetmagsKernel", 3, true, false},
                      {"ApplyweightdecayKernel", 10, false, false},
                      {"GetmagsKernel", 3, true, false},
                      {"CompensatefordecayKernel", 3, false, false},
                      {"GetfinalpuKernel", 10, false, false}});
  const std::vector<Expected> plain = {{"InitTensorKernel", 10, false, false},
                                       {"InitTensorKernel", 10, false, false},
                                       {"ApplywithlrKernel", 10, false, false},
                                       {"GetfinalpuKernel", 10, false, false}};
  expect_launches<T>(Step{}, 3, 200, plain);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  expect_launches<T>({0.5, nan, true, -1}, 3, 200, plain);
  expect_launches<T>({0.5, -0.5, true, nan}, 3, 200, plain);
  expect_launches<T>(all, 0, 5, {});
}

// GetmagsKernel over rows longer than the block, with a block of 100 threads
// resumed in reverse and shuffled order; the block past n writes nothing.
TYPED_TEST(UpdateCuda, GetmagsReducesAnyBlockSize) {
  using T = TypeParam;
  const int n = 2, d = 1000;
  const auto rows = random_values<T>(n * d, 5);
  const std::vector<T> scalars = {T(0.5), T(-2)};
  for (auto order : {hostcuda::ResumeOrder::Reverse, hostcuda::ResumeOrder::Shuffle}) {
    hostcuda::set_resume_order(order, 3);
    std::vector<T> out(n + 1, T(-1));
    varekpt::launch_kernel("GetmagsKernel", GetmagsKernel<T>, dim3(n + 1), dim3(100),
                           100 * sizeof(T), nullptr, rows.data(), scalars.data(), n, d,
                           out.data());
    for (int u = 0; u < n; ++u) {
      double sum = double(scalars[u]) * scalars[u];
      for (int j = 0; j < d; ++j) sum += double(rows[u * d + j]) * rows[u * d + j];
      EXPECT_NEAR(out[u], std::sqrt(sum), (std::is_same<T, float>::value ? 1e-5 : 1e-13) * 20);
    }
    EXPECT_EQ(out[n], T(-1));
  }
}

// Unit 0 is scaled by 5/2; unit 1, decayed to length 0, by 1.
TYPED_TEST(UpdateCuda, CompensateKeepsFactorOneAtZeroLength) {
  using T = TypeParam;
  const std::vector<T> before = {5, 7}, after = {2, 0};
  std::vector<T> rows = {1, 2, 3, 4, 5, 6}, scalars = {2, 0};
  varekpt::launch_kernel("CompensatefordecayKernel", CompensatefordecayKernel<T>, dim3(2),
                         dim3(2), 0, nullptr, before.data(), after.data(), 2, 3, rows.data(),
                         scalars.data());
  EXPECT_EQ(rows, (std::vector<T>{2.5, 5, 7.5, 4, 5, 6}));
  EXPECT_EQ(scalars, (std::vector<T>{5, 0}));
}

// The two kernels the worker never launches: one element per thread, none
// past count.
TYPED_TEST(UpdateCuda, FocusKernels) {
  using T = TypeParam;
  const int count = 300;
  const auto a = random_values<T>(count, 6), b = random_values<T>(count, 7);
  const auto start = random_values<T>(count + 10, 8);
  auto decayed = start, adjusted = start;
  varekpt::launch_kernel("ApplydecaytofocusKernel", ApplydecaytofocusKernel<T>, dim3(4),
                         dim3(128), 0, nullptr, a.data(), count, T(0.25), decayed.data());
  varekpt::launch_kernel("AdjustfocusKernel", AdjustfocusKernel<T>, dim3(4), dim3(128), 0,
                         nullptr, a.data(), b.data(), count, adjusted.data());
  for (int i = 0; i < count + 10; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(decayed[i], i < count ? T(start[i] - a[i] * T(0.25)) : start[i]);
    EXPECT_EQ(adjusted[i], i < count ? T((start[i] + b[i]) - a[i]) : start[i]);
  }
}

TYPED_TEST(UpdateCuda, ElementKernelsWriteNothingForCountUpToZero) {
  using T = TypeParam;
  const std::vector<T> v(128, 1);
  const T* x = v.data();
  std::vector<T> dst(128, 7);
  T* y = dst.data();
  auto run = [](const char* name, auto kernel, auto... args) {
    varekpt::launch_kernel(name, kernel, dim3(1), dim3(128), 0, nullptr, args...);
  };
  for (int n : {0, -5}) {
    run("InitTensorKernel", InitTensorKernel<T>, x, n, y);
    run("ApplymomentumKernel", ApplymomentumKernel<T>, x, n, T(1), y);
    run("ApplynesterovKernel", ApplynesterovKernel<T>, x, n, T(1), y);
    run("ApplywithlrKernel", ApplywithlrKernel<T>, x, n, T(1), y);
    run("GetfinalpuKernel", GetfinalpuKernel<T>, x, x, n, T(1), y);
    run("ApplyweightdecayKernel", ApplyweightdecayKernel<T>, x, n, T(1), y);
    run("ApplydecaytofocusKernel", ApplydecaytofocusKernel<T>, x, n, T(1), y);
    run("AdjustfocusKernel", AdjustfocusKernel<T>, x, x, n, y);
  }
  EXPECT_EQ(dst, std::vector<T>(128, 7));
}

TEST(UpdateCudaEntry, RefusesHostTensors) {
  try {
    vareksgd_getparupdate_cuda(torch::ones({4}), torch::ones({4}), torch::ones({4}), 1, 0.5, 0,
                               0, 0, false, 0);
    ADD_FAILURE() << "no error";
  } catch (const c10::Error& e) {
    EXPECT_NE(std::string(e.msg()).find(
                  "ptvareksgdfree::getparupdate: expected CUDA tensors, but par is on cpu"),
              std::string::npos)
        << e.msg();
  }
}

}  // namespace
