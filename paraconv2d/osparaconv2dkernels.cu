// Kernels of the convolution layer's CUDA forward. Blocks and threads that the
// rounding of the launch shapes adds (grids to multiples of 32, blocks to
// multiples of 4) return at once.
#include "paraconv2d/osparaconv2dkernels.h"

#include "common/cuda/bounds.h"
#include "paraconv2d/conv2dnchw.h"

using varekpt::below;
using varekpt::conv_out_index;
using varekpt::ConvNCHW;

namespace {

// Applies op(e) to the elements e of output row (n, u, oh) = blockIdx that
// thread threadIdx.x covers: columns threadIdx.x·chunk up to
// min(threadIdx.x·chunk + chunk, outW) − 1.
template <typename Op>
__device__ __forceinline__ void for_row_columns(int N, int outH, int outW, int units, int chunk,
                                                Op op) {
  const unsigned n = blockIdx.x;
  const unsigned u = blockIdx.y;
  const unsigned oh = blockIdx.z;
  if (!below(n, N) || !below(u, units) || !below(oh, outH)) {
    return;
  }
  const int begin = threadIdx.x * chunk;
  const int end = min(begin + chunk, outW);
  for (int ow = begin; ow < end; ++ow) op(conv_out_index(n, u, oh, ow, units, outH, outW), u);
}

// Whether (n, oh, ow) = blockIdx and unit u lie within the real extents.
__device__ __forceinline__ bool window_in_range(int N, int outH, int outW, int units, unsigned u) {
  return below(blockIdx.x, N) && below(blockIdx.y, outH) && below(blockIdx.z, outW) &&
         below(u, units);
}

}  // namespace

template <typename T>
__global__ void ParaConv2DInitCudaKernelNCHW(const T* __restrict__ h0, const T* __restrict__ p0,
                                             int N, int outH, int outW, int units, int chunk,
                                             T* hsum, T* output) {
  for_row_columns(N, outH, outW, units, chunk, [&](int e, int u) {
    const T q = __ldg(p0 + u);
    hsum[e] = __ldg(h0 + u);
    output[e] = -(q * q);
  });
}

template <typename T>
__global__ void ParaConv2DHsumCudaKernelNCHW(const T* __restrict__ input, const T* __restrict__ h,
                                             int kh, int kw, int sh, int sw, int dh, int dw, int N,
                                             int H, int W, int C, int units, int outH, int outW,
                                             int chunk, T* hsum) {
  (void)chunk;
  const unsigned c = threadIdx.x;
  const unsigned u = threadIdx.y;
  if (!window_in_range(N, outH, outW, units, u)) return;
  const int n = blockIdx.x, oh = blockIdx.y, ow = blockIdx.z;
  const ConvNCHW g{kh, kw, sh, sw, dh, dw, H, W, C};
  T s = 0;
  if (below(c, C)) {
    for (int i = 0; i < kh; ++i) {
      for (int j = 0; j < kw; ++j) {
        s +=
            __ldg(input + g.input(n, c, g.row(oh, i), g.col(ow, j))) * __ldg(h + g.tap(u, c, i, j));
      }
    }
  }
  atomicAdd(hsum + conv_out_index(n, u, oh, ow, units, outH, outW), s);
}

template <typename T>
__global__ void ParaConv2DPsqCudaKernelNCHW(const T* __restrict__ input, const T* __restrict__ p,
                                            int kh, int kw, int sh, int sw, int dh, int dw, int N,
                                            int H, int W, int C, int units, int outH, int outW,
                                            int chunk, T* output) {
  (void)chunk;
  const unsigned u = threadIdx.y;
  if (!window_in_range(N, outH, outW, units, u)) return;
  const int n = blockIdx.x, oh = blockIdx.y, ow = blockIdx.z;
  const ConvNCHW g{kh, kw, sh, sw, dh, dw, H, W, C};
  T s = 0;
  for (int c = 0; c < C; ++c) {
    for (int i = 0; i < kh; ++i) {
      for (int j = 0; j < kw; ++j) {
        const T t =
            __ldg(input + g.input(n, c, g.row(oh, i), g.col(ow, j))) - __ldg(p + g.tap(u, c, i, j));
        s -= t * t;
      }
    }
  }
  atomicAdd(output + conv_out_index(n, u, oh, ow, units, outH, outW), s);
}

template <typename T>
__global__ void ParaConv2DOutputCudaKernelNCHW(T factor, int N, int outH, int outW, int units,
                                               int chunk, const T* __restrict__ hsum, T* output) {
  for_row_columns(N, outH, outW, units, chunk, [&](int e, int) {
    const T s = __ldg(hsum + e);
    output[e] = (s * s + output[e]) * factor;
  });
}

#define VAREKPT_INSTANTIATE(T)                                                                     \
  VAREKPT_KERNEL(ParaConv2DInitCudaKernelNCHW, T, const T*, const T*, int, int, int, int, int, T*, \
                 T*);                                                                              \
  VAREKPT_KERNEL(ParaConv2DHsumCudaKernelNCHW, T, const T*, const T*, int, int, int, int, int,     \
                 int, int, int, int, int, int, int, int, int, T*);                                 \
  VAREKPT_KERNEL(ParaConv2DPsqCudaKernelNCHW, T, const T*, const T*, int, int, int, int, int, int, \
                 int, int, int, int, int, int, int, int, T*);                                      \
  VAREKPT_KERNEL(ParaConv2DOutputCudaKernelNCHW, T, T, int, int, int, int, int, const T*, T*);
VAREKPT_INSTANTIATE(float)
VAREKPT_INSTANTIATE(double)
#undef VAREKPT_INSTANTIATE
