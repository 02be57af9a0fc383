// Update rule CUDA worker and kernels run on the host execution layer, against
// the CPU worker, and the worker's launch sequence.
#include <array>
#include <cmath>
#include <limits>
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

using varekpt::launch_kernel;

// hlr, momentum, Nesterov (0 or 1), weight decay.
using Step = std::array<double, 4>;

// Runs a worker on vectors of length par.size(), update filled with 0 as the
// entry does, scratch with `fill`, plr and dampening (not used) set to `unused`.
template <typename T, typename Worker>
std::vector<T> run(Worker worker, const std::vector<T>& grad, const std::vector<T>& moments,
                   const std::vector<T>& par, int units, int d, const Step& s, T fill = 0,
                   double unused = 0) {
  std::vector<T> update(par.size(), 0), scratch(par.size() + 2 * units, fill);
  worker(grad.data(), moments.data(), par.data(), units, d, s[0], unused, s[1], unused, s[2] != 0,
         s[3], update.data(), scratch.data());
  return update;
}

// The CUDA worker on cuda:0, called like the CPU worker.
template <typename T>
const auto cuda_worker = [](auto... args) {
  vareksgd_getparupdate_cuda_main<T>(c10::Device(c10::kCUDA, 0), args...);
};

// The CUDA worker, with NaN in scratch and plr, dampening set, against the CPU
// worker without; only the unit lengths are summed in another order, and
// elements past L stay exactly 0.
template <typename T>
void compare_with_cpu(int units, int d, int trailing, const Step& s) {
  const int L = 2 * units * (d + 1), P = L + trailing;
  const auto grad = random_values<T>(P, 1), moments = random_values<T>(P, 2),
             par = random_values<T>(P, 3);
  const auto expected = run<T>(vareksgd_getparupdate_cpu_main<T>, grad, moments, par, units, d, s);
  const auto update = run<T>(cuda_worker<T>, grad, moments, par, units, d, s,
                             std::numeric_limits<T>::quiet_NaN(), 0.3);
  const double eps = std::is_same<T, float>::value ? 2e-5 : 1e-12;
  for (int i = 0; i < P; ++i) {
    const double tol = i < L ? eps * (1 + std::abs(par[i]) + std::abs(expected[i])) : 0;
    ASSERT_NEAR(expected[i], update[i], tol) << units << " units, d " << d << ", step " << s[1]
                                             << " " << s[2] << " " << s[3] << ", element " << i;
  }
}

template <typename T>
class UpdateCuda : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(UpdateCuda, ElementTypes);

// Shapes as units, d, trailing elements; NaN and negative m and wd count as none.
TYPED_TEST(UpdateCuda, AgreesWithCpuWorker) {
  const int shapes[][3] = {{1, 1, 0}, {3, 0, 2}, {5, 200, 3}, {40, 7, 1}, {300, 2, 0}, {0, 4, 3}};
  const Step steps[] = {{0.5, 0, 0, 0},   {0.5, 0.9, 0, 0},   {0.5, 0.9, 1, 0},
                        {0.5, 0, 0, 0.1}, {0.5, 0.9, 1, 0.3}, {0.5, -1, 1, std::nan("")}};
  for (const auto& sh : shapes)
    for (const Step& s : steps) compare_with_cpu<TypeParam>(sh[0], sh[1], sh[2], s);
  hostcuda::set_workers(4);
  hostcuda::set_resume_order(hostcuda::ResumeOrder::Shuffle, 11);
  compare_with_cpu<TypeParam>(150, 300, 4, {0.5, 0.5, 1, 0.2});
  hostcuda::set_workers(1);
  hostcuda::set_resume_order(hostcuda::ResumeOrder::Forward);
}

// Runs the worker on units 3, d 200. All launches have blocks of 128;
// GetmagsKernel takes 128·sizeof(T) shared bytes; the Nesterov step runs on the
// legacy default stream, the rest on the one stream the worker creates and
// destroys.
template <typename T>
void expect_launches(const Step& s, const std::vector<std::string>& kernels) {
  const std::vector<T> v(1206, T(0.5));
  const auto before = hostcuda::stream_counts();
  hostcuda::trace_start();
  run<T>(cuda_worker<T>, v, v, v, 3, 200, s);
  const auto trace = hostcuda::trace_stop();
  const auto after = hostcuda::stream_counts();
  EXPECT_EQ(std::make_pair(after.created, after.destroyed),
            std::make_pair(before.created + 1, before.destroyed + 1));
  ASSERT_EQ(trace.size(), kernels.size());
  for (size_t i = 0; i < trace.size(); ++i) {
    const std::string& k = kernels[i];
    EXPECT_EQ(trace[i].kernel, k) << "launch " << i + 1;
    EXPECT_EQ(std::make_pair(trace[i].block.x, trace[i].shared_bytes),
              std::make_pair(128u, k == "GetmagsKernel" ? 128 * sizeof(T) : 0))
        << k;
    EXPECT_EQ(trace[i].stream, k == "ApplynesterovKernel" ? nullptr : trace[0].stream) << k;
  }
  EXPECT_NE(trace[0].stream, nullptr);
}

