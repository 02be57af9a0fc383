// Kernels of the dense layer's CUDA backward, and building blocks that only
// native callers launch. Blocks beyond the real extent (the operators' grids
// are rounded up to multiples of 32) return at once.
#include "paraboloid/paraboloidgradkernels.h"

#include "common/cuda/block_sum.h"
#include "paraboloid/paraboloidauxkernels.h"
#include "paraboloid/sample_unit.h"

namespace {

// Applies op to the elements of row blockIdx.x that thread threadIdx.x covers.
template <typename T, typename Op>
__device__ __forceinline__ void for_row_chunk(int rows, int cols, int chunk, T* matrix, Op op) {
  const int row = blockIdx.x;
  if (row >= rows) return;
  const int begin = threadIdx.x * chunk;
  const int end = min(begin + chunk, cols);
  for (int c = begin; c < end; ++c) op(matrix[row * cols + c]);
}

// This thread's run of `chunk` consecutive terms out of `length`.
__device__ __forceinline__ void term_range(int length, int chunk, int* begin, int* end) {
  *begin = threadIdx.x * chunk;
  *end = min(*begin + chunk, length);
}

// Applies op(i, r, c) to the elements (r, c) at i = r·cols + c of row
// r = blockIdx.x that thread threadIdx.x covers: c = threadIdx.x,
// threadIdx.x + blockDim.x, ... below cols.
template <typename Op>
__device__ __forceinline__ void for_row_strided(int rows, int cols, Op op) {
  const unsigned r = blockIdx.x;
  if (r >= static_cast<unsigned>(rows)) return;
  const int row = static_cast<int>(r);
  for (long long c = threadIdx.x; c < cols; c += blockDim.x) {
    op(row * cols + static_cast<int>(c), row, static_cast<int>(c));
  }
}

// Tree reduction per block: block b = blockIdx.x (below `blocks`; the others
// return whole, before any barrier) sums element(b, i) for
// i = threadIdx.x, threadIdx.x + blockDim.x, ... below count, each thread in
// ascending order, and stores the block's sum into out[b]. Every thread of a
// working block passes every barrier, those without elements with 0.
template <typename T, typename Element>
__device__ __forceinline__ void sum_strided_per_block(int blocks, int count, T* out,
                                                      Element element) {
  const unsigned b = blockIdx.x;
  if (b >= static_cast<unsigned>(blocks)) return;
  VAREKPT_DYNAMIC_SHARED(T, acc);
  T s = 0;
  for (long long i = threadIdx.x; i < count; i += blockDim.x) {
    s = element(static_cast<int>(b), static_cast<int>(i)) + s;
  }
  s = varekpt::block_tree_sum(acc, s);
  if (threadIdx.x == 0) out[b] = s;
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

template <typename T>
__global__ void ParaboloidGradPerElementMatMulKernel(int rows, int cols, const T* __restrict__ a,
                                                     const T* __restrict__ b, T* out) {
  for_row_strided(rows, cols, [&](int i, int, int) { out[i] = __ldg(a + i) * __ldg(b + i); });
}

template <typename T>
__global__ void ParaboloidGradPerElementMatColMulKernel(int rows, int cols, const T* a,
                                                        const T* __restrict__ b, T* out) {
  (void)a;
  for_row_strided(rows, cols, [&](int i, int, int c) { out[i] = __ldg(b + c); });
}

template <typename T>
__global__ void ParaboloidGradPerElementMatRowMulKernel(int rows, int cols,
                                                        const T* __restrict__ a,
                                                        const T* __restrict__ b, T* out) {
  for_row_strided(rows, cols,
                  [&](int i, int r, int) { out[i] = __ldg(a + i) * __ldg(b + r); });
}

template <typename T>
__global__ void ParaboloidGradSumAlongDim1Kernel(int rows, int cols, const T* __restrict__ a,
                                                 T* out) {
  sum_strided_per_block(cols, rows, out, [&](int c, int i) { return __ldg(a + i * cols + c); });
}

template <typename T>
__global__ void ParaboloidGradSumAlongDim0Kernel(int rows, int cols, const T* __restrict__ a,
                                                 T* out) {
  sum_strided_per_block(rows, cols, out, [&](int r, int i) { return __ldg(a + r * cols + i); });
}

template <typename T>
__global__ void ParaboloidGradFactorSumAlongDim1Kernel(T factor, int rows, int cols,
                                                       const T* __restrict__ a, T* out) {
  const long long j = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (j >= cols) return;
  const int col = static_cast<int>(j);
  T s = 0;
  for (int i = 0; i < rows; ++i) s = s + __ldg(a + i * cols + col);
  out[col] = s * factor;
}

// Steps by the whole grid, so that each element has exactly one writer
// whatever the number of blocks.
template <typename T>
__global__ void ParaboloidGradGetp0gradKernel(T factor, int n, const T* __restrict__ a,
                                              const T* __restrict__ b, T* out) {
  const long long step = static_cast<long long>(gridDim.x) * blockDim.x;
  for (long long i = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x; i < n;
       i += step) {
    out[i] = (__ldg(a + i) * factor) * __ldg(b + i);
  }
}

// The offset is formed in double from k + 5 in T, then rounded to T.
template <typename T>
__global__ void ParaboloidGradFinalizeKernel(int k, int rows, int cols, T* a) {
  const T e = static_cast<T>(static_cast<double>(static_cast<T>(k + 5LL)) * 1e-7);
  if (e == T(0)) return;
  for_row_strided(rows, cols, [&](int i, int, int) { a[i] = a[i] + e; });
}

template <typename T>
__global__ void ParaboloidHsumCudaKernel(T unused_factor, const T* __restrict__ input,
                                         const T* __restrict__ h, const T* __restrict__ h0,
                                         int N, int d, int units, int unused_chunk, T* hsum) {
  (void)unused_factor;
  (void)unused_chunk;
  int n, u;
  if (!varekpt::thread_sample_unit(N, units, &n, &u)) return;
  T s = __ldg(h0 + u);
  for (int j = 0; j < d; ++j) s = fma(__ldg(input + n * d + j), __ldg(h + u * d + j), s);
  hsum[n * units + u] = s;
}

template <typename T>
__global__ void VarekSet(T value, int rows, int cols, T* a) {
  for_row_strided(rows, cols, [&](int i, int, int) { a[i] = static_cast<T>(i) + value; });
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
  VAREKPT_KERNEL(ParaboloidGradP0Kernel, T, const T*, const T*, int, int, int, int, T*);          \
  VAREKPT_KERNEL(ParaboloidGradPerElementMatMulKernel, T, int, int, const T*, const T*, T*);      \
  VAREKPT_KERNEL(ParaboloidGradPerElementMatColMulKernel, T, int, int, const T*, const T*, T*);   \
  VAREKPT_KERNEL(ParaboloidGradPerElementMatRowMulKernel, T, int, int, const T*, const T*, T*);   \
  VAREKPT_KERNEL(ParaboloidGradSumAlongDim1Kernel, T, int, int, const T*, T*);                    \
  VAREKPT_KERNEL(ParaboloidGradSumAlongDim0Kernel, T, int, int, const T*, T*);                    \
  VAREKPT_KERNEL(ParaboloidGradFactorSumAlongDim1Kernel, T, T, int, int, const T*, T*);           \
  VAREKPT_KERNEL(ParaboloidGradGetp0gradKernel, T, T, int, const T*, const T*, T*);               \
  VAREKPT_KERNEL(ParaboloidGradFinalizeKernel, T, int, int, int, T*);                             \
  VAREKPT_KERNEL(ParaboloidHsumCudaKernel, T, T, const T*, const T*, const T*, int, int, int,     \
                 int, T*);                                                                        \
  VAREKPT_KERNEL(VarekSet, T, T, int, int, T*);
VAREKPT_INSTANTIATE(float)
VAREKPT_INSTANTIATE(double)
#undef VAREKPT_INSTANTIATE
