// Convolution layer: CUDA workers. They queue the kernels of
// osparaconv2dkernels and paraconv2dgradkernels on a stream of their own.
// Kernels take the image sizes in the order N, H, W, C.
#include "paraconv2d/paraconv2d_cuda.h"

#include <cstdint>

#include "common/cuda/device_guard.h"
#include "common/cuda/launch.h"
#include "common/cuda/limits.h"
#include "common/cuda/streams.h"
#include "common/parameter_blocks.h"
#include "paraconv2d/osparaconv2dkernels.h"
#include "paraconv2d/paraconv2dgradkernels.h"

using varekpt::chunks;
using varekpt::launch_kernel;
using varekpt::up32;
using varekpt::up4;
using varekpt::widened_chunk;

namespace {

// A launch extent; the entries have checked every extent against the device's
// limits, so it fits.
unsigned extent(int64_t x) { return static_cast<unsigned>(x); }

constexpr int kForwardChunk = 8;
constexpr int kScaleChunk = 128;

// The per-thread run and the block of a row-chunk launch over rows of `cols`
// elements: a run of `chunk` (128 for the scaling launches, 1 for the zeroing
// launch) while its block fits, otherwise the shortest run that keeps the
// block within 1024 threads. A row of 0 elements gives a block of 0: the
// launch is skipped.
struct RowChunks {
  int chunk;
  dim3 block;
};
RowChunks row_chunks(int cols, int chunk) {
  const int64_t run = widened_chunk(cols, chunk);
  return {static_cast<int>(run), dim3(extent(chunks(cols, run)))};
}

}  // namespace

template <typename T>
void paraconv2d_forward_cuda_main(c10::Device device, const T* input, const T* parameters,
                                  double doublefactor, int kh, int kw, int sh, int sw, int dh,
                                  int dw, int N, int C, int H, int W, int units, int outH, int outW,
                                  T* output, T* hsum) {
  const varekpt::CudaDeviceGuard on_device(device);
  const int d = C * kh * kw;
  const auto [h0, h, p, p0] = varekpt::parameter_blocks(parameters, units, d);
  const T factor = static_cast<T>(doublefactor);
  constexpr int chunk = kForwardChunk;
  // One block per output row (n, u, oh), one per output position (n, oh, ow).
  const dim3 rows(extent(up32(N)), extent(up32(units)), extent(up32(outH)));
  const dim3 positions(extent(up32(N)), extent(up32(outH)), extent(up32(outW)));
  const dim3 row_threads(extent(chunks(outW, chunk)));

  varekpt::WorkerStreams streams;
  const cudaStream_t s = streams.create();
  launch_kernel("ParaConv2DInitCudaKernelNCHW", ParaConv2DInitCudaKernelNCHW<T>, rows, row_threads,
                0, s, h0, p0, N, outH, outW, units, chunk, hsum, output);
  launch_kernel("ParaConv2DHsumCudaKernelNCHW", ParaConv2DHsumCudaKernelNCHW<T>, positions,
                dim3(extent(up4(C)), extent(up4(units))), 0, s, input, h, kh, kw, sh, sw, dh, dw, N,
                H, W, C, units, outH, outW, chunk, hsum);
  launch_kernel("ParaConv2DPsqCudaKernelNCHW", ParaConv2DPsqCudaKernelNCHW<T>, positions,
                dim3(1, extent(up4(units))), 0, s, input, p, kh, kw, sh, sw, dh, dw, N, H, W, C,
                units, outH, outW, chunk, output);
  launch_kernel("ParaConv2DOutputCudaKernelNCHW", ParaConv2DOutputCudaKernelNCHW<T>, rows,
                row_threads, 0, s, factor, N, outH, outW, units, chunk, static_cast<const T*>(hsum),
                output);
  streams.release();
}

