// Whole convolution gradients in one launch each. Offsets are formed in 64
// bits; every index test is made before anything is read.
#include "paraconv2d/paraconv2dgradfusedkernels.h"

#include "common/cuda/bounds.h"

namespace {

// Offset of the pixel that tap (i, j) of output (oh, ow) reads in image
// `image` (a plane of H rows of W pixels): row oh·sh + i·dh, column ow·sw + j·dw.
__device__ __forceinline__ long long tap_pixel(long long image, int H, int W, int oh, int ow, int i,
                                               int j, int sh, int sw, int dh, int dw) {
  using wide = long long;
  return (image * H + wide(oh) * sh + wide(i) * dh) * W + wide(ow) * sw + wide(j) * dw;
}

}  // namespace

using varekpt::below;

template <typename T>
__global__ void ParaConv2DGradParametersFusedKernel(
    T factor, const T* __restrict__ grad, const T* __restrict__ hsum, const T* __restrict__ input,
    const T* __restrict__ p, const T* __restrict__ p0, int kh, int kw, int sh, int sw, int dh,
    int dw, int N, int H, int W, int C, int units, int outH, int outW, int chunk, T* grad_h,
    T* grad_h0, T* grad_p, T* grad_p0) {
  (void)chunk;
  // W is the row pitch of the grid's y dimension; with no columns there is
  // no output position (and nothing to divide by).
  if (W < 1) return;
  const unsigned n = blockIdx.x;
  const unsigned f = blockIdx.z;
  const unsigned oh = blockIdx.y / W;
  const unsigned ow = blockIdx.y % W;
  if (!below(n, N) || !below(oh, outH) || !below(ow, outW) || !below(f, units)) return;
  const long long at = ((static_cast<long long>(n) * outH + oh) * outW + ow) * units + f;
  const T g = __ldg(grad + at);
  const T factor2 = factor + factor;
  const T eh = (factor2 * g) * __ldg(hsum + at);
  const T ep = factor2 * g;
  if (threadIdx.x == 0 && threadIdx.y == 0 && threadIdx.z == 0) {
    atomicAdd(grad_h0 + f, eh);
    atomicAdd(grad_p0 + f, -(ep * __ldg(p0 + f)));
  }
  const int i = threadIdx.y;
  const int j = threadIdx.z;
  if (i >= kh || j >= kw) return;
  const long long x0 = tap_pixel(n, H, W, oh, ow, i, j, sh, sw, dh, dw) * C;
  const long long e0 = ((static_cast<long long>(f) * kh + i) * kw + j) * C;
  for (int c = threadIdx.x; c < C; c += blockDim.x) {
    const T v = __ldg(input + x0 + c);
    atomicAdd(grad_h + e0 + c, eh * v);
    atomicAdd(grad_p + e0 + c, ep * (v - __ldg(p + e0 + c)));
  }
}

// Blocks past (N, outH, outW) do nothing, so a grid larger than needed stays
// inside the arrays.
template <typename T>
__global__ void ParaConv2DGradInputKernel(const T* __restrict__ grad, const T* __restrict__ hsum,
                                          const T* __restrict__ h, const T* __restrict__ p,
                                          const T* __restrict__ input, int kh, int kw, int sh,
                                          int sw, int dh, int dw, int N, int H, int W, int C,
                                          int units, int outH, int outW, int chunk, T* grad_input) {
  const unsigned n = blockIdx.x;
  const unsigned oh = blockIdx.y;
  const unsigned ow = blockIdx.z;
  if (!below(n, N) || !below(oh, outH) || !below(ow, outW)) return;
  const int i = threadIdx.y;
  const int j = threadIdx.z;
  if (i >= kh || j >= kw || C < 1) return;
  const long long begin = static_cast<long long>(threadIdx.x) * chunk;
  const long long end = min(begin + chunk, static_cast<long long>(units));
  const long long x0 = tap_pixel(n, H, W, oh, ow, i, j, sh, sw, dh, dw) * C;
  const long long g0 = ((static_cast<long long>(n) * outH + oh) * outW + ow) * units;
  for (int c = 0; c < C; ++c) {
    const T x = __ldg(input + x0 + c);
    T acc = 0;
    for (long long f = begin; f < end; ++f) {
      const long long e = ((f * kh + i) * kw + j) * C + c;
      const T term = (__ldg(hsum + g0 + f) * __ldg(h + e) - x) + __ldg(p + e);
      acc = fma(__ldg(grad + g0 + f), term, acc);
    }
    atomicAdd(grad_input + x0 + c, acc + acc);
  }
}

// Tap (i, j) uses filter row i and input row oh·sh + i·dh for every kernel
// size, so kh and kw may differ.
template <typename T>
__global__ void ParaConv2DGradInputKernelNCHW(const T* __restrict__ grad,
                                              const T* __restrict__ hsum, const T* __restrict__ h,
                                              const T* __restrict__ p, const T* __restrict__ input,
                                              int kh, int kw, int sh, int sw, int dh, int dw, int N,
                                              int H, int W, int C, int units, int outH, int outW,
                                              int chunk, T* grad_input) {
  (void)chunk;
  const unsigned n = blockIdx.x;
  const unsigned c = blockIdx.y;
  const unsigned oh = blockIdx.z;
  const unsigned ow = threadIdx.x;
  const unsigned f = threadIdx.y;
  if (!below(n, N) || !below(c, C) || !below(oh, outH) || !below(ow, outW) || !below(f, units) ||
      kh < 1) {
    return;
  }
  const long long at = ((static_cast<long long>(n) * units + f) * outH + oh) * outW + ow;
  const T g = __ldg(grad + at);
  const T hs = __ldg(hsum + at);
  const long long image = static_cast<long long>(n) * C + c;
  for (int i = 0; i < kh; ++i) {
    for (int j = 0; j < kw; ++j) {
      const long long xi = tap_pixel(image, H, W, oh, ow, i, j, sh, sw, dh, dw);
      const long long e = ((static_cast<long long>(f) * C + c) * kh + i) * kw + j;
      atomicAdd(grad_input + xi, g * ((hs * __ldg(h + e) - __ldg(input + xi)) + __ldg(p + e)));
    }
  }
}

#define VAREKPT_INSTANTIATE(T)                                                                   \
  VAREKPT_KERNEL(ParaConv2DGradParametersFusedKernel, T, T, const T*, const T*, const T*,        \
                 const T*, const T*, int, int, int, int, int, int, int, int, int, int, int, int, \
                 int, int, T*, T*, T*, T*);                                                      \
  VAREKPT_KERNEL(ParaConv2DGradInputKernel, T, const T*, const T*, const T*, const T*, const T*, \
                 int, int, int, int, int, int, int, int, int, int, int, int, int, int, T*);      \
  VAREKPT_KERNEL(ParaConv2DGradInputKernelNCHW, T, const T*, const T*, const T*, const T*,       \
                 const T*, int, int, int, int, int, int, int, int, int, int, int, int, int, int, \
                 T*);
VAREKPT_INSTANTIATE(float)
VAREKPT_INSTANTIATE(double)
#undef VAREKPT_INSTANTIATE
