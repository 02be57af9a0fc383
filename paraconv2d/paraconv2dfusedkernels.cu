// Fused forward kernels of the convolution layer.
#include "paraconv2d/paraconv2dfusedkernels.h"

#include "common/cuda/block_sum.h"

template <typename T>
__global__ void ParaConv2DFusedCudaKernel(T factor, const T* __restrict__ input,
                                          const T* __restrict__ h, const T* __restrict__ h0,
                                          const T* __restrict__ p, const T* __restrict__ p0,
                                          int kh, int kw, int sh, int sw, int dh, int dw, int N,
                                          int H, int W, int C, int units, int outH, int outW,
                                          int chunk, T* hsum, T* output) {
  (void)chunk;
  // The output position is blockIdx.y split by outW, which must not be 0.
  if (outW < 1) return;
  const unsigned position_oh = blockIdx.y / static_cast<unsigned>(outW);
  if (blockIdx.x >= static_cast<unsigned>(N) || position_oh >= static_cast<unsigned>(outH) ||
      blockIdx.z >= static_cast<unsigned>(units)) {
    return;
  }
  const int n = blockIdx.x, u = blockIdx.z;
  const int oh = position_oh, ow = blockIdx.y % static_cast<unsigned>(outW);
  const int t = threadIdx.x, B = blockDim.x;

  T s1 = 0, s2 = 0;
  for (int i = 0; i < kh; ++i) {
    for (int j = 0; j < kw; ++j) {
      const int x0 = ((n * H + oh * sh + i * dh) * W + ow * sw + j * dw) * C;
      const int f0 = ((u * kh + i) * kw + j) * C;
      for (int c = t; c < C; c += B) {
        const T x = __ldg(input + x0 + c);
        const T e = x - __ldg(p + f0 + c);
        s1 = fma(__ldg(h + f0 + c), x, s1);
        s2 = fma(e, e, s2);
      }
    }
  }
  // 2·B slots: the partial sums of h·x, then those of the squared distances.
  VAREKPT_DYNAMIC_SHARED(T, slots);
  const T sum_hx = varekpt::block_tree_sum(slots, s1);
  const T sum_sq = varekpt::block_tree_sum(slots + B, s2);
  if (t == 0) {
    const T hs = __ldg(h0 + u) + sum_hx;
    const T q0 = __ldg(p0 + u);
    const T q = fma(q0, q0, sum_sq);
    const int e = ((n * outH + oh) * outW + ow) * units + u;
    hsum[e] = hs;
    output[e] = fma(hs, hs, -q) * factor;
  }
}

