// Kernels of the convolution layer's CUDA forward over NCHW images.
// Instantiated for float and double. The accumulating kernels take the sizes
// in the order N, H, W, C.
#pragma once

#include "common/cuda/platform.h"

// Seeds the output row (n, u, oh) = (blockIdx.x, blockIdx.y, blockIdx.z):
// hsum = h0[u], output = −p0[u]², chunk columns per thread.
template <typename T>
__global__ void ParaConv2DInitCudaKernelNCHW(const T* h0, const T* p0, int N, int outH, int outW,
                                             int units, int chunk, T* hsum, T* output);

// Adds the window sum of channel c = threadIdx.x for unit u = threadIdx.y into
// hsum at (n, oh, ow) = (blockIdx.x, blockIdx.y, blockIdx.z). chunk is not read.
template <typename T>
__global__ void ParaConv2DHsumCudaKernelNCHW(const T* input, const T* h, int kh, int kw, int sh,
                                             int sw, int dh, int dw, int N, int H, int W, int C,
                                             int units, int outH, int outW, int chunk, T* hsum);

// Subtracts |window − p[u]|² of unit u = threadIdx.y from output at (n, oh, ow)
// = (blockIdx.x, blockIdx.y, blockIdx.z). chunk is not read.
template <typename T>
__global__ void ParaConv2DPsqCudaKernelNCHW(const T* input, const T* p, int kh, int kw, int sh,
                                            int sw, int dh, int dw, int N, int H, int W, int C,
                                            int units, int outH, int outW, int chunk, T* output);

// output = (hsum² + output)·factor over the output row of the seeding kernel.
template <typename T>
__global__ void ParaConv2DOutputCudaKernelNCHW(T factor, int N, int outH, int outW, int units,
                                               int chunk, const T* hsum, T* output);
