// Kernels of the dense layer's CUDA backward. Instantiated for float and double.
#pragma once

#include "common/cuda/platform.h"

// Element-wise kernels on a rows × cols matrix: block = row, chunk columns per thread.
template <typename T>
__global__ void ParaboloidGradZeroMatrixCudaKernel(int rows, int cols, int chunk, T* matrix);
template <typename T>
__global__ void ParaboloidGrad2MatrixCudaKernel(int rows, int cols, int chunk, T* matrix);
template <typename T>
__global__ void ParaboloidGrad2FactorMatrixCudaKernel(T factor, int rows, int cols, int chunk,
                                                      T* matrix);

// Gradient sums: each block owns one output element, each thread adds the
// sum of `chunk` consecutive terms atomically.
template <typename T>
__global__ void ParaboloidGradInputKernel(const T* grad, const T* hsum, const T* h, const T* p,
                                          const T* input, int N, int d, int units, int chunk,
                                          T* grad_input);
template <typename T>
__global__ void ParaboloidGradHKernel(const T* grad, const T* hsum, const T* input, int N, int d,
                                      int units, int chunk, T* grad_h);
template <typename T>
__global__ void ParaboloidGradH0Kernel(const T* grad, const T* hsum, int N, int d, int units,
                                       int chunk, T* grad_h0);
template <typename T>
__global__ void ParaboloidGradPKernel(const T* grad, const T* p, const T* input, int N, int d,
                                      int units, int chunk, T* grad_p);
template <typename T>
__global__ void ParaboloidGradP0Kernel(const T* grad, const T* p0, int N, int d, int units,
                                       int chunk, T* grad_p0);
