// Convolution layer CUDA workers run on the host execution layer, against the
// CPU workers; their launch sequences; the CUDA entries' checks.
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <torch/torch.h>

#include "common/cuda/launch.h"
#include "common/hostcuda/hostcuda.h"
#include "paraconv2d/paraconv2d.h"
#include "paraconv2d/paraconv2dgradkernels.h"
#include "tests/cpp/test_errors.h"
#include "tests/cpp/test_schedule.h"
#include "tests/cpp/test_trace.h"
#include "tests/cpp/test_values.h"

namespace {

// The worker's thirteen sizes; outH and outW as the entries derive them.
struct Geometry {
  int kh, kw, sh, sw, dh, dw, N, C, H, W, units;
  int d() const { return C * kh * kw; }
  int outH() const { return (H - dh * (kh - 1) - 1) / sh + 1; }
  int outW() const { return (W - dw * (kw - 1) - 1) / sw + 1; }
  size_t inputs() const { return size_t(N) * C * H * W; }
  size_t outputs() const { return size_t(N) * units * outH() * outW(); }
  int parameters() const { return 2 * units * (d() + 1); }
};

const c10::Device kDevice(c10::kCUDA, 0);

template <typename T>
struct Results {
  std::vector<T> output, hsum, grad_input, grad_parameters;
};

// Runs both directions of the CPU or the CUDA workers on the same data. The
// CUDA forward's outputs and, unless it is skipped, the CUDA backward's
// grad_input arrive full of NaN: the worker fills them. grad_parameters (and
// a skipped grad_input) arrive zeroed, as the entries allocate them.
template <typename T>
Results<T> run(bool cuda, const Geometry& g, double factor, bool skip_input_grad) {
  const auto input = random_values<T>(g.inputs(), 1);
  const auto parameters = random_values<T>(g.parameters(), 2);
  const auto grad = random_values<T>(g.outputs(), 3);
  const T nan = std::numeric_limits<T>::quiet_NaN();
  Results<T> r{std::vector<T>(g.outputs(), cuda ? nan : 0),
               std::vector<T>(g.outputs(), cuda ? nan : 0),
               std::vector<T>(g.inputs(), cuda && !skip_input_grad ? nan : 0),
               std::vector<T>(g.parameters(), 0)};
  if (cuda) {
    paraconv2d_forward_cuda_main<T>(kDevice, input.data(), parameters.data(), factor, g.kh, g.kw,
                                    g.sh, g.sw, g.dh, g.dw, g.N, g.C, g.H, g.W, g.units, g.outH(),
                                    g.outW(), r.output.data(), r.hsum.data());
    paraconv2d_backward_cuda_main<T>(
        kDevice, grad.data(), input.data(), parameters.data(), r.hsum.data(), factor, g.kh, g.kw,
        g.sh, g.sw, g.dh, g.dw, g.N, g.C, g.H, g.W, g.units, g.outH(), g.outW(),
        r.grad_input.data(), r.grad_parameters.data(), skip_input_grad);
  } else {
    paraconv2d_forward_cpu_main<T>(input.data(), parameters.data(), factor, g.kh, g.kw, g.sh, g.sw,
                                   g.dh, g.dw, g.N, g.C, g.H, g.W, g.units, g.outH(), g.outW(),
                                   r.output.data(), r.hsum.data());
    paraconv2d_backward_cpu_main<T>(grad.data(), input.data(), parameters.data(), r.hsum.data(),
                                    factor, g.kh, g.kw, g.sh, g.sw, g.dh, g.dw, g.N, g.C, g.H, g.W,
                                    g.units, g.outH(), g.outW(), r.grad_input.data(),
                                    r.grad_parameters.data(), skip_input_grad);
  }
  return r;
}

template <typename T>
void compare_with_cpu(const Geometry& g, double factor, bool skip_input_grad) {
  const Results<T> cpu = run<T>(false, g, factor, skip_input_grad);
  const Results<T> cuda = run<T>(true, g, factor, skip_input_grad);
  expect_close(cpu.hsum, cuda.hsum, "hsum");
  expect_close(cpu.output, cuda.output, "output");
  expect_close(cpu.grad_input, cuda.grad_input, "grad_input");
  expect_close(cpu.grad_parameters, cuda.grad_parameters, "grad_parameters");
}

template <typename T>
class ConvCudaWorkers : public HostScheduleTest {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ConvCudaWorkers, ElementTypes);

// kh, kw, sh, sw, dh, dw, N, C, H, W, units.
const Geometry kGeometries[] = {
    {3, 3, 1, 1, 2, 2, 2, 2, 7, 7, 3},   // dilation 2 on 7×7: taps reach both image edges
    {3, 3, 2, 2, 1, 1, 2, 2, 7, 7, 4},   // stride 2: elements under up to four windows
    {1, 1, 1, 1, 1, 1, 2, 3, 5, 4, 2},   // 1×1
    {3, 3, 1, 1, 1, 1, 1, 3, 5, 5, 10},  // hsum block 4×12: idle channel and unit threads
    {1, 3, 1, 1, 1, 1, 1, 1, 2, 15, 2},  // outW = 13: a second thread per output row
    {3, 5, 2, 1, 1, 2, 2, 2, 9, 12, 3},  // strides and dilations differ in height and width
    {1, 1, 3, 3, 1, 1, 1, 2, 7, 7, 2},   // rows and columns 1, 2, 4, 5 are read by no window
    {3, 3, 1, 1, 1, 1, 0, 2, 4, 4, 2},   // sizes of 0: nothing to launch
    {3, 3, 1, 1, 1, 1, 2, 0, 4, 4, 2},  {3, 3, 1, 1, 1, 1, 2, 2, 4, 4, 0},
    {1, 1, 65536, 65536, 1, 1, 1, 0, 65536, 65536, 1},  // no channel: H·W passes int
};

TYPED_TEST(ConvCudaWorkers, AgreeWithCpuWorkers) {
  in_each_schedule([&] {
    for (const Geometry& g : kGeometries) {
      for (double factor : {1.0, -0.35, 0.0}) {
        for (bool skip : {false, true}) {
          SCOPED_TRACE(::testing::Message()
                       << "kernel " << g.kh << "x" << g.kw << " stride " << g.sh << "x" << g.sw
                       << " dilation " << g.dh << "x" << g.dw << " N " << g.N << " C " << g.C
                       << " H " << g.H << " W " << g.W << " units " << g.units << " factor "
                       << factor << " skip " << skip);
          compare_with_cpu<TypeParam>(g, factor, skip);
        }
      }
    }
  });
}

// Rows beyond the 131072 elements that the scaling launches' run of 128 covers
// with 1024 threads: a 3×224×224 image, and a filter of d = 363·363. Their
// runs widen just enough for blocks of at most 1024 threads.
TYPED_TEST(ConvCudaWorkers, WidenRunsOfLongRows) {
  const Geometry wide_image{1, 1, 8, 8, 1, 1, 1, 3, 224, 224, 2};
  const Geometry wide_filter{363, 363, 1, 1, 1, 1, 1, 1, 363, 363, 1};
  for (const Geometry& g : {wide_image, wide_filter}) {
    hostcuda::trace_start();
    compare_with_cpu<TypeParam>(g, -0.35, false);
    const auto trace = hostcuda::trace_stop();
    unsigned widest = 0;
    for (const auto& r : trace) {
      EXPECT_FALSE(r.refused) << r.kernel;
      if (r.kernel == "ParaConv2DGrad2FactorTensorCudaKernel") widest = std::max(widest, r.block.x);
    }
    EXPECT_GT(widest, 1000u);
    EXPECT_LE(widest, 1024u);
  }
}

// The row-chunk kernels on 2 rows of 5 elements, 2 per thread, in a grid of 32
// rows: they set, double, and double and scale exactly those 10 elements;
// ParaConv2DGrad2TensorCudaKernel is exported though no worker launches it.
TYPED_TEST(ConvCudaWorkers, RowChunkKernels) {
  using T = TypeParam;
  const auto values = random_values<T>(12, 4);
  const std::pair<std::function<void(T*)>, std::function<T(T)>> kernels[] = {
      {[](T* a) {
         varekpt::launch_kernel("Zero", ParaConv2DGradZeroTensorCudaKernel<T>, dim3(32), dim3(3), 0,
                                nullptr, 2, 5, 2, a);
       },
       [](T) { return T(0); }},
      {[](T* a) {
         varekpt::launch_kernel("Double", ParaConv2DGrad2TensorCudaKernel<T>, dim3(32), dim3(3), 0,
                                nullptr, 2, 5, 2, a);
       },
       [](T x) { return x + x; }},
      {[](T* a) {
         varekpt::launch_kernel("Scale", ParaConv2DGrad2FactorTensorCudaKernel<T>, dim3(32),
                                dim3(3), 0, nullptr, T(-0.35), 2, 5, 2, a);
       },
       [](T x) { return (x + x) * T(-0.35); }},
  };
  for (const auto& [launch, expected] : kernels) {
    auto a = values;
    launch(a.data());
    for (int i = 0; i < 12; ++i) EXPECT_EQ(a[i], i < 10 ? expected(values[i]) : values[i]) << i;
  }
}

// The launches of both workers against the tables, on the stream each worker
// creates and destroys, on device 0.
TEST(ConvCudaLaunches, FollowTheirTables) {
  const Geometry g{3, 3, 1, 1, 1, 1, 2, 3, 4, 15, 10};  // outH 2, outW 13, d 27
  const std::string zero = "ParaConv2DGradZeroTensorCudaKernel ";
  const std::string scale = "ParaConv2DGrad2FactorTensorCudaKernel ";
  const std::vector<std::string> forward = {"ParaConv2DInitCudaKernelNCHW 32x32x32 2x1x1 0 s0",
                                            "ParaConv2DHsumCudaKernelNCHW 32x32x32 4x12x1 0 s0",
                                            "ParaConv2DPsqCudaKernelNCHW 32x32x32 1x12x1 0 s0",
                                            "ParaConv2DOutputCudaKernelNCHW 32x32x32 2x1x1 0 s0"};
  const std::vector<std::string> parameter_gradients = {
      "ParaConv2DGradHKernelNCHW 32x32x32 2x1x1 0 s0",
      "ParaConv2DGradH0KernelNCHW 32x32x32 13x1x1 0 s0",
      "ParaConv2DGradPKernelNCHW 32x32x32 2x1x1 0 s0",
      "ParaConv2DGradP0KernelNCHW 32x32x32 13x1x1 0 s0",
      scale + "32x1x1 2x1x1 0 s0",  // grad_input, 180 elements per image
      scale + "32x1x1 1x1x1 0 s0",
      scale + "32x1x1 1x1x1 0 s0",
      scale + "32x1x1 1x1x1 0 s0",
      scale + "32x1x1 1x1x1 0 s0"};
  std::vector<std::string> backward = {zero + "8x1x1 45x1x1 0 s0",
                                       "ParaConv2DGradInputNCHWKernel 2x2x13 3x1x1 0 s0"};
  backward.insert(backward.end(), parameter_gradients.begin(), parameter_gradients.end());

  for (bool skip : {false, true}) {
    const auto before = hostcuda::stream_counts();
    hostcuda::trace_start();
    run<float>(true, g, 1.0, skip);
    const auto trace = hostcuda::trace_stop();
    std::vector<std::string> expected = forward;
    const auto& tail = skip ? parameter_gradients : backward;
    expected.insert(expected.end(), tail.begin(), tail.end());
    auto lines = describe(trace);
    // Each worker has its own stream: number the backward's from 0 as well.
    const auto backward_lines =
        describe(std::vector<hostcuda::LaunchRecord>(trace.begin() + 4, trace.end()));
    std::copy(backward_lines.begin(), backward_lines.end(), lines.begin() + 4);
    EXPECT_EQ(lines, expected) << "skip_input_grad " << skip;
    for (const auto& r : trace) EXPECT_EQ(r.device, 0) << r.kernel;
    const auto after = hostcuda::stream_counts();
    EXPECT_EQ(after.created - before.created, 2u);
    EXPECT_EQ(after.destroyed - before.destroyed, 2u);
  }
}

// The CUDA entries share the CPU entries' checks, refuse shapes beyond the
// launch limits before anything is allocated or queued, and want every tensor
// on one CUDA device.
TEST(ConvCudaEntries, RefuseLaunchLimitsAndHostTensors) {
  using torch::zeros;
  const auto one = torch::tensor({1, 1}, torch::kInt);
  const auto three = torch::tensor({3, 3}, torch::kInt);
  const auto forward = [&](at::Tensor x, int units, const at::Tensor& k) {
    const int64_t d = x.size(1) * k[0].item<int>() * k[1].item<int>();
    return [=] { paraconv2d_forward_cuda(x, zeros({2 * units * (d + 1)}), 1.0, k, one, one); };
  };
  // 1×1 kernel; grad and hsum of the output's shape.
  const auto backward = [&](at::Tensor x, bool skip) {
    const auto out = zeros({x.size(0), 1, x.size(2), x.size(3)});
    return [=] {
      paraconv2d_backward_cuda(out, x, zeros({2 * (x.size(1) + 1)}), out, 1.0, one, one, one, skip);
    };
  };
  const std::pair<std::function<void()>, std::string> cases[] = {
      {forward(zeros({1, 64, 3, 3}), 17, three),
       "forward: threads per block up4(C)·up4(units) for C = 64 and units = 17"},
      {forward(zeros({1, 64, 3, 3}), 16, three), "forward: expected CUDA tensors"},
      {forward(zeros({1, 1, 1, 8193}), 1, one),
       "forward: threads per block ceil(outW/8) for outW = 8193"},
      {backward(zeros({1, 1025, 1, 1}), false), "backward: threads per block C for C = 1025"},
      {backward(zeros({1, 1025, 1, 1}), true), "backward: expected CUDA tensors"},
      {backward(zeros({0, 65536, 256, 256}), true), "backward: C·H·W is 4294967296"},
      {backward(zeros({1, 65505, 1, 1}), true),
       "backward: grid extent up32(C) along z for C = 65505"},
      {forward(zeros({1, 1, 65505, 1}), 1, one),
       "forward: grid extent up32(outH) for outH = 65505"},
      {backward(zeros({1, 1, 1025, 1}), true), "backward: threads per block outH for outH = 1025"},
      {[&] {
         paraconv2d_forward_cuda(zeros({1, 1, 3, 3}), zeros({4}), 1.0, one, one.to(torch::kMeta),
                                 one);
       },
       "forward: strides_tensor must be on the CPU"},
  };
  for (const auto& [call, message] : cases) {
    EXPECT_NE(error_of(call).find("ptparaconv2dfree::" + message), std::string::npos) << message;
  }
}

}  // namespace
