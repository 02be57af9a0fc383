// Kernels of the convolution layer's CUDA backward. Blocks and threads beyond
// the real extents (the grids are rounded up to multiples of 32) return at
// once. All accumulation is by atomic addition into zeroed results.
#include "paraconv2d/paraconv2dgradkernels.h"

#include "common/cuda/bounds.h"
#include "common/cuda/row_chunk.h"
#include "paraconv2d/conv2dnchw.h"

using varekpt::below;
using varekpt::conv_out_index;
using varekpt::ConvNCHW;
using varekpt::for_row_chunk;

template <typename T>
__global__ void ParaConv2DGradZeroTensorCudaKernel(int rows, int cols, int chunk, T* A) {
  for_row_chunk(rows, cols, chunk, A, [](T& e) { e = T(0); });
}

template <typename T>
__global__ void ParaConv2DGrad2TensorCudaKernel(int rows, int cols, int chunk, T* A) {
  for_row_chunk(rows, cols, chunk, A, [](T& e) { e = e + e; });
}

template <typename T>
__global__ void ParaConv2DGrad2FactorTensorCudaKernel(T factor, int rows, int cols, int chunk,
                                                      T* A) {
  for_row_chunk(rows, cols, chunk, A, [factor](T& e) { e = (e + e) * factor; });
}

template <typename T>
__global__ void ParaConv2DGradInputNCHWKernel(const T* __restrict__ grad,
                                              const T* __restrict__ hsum, const T* __restrict__ h,
                                              const T* __restrict__ p, const T* __restrict__ input,
                                              int kh, int kw, int sh, int sw, int dh, int dw, int N,
                                              int H, int W, int C, int units, int outH, int outW,
                                              int unused, T* grad_input) {
  (void)unused;
  const unsigned c = threadIdx.x;
  if (!below(blockIdx.x, N) || !below(blockIdx.y, outH) || !below(blockIdx.z, outW) ||
      !below(c, C) || kh < 1 || kw < 1) {
    return;
  }
  const int n = blockIdx.x, oh = blockIdx.y, ow = blockIdx.z;
  const ConvNCHW g{kh, kw, sh, sw, dh, dw, H, W, C};
  for (int i = 0; i < kh; ++i) {
    for (int j = 0; j < kw; ++j) {
      const int xi = g.input(n, c, g.row(oh, i), g.col(ow, j));
      const T x = __ldg(input + xi);
      T s = 0;
      for (int f = 0; f < units; ++f) {
        const int o = conv_out_index(n, f, oh, ow, units, outH, outW);
        const int t = g.tap(f, c, i, j);
        s += __ldg(grad + o) * ((__ldg(hsum + o) * __ldg(h + t) - x) + __ldg(p + t));
      }
      atomicAdd(grad_input + xi, s);
    }
  }
}

namespace {

// The body of the grad_h and grad_p kernels: for (n, f, c) = blockIdx and
// oh = threadIdx.x, adds term(o, x, t) into target[t] for every window
// position ow and tap, where o indexes grad and hsum, x is the input value the
// tap reads and t indexes the filter element.
template <typename T, typename Term>
__device__ __forceinline__ void add_tap_terms(const T* __restrict__ input, int kh, int kw, int sh,
                                              int sw, int dh, int dw, int N, int H, int W, int C,
                                              int units, int outH, int outW, T* target, Term term) {
  const unsigned oh = threadIdx.x;
  if (!below(blockIdx.x, N) || !below(blockIdx.y, units) || !below(blockIdx.z, C) ||
      !below(oh, outH) || outW < 1 || kh < 1) {
    return;
  }
  const int n = blockIdx.x, f = blockIdx.y, c = blockIdx.z;
  const ConvNCHW g{kh, kw, sh, sw, dh, dw, H, W, C};
  for (int ow = 0; ow < outW; ++ow) {
    const int o = conv_out_index(n, f, oh, ow, units, outH, outW);
    for (int i = 0; i < kh; ++i) {
      for (int j = 0; j < kw; ++j) {
        const int t = g.tap(f, c, i, j);
        atomicAdd(target + t, term(o, __ldg(input + g.input(n, c, g.row(oh, i), g.col(ow, j))), t));
      }
    }
  }
}

// The body of the grad_h0 and grad_p0 kernels: for (n, oh, f) = blockIdx and
// ow = threadIdx.x, adds term(e, f) into target[f], e indexing grad and hsum.
template <typename T, typename Term>
__device__ __forceinline__ void add_position_term(int N, int units, int outH, int outW, T* target,
                                                  Term term) {
  const unsigned ow = threadIdx.x;
  if (!below(blockIdx.x, N) || !below(blockIdx.y, outH) || !below(blockIdx.z, units) ||
      !below(ow, outW)) {
    return;
  }
  const int n = blockIdx.x, oh = blockIdx.y, f = blockIdx.z;
  atomicAdd(target + f, term(conv_out_index(n, f, oh, ow, units, outH, outW), f));
}

}  // namespace

