// Kernels of the dense layer that no operator launches: native callers launch
// them with a configuration of their own (cudaLaunchKernel or <<<...>>>).
// Instantiated for float and double: ten in paraboloidgradkernels, the fused
// forward in osparaboloidkernels. The 9-parameter ParaboloidHsumCudaKernel
// overloads the operators' kernel of osparaboloidkernels.h; a caller that
// includes both headers selects one by its parameter list.
#pragma once

#include "common/cuda/platform.h"

// Matrix building blocks. "Per row": block r = blockIdx.x takes row r of a
// rows × cols matrix (blocks past rows do nothing) and thread t the columns
// t, t + blockDim.x, ... below cols. One-dimensional launches.

// out = a × b element by element, per row.
template <typename T>
__global__ void ParaboloidGradPerElementMatMulKernel(int rows, int cols, const T* a, const T* b,
                                                     T* out);
// Every row of out = the vector b (cols elements), per row; a is not read.
template <typename T>
__global__ void ParaboloidGradPerElementMatColMulKernel(int rows, int cols, const T* a,
                                                        const T* b, T* out);
// Row r of out = row r of a × b[r], per row.
template <typename T>
__global__ void ParaboloidGradPerElementMatRowMulKernel(int rows, int cols, const T* a,
                                                        const T* b, T* out);

// Tree reductions: block c (or r) sums column c (or row r) of a into out[c]
// (or out[r]). 1 to 1024 threads per block, blockDim.x × sizeof(T) bytes of
// dynamic shared memory.
template <typename T>
__global__ void ParaboloidGradSumAlongDim1Kernel(int rows, int cols, const T* a, T* out);
template <typename T>
__global__ void ParaboloidGradSumAlongDim0Kernel(int rows, int cols, const T* a, T* out);

// out[j] = (sum of column j of a, summed by one thread) × factor; one thread
// per column across the grid.
template <typename T>
__global__ void ParaboloidGradFactorSumAlongDim1Kernel(T factor, int rows, int cols, const T* a,
                                                       T* out);

// out[i] = (a[i] × factor) × b[i] for i < n; any grid covers the vector.
template <typename T>
__global__ void ParaboloidGradGetp0gradKernel(T factor, int n, const T* a, const T* b, T* out);

// Adds (k + 5)·1e-7 to every element in place, per row; nothing when k = −5.
template <typename T>
__global__ void ParaboloidGradFinalizeKernel(int k, int rows, int cols, T* a);

// One-pass hsum: thread (n, u) of a 2-D launch stores h0[u] + h[u]·x[n] into
// hsum[n][u]. The first and eighth arguments are not read.
template <typename T>
__global__ void ParaboloidHsumCudaKernel(T unused_factor, const T* input, const T* h, const T* h0,
                                         int N, int d, int units, int unused_chunk, T* hsum);

// a[i] = i + value for the flat index i, per row.
template <typename T>
__global__ void VarekSet(T value, int rows, int cols, T* a);

// Fused forward: thread (n, u) of a 2-D launch stores hsum[n][u] =
// h0[u] + h[u]·x[n] and output[n][u] = factor·(hsum² − |x[n] − p[u]|² − p0[u]²),
// overwriting both. The tenth argument is not read.
template <typename T>
__global__ void ParaboloidFusedCudaKernel(T factor, const T* input, const T* h, const T* h0,
                                          const T* p, const T* p0, int N, int d, int units,
                                          int unused_chunk, T* hsum, T* output);
