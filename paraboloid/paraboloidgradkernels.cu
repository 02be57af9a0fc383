// Kernels of the dense layer's CUDA backward. Blocks beyond the real extent
// (the grids are rounded up to multiples of 32) return at once.
#include "paraboloid/paraboloidgradkernels.h"

#include "common/cuda/row_chunk.h"

using varekpt::for_row_chunk;

namespace {

// This thread's run of `chunk` consecutive terms out of `length`.
__device__ __forceinline__ void term_range(int length, int chunk, int* begin, int* end) {
  *begin = threadIdx.x * chunk;
  *end = min(*begin + chunk, length);
}

}  // namespace

template <typename T>
__global__ void ParaboloidGradZeroMatrixCudaKernel(int rows, int cols, int chunk, T* matrix) {
  for_row_chunk(rows, cols, chunk, matrix, [](T& e) { e = T(0); });
}

template <typename T>
__global__ void ParaboloidGrad2MatrixCudaKernel(int rows, int cols, int chunk, T* matrix) {
  for_row_chunk(rows, cols, chunk, matrix, [](T& e) { e = e + e; });
}

template <typename T>
__global__ void ParaboloidGrad2FactorMatrixCudaKernel(T factor, int rows, int cols, int chunk,
                                                      T* matrix) {
  const T k = factor + factor;
  for_row_chunk(rows, cols, chunk, matrix, [k](T& e) { e = k * e; });
}

template <typename T>
__global__ void ParaboloidGradInputKernel(const T* __restrict__ grad, const T* __restrict__ hsum,
                                          const T* __restrict__ h, const T* __restrict__ p,
                                          const T* __restrict__ input, int N, int d, int units,
                                          int chunk, T* grad_input) {
  const unsigned n = blockIdx.x;
  const unsigned i = blockIdx.y;
  if (n >= static_cast<unsigned>(N) || i >= static_cast<unsigned>(d)) return;
  int begin, end;
  term_range(units, chunk, &begin, &end);
  const T x = __ldg(input + n * d + i);
  T s = 0;
  for (int u = begin; u < end; ++u) {
    const T term = (__ldg(hsum + n * units + u) * __ldg(h + u * d + i) - x) + __ldg(p + u * d + i);
    s = fma(__ldg(grad + n * units + u), term, s);
  }
  atomicAdd(grad_input + n * d + i, s);
}

template <typename T>
__global__ void ParaboloidGradHKernel(const T* __restrict__ grad, const T* __restrict__ hsum,
                                      const T* __restrict__ input, int N, int d, int units,
                                      int chunk, T* grad_h) {
  const unsigned u = blockIdx.x;
  const unsigned i = blockIdx.y;
  if (u >= static_cast<unsigned>(units) || i >= static_cast<unsigned>(d)) return;
  int begin, end;
  term_range(N, chunk, &begin, &end);
  T s = 0;
  for (int n = begin; n < end; ++n) {
    const T gh = __ldg(grad + n * units + u) * __ldg(hsum + n * units + u);
    s = fma(gh, __ldg(input + n * d + i), s);
  }
  atomicAdd(grad_h + u * d + i, s);
}

template <typename T>
__global__ void ParaboloidGradH0Kernel(const T* __restrict__ grad, const T* __restrict__ hsum,
                                       int N, int d, int units, int chunk, T* grad_h0) {
  (void)d;
  const unsigned u = blockIdx.x;
  if (u >= static_cast<unsigned>(units)) return;
  int begin, end;
  term_range(N, chunk, &begin, &end);
  T s = 0;
  for (int n = begin; n < end; ++n) {
    s = fma(__ldg(grad + n * units + u), __ldg(hsum + n * units + u), s);
  }
  atomicAdd(grad_h0 + u, s);
}

template <typename T>
__global__ void ParaboloidGradPKernel(const T* __restrict__ grad, const T* __restrict__ p,
                                      const T* __restrict__ input, int N, int d, int units,
                                      int chunk, T* grad_p) {
  const unsigned u = blockIdx.x;
  const unsigned i = blockIdx.y;
  if (u >= static_cast<unsigned>(units) || i >= static_cast<unsigned>(d)) return;
  int begin, end;
  term_range(N, chunk, &begin, &end);
  const T pi = __ldg(p + u * d + i);
  T s = 0;
  for (int n = begin; n < end; ++n) {
    s = fma(__ldg(grad + n * units + u), __ldg(input + n * d + i) - pi, s);
  }
  atomicAdd(grad_p + u * d + i, s);
}

template <typename T>
__global__ void ParaboloidGradP0Kernel(const T* __restrict__ grad, const T* __restrict__ p0,
                                       int N, int d, int units, int chunk, T* grad_p0) {
  (void)d;
  const unsigned u = blockIdx.x;
  if (u >= static_cast<unsigned>(units)) return;
  int begin, end;
  term_range(N, chunk, &begin, &end);
  const T q = __ldg(p0 + u);
  T s = 0;
  for (int n = begin; n < end; ++n) s = s - __ldg(grad + n * units + u) * q;
  atomicAdd(grad_p0 + u, s);
}

#define VAREKPT_INSTANTIATE(T)                                                                    \
  VAREKPT_KERNEL(ParaboloidGradZeroMatrixCudaKernel, T, int, int, int, T*);                       \
  VAREKPT_KERNEL(ParaboloidGrad2MatrixCudaKernel, T, int, int, int, T*);                          \
  VAREKPT_KERNEL(ParaboloidGrad2FactorMatrixCudaKernel, T, T, int, int, int, T*);                 \
  VAREKPT_KERNEL(ParaboloidGradInputKernel, T, const T*, const T*, const T*, const T*, const T*,  \
                 int, int, int, int, T*);                                                         \
  VAREKPT_KERNEL(ParaboloidGradHKernel, T, const T*, const T*, const T*, int, int, int, int, T*); \
  VAREKPT_KERNEL(ParaboloidGradH0Kernel, T, const T*, const T*, int, int, int, int, T*);          \
  VAREKPT_KERNEL(ParaboloidGradPKernel, T, const T*, const T*, const T*, int, int, int, int, T*); \
  VAREKPT_KERNEL(ParaboloidGradP0Kernel, T, const T*, const T*, int, int, int, int, T*);
VAREKPT_INSTANTIATE(float)
VAREKPT_INSTANTIATE(double)
#undef VAREKPT_INSTANTIATE
