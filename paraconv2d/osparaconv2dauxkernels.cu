// Further forward kernels of the convolution layer: the channels-last
// sequence and the NCHW building blocks. Products that join a sum are fused
// multiply-adds.
#include "paraconv2d/osparaconv2dauxkernels.h"

#include "common/cuda/block_sum.h"
#include "common/cuda/bounds.h"

namespace {

// Channels-last grid (n, oh, ow): the first element of the position's row of
// units, or −1 for a block past the output.
__device__ __forceinline__ int nhwc_position_base(int N, int outH, int outW, int units) {
  if (!varekpt::below(blockIdx.x, N) || !varekpt::below(blockIdx.y, outH) ||
      !varekpt::below(blockIdx.z, outW))
    return -1;
  const int n = blockIdx.x, oh = blockIdx.y, ow = blockIdx.z;
  return ((n * outH + oh) * outW + ow) * units;
}

// Applies op to the thread's run of `chunk` consecutive indices below bound.
template <typename Op>
__device__ __forceinline__ void for_thread_run(int bound, int chunk, Op op) {
  const int begin = threadIdx.x * chunk;
  const int end = min(begin + chunk, bound);
  for (int k = begin; k < end; ++k) op(k);
}

// Channels-last window sums: for tap (threadIdx.y, threadIdx.z) and the
// thread's run of channels, folds term(x, f, s) over the channels for every
// unit and adds the result into target atomically (0 for an empty run).
template <typename T, typename Term>
__device__ __forceinline__ void add_tap_sums(const T* __restrict__ input,
                                             const T* __restrict__ filter, int kh, int kw, int sh,
                                             int sw, int dh, int dw, int N, int H, int W, int C,
                                             int units, int outH, int outW, int chunk, T* target,
                                             Term term) {
  const int b = nhwc_position_base(N, outH, outW, units);
  if (b < 0) return;
  if (!varekpt::below(threadIdx.y, kh) || !varekpt::below(threadIdx.z, kw) || units < 1) return;
  const int n = blockIdx.x, oh = blockIdx.y, ow = blockIdx.z;
  const int i = threadIdx.y, j = threadIdx.z;
  const int row = oh * sh + i * dh;
  const int col = ow * sw + j * dw;
  const int x0 = ((n * H + row) * W + col) * C;
  for (int u = 0; u < units; ++u) {
    const int f0 = ((u * kh + i) * kw + j) * C;
    T s = 0;
    for_thread_run(C, chunk,
                   [&](int c) { s = term(__ldg(input + x0 + c), __ldg(filter + f0 + c), s); });
    atomicAdd(target + b + u, s);
  }
}

// Elementwise NCHW grid (n, y), y < planes: applies op(e, y) to the elements
// e of plane (n, y) of rows·cols elements, striding by the block size.
template <typename Op>
__device__ __forceinline__ void for_plane(int N, int planes, int rows, int cols, Op op) {
  if (!varekpt::below(blockIdx.x, N) || !varekpt::below(blockIdx.y, planes)) return;
  const int n = blockIdx.x, y = blockIdx.y;
  const int size = rows * cols;
  const int e0 = (n * planes + y) * size;
  for (int k = threadIdx.x; k < size; k += blockDim.x) op(e0 + k, y);
}

}  // namespace

template <typename T>
__global__ void ParaConv2DInitCudaKernel(const T* __restrict__ h0, const T* __restrict__ p0,
                                         int N, int outH, int outW, int units, int chunk, T* hsum,
                                         T* output) {
  const int b = nhwc_position_base(N, outH, outW, units);
  if (b < 0) return;
  for_thread_run(units, chunk, [&](int u) {
    const T q = __ldg(p0 + u);
    hsum[b + u] = __ldg(h0 + u);
    output[b + u] = -(q * q);
  });
}

template <typename T>
__global__ void ParaConv2DHsumCudaKernel(const T* __restrict__ input, const T* __restrict__ h,
                                         int kh, int kw, int sh, int sw, int dh, int dw, int N,
                                         int H, int W, int C, int units, int outH, int outW,
                                         int chunk, T* hsum) {
  add_tap_sums<T>(input, h, kh, kw, sh, sw, dh, dw, N, H, W, C, units, outH, outW, chunk, hsum,
                  [](T x, T f, T s) { return fma(f, x, s); });
}

template <typename T>
__global__ void ParaConv2DPsqCudaKernel(const T* __restrict__ input, const T* __restrict__ p,
                                        int kh, int kw, int sh, int sw, int dh, int dw, int N,
                                        int H, int W, int C, int units, int outH, int outW,
                                        int chunk, T* output) {
  add_tap_sums<T>(input, p, kh, kw, sh, sw, dh, dw, N, H, W, C, units, outH, outW, chunk, output,
                  [](T x, T f, T s) {
                    const T t = x - f;
                    return fma(-t, t, s);
                  });
}

