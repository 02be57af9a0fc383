// Dense paraboloid layer: CUDA workers. They queue the kernels of
// osparaboloidkernels and paraboloidgradkernels on streams of their own.
#include "paraboloid/paraboloid_cuda.h"

#include <algorithm>

#include "common/cuda/device_guard.h"
#include "common/cuda/launch.h"
#include "common/cuda/limits.h"
#include "common/cuda/streams.h"
#include "common/parameter_blocks.h"
#include "paraboloid/osparaboloidkernels.h"
#include "paraboloid/paraboloidgradkernels.h"

using varekpt::launch_kernel;

namespace {

// The entries have checked every shape against the launch limits, so the
// rounded extents fit an int.
int up32(int x) { return static_cast<int>(varekpt::up32(x)); }
int chunks(int length, int chunk) { return static_cast<int>(varekpt::chunks(length, chunk)); }

constexpr int kForwardChunk = 8;
constexpr int kBackwardChunk = 128;

}  // namespace

template <typename T>
void paraboloid_forward_cuda_main(c10::Device device, const T* input, const T* parameters,
                                  double doublefactor, int N, int d, int units, T* output,
                                  T* hsum) {
  const varekpt::CudaDeviceGuard on_device(device);
  const auto [h0, h, p, p0] = varekpt::parameter_blocks(parameters, units, d);
  const T factor = static_cast<T>(doublefactor);
  constexpr int chunk = kForwardChunk;

  varekpt::WorkerStreams streams;
  const cudaStream_t stream = streams.create();
  const dim3 rows(up32(N));
  const dim3 pairs(up32(N), up32(units));
  launch_kernel("ParaboloidInitCudaKernel", ParaboloidInitCudaKernel<T>, rows,
                dim3(chunks(units, chunk)), 0, stream, h0, p0, N, units, chunk, hsum, output);
  launch_kernel("ParaboloidHsumCudaKernel", ParaboloidHsumCudaKernel<T>, pairs,
                dim3(chunks(d, chunk)), 0, stream, input, h, N, d, units, chunk, hsum);
  launch_kernel("ParaboloidPsqCudaKernel", ParaboloidPsqCudaKernel<T>, pairs,
                dim3(chunks(d, chunk)), 0, stream, input, p, N, d, units, chunk, output);
  launch_kernel("ParaboloidOutputCudaKernel", ParaboloidOutputCudaKernel<T>, rows,
                dim3(chunks(units, chunk)), 0, stream, factor, N, units, chunk,
                static_cast<const T*>(hsum), output);
  streams.release();
}

