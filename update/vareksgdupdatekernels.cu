// Kernels of the update rule's CUDA worker. Indices are formed in 64 bits so
// that the last block of a vector near the int range does not overflow.
#include "update/vareksgdupdatekernels.h"

#include "common/cuda/block_sum.h"

namespace {

// Applies op(i) to the elements of block blockIdx.x's run of blockDim.x
// elements that thread threadIdx.x covers.
template <typename Op>
__device__ __forceinline__ void for_block_chunk(int count, Op op) {
  const long long start = static_cast<long long>(blockIdx.x) * blockDim.x;
  const long long end = min(start + blockDim.x, static_cast<long long>(count));
  for (long long i = start + threadIdx.x; i < end; i += blockDim.x) op(i);
}

// Applies op(i) to the thread's one element, if it is below count.
template <typename Op>
__device__ __forceinline__ void for_thread_element(int count, Op op) {
  const long long i = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (i < count) op(i);
}

// Applies op(i) to the elements of row u of an [n][d] matrix that thread
// threadIdx.x covers.
template <typename Op>
__device__ __forceinline__ void for_row(unsigned u, int d, Op op) {
  const long long start = static_cast<long long>(u) * d;
  const long long end = start + d;
  for (long long i = start + threadIdx.x; i < end; i += blockDim.x) op(i);
}

}  // namespace

template <typename T>
__global__ void InitTensorKernel(const T* __restrict__ src, int count, T* dst) {
  for_block_chunk(count, [&](long long i) { dst[i] = __ldg(src + i); });
}

template <typename T>
__global__ void ApplymomentumKernel(const T* __restrict__ src, int count, T m, T* dst) {
  for_block_chunk(count, [&](long long i) { dst[i] = fma(__ldg(src + i), m, dst[i]); });
}

template <typename T>
__global__ void ApplynesterovKernel(const T* __restrict__ src, int count, T m, T* dst) {
  for_block_chunk(count, [&](long long i) { dst[i] = fma(dst[i], m, __ldg(src + i)); });
}

template <typename T>
__global__ void ApplywithlrKernel(const T* __restrict__ src, int count, T lr, T* dst) {
  for_block_chunk(count, [&](long long i) { dst[i] = dst[i] - __ldg(src + i) * lr; });
}

template <typename T>
__global__ void GetfinalpuKernel(const T* __restrict__ a, const T* __restrict__ b, int count, T lr,
                                 T* dst) {
  (void)lr;
  for_block_chunk(count, [&](long long i) { dst[i] = __ldg(a + i) - __ldg(b + i); });
}

template <typename T>
__global__ void ApplyweightdecayKernel(const T* __restrict__ src, int count, T c, T* dst) {
  for_thread_element(count, [&](long long i) { dst[i] = dst[i] - __ldg(src + i) * c; });
}

template <typename T>
__global__ void ApplydecaytofocusKernel(const T* __restrict__ src, int count, T c, T* dst) {
  for_thread_element(count, [&](long long i) { dst[i] = dst[i] - __ldg(src + i) * c; });
}

template <typename T>
__global__ void AdjustfocusKernel(const T* __restrict__ a, const T* __restrict__ b, int count,
                                  T* dst) {
  for_thread_element(count, [&](long long i) { dst[i] = (dst[i] + __ldg(b + i)) - __ldg(a + i); });
}

template <typename T>
__global__ void GetmagsKernel(const T* __restrict__ rows, const T* __restrict__ scalars, int n,
                              int d, T* out) {
  const unsigned u = blockIdx.x;
  if (u >= static_cast<unsigned>(n)) return;
  VAREKPT_DYNAMIC_SHARED(T, sh);
  const unsigned t = threadIdx.x;
  T acc = 0;
  for_row(u, d, [&](long long i) {
    const T v = __ldg(rows + i);
    acc = fma(v, v, acc);
  });
  const T sum = varekpt::block_tree_sum(sh, acc);
  if (t == 0) {
    const T h0 = __ldg(scalars + u);
    out[u] = sqrt(fma(h0, h0, sum));
  }
}

template <typename T>
__global__ void CompensatefordecayKernel(const T* __restrict__ mags_before,
                                         const T* __restrict__ mags_after, int n, int d, T* rows,
                                         T* scalars) {
  const unsigned u = blockIdx.x;
  if (u >= static_cast<unsigned>(n)) return;
  // A unit decayed to length 0 keeps factor 1 rather than 0/0.
  const T after = __ldg(mags_after + u);
  const T r = after == 0 ? T(1) : __ldg(mags_before + u) / after;
  for_row(u, d, [&](long long i) { rows[i] = r * rows[i]; });
  if (threadIdx.x == 0) scalars[u] = r * scalars[u];
}

#define VAREKPT_INSTANTIATE(T)                                         \
  VAREKPT_KERNEL(InitTensorKernel, T, const T*, int, T*);              \
  VAREKPT_KERNEL(ApplymomentumKernel, T, const T*, int, T, T*);        \
  VAREKPT_KERNEL(ApplynesterovKernel, T, const T*, int, T, T*);        \
  VAREKPT_KERNEL(ApplywithlrKernel, T, const T*, int, T, T*);          \
  VAREKPT_KERNEL(GetfinalpuKernel, T, const T*, const T*, int, T, T*); \
  VAREKPT_KERNEL(ApplyweightdecayKernel, T, const T*, int, T, T*);     \
  VAREKPT_KERNEL(ApplydecaytofocusKernel, T, const T*, int, T, T*);    \
  VAREKPT_KERNEL(AdjustfocusKernel, T, const T*, const T*, int, T*);   \
  VAREKPT_KERNEL(GetmagsKernel, T, const T*, const T*, int, int, T*);  \
  VAREKPT_KERNEL(CompensatefordecayKernel, T, const T*, const T*, int, int, T*, T*);
VAREKPT_INSTANTIATE(float)
VAREKPT_INSTANTIATE(double)
#undef VAREKPT_INSTANTIATE