template <typename T>
__global__ void ParaConv2DGradHKernelNCHW(const T* __restrict__ grad, const T* __restrict__ hsum,
                                          const T* __restrict__ input, int kh, int kw, int sh,
                                          int sw, int dh, int dw, int N, int H, int W, int C,
                                          int units, int outH, int outW, int chunk, T* grad_h) {
  (void)chunk;
  add_tap_terms(input, kh, kw, sh, sw, dh, dw, N, H, W, C, units, outH, outW, grad_h,
                [&](int o, T x, int) { return (__ldg(grad + o) * __ldg(hsum + o)) * x; });
}

template <typename T>
__global__ void ParaConv2DGradPKernelNCHW(const T* __restrict__ grad, const T* __restrict__ p,
                                          const T* __restrict__ input, int kh, int kw, int sh,
                                          int sw, int dh, int dw, int N, int H, int W, int C,
                                          int units, int outH, int outW, int chunk, T* grad_p) {
  (void)chunk;
  add_tap_terms(input, kh, kw, sh, sw, dh, dw, N, H, W, C, units, outH, outW, grad_p,
                [&](int o, T x, int t) { return __ldg(grad + o) * (x - __ldg(p + t)); });
}

template <typename T>
__global__ void ParaConv2DGradH0KernelNCHW(const T* __restrict__ grad, const T* __restrict__ hsum,
                                           int N, int units, int outH, int outW, int chunk,
                                           T* grad_h0) {
  (void)chunk;
  add_position_term(N, units, outH, outW, grad_h0,
                    [&](int e, int) { return __ldg(grad + e) * __ldg(hsum + e); });
}

template <typename T>
__global__ void ParaConv2DGradP0KernelNCHW(const T* __restrict__ grad, const T* __restrict__ p0,
                                           int N, int units, int outH, int outW, int chunk,
                                           T* grad_p0) {
  (void)chunk;
  add_position_term(N, units, outH, outW, grad_p0,
                    [&](int e, int f) { return -(__ldg(grad + e) * __ldg(p0 + f)); });
}

#define VAREKPT_INSTANTIATE(T)                                                                    \
  VAREKPT_KERNEL(ParaConv2DGradZeroTensorCudaKernel, T, int, int, int, T*);                       \
  VAREKPT_KERNEL(ParaConv2DGrad2TensorCudaKernel, T, int, int, int, T*);                          \
  VAREKPT_KERNEL(ParaConv2DGrad2FactorTensorCudaKernel, T, T, int, int, int, T*);                 \
  VAREKPT_KERNEL(ParaConv2DGradInputNCHWKernel, T, const T*, const T*, const T*, const T*,        \
                 const T*, int, int, int, int, int, int, int, int, int, int, int, int, int, int,  \
                 T*);                                                                             \
  VAREKPT_KERNEL(ParaConv2DGradHKernelNCHW, T, const T*, const T*, const T*, int, int, int, int,  \
                 int, int, int, int, int, int, int, int, int, int, T*);                           \
  VAREKPT_KERNEL(ParaConv2DGradPKernelNCHW, T, const T*, const T*, const T*, int, int, int, int,  \
                 int, int, int, int, int, int, int, int, int, int, T*);                           \
  VAREKPT_KERNEL(ParaConv2DGradH0KernelNCHW, T, const T*, const T*, int, int, int, int, int, T*); \
  VAREKPT_KERNEL(ParaConv2DGradP0KernelNCHW, T, const T*, const T*, int, int, int, int, int, T*);
VAREKPT_INSTANTIATE(float)
VAREKPT_INSTANTIATE(double)
#undef VAREKPT_INSTANTIATE
