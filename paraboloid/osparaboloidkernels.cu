// Kernels of the dense layer's CUDA forward, and the fused forward that only
// native callers launch. Blocks that the rounding of the operators' grids to a
// multiple of 32 adds return at once.
#include "paraboloid/osparaboloidkernels.h"

#include "paraboloid/paraboloidauxkernels.h"
#include "paraboloid/sample_unit.h"

template <typename T>
__global__ void ParaboloidInitCudaKernel(const T* __restrict__ h0, const T* __restrict__ p0,
                                         int N, int units, int chunk, T* hsum, T* output) {
  (void)chunk;
  const unsigned n = blockIdx.x;
  if (n >= static_cast<unsigned>(N)) return;
  for (int u = threadIdx.x; u < units; u += blockDim.x) hsum[n * units + u] = __ldg(h0 + u);
  __syncthreads();
  for (int u = threadIdx.x; u < units; u += blockDim.x) {
    const T q = __ldg(p0 + u);
    output[n * units + u] = -(q * q);
  }
}

namespace {

// For the pair (n, u) = (blockIdx.x, blockIdx.y): sums term(k) over this
// thread's run of `chunk` inputs and adds the sum (or its negation) into
// target[n·units + u] atomically. A thread whose run is empty adds 0.
template <typename T, typename Term>
__device__ __forceinline__ void add_pair_sum(int N, int d, int units, int chunk, bool negate,
                                             T* target, Term term) {
  const unsigned n = blockIdx.x;
  const unsigned u = blockIdx.y;
  if (n >= static_cast<unsigned>(N) || u >= static_cast<unsigned>(units)) return;
  const int begin = threadIdx.x * chunk;
  const int end = min(begin + chunk, d);
  T s = 0;
  for (int k = begin; k < end; ++k) s += term(n * d + k, u * d + k);
  atomicAdd(target + n * units + u, negate ? -s : s);
}

}  // namespace

template <typename T>
__global__ void ParaboloidHsumCudaKernel(const T* __restrict__ input, const T* __restrict__ h,
                                         int N, int d, int units, int chunk, T* hsum) {
  add_pair_sum<T>(N, d, units, chunk, false, hsum,
                  [&](int x, int w) { return __ldg(input + x) * __ldg(h + w); });
}

template <typename T>
__global__ void ParaboloidPsqCudaKernel(const T* __restrict__ input, const T* __restrict__ p,
                                        int N, int d, int units, int chunk, T* output) {
  add_pair_sum<T>(N, d, units, chunk, true, output, [&](int x, int w) {
    const T t = __ldg(input + x) - __ldg(p + w);
    return t * t;
  });
}

template <typename T>
__global__ void ParaboloidOutputCudaKernel(T factor, int N, int units, int chunk,
                                           const T* __restrict__ hsum, T* output) {
  const unsigned n = blockIdx.x;
  if (n >= static_cast<unsigned>(N)) return;
  const int begin = threadIdx.x * chunk;
  const int end = min(begin + chunk, units);
  for (int u = begin; u < end; ++u) {
    const int i = n * units + u;
    const T s = __ldg(hsum + i);
    output[i] = (s * s + output[i]) * factor;
  }
}

template <typename T>
__global__ void ParaboloidFusedCudaKernel(T factor, const T* __restrict__ input,
                                          const T* __restrict__ h, const T* __restrict__ h0,
                                          const T* __restrict__ p, const T* __restrict__ p0,
                                          int N, int d, int units, int unused_chunk, T* hsum,
                                          T* output) {
  (void)unused_chunk;
  int n, u;
  if (!varekpt::thread_sample_unit(N, units, &n, &u)) return;
  // p0² enters the distance sum before the one subtraction.
  T s = __ldg(h0 + u);
  T q = __ldg(p0 + u) * __ldg(p0 + u);
  for (int j = 0; j < d; ++j) {
    const T v = __ldg(input + n * d + j);
    s = fma(v, __ldg(h + u * d + j), s);
    const T w = v - __ldg(p + u * d + j);
    q = fma(w, w, q);
  }
  hsum[n * units + u] = s;
  output[n * units + u] = (s * s - q) * factor;
}

#define VAREKPT_INSTANTIATE(T)                                                             \
  VAREKPT_KERNEL(ParaboloidInitCudaKernel, T, const T*, const T*, int, int, int, T*, T*);  \
  VAREKPT_KERNEL(ParaboloidHsumCudaKernel, T, const T*, const T*, int, int, int, int, T*); \
  VAREKPT_KERNEL(ParaboloidPsqCudaKernel, T, const T*, const T*, int, int, int, int, T*);  \
  VAREKPT_KERNEL(ParaboloidOutputCudaKernel, T, T, int, int, int, const T*, T*);           \
  VAREKPT_KERNEL(ParaboloidFusedCudaKernel, T, T, const T*, const T*, const T*, const T*,  \
                 const T*, int, int, int, int, T*, T*);
VAREKPT_INSTANTIATE(float)
VAREKPT_INSTANTIATE(double)
#undef VAREKPT_INSTANTIATE
