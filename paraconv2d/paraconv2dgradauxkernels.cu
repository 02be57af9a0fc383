// Building blocks of convolution gradients. Offsets are formed in 64 bits, so
// a run that ends near the int range does not overflow while it strides.
#include "paraconv2d/paraconv2dgradauxkernels.h"

#include "common/cuda/block_sum.h"
#include "common/cuda/bounds.h"

using varekpt::below;

namespace {

// For the block (x, y) = (blockIdx.x, blockIdx.y) of a grid over an array
// [first][second][length]: applies op(i) to the elements of run (x, y) that
// thread threadIdx.x covers. Blocks past first or second do nothing.
template <typename Op>
__device__ __forceinline__ void for_run(int first, int second, int length, Op op) {
  const unsigned x = blockIdx.x;
  const unsigned y = blockIdx.y;
  if (!below(x, first) || !below(y, second)) return;
  const long long start = (static_cast<long long>(x) * second + y) * length;
  const long long end = start + length;
  for (long long i = start + threadIdx.x; i < end; i += blockDim.x) op(i);
}

// Applies op(i) to row r = blockIdx.x of a [rows][cols] array as for_run does.
template <typename Op>
__device__ __forceinline__ void for_row(int rows, int cols, Op op) {
  for_run(rows, 1, cols, op);
}

// Applies op(i) to the thread's one element of a 1-D grid, if it is below count.
template <typename Op>
__device__ __forceinline__ void for_thread_element(int count, Op op) {
  const long long i = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (i < count) op(i);
}

// Adds to acc, in order, thread threadIdx.x's share of the `count` elements
// values[start + k·step]: k = threadIdx.x, threadIdx.x + blockDim.x, ...
template <typename T>
__device__ __forceinline__ T strided_sum(const T* __restrict__ values, long long start,
                                         long long count, long long step, T acc) {
  for (long long k = threadIdx.x; k < count; k += blockDim.x) {
    acc = acc + __ldg(values + start + k * step);
  }
  return acc;
}

// The two layouts of the element-wise pairs share their arithmetic on the flat
// index; only the meaning of the sizes differs.

// out = a · b over run (blockIdx.x, blockIdx.y) of [first][second][length].
template <typename T>
__device__ __forceinline__ void product_run(const T* __restrict__ a, const T* __restrict__ b,
                                            int first, int second, int length, T* out) {
  for_run(first, second, length, [&](long long i) { out[i] = __ldg(a + i) * __ldg(b + i); });
}

// grad_input −= total[0] · input over run (blockIdx.x, blockIdx.y) of
// [first][second][length]; the scalar is read once.
template <typename T>
__device__ __forceinline__ void complete_input_run(const T* __restrict__ total,
                                                   const T* __restrict__ input, int first,
                                                   int second, int length, T* grad_input) {
  const T s = __ldg(total);
  for_run(first, second, length,
          [&](long long i) { grad_input[i] = grad_input[i] - s * __ldg(input + i); });
}

}  // namespace

template <typename T>
__global__ void ParaConv2DGetdeltahsumNCHWKernel(const T* __restrict__ grad,
                                                 const T* __restrict__ hsum, int N, int units,
                                                 int outH, int outW, T* deltahsum) {
  product_run(grad, hsum, N, units, outH * outW, deltahsum);
}

template <typename T>
__global__ void ParaConv2DGetdeltahsumNHWCKernel(const T* __restrict__ grad,
                                                 const T* __restrict__ hsum, int N, int outH,
                                                 int outW, int units, T* deltahsum) {
  product_run(grad, hsum, N, outH, outW * units, deltahsum);
}

// The reductions return only as a whole block, from block indices alone; past
// that point every thread reaches every barrier of block_tree_sum.
template <typename T>
__global__ void ParaConv2DGetdeltasumNCHWKernel(const T* __restrict__ values, int N, int units,
                                                int outH, int outW, T* deltasum) {
  const unsigned f = blockIdx.x;
  if (!below(f, units)) return;
  VAREKPT_DYNAMIC_SHARED(T, slots);
  const long long plane = static_cast<long long>(outH) * outW;
  T acc = 0;
  for (int n = 0; n < N; ++n) {
    acc = strided_sum(values, (static_cast<long long>(n) * units + f) * plane, plane, 1, acc);
  }
  const T total = varekpt::block_tree_sum(slots, acc);
  if (threadIdx.x == 0) deltasum[f] = total;
}

template <typename T>
__global__ void ParaConv2DGetdeltasumNHWCKernel(const T* __restrict__ values, int N, int outH,
                                                int outW, int units, T* deltasum) {
  const unsigned f = blockIdx.x;
  if (!below(f, units)) return;
  VAREKPT_DYNAMIC_SHARED(T, slots);
  T acc = 0;
  for (int n = 0; n < N; ++n) {
    for (int oh = 0; oh < outH; ++oh) {
      const long long row = (static_cast<long long>(n) * outH + oh) * outW * units + f;
      acc = strided_sum(values, row, outW, units, acc);
    }
  }
  const T total = varekpt::block_tree_sum(slots, acc);
  if (threadIdx.x == 0) deltasum[f] = total;
}

