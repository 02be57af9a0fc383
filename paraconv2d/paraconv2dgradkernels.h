// Kernels of the convolution layer's CUDA backward over NCHW images.
// Instantiated for float and double. The accumulating kernels take the sizes
// in the order N, H, W, C; their int before the output pointer is not read.
#pragma once

#include "common/cuda/platform.h"

// Row-chunk kernels on A viewed as rows × cols: block blockIdx.x takes one row,
// each thread a run of chunk consecutive columns. They set each element to 0,
// to A + A, and to (A + A)·factor respectively.
template <typename T>
__global__ void ParaConv2DGradZeroTensorCudaKernel(int rows, int cols, int chunk, T* A);
template <typename T>
__global__ void ParaConv2DGrad2TensorCudaKernel(int rows, int cols, int chunk, T* A);
template <typename T>
__global__ void ParaConv2DGrad2FactorTensorCudaKernel(T factor, int rows, int cols, int chunk,
                                                      T* A);

// For (n, oh, ow) = blockIdx and channel c = threadIdx.x: adds, for every tap,
// the sum over units of grad·((hsum·h − x) + p) into grad_input at the element
// x that the tap reads.
template <typename T>
__global__ void ParaConv2DGradInputNCHWKernel(const T* grad, const T* hsum, const T* h, const T* p,
                                              const T* input, int kh, int kw, int sh, int sw,
                                              int dh, int dw, int N, int H, int W, int C, int units,
                                              int outH, int outW, int unused, T* grad_input);

// For (n, f, c) = blockIdx and output row oh = threadIdx.x: adds grad·hsum·x
// (H) or grad·(x − p) (P) into the filter element of each tap, one atomic
// addition per term.
template <typename T>
__global__ void ParaConv2DGradHKernelNCHW(const T* grad, const T* hsum, const T* input, int kh,
                                          int kw, int sh, int sw, int dh, int dw, int N, int H,
                                          int W, int C, int units, int outH, int outW, int chunk,
                                          T* grad_h);
template <typename T>
__global__ void ParaConv2DGradPKernelNCHW(const T* grad, const T* p, const T* input, int kh, int kw,
                                          int sh, int sw, int dh, int dw, int N, int H, int W,
                                          int C, int units, int outH, int outW, int chunk,
                                          T* grad_p);

// For (n, oh, f) = blockIdx and column ow = threadIdx.x: adds grad·hsum (H0)
// or −(grad·p0[f]) (P0) into element f.
template <typename T>
__global__ void ParaConv2DGradH0KernelNCHW(const T* grad, const T* hsum, int N, int units, int outH,
                                           int outW, int chunk, T* grad_h0);
template <typename T>
__global__ void ParaConv2DGradP0KernelNCHW(const T* grad, const T* p0, int N, int units, int outH,
                                           int outW, int chunk, T* grad_p0);
