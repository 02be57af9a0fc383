// Building blocks of convolution gradients, launched by native callers with a
// configuration of their own (no operator launches them). Instantiated for
// float and double.
//
// Arrays named NCHW hold grad, hsum, deltahsum as [N][units][outH][outW] and
// input, grad_input as [N][C][H][W]; those named NHWC hold [N][outH][outW][units]
// and [N][H][W][C]. The four size arguments of a kernel are its array's
// dimensions in the array's own order; the grid walks the first two of them
// (blocks past those extents do nothing) and the threads of a block stride
// through the rest by blockDim.x. Blocks are 1-D. Read-modify-write kernels
// use plain loads and stores: each element belongs to one thread.
#pragma once

#include "common/cuda/platform.h"

// deltahsum = grad · hsum, element by element. Grid x ≥ N, y ≥ units.
template <typename T>
__global__ void ParaConv2DGetdeltahsumNCHWKernel(const T* grad, const T* hsum, int N, int units,
                                                 int outH, int outW, T* deltahsum);
// The same on [N][outH][outW][units]. Grid x ≥ N, y ≥ outH.
template <typename T>
__global__ void ParaConv2DGetdeltahsumNHWCKernel(const T* grad, const T* hsum, int N, int outH,
                                                 int outW, int units, T* deltahsum);

// Per-unit sums over samples and output positions, stored (not added) into
// deltasum[f] by block f. Grid x ≥ units; blocks of at most 1024 threads with
// blockDim.x elements of T of dynamic shared memory.
template <typename T>
__global__ void ParaConv2DGetdeltasumNCHWKernel(const T* values, int N, int units, int outH,
                                                int outW, T* deltasum);
template <typename T>
__global__ void ParaConv2DGetdeltasumNHWCKernel(const T* values, int N, int outH, int outW,
                                                int units, T* deltasum);
// totaldeltasum[0] = the sum of values[0 .. n−1], by the grid's first block
// alone; shared memory as above.
template <typename T>
__global__ void ParaConv2DGettotaldeltasumKernel(const T* values, int n, T* totaldeltasum);

// grad_p[u][k] −= deltasum[u] · p[u][k] over rows of d elements. Grid x ≥ units.
template <typename T>
__global__ void ParaConv2DCompletepgradKernel(const T* deltasum, const T* p, int units, int d,
                                              T* grad_p);
// grad_p0[i] −= p0[i] · deltasum[i], one element per thread of a 1-D grid.
template <typename T>
__global__ void ParaConv2DGetp0gradKernel(const T* p0, const T* deltasum, int units, T* grad_p0);
// values[i] *= scale, one element per thread of a 1-D grid, i < n.
template <typename T>
__global__ void ParaConv2DGetgradx2factorKernel(T* values, T scale, int n);

// grad_input −= totaldeltasum[0] · input, element by element. Grid x ≥ N,
// y ≥ C (NCHW) or y ≥ H (NHWC).
template <typename T>
__global__ void ParaConv2DCompleteinputgradNCHWKernel(const T* totaldeltasum, const T* input, int N,
                                                      int C, int H, int W, T* grad_input);
template <typename T>
__global__ void ParaConv2DCompleteinputgradNHWCKernel(const T* totaldeltasum, const T* input, int N,
                                                      int H, int W, int C, T* grad_input);

// values[r][c] += (k + 5)·10⁻⁷ over rows of cols elements, block r for row r;
// k = −5 leaves the array as it is. Grid x ≥ rows.
template <typename T>
__global__ void ParaConv2DGradFinalizeKernel(int k, int rows, int cols, T* values);
