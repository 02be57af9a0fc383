// The CUDA workers run on the host execution layer: against the reference,
// their launch sequences and streams, their devices, and the CUDA entries'
// refusals.
#include <gtest/gtest.h>
#include <torch/torch.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "paraboloid/paraboloid.h"
#include "paraconv2d/paraconv2d.h"
#include "tests/cpp/host_launch.h"
#include "tests/cpp/plain_workers.h"
#include "tests/cpp/test_values.h"
#include "update/vareksgdupdate.h"

namespace {

const c10::Device kDevice(c10::kCUDA, 0);

// A dense layer (N × d = C, H = W = 1) or a convolution, with `trailing`
// parameters past the four blocks, and random data for it.
template <typename T>
struct Layer {
  bool dense;
  plain::Conv g;
  int trailing = 0;
  std::vector<T> x = random_values<T>(g.inputs(), 1),
                 prm = random_values<T>(g.length() + trailing, 2),
                 grad = random_values<T>(g.outputs(), 3);
};

template <typename T>
struct Results {
  std::vector<T> output, hsum, grad_input, grad_parameters;
};

// Both directions of the CUDA workers. They get NaN wherever they must write
// every element (the outputs, an input gradient that is not skipped, the
// dense parameter gradient, whose trailing elements must stay NaN); the
// convolution's parameter gradient and a skipped input gradient arrive
// zeroed, as the entries allocate them.
template <typename T>
Results<T> run_cuda(const Layer<T>& l, double f, bool skip, c10::Device device = kDevice) {
  const plain::Conv& g = l.g;
  const T nan = std::numeric_limits<T>::quiet_NaN();
  Results<T> r{std::vector<T>(g.outputs(), nan), std::vector<T>(g.outputs(), nan),
               std::vector<T>(g.inputs(), skip ? 0 : nan),
               std::vector<T>(l.prm.size(), l.dense ? nan : 0)};
  T *out = r.output.data(), *hs = r.hsum.data(), *gi = r.grad_input.data(),
    *gp = r.grad_parameters.data();
  const T *x = l.x.data(), *prm = l.prm.data(), *grad = l.grad.data();
  if (l.dense) {
    paraboloid_forward_cuda_main<T>(device, x, prm, f, g.N, g.C, g.units, out, hs);
    paraboloid_backward_cuda_main<T>(device, grad, x, prm, hs, f, g.N, g.C, g.units, gi, gp);
  } else {
    paraconv2d_forward_cuda_main<T>(device, x, prm, f, g.kh, g.kw, g.sh, g.sw, g.dh, g.dw, g.N, g.C,
                                    g.H, g.W, g.units, g.outH(), g.outW(), out, hs);
    paraconv2d_backward_cuda_main<T>(device, grad, x, prm, hs, f, g.kh, g.kw, g.sh, g.sw, g.dh,
                                     g.dw, g.N, g.C, g.H, g.W, g.units, g.outH(), g.outW(), gi, gp,
                                     skip);
  }
  return r;
}

template <typename T>
void compare_with_reference(const Layer<T>& l, double factor, bool skip) {
  const Results<T> cuda = run_cuda(l, factor, skip);
  Results<T> ref{std::vector<T>(l.g.outputs()), std::vector<T>(l.g.outputs()),
                 std::vector<T>(l.g.inputs()), std::vector<T>(l.g.length())};
  plain::forward(l.g, l.x.data(), l.prm.data(), factor, ref.output.data(), ref.hsum.data());
  plain::backward(l.g, l.grad.data(), l.x.data(), l.prm.data(), ref.hsum.data(), factor,
                  ref.grad_input.data(), ref.grad_parameters.data(), skip);
  expect_close(ref.hsum, cuda.hsum, "hsum");
  expect_close(ref.output, cuda.output, "output");
  expect_close(ref.grad_input, cuda.grad_input, "grad_input");
  expect_close(ref.grad_parameters, cuda.grad_parameters, "grad_parameters");
  for (size_t i = l.g.length(); i < cuda.grad_parameters.size(); ++i)
    EXPECT_TRUE(std::isnan(cuda.grad_parameters[i])) << i;
}

FLOAT_AND_DOUBLE_TEST_SUITE(CudaWorkers);

// Dense shapes that exercise the chunking (several threads per block, partial
// chunks, more than 128 terms per sum, one-element rows, sizes of 0), and
// convolutions (N, C, H, W, units, kh, kw, sh, sw, dh, dw), in each schedule:
// dilation 2 on 7×7 (taps reach both edges); stride 2 (elements under up to
// four windows); 1×1; hsum blocks of 4×12 (idle channel and unit threads);
// outW = 13 (a second thread per output row); strides and dilations that
// differ by direction; rows and columns that no window reads; sizes of 0
// (without channels an image's H·W may pass the int range).
TYPED_TEST(CudaWorkers, AgreeWithTheReference) {
  using L = Layer<TypeParam>;
  const plain::Conv dense[] = {{33, 13, 1, 1, 20}, {4, 1, 1, 1, 300}, {130, 17, 1, 1, 3},
                               {1, 1, 1, 1, 1},    {5, 300, 1, 1, 2}, {4, 0, 1, 1, 3},
                               {0, 3, 1, 1, 2},    {3, 2, 1, 1, 0}};
  const int trailing[] = {0, 3, 5, 0, 0, 1, 2, 5};
  const plain::Conv convs[] = {
      {2, 2, 7, 7, 3, 3, 3, 1, 1, 2, 2},  {2, 2, 7, 7, 4, 3, 3, 2, 2, 1, 1},
      {2, 3, 5, 4, 2, 1, 1, 1, 1, 1, 1},  {1, 3, 5, 5, 10, 3, 3, 1, 1, 1, 1},
      {1, 1, 2, 15, 2, 1, 3, 1, 1, 1, 1}, {2, 2, 9, 12, 3, 3, 5, 2, 1, 1, 2},
      {1, 2, 7, 7, 2, 1, 1, 3, 3, 1, 1},  {0, 2, 4, 4, 2, 3, 3, 1, 1, 1, 1},
      {2, 0, 4, 4, 2, 3, 3, 1, 1, 1, 1},  {2, 2, 4, 4, 0, 3, 3, 1, 1, 1, 1}};
  std::vector<L> layers;
  for (int k = 0; k < 8; ++k) layers.push_back({true, dense[k], trailing[k]});
  for (const plain::Conv& g : convs) layers.push_back({false, g});
  layers.push_back({false, {1, 0, 65536, 65536, 1, 1, 1, 65536, 65536}});
  in_each_schedule([&] {
    for (const L& l : layers) {
      for (double factor : {1.0, -0.35, 0.0}) {
        for (bool skip : {false, true}) {
          if (l.dense && skip) continue;
          SCOPED_TRACE(::testing::Message() << "layer " << &l - layers.data() << " factor "
                                            << factor << " skip " << skip);
          compare_with_reference(l, factor, skip);
        }
      }
    }
  });
}

// Rows beyond the 131072 elements that the scaling launches' run of 128
// covers with 1024 threads (a 3×224×224 image, a filter of d = 363·363):
// their runs widen to keep blocks within 1024 threads.
TYPED_TEST(CudaWorkers, WidenRunsOfLongRows) {
  compare_with_reference(Layer<TypeParam>{false, {1, 3, 224, 224, 2, 1, 1, 8, 8}}, -0.35, false);
  compare_with_reference(Layer<TypeParam>{false, {1, 1, 363, 363, 1, 363, 363}}, -0.35, false);
}

// The step with NaN in scratch and plr, dampening set, against the reference;
// only the unit lengths are summed in another order, and elements past L stay
// 0. NaN and negative momentum or decay count as none.
template <typename T>
void compare_update(int units, int d, int trailing, double m, bool nesterov, double wd) {
  const int L = 2 * units * (d + 1), P = L + trailing;
  const auto grad = random_values<T>(P, 1), moments = random_values<T>(P, 2),
             par = random_values<T>(P, 3);
  auto expected =
      plain::update(grad.data(), moments.data(), par.data(), units, d, 0.5, m, nesterov, wd);
  expected.resize(P);
  std::vector<T> update(P), scratch(L + 2 * units, std::numeric_limits<T>::quiet_NaN());
  vareksgd_getparupdate_cuda_main<T>(kDevice, grad.data(), moments.data(), par.data(), units, d,
                                     0.5, 0.3, m, 0.3, nesterov, wd, update.data(), scratch.data());
  SCOPED_TRACE(::testing::Message() << units << " units, d " << d << ", m " << m << " wd " << wd);
  expect_close(expected, update, "update", P, std::is_same<T, float>::value ? 4e-5 : 2e-12);
}

TYPED_TEST(CudaWorkers, UpdateAgreesWithTheReference) {
  using T = TypeParam;
  const int shapes[][3] = {{1, 1, 0}, {3, 0, 2}, {5, 200, 3}, {40, 7, 1}, {300, 2, 0}, {0, 4, 3}};
  const std::tuple<double, bool, double> steps[] = {{0, false, 0},    {0.9, false, 0},
                                                    {0.9, true, 0},   {0, false, 0.1},
                                                    {0.9, true, 0.3}, {-1, true, std::nan("")}};
  for (const auto& s : shapes)
    for (const auto& [m, nesterov, wd] : steps)
      compare_update<T>(s[0], s[1], s[2], m, nesterov, wd);
  in_each_schedule([] { compare_update<T>(150, 300, 4, 0.5, true, 0.2); });
  // (h0, h) decayed to length 0 keeps its factor 1 rather than 0/0.
  const std::vector<T> zeros(4, 0), par{3, 4, 5, 6};
  std::vector<T> update(4), scratch(6);
  vareksgd_getparupdate_cuda_main<T>(kDevice, zeros.data(), zeros.data(), par.data(), 1, 1, 1, 0, 0,
                                     0, false, 1, update.data(), scratch.data());
  EXPECT_EQ(update, (std::vector<T>{3, 4, 0, 0}));
}

// The workers queue their kernels on streams of their own (which the
// devices test sees destroyed): the dense backward on one per output block,
// which it zeroes, adds into and scales in this order; the update on one,
// except for its Nesterov step, which runs on the legacy default stream.
TEST(CudaWorkerLaunches, UseStreamsOfTheirOwn) {
  const Layer<float> l{true, {33, 13, 1, 1, 20}};
  std::vector<float> grad_input(l.x.size()), grad_parameters(l.prm.size());
  hostcuda::trace_start();
  paraboloid_backward_cuda_main<float>(kDevice, l.grad.data(), l.x.data(), l.prm.data(),
                                       l.grad.data(), 1.0, 33, 13, 20, grad_input.data(),
                                       grad_parameters.data());
  std::map<cudaStream_t, std::string> steps;
  for (const auto& r : hostcuda::trace_stop()) {
    const bool zero = r.kernel.find("Zero") != std::string::npos;
    steps[r.stream] += zero ? 'z' : r.kernel.find("2Factor") != std::string::npos ? 's' : 'a';
  }
  EXPECT_EQ(steps.size(), 5u);
  for (const auto& [stream, order] : steps) EXPECT_TRUE(stream && order == "zas") << order;
  std::vector<float> v(1206, 0.5f), update(1206), scratch(1212);
  hostcuda::trace_start();
  vareksgd_getparupdate_cuda_main<float>(kDevice, v.data(), v.data(), v.data(), 3, 200, 0.5, 0, 0.9,
                                         0, true, 0.1, update.data(), scratch.data());
  const auto trace = hostcuda::trace_stop();
  EXPECT_EQ(trace.size(), 10u);
  for (const auto& r : trace) EXPECT_EQ(!r.stream, r.kernel == "ApplynesterovKernel") << r.kernel;
}

__global__ void TrapKernel() { __trap(); }

// From device 2 of 3: a worker given cuda:1 launches everything on device 1,
// one given cuda (no index) on the current device. A failed launch (a fault
// left by earlier work), a device that does not exist and a CPU device raise
// errors naming the cause. Either way the caller's device is current
// afterwards and every stream the worker created is destroyed.
TEST(CudaWorkerDevices, RunOnTheirDeviceAndRestoreTheCallers) {
  hostcuda::set_device_count(3);
  std::vector<float> v(64, 0.5f), update(64), scratch(64);
  const Layer<float> dense{true, {2, 3, 1, 1, 2}}, conv{false, {1, 1, 3, 3, 2, 3, 3}};
  const std::pair<const char*, std::function<void(c10::Device)>> workers[] = {
      {"dense", [&](c10::Device d) { run_cuda(dense, 1.0, false, d); }},
      {"conv", [&](c10::Device d) { run_cuda(conv, 1.0, false, d); }},
      {"update", [&](c10::Device d) {
         vareksgd_getparupdate_cuda_main<float>(d, v.data(), v.data(), v.data(), 2, 3, 0.5, 0.0,
                                                0.9, 0.0, true, 0.1, update.data(), scratch.data());
       }}};
  const std::pair<c10::Device, std::string> cases[] = {
      {c10::Device(c10::kCUDA, 1), ""},
      {c10::Device(c10::kCUDA), ""},
      {c10::Device(c10::kCUDA, 1), "failed to launch"},
      {c10::Device(c10::kCUDA, 3), "cudaSetDevice"},
      {c10::Device(c10::kCPU), "not a CUDA device"}};
  for (const auto& [name, worker] : workers) {
    for (const auto& [device, message] : cases) {
      ASSERT_EQ(cudaSetDevice(2), cudaSuccess);
      if (message == "failed to launch")
        hostcuda::launch("TrapKernel", TrapKernel, 1, 1, 0, nullptr);
      const auto before = hostcuda::stream_counts();
      hostcuda::trace_start();
      const std::string error = error_of([&, d = device] { worker(d); });
      const auto trace = hostcuda::trace_stop();
      hostcuda::reset_device();
      const auto after = hostcuda::stream_counts();
      SCOPED_TRACE(::testing::Message() << name << " on " << device << ": " << error);
      EXPECT_NE(error.find(message.empty() ? "no error" : message), std::string::npos);
      const int expected = device.has_index() ? device.index() : 2;
      for (const auto& r : trace)
        EXPECT_TRUE(!message.empty() || (r.device == expected && !r.refused));
      EXPECT_TRUE(!message.empty() || !trace.empty());
      EXPECT_EQ(after.created - before.created, after.destroyed - before.destroyed);
      int current = -1;
      EXPECT_TRUE(cudaGetDevice(&current) == cudaSuccess && current == 2);
    }
  }
  (void)cudaSetDevice(0);
  hostcuda::set_device_count(1);
}

// The CUDA entries refuse shapes beyond the device's launch limits before
// anything is allocated or queued, and want every tensor on one CUDA device;
// the CPU entries refuse tensors of another device, which only native code
// can pass.
TEST(Entries, RefuseLaunchLimitsAndOtherDevices) {
  using torch::zeros;
  const auto one = torch::tensor({1, 1}, torch::kInt), three = torch::tensor({3, 3}, torch::kInt);
  const auto v = torch::ones({4}), meta = torch::ones({4}, torch::kMeta);
  const auto x = zeros({1, 1, 3, 3}), meta_pair = one.to(torch::kMeta);
  const auto dense = [](int64_t N, int64_t d, int64_t P, bool backward) {
    return [=] {
      if (!backward) paraboloid_forward_cuda(zeros({N, d}), zeros({P}), 1.0);
      if (backward)
        paraboloid_backward_cuda(zeros({N, 0}), zeros({N, d}), zeros({P}), zeros({N, 0}), 1.0);
    };
  };
  const auto conv_forward = [&](at::Tensor x, int units, const at::Tensor& k) {
    const int64_t d = x.size(1) * k[0].item<int>() * k[1].item<int>();
    return [=] { paraconv2d_forward_cuda(x, zeros({2 * units * (d + 1)}), 1.0, k, one, one); };
  };
  // A 1×1 kernel; grad and hsum of the output's shape.
  const auto conv_backward = [&](at::Tensor x, bool skip) {
    const auto out = zeros({x.size(0), 1, x.size(2), x.size(3)});
    return [=] {
      paraconv2d_backward_cuda(out, x, zeros({2 * (x.size(1) + 1)}), out, 1.0, one, one, one, skip);
    };
  };
  const std::pair<std::function<void()>, std::string> cases[] = {
      {dense(1, 8193, 0, false), "paraboloidfree::forward: .*ceil\\(d/8\\) .*1025"},
      {dense(1, 1, 4 * 8193, false), "paraboloidfree::forward: .*ceil\\(units/8\\) .*1025"},
      {dense(1, 65536, 0, true), "paraboloidfree::backward: .*up32\\(d\\) .*65536"},
      {dense(131073, 1, 0, true), "paraboloidfree::backward: .*ceil\\(N/128\\) .*1025"},
      {dense(2, 3, 8, false), "paraboloidfree::forward: .*CUDA.*input is on cpu"},
      {conv_forward(zeros({1, 64, 3, 3}), 17, three),
       "conv2dfree::forward: .*up4\\(C\\)·up4\\(units\\).* 17"},
      {conv_forward(zeros({1, 64, 3, 3}), 16, three), "conv2dfree::forward: expected CUDA tensors"},
      {conv_forward(zeros({1, 1, 1, 8193}), 1, one), "conv2dfree::forward: .*outW = 8193"},
      {conv_forward(zeros({1, 1, 65505, 1}), 1, one), "conv2dfree::forward: .*outH = 65505"},
      {conv_backward(zeros({1, 1025, 1, 1}), false), "conv2dfree::backward: .*C = 1025"},
      {conv_backward(zeros({1, 1025, 1, 1}), true), "conv2dfree::backward: expected CUDA tensors"},
      {conv_backward(zeros({0, 65536, 256, 256}), true),
       "conv2dfree::backward: C·H·W .*4294967296"},
      {conv_backward(zeros({1, 65505, 1, 1}), true), "conv2dfree::backward: .*C = 65505"},
      {conv_backward(zeros({1, 1, 1025, 1}), true), "conv2dfree::backward: .*outH = 1025"},
      {[&] { paraconv2d_forward_cuda(x, v, 1.0, one, meta_pair, one); },
       "conv2dfree::forward: strides_tensor must be on the CPU"},
      {[&] { paraboloid_forward_cpu(x[0][0], meta, 1.0); },
       "paraboloidfree::forward: .*parameters is on meta"},
      {[&] { paraconv2d_forward_cpu(x, meta, 1.0, one, one, one); },
       "conv2dfree::forward: .*parameters is on meta"},
      {[&] { paraconv2d_forward_cpu(x, v, 1.0, one, one, meta_pair); },
       "conv2dfree::forward: dilation_rate_tensor must be on the CPU"},
      {[&] { vareksgd_getparupdate_cpu(meta, v, v, 1.0, 0.5, 0, 0, 0, false, 0); },
       "getparupdate: .*grad is on meta"},
      {[&] { vareksgd_getparupdate_cpu(v, meta, v, 1.0, 0.5, 0, 0, 0, false, 0); },
       "getparupdate: .*moments is on meta"},
      {[&] { vareksgd_getparupdate_cpu(v, v, meta, 1.0, 0.5, 0, 0, 0, false, 0); },
       "getparupdate: .*par is on meta"},
      {[&] { vareksgd_getparupdate_cuda(v, v, v, 1, 0.5, 0, 0, 0, false, 0); },
       "getparupdate: expected CUDA tensors, but par is on cpu"},
  };
  for (const auto& [call, pattern] : cases)
    EXPECT_TRUE(std::regex_search(error_of(call), std::regex(pattern))) << pattern;
}

// The dispatcher resolves negative views before an entry sees them; native
// callers reach the entries directly, and get the same results.
TEST(Entries, NegativeViewsGiveTheResultsOfTheirValues) {
  using Tensors = std::vector<at::Tensor>;
  const auto values = [](at::IntArrayRef sizes) { return torch::randn(sizes, torch::kDouble); };
  const auto kernel = torch::tensor({3, 1}, torch::kInt),
             stride = torch::tensor({1, 2}, torch::kInt);
  // Dense: N 3, d 2, units 2. Convolution: 2 images 2×5×4, 3×1 kernel, strides and dilations
  // 1×2, units 2, output 3×2.
  const auto dense = values({3, 2}), prm = values({12}), image = values({2, 2, 5, 4});
  const auto conv_prm = values({28}), conv_out = values({2, 2, 3, 2});
  const std::pair<std::function<Tensors(const Tensors&)>, Tensors> calls[] = {
      {[](const Tensors& a) { return paraboloid_forward_cpu(a[0], a[1], 0.5); }, {dense, prm}},
      {[](const Tensors& a) { return paraboloid_backward_cpu(a[0], a[1], a[2], a[3], 0.5); },
       {dense, dense, prm, dense}},
      {[](const Tensors& a) { return paraconv2d_forward_cpu(a[0], a[1], 0.5, a[2], a[3], a[3]); },
       {image, conv_prm, kernel, stride}},
      {[](const Tensors& a) {
         return paraconv2d_backward_cpu(a[0], a[1], a[2], a[3], 0.5, a[4], a[5], a[5], false);
       },
       {conv_out, image, conv_prm, conv_out, kernel, stride}},
      {[](const Tensors& a) {
         return vareksgd_getparupdate_cpu(a[0], a[1], a[2], 2.0, 0.1, 0, 0.9, 0, true, 0.01);
       },
       {prm, prm, values({13})}},
  };
  for (const auto& [call, args] : calls) {
    Tensors negative;
    for (const at::Tensor& t : args) negative.push_back(at::_neg_view(-t));
    const Tensors want = call(args), got = call(negative);
    for (size_t i = 0; i < want.size(); ++i) EXPECT_TRUE(torch::equal(got[i], want[i])) << i;
  }
}

}  // namespace