template <typename T>
void paraboloid_backward_cuda_main(c10::Device device, const T* grad, const T* input,
                                   const T* parameters, const T* hsum, double doublefactor,
                                   int N, int d, int units, T* grad_input, T* grad_parameters) {
  const varekpt::CudaDeviceGuard on_device(device);
  const auto [h0, h, p, p0] = varekpt::parameter_blocks(parameters, units, d);
  const auto [grad_h0, grad_h, grad_p, grad_p0] =
      varekpt::parameter_blocks(grad_parameters, units, d);
  const T f = static_cast<T>(doublefactor);
  constexpr int chunk = kBackwardChunk;
  const dim3 over_d(chunks(d, chunk));
  const dim3 over_n(chunks(N, chunk));
  // The one-column blocks grad_h0 and grad_p0 are scaled by thread 0 alone;
  // it must exist even when d = 0.
  const dim3 one_column_scale(std::max(chunks(d, chunk), 1));

  varekpt::WorkerStreams streams;
  // One stream per output block: zero it, sum into it, scale it.
  const cudaStream_t s1 = streams.create();
  launch_kernel("ParaboloidGradZeroMatrixCudaKernel", ParaboloidGradZeroMatrixCudaKernel<T>,
                dim3(up32(N)), over_d, 0, s1, N, d, chunk, grad_input);
  const cudaStream_t s2 = streams.create();
  launch_kernel("ParaboloidGradZeroMatrixCudaKernel", ParaboloidGradZeroMatrixCudaKernel<T>,
                dim3(up32(units)), over_d, 0, s2, units, d, chunk, grad_h);
  const cudaStream_t s3 = streams.create();
  launch_kernel("ParaboloidGradZeroMatrixCudaKernel", ParaboloidGradZeroMatrixCudaKernel<T>,
                dim3(up32(units)), dim3(1), 0, s3, units, 1, chunk, grad_h0);
  const cudaStream_t s4 = streams.create();
  launch_kernel("ParaboloidGradZeroMatrixCudaKernel", ParaboloidGradZeroMatrixCudaKernel<T>,
                dim3(up32(units)), over_d, 0, s4, units, d, chunk, grad_p);
  const cudaStream_t s5 = streams.create();
  launch_kernel("ParaboloidGradZeroMatrixCudaKernel", ParaboloidGradZeroMatrixCudaKernel<T>,
                dim3(up32(units)), dim3(1), 0, s5, units, 1, chunk, grad_p0);

  launch_kernel("ParaboloidGradInputKernel", ParaboloidGradInputKernel<T>,
                dim3(up32(N), up32(d)), dim3(chunks(units, chunk)), 0, s1, grad, hsum, h, p,
                input, N, d, units, chunk, grad_input);
  launch_kernel("ParaboloidGradHKernel", ParaboloidGradHKernel<T>, dim3(up32(units), up32(d)),
                over_n, 0, s2, grad, hsum, input, N, d, units, chunk, grad_h);
  launch_kernel("ParaboloidGradH0Kernel", ParaboloidGradH0Kernel<T>, dim3(up32(units)), over_n,
                0, s3, grad, hsum, N, d, units, chunk, grad_h0);
  launch_kernel("ParaboloidGradPKernel", ParaboloidGradPKernel<T>, dim3(up32(units), up32(d)),
                over_n, 0, s4, grad, p, input, N, d, units, chunk, grad_p);
  launch_kernel("ParaboloidGradP0Kernel", ParaboloidGradP0Kernel<T>, dim3(up32(units)), over_n,
                0, s5, grad, p0, N, d, units, chunk, grad_p0);

  // The input gradient carries the factor like the parameter gradients.
  launch_kernel("ParaboloidGrad2FactorMatrixCudaKernel", ParaboloidGrad2FactorMatrixCudaKernel<T>,
                dim3(up32(N)), over_d, 0, s1, f, N, d, chunk, grad_input);
  launch_kernel("ParaboloidGrad2FactorMatrixCudaKernel", ParaboloidGrad2FactorMatrixCudaKernel<T>,
                dim3(up32(units)), over_d, 0, s2, f, units, d, chunk, grad_h);
  launch_kernel("ParaboloidGrad2FactorMatrixCudaKernel", ParaboloidGrad2FactorMatrixCudaKernel<T>,
                dim3(up32(units)), one_column_scale, 0, s3, f, units, 1, chunk, grad_h0);
  launch_kernel("ParaboloidGrad2FactorMatrixCudaKernel", ParaboloidGrad2FactorMatrixCudaKernel<T>,
                dim3(up32(units)), over_d, 0, s4, f, units, d, chunk, grad_p);
  launch_kernel("ParaboloidGrad2FactorMatrixCudaKernel", ParaboloidGrad2FactorMatrixCudaKernel<T>,
                dim3(up32(units)), one_column_scale, 0, s5, f, units, 1, chunk, grad_p0);

  VAREKPT_CUDA_CHECK(cudaDeviceSynchronize());
  streams.release();
}

#define VAREKPT_INSTANTIATE(T)                                                                 \
  template void paraboloid_forward_cuda_main<T>(c10::Device, const T*, const T*, double, int, \
                                                int, int, T*, T*);                             \
  template void paraboloid_backward_cuda_main<T>(c10::Device, const T*, const T*, const T*,   \
                                                 const T*, double, int, int, int, T*, T*);
VAREKPT_INSTANTIATE(float)
VAREKPT_INSTANTIATE(double)
#undef VAREKPT_INSTANTIATE