TYPED_TEST(UpdateCuda, LaunchSequence) {
  expect_launches<TypeParam>(
      {0.5, 0.9, 1, 0.1},
      {"InitTensorKernel", "ApplymomentumKernel", "ApplynesterovKernel", "InitTensorKernel",
       "ApplywithlrKernel", "GetmagsKernel", "ApplyweightdecayKernel", "GetmagsKernel",
       "CompensatefordecayKernel", "GetfinalpuKernel"});
  expect_launches<TypeParam>({0.5, 0, 1, 0}, {"InitTensorKernel", "InitTensorKernel",
                                              "ApplywithlrKernel", "GetfinalpuKernel"});
}

// GetmagsKernel over 2 rows of d = 1000 with a block of 100 threads, resumed
// in reverse and shuffled order; the block past n = 2 writes nothing.
TYPED_TEST(UpdateCuda, GetmagsReducesAnyBlockSize) {
  using T = TypeParam;
  const auto rows = random_values<T>(2000, 5);
  const std::vector<T> scalars = {T(0.5), T(-2)};
  for (auto order : {hostcuda::ResumeOrder::Reverse, hostcuda::ResumeOrder::Shuffle}) {
    hostcuda::set_resume_order(order, 3);
    std::vector<T> out(3, T(-1));
    launch_kernel("GetmagsKernel", GetmagsKernel<T>, dim3(3), dim3(100), 100 * sizeof(T), nullptr,
                  rows.data(), scalars.data(), 2, 1000, out.data());
    for (int u = 0; u < 2; ++u) {
      double sum = double(scalars[u]) * scalars[u];
      for (int j = u * 1000; j < (u + 1) * 1000; ++j) sum += double(rows[j]) * rows[j];
      EXPECT_NEAR(out[u], std::sqrt(sum), (std::is_same<T, float>::value ? 2e-4 : 2e-12));
    }
    EXPECT_EQ(out[2], T(-1));
  }
  hostcuda::set_resume_order(hostcuda::ResumeOrder::Forward);
}

// CompensatefordecayKernel keeps factor 1 for a unit decayed to length 0; the
// two kernels the worker never launches set 130 elements of 140.
TYPED_TEST(UpdateCuda, CompensateAndFocusKernels) {
  using T = TypeParam;
  const std::vector<T> zeros(4, 0);
  EXPECT_EQ(
      run<T>(cuda_worker<T>, zeros, zeros, {3, 4, 5, 6}, 1, 1, {1, 0, 0, 1}),
      (std::vector<T>{3, 4, 0, 0}));
  const auto a = random_values<T>(140, 6), b = random_values<T>(140, 7);
  auto decayed = b, adjusted = b;
  launch_kernel("ApplydecaytofocusKernel", ApplydecaytofocusKernel<T>, dim3(2), dim3(128), 0,
                nullptr, a.data(), 130, T(0.25), decayed.data());
  launch_kernel("AdjustfocusKernel", AdjustfocusKernel<T>, dim3(2), dim3(128), 0, nullptr, a.data(),
                b.data(), 130, adjusted.data());
  for (int i = 0; i < 140; ++i) {
    EXPECT_EQ(decayed[i], i < 130 ? T(b[i] - a[i] * T(0.25)) : b[i]) << i;
    EXPECT_EQ(adjusted[i], i < 130 ? T((b[i] + b[i]) - a[i]) : b[i]) << i;
  }
}

TEST(UpdateCudaEntry, RefusesHostTensors) {
  const auto v = torch::ones({4});
  try {
    vareksgd_getparupdate_cuda(v, v, v, 1, 0.5, 0, 0, 0, false, 0);
    ADD_FAILURE() << "no error";
  } catch (const c10::Error& e) {
    EXPECT_EQ(std::string(e.msg()).find(
                  "ptvareksgdfree::getparupdate: expected CUDA tensors, but par is on cpu"),
              0u);
  }
}

}  // namespace