template <typename T>
void paraconv2d_backward_cuda_main(c10::Device device, const T* grad, const T* input,
                                   const T* parameters, const T* hsum, double doublefactor, int kh,
                                   int kw, int sh, int sw, int dh, int dw, int N, int C, int H,
                                   int W, int units, int outH, int outW, T* grad_input,
                                   T* grad_parameters, bool skip_input_grad) {
  const varekpt::CudaDeviceGuard on_device(device);
  const int d = C * kh * kw;
  const auto [h0, h, p, p0] = varekpt::parameter_blocks(parameters, units, d);
  const auto [grad_h0, grad_h, grad_p, grad_p0] =
      varekpt::parameter_blocks(grad_parameters, units, d);
  const T factor = static_cast<T>(doublefactor);

  varekpt::WorkerStreams streams;
  const cudaStream_t s = streams.create();
  // Without channels grad_input is empty (and N·H need not fit an int).
  if (!skip_input_grad && C > 0) {
    // grad_input as N·H rows of W·C elements.
    const RowChunks zero = row_chunks(W * C, 1);
    launch_kernel("ParaConv2DGradZeroTensorCudaKernel", ParaConv2DGradZeroTensorCudaKernel<T>,
                  dim3(N * H), zero.block, 0, s, N * H, W * C, zero.chunk, grad_input);
    launch_kernel("ParaConv2DGradInputNCHWKernel", ParaConv2DGradInputNCHWKernel<T>,
                  dim3(N, outH, outW), dim3(C), 0, s, grad, hsum, h, p, input, kh, kw, sh, sw, dh,
                  dw, N, H, W, C, units, outH, outW, 0, grad_input);
  }

  // One block per (n, unit, channel) with a thread per output row, and one per
  // (n, output row, unit) with a thread per output column.
  const dim3 filters(extent(up32(N)), extent(up32(units)), extent(up32(C)));
  const dim3 rows(extent(up32(N)), extent(up32(outH)), extent(up32(units)));
  launch_kernel("ParaConv2DGradHKernelNCHW", ParaConv2DGradHKernelNCHW<T>, filters, dim3(outH), 0,
                s, grad, hsum, input, kh, kw, sh, sw, dh, dw, N, H, W, C, units, outH, outW, 1,
                grad_h);
  launch_kernel("ParaConv2DGradH0KernelNCHW", ParaConv2DGradH0KernelNCHW<T>, rows, dim3(outW), 0, s,
                grad, hsum, N, units, outH, outW, 1, grad_h0);
  launch_kernel("ParaConv2DGradPKernelNCHW", ParaConv2DGradPKernelNCHW<T>, filters, dim3(outH), 0,
                s, grad, p, input, kh, kw, sh, sw, dh, dw, N, H, W, C, units, outH, outW, 1,
                grad_p);
  launch_kernel("ParaConv2DGradP0KernelNCHW", ParaConv2DGradP0KernelNCHW<T>, rows, dim3(outW), 0, s,
                grad, p0, N, units, outH, outW, 1, grad_p0);

  // Every gradient carries 2·factor, the input gradient included (as on the
  // CPU), applied as (g + g)·factor once the sums are complete.
  const auto scale = [&](int count, int cols, T* target) {
    const RowChunks run = row_chunks(cols, kScaleChunk);
    launch_kernel("ParaConv2DGrad2FactorTensorCudaKernel", ParaConv2DGrad2FactorTensorCudaKernel<T>,
                  dim3(extent(up32(count))), run.block, 0, s, factor, count, cols, run.chunk,
                  target);
  };
  // C·H·W fits an int (the entries check it), H·W alone need not; an image
  // without elements has nothing to scale.
  const int64_t image = int64_t{C} * H * W;
  if (image > 0) scale(N, static_cast<int>(image), grad_input);
  scale(units, d, grad_h);
  scale(units, 1, grad_h0);
  scale(units, d, grad_p);
  scale(units, 1, grad_p0);
  streams.release();
}

#define VAREKPT_INSTANTIATE(T)                                                                     \
  template void paraconv2d_forward_cuda_main<T>(c10::Device, const T*, const T*, double, int, int, \
                                                int, int, int, int, int, int, int, int, int, int,  \
                                                int, T*, T*);                                      \
  template void paraconv2d_backward_cuda_main<T>(c10::Device, const T*, const T*, const T*,        \
                                                 const T*, double, int, int, int, int, int, int,   \
                                                 int, int, int, int, int, int, int, T*, T*, bool);
VAREKPT_INSTANTIATE(float)
VAREKPT_INSTANTIATE(double)
#undef VAREKPT_INSTANTIATE