template <typename T>
__global__ void ParaConv2DOutputCudaKernel(T factor, int N, int outH, int outW, int units,
                                           int chunk, const T* __restrict__ hsum, T* output) {
  const int b = nhwc_position_base(N, outH, outW, units);
  if (b < 0) return;
  for_thread_run(units, chunk, [&](int u) {
    const T s = __ldg(hsum + b + u);
    output[b + u] = fma(s, s, output[b + u]) * factor;
  });
}

template <typename T>
__global__ void ParaConv2DGetHsumNCHW(const T* __restrict__ hdot, const T* __restrict__ h0,
                                      int N, int units, int outH, int outW, T* hsum) {
  for_plane(N, units, outH, outW, [&](int e, int u) { hsum[e] = __ldg(h0 + u) + __ldg(hdot + e); });
}

template <typename T>
__global__ void ParaConv2DInitOutputNCHW(const T* __restrict__ hsum, const T* __restrict__ pdot,
                                         int N, int units, int outH, int outW, T* output) {
  for_plane(N, units, outH, outW, [&](int e, int) {
    const T s = __ldg(hsum + e);
    const T c = __ldg(pdot + e);
    output[e] = fma(s, s, c + c);
  });
}

// Each thread sums the squares of its strided share of the unit's d elements
// in a register, so any block size covers every element; with d threads each
// share is one square and the sum is the tree's alone.
template <typename T>
__global__ void ParaConv2DGetPsq3(const T* __restrict__ p, const T* __restrict__ p0, int units,
                                  int d, T* psq3) {
  if (!varekpt::below(blockIdx.x, units)) return;
  const int u = blockIdx.x;
  VAREKPT_DYNAMIC_SHARED(T, slots);
  const int t = threadIdx.x;
  T acc = 0;
  for (int k = t; k < d; k += blockDim.x) {
    const T v = __ldg(p + u * d + k);
    acc = fma(v, v, acc);
  }
  const T sum = varekpt::block_tree_sum(slots, acc);
  if (t == 0) {
    const T q = __ldg(p0 + u);
    psq3[u] = fma(q, q, sum);
  }
}

template <typename T>
__global__ void ParaConv2DApplyPsq3(const T* __restrict__ psq3, int N, int units, int outH,
                                    int outW, T* output) {
  for_plane(N, units, outH, outW, [&](int e, int u) { output[e] = output[e] - __ldg(psq3 + u); });
}

template <typename T>
__global__ void ParaConv2DGetInputsq(const T* __restrict__ input, int N, int C, int H, int W,
                                     T* inputsq) {
  for_plane(N, C, H, W, [&](int e, int) {
    const T x = __ldg(input + e);
    inputsq[e] = x * x;
  });
}

template <typename T>
__global__ void ParaConv2DGetUnitfilter(int units, int C, int kh, int kw, T* unitfilter) {
  if (!varekpt::below(blockIdx.x, units)) return;
  const int u = blockIdx.x;
  const int d = C * kh * kw;
  for (int k = threadIdx.x; k < d; k += blockDim.x) unitfilter[u * d + k] = T(1);
}

template <typename T>
__global__ void ParaConv2DApplyPsq1(const T* __restrict__ xsqsum, T factor, int N, int units,
                                    int outH, int outW, T* output) {
  for_plane(N, units, outH, outW,
            [&](int e, int) { output[e] = (output[e] - __ldg(xsqsum + e)) * factor; });
}

#define VAREKPT_INSTANTIATE(T)                                                                  \
  VAREKPT_KERNEL(ParaConv2DInitCudaKernel, T, const T*, const T*, int, int, int, int, int, T*,  \
                 T*);                                                                           \
  VAREKPT_KERNEL(ParaConv2DHsumCudaKernel, T, const T*, const T*, int, int, int, int, int, int, \
                 int, int, int, int, int, int, int, int, T*);                                   \
  VAREKPT_KERNEL(ParaConv2DPsqCudaKernel, T, const T*, const T*, int, int, int, int, int, int,  \
                 int, int, int, int, int, int, int, int, T*);                                   \
  VAREKPT_KERNEL(ParaConv2DOutputCudaKernel, T, T, int, int, int, int, int, const T*, T*);      \
  VAREKPT_KERNEL(ParaConv2DGetHsumNCHW, T, const T*, const T*, int, int, int, int, T*);         \
  VAREKPT_KERNEL(ParaConv2DInitOutputNCHW, T, const T*, const T*, int, int, int, int, T*);      \
  VAREKPT_KERNEL(ParaConv2DGetPsq3, T, const T*, const T*, int, int, T*);                       \
  VAREKPT_KERNEL(ParaConv2DApplyPsq3, T, const T*, int, int, int, int, T*);                     \
  VAREKPT_KERNEL(ParaConv2DGetInputsq, T, const T*, int, int, int, int, T*);                    \
  VAREKPT_KERNEL(ParaConv2DGetUnitfilter, T, int, int, int, int, T*);                           \
  VAREKPT_KERNEL(ParaConv2DApplyPsq1, T, const T*, T, int, int, int, int, T*);
VAREKPT_INSTANTIATE(float)
VAREKPT_INSTANTIATE(double)
#undef VAREKPT_INSTANTIATE
