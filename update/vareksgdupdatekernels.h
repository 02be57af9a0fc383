// Kernels of the update rule's CUDA worker. Instantiated for float and double.
// Element kernels index flat vectors of `count` elements; unit kernels run one
// block per unit u < n over row u of an [n][d] matrix and the unit's scalar.
#pragma once

#include "common/cuda/platform.h"

// Element kernels over blockDim.x consecutive elements per block.
// dst = src.
template <typename T>
__global__ void InitTensorKernel(const T* src, int count, T* dst);
// dst = fma(src, m, dst): adds the moments times the momentum.
template <typename T>
__global__ void ApplymomentumKernel(const T* src, int count, T m, T* dst);
// dst = fma(dst, m, src): the Nesterov look-ahead with src = grad.
template <typename T>
__global__ void ApplynesterovKernel(const T* src, int count, T m, T* dst);
// dst = dst − src·lr.
template <typename T>
__global__ void ApplywithlrKernel(const T* src, int count, T lr, T* dst);
// dst = a − b; lr is not read.
template <typename T>
__global__ void GetfinalpuKernel(const T* a, const T* b, int count, T lr, T* dst);

// Element kernels, one element per thread.
// dst = dst − src·c.
template <typename T>
__global__ void ApplyweightdecayKernel(const T* src, int count, T c, T* dst);
// dst = dst − src·c, as ApplyweightdecayKernel.
template <typename T>
__global__ void ApplydecaytofocusKernel(const T* src, int count, T c, T* dst);
// dst = (dst + b) − a.
template <typename T>
__global__ void AdjustfocusKernel(const T* a, const T* b, int count, T* dst);

// out[u] = length of (scalars[u], rows[u][0..d)). Needs blockDim.x·sizeof(T)
// bytes of dynamic shared memory; any block size up to 1024.
template <typename T>
__global__ void GetmagsKernel(const T* rows, const T* scalars, int n, int d, T* out);
// Multiplies rows[u] and scalars[u] by mags_before[u] / mags_after[u], or by 1
// where mags_after[u] is 0.
template <typename T>
__global__ void CompensatefordecayKernel(const T* mags_before, const T* mags_after, int n, int d,
                                         T* rows, T* scalars);