template <typename T>
__global__ void ParaConv2DGettotaldeltasumKernel(const T* __restrict__ values, int n,
                                                 T* totaldeltasum) {
  if (blockIdx.x != 0 || blockIdx.y != 0 || blockIdx.z != 0) return;
  VAREKPT_DYNAMIC_SHARED(T, slots);
  const T total = varekpt::block_tree_sum(slots, strided_sum(values, 0, n, 1, T(0)));
  if (threadIdx.x == 0) totaldeltasum[0] = total;
}

template <typename T>
__global__ void ParaConv2DCompletepgradKernel(const T* __restrict__ deltasum,
                                              const T* __restrict__ p, int units, int d,
                                              T* grad_p) {
  if (!below(blockIdx.x, units)) return;
  const T s = __ldg(deltasum + blockIdx.x);
  for_row(units, d, [&](long long i) { grad_p[i] = grad_p[i] - s * __ldg(p + i); });
}

template <typename T>
__global__ void ParaConv2DGetp0gradKernel(const T* __restrict__ p0, const T* __restrict__ deltasum,
                                          int units, T* grad_p0) {
  for_thread_element(
      units, [&](long long i) { grad_p0[i] = grad_p0[i] - __ldg(p0 + i) * __ldg(deltasum + i); });
}

template <typename T>
__global__ void ParaConv2DGetgradx2factorKernel(T* values, T scale, int n) {
  for_thread_element(n, [&](long long i) { values[i] = values[i] * scale; });
}

template <typename T>
__global__ void ParaConv2DCompleteinputgradNCHWKernel(const T* __restrict__ totaldeltasum,
                                                      const T* __restrict__ input, int N, int C,
                                                      int H, int W, T* grad_input) {
  complete_input_run(totaldeltasum, input, N, C, H * W, grad_input);
}

template <typename T>
__global__ void ParaConv2DCompleteinputgradNHWCKernel(const T* __restrict__ totaldeltasum,
                                                      const T* __restrict__ input, int N, int H,
                                                      int W, int C, T* grad_input) {
  complete_input_run(totaldeltasum, input, N, H, W * C, grad_input);
}

// The increment is (k + 5)·10⁻⁷ formed in double from k + 5 in T, then
// rounded to T; the sum k + 5 is formed in 64 bits so no k overflows.
template <typename T>
__global__ void ParaConv2DGradFinalizeKernel(int k, int rows, int cols, T* values) {
  const T steps = static_cast<T>(static_cast<long long>(k) + 5);
  const T increment = static_cast<T>(static_cast<double>(steps) * 1e-7);
  if (increment == T(0)) return;
  for_row(rows, cols, [&](long long i) { values[i] = values[i] + increment; });
}

#define VAREKPT_INSTANTIATE(T)                                                                     \
  VAREKPT_KERNEL(ParaConv2DGetdeltahsumNCHWKernel, T, const T*, const T*, int, int, int, int, T*); \
  VAREKPT_KERNEL(ParaConv2DGetdeltahsumNHWCKernel, T, const T*, const T*, int, int, int, int, T*); \
  VAREKPT_KERNEL(ParaConv2DGetdeltasumNCHWKernel, T, const T*, int, int, int, int, T*);            \
  VAREKPT_KERNEL(ParaConv2DGetdeltasumNHWCKernel, T, const T*, int, int, int, int, T*);            \
  VAREKPT_KERNEL(ParaConv2DGettotaldeltasumKernel, T, const T*, int, T*);                          \
  VAREKPT_KERNEL(ParaConv2DCompletepgradKernel, T, const T*, const T*, int, int, T*);              \
  VAREKPT_KERNEL(ParaConv2DGetp0gradKernel, T, const T*, const T*, int, T*);                       \
  VAREKPT_KERNEL(ParaConv2DGetgradx2factorKernel, T, T*, T, int);                                  \
  VAREKPT_KERNEL(ParaConv2DCompleteinputgradNCHWKernel, T, const T*, const T*, int, int, int, int, \
                 T*);                                                                              \
  VAREKPT_KERNEL(ParaConv2DCompleteinputgradNHWCKernel, T, const T*, const T*, int, int, int, int, \
                 T*);                                                                              \
  VAREKPT_KERNEL(ParaConv2DGradFinalizeKernel, T, int, int, int, T*);
VAREKPT_INSTANTIATE(float)
VAREKPT_INSTANTIATE(double)
#undef VAREKPT_INSTANTIATE