namespace {

// Filter geometry of the NCHW kernels: at run time, or fixed at compile time
// so that the tap and channel loops unroll.
struct RuntimeTaps {
  int kh, kw, C;
};
template <int KH, int KW, int CH>
struct FixedTaps {
  static constexpr int kh = KH, kw = KW, C = CH;
};

// One block per (sample, unit, output tile): the unit's filters and the
// tile's accumulators live in shared memory; each thread scatters the pixels
// of its input column into every output of the tile whose window holds them.
template <typename T, typename Taps>
__device__ __forceinline__ void fused_tile(Taps g, int tileH, int tileW, T factor,
                                           const T* __restrict__ input, const T* __restrict__ h,
                                           const T* __restrict__ h0, const T* __restrict__ p,
                                           const T* __restrict__ p0, int sh, int sw, int dh,
                                           int dw, int N, int H, int W, int units, int outH,
                                           int outW, T* hsum, T* output) {
  // The tiling divides by the tile sides and the strides; a side or stride
  // below 1, or an empty output, leaves nothing to compute.
  if (tileH < 1 || tileW < 1 || sh < 1 || sw < 1 || outH < 1 || outW < 1) return;
  const int tilesX = (outW - 1) / tileW + 1;
  const int tiles = tilesX * ((outH - 1) / tileH + 1);
  // Decided from block indices alone, before anything is read or staged: a
  // unit past `units` has no parameters to read, and no thread is left at a
  // barrier.
  if (blockIdx.x >= static_cast<unsigned>(N) || blockIdx.y >= static_cast<unsigned>(units) ||
      blockIdx.z >= static_cast<unsigned>(tiles)) {
    return;
  }
  const int n = blockIdx.x, u = blockIdx.y, tile = blockIdx.z;
  const int t = threadIdx.x, B = blockDim.x;
  const int d = g.C * g.kh * g.kw;
  const int TS = tileH * tileW;

  VAREKPT_DYNAMIC_SHARED(T, A);  // hsum accumulators of the tile
  T* Q = A + TS;                 // p0² plus the squared distances
  T* Hf = Q + TS;
  T* Pf = Hf + d;
  const T a0 = __ldg(h0 + u);
  const T q0 = __ldg(p0 + u);
  for (int k = t; k < TS; k += B) {
    A[k] = a0;
    Q[k] = q0 * q0;
  }
  for (int k = t; k < d; k += B) {
    Hf[k] = __ldg(h + u * d + k);
    Pf[k] = __ldg(p + u * d + k);
  }
  __syncthreads();

  const int oh0 = tile / tilesX * tileH;
  const int ow0 = tile % tilesX * tileW;
  const int y0 = oh0 * sh;
  const int xc = ow0 * sw + t;
  if (xc < W) {
    const int y_end = min(y0 + B, H);
    for (int c = 0; c < g.C; ++c) {
      for (int y = y0; y < y_end; ++y) {
        const T v = __ldg(input + ((n * g.C + c) * H + y) * W + xc);
        for (int i = 0; i < g.kh; ++i) {
          // Tap row i meets pixel row y only at a whole number of strides.
          const int ry = y - y0 - i * dh;
          if (ry < 0 || ry % sh != 0 || ry / sh >= tileH) continue;
          for (int j = 0; j < g.kw; ++j) {
            const int rx = t - j * dw;
            if (rx < 0 || rx % sw != 0 || rx / sw >= tileW) continue;
            const int f = (c * g.kh + i) * g.kw + j;
            const int k = ry / sh * tileW + rx / sw;
            const T e = v - Pf[f];
            // Neighbouring columns reach one output through different taps.
            atomicAdd(A + k, v * Hf[f]);
            atomicAdd(Q + k, e * e);
          }
        }
      }
    }
  }
  __syncthreads();

  for (int k = t; k < TS; k += B) {
    const int oh = oh0 + k / tileW;
    const int ow = ow0 + k % tileW;
    if (oh < outH && ow < outW) {
      const int e = ((n * units + u) * outH + oh) * outW + ow;
      hsum[e] = A[k];
      output[e] = fma(A[k], A[k], -Q[k]) * factor;
    }
  }
}

}  // namespace

template <typename T>
__global__ void ParaConv2DFusedCudaKernelNCHW(int tileH, int tileW, T factor, const T* input,
                                              const T* h, const T* h0, const T* p, const T* p0,
                                              int kh, int kw, int sh, int sw, int dh, int dw,
                                              int N, int H, int W, int C, int units, int outH,
                                              int outW, T* hsum, T* output) {
  fused_tile<T>(RuntimeTaps{kh, kw, C}, tileH, tileW, factor, input, h, h0, p, p0, sh, sw, dh, dw,
                N, H, W, units, outH, outW, hsum, output);
}

template <typename T, int KH, int KW, int C>
__global__ void ParaConv2DFusedCudaKernelNCHWtemplated(int tileH, int tileW, T factor,
                                                       const T* input, const T* h, const T* h0,
                                                       const T* p, const T* p0, int sh, int sw,
                                                       int dh, int dw, int N, int H, int W,
                                                       int units, int outH, int outW, T* hsum,
                                                       T* output) {
  fused_tile<T>(FixedTaps<KH, KW, C>{}, tileH, tileW, factor, input, h, h0, p, p0, sh, sw, dh, dw,
                N, H, W, units, outH, outW, hsum, output);
}

#define VAREKPT_INSTANTIATE(T)                                                                   \
  VAREKPT_KERNEL(ParaConv2DFusedCudaKernel, T, T, const T*, const T*, const T*, const T*,        \
                 const T*, int, int, int, int, int, int, int, int, int, int, int, int, int, int, \
                 T*, T*);                                                                        \
  VAREKPT_KERNEL(ParaConv2DFusedCudaKernelNCHW, T, int, int, T, const T*, const T*, const T*,    \
                 const T*, const T*, int, int, int, int, int, int, int, int, int, int, int, int, \
                 int, T*, T*);                                                                   \
  VAREKPT_KERNEL_INSTANCE((ParaConv2DFusedCudaKernelNCHWtemplated<T, 7, 7, 3>), int, int, T,     \
                          const T*, const T*, const T*, const T*, const T*, int, int, int, int,  \
                          int, int, int, int, int, int, T*, T*);
VAREKPT_INSTANTIATE(float)
VAREKPT_INSTANTIATE(double)
#undef VAREKPT_INSTANTIATE
