// Further forward kernels of the convolution layer, for native callers that
// launch them with a configuration of their own; no operator launches them.
// Instantiated for float and double. Every kernel returns from blocks whose
// indices lie past its bounds, so grids may be rounded up.
//
// Channels-last kernels: input [N][H][W][C]; filter rows of h and p in the
// order [kh][kw][C], element ((u·kh + i)·kw + j)·C + c of the block; hsum and
// output [N][outH][outW][units]. Tap (i, j) of output (oh, ow) reads row
// oh·sh + i·dh and column ow·sw + j·dw: the filter is applied unflipped.
//
// Building blocks (NCHW): assemble the unit output from window sums that the
// caller computes, by |x − p|² = |x|² − 2·x·p + |p|². hsum, output, hdot
// (window sums of h·x), pdot (of p·x) and xsqsum (of x²) are
// [N][units][outH][outW]; input and inputsq [N][C][H][W].
#pragma once

#include "common/cuda/platform.h"

// Channels-last forward, used in this order on one stream: Init; Hsum and
// Psq; Output. Grid (n, oh, ow); block x covers the units (Init, Output) or
// the channels (Hsum, Psq) `chunk` at a time.

// hsum = h0[u], output = −p0[u]².
template <typename T>
__global__ void ParaConv2DInitCudaKernel(const T* h0, const T* p0, int N, int outH, int outW,
                                         int units, int chunk, T* hsum, T* output);
// Adds the thread's channel share of Σ h·x at tap (threadIdx.y, threadIdx.z)
// into hsum of every unit, atomically; block y ≥ kh, z ≥ kw.
template <typename T>
__global__ void ParaConv2DHsumCudaKernel(const T* input, const T* h, int kh, int kw, int sh,
                                         int sw, int dh, int dw, int N, int H, int W, int C,
                                         int units, int outH, int outW, int chunk, T* hsum);
// Adds −Σ (x − p)² over the same share into output of every unit, atomically.
template <typename T>
__global__ void ParaConv2DPsqCudaKernel(const T* input, const T* p, int kh, int kw, int sh,
                                        int sw, int dh, int dw, int N, int H, int W, int C,
                                        int units, int outH, int outW, int chunk, T* output);
// output = (hsum² + output)·factor.
template <typename T>
__global__ void ParaConv2DOutputCudaKernel(T factor, int N, int outH, int outW, int units,
                                           int chunk, const T* hsum, T* output);

// Building blocks. Grid (n, u) (or (n, c)); each block strides over its plane.
// hsum = h0[u] + hdot.
template <typename T>
__global__ void ParaConv2DGetHsumNCHW(const T* hdot, const T* h0, int N, int units, int outH,
                                      int outW, T* hsum);
// output = hsum² + 2·pdot.
template <typename T>
__global__ void ParaConv2DInitOutputNCHW(const T* hsum, const T* pdot, int N, int units,
                                         int outH, int outW, T* output);
// psq3[u] = |p[u]|² + p0[u]², one block per unit, any block size up to 1024
// with blockDim.x·sizeof(T) bytes of dynamic shared memory.
template <typename T>
__global__ void ParaConv2DGetPsq3(const T* p, const T* p0, int units, int d, T* psq3);
// output −= psq3[u].
template <typename T>
__global__ void ParaConv2DApplyPsq3(const T* psq3, int N, int units, int outH, int outW,
                                    T* output);
// inputsq = input², grid (n, c).
template <typename T>
__global__ void ParaConv2DGetInputsq(const T* input, int N, int C, int H, int W, T* inputsq);
// unitfilter[u] = d = C·kh·kw ones, one block per unit.
template <typename T>
__global__ void ParaConv2DGetUnitfilter(int units, int C, int kh, int kw, T* unitfilter);
// output = (output − xsqsum)·factor.
template <typename T>
__global__ void ParaConv2DApplyPsq1(const T* xsqsum, T factor, int N, int units, int outH,
                                    int outW, T* output);
