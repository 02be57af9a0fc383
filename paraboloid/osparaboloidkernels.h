// Kernels of the dense layer's CUDA forward. Instantiated for float and double.
#pragma once

#include "common/cuda/platform.h"

// Seeds row n = blockIdx.x: hsum = h0, output = −p0².
template <typename T>
__global__ void ParaboloidInitCudaKernel(const T* h0, const T* p0, int N, int units, int chunk,
                                         T* hsum, T* output);

// Adds h[u]·x[n] into hsum[n][u], block (n, u), chunk inputs per thread.
template <typename T>
__global__ void ParaboloidHsumCudaKernel(const T* input, const T* h, int N, int d, int units,
                                         int chunk, T* hsum);

// Subtracts |x[n] − p[u]|² from output[n][u], block (n, u), chunk inputs per thread.
template <typename T>
__global__ void ParaboloidPsqCudaKernel(const T* input, const T* p, int N, int d, int units,
                                        int chunk, T* output);

// output = (hsum² + output)·factor for row n = blockIdx.x, chunk units per thread.
template <typename T>
__global__ void ParaboloidOutputCudaKernel(T factor, int N, int units, int chunk, const T* hsum,
                                           T* output);
