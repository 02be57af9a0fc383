// The one include of every .cu source: the CUDA runtime under nvcc, the host
// execution layer (common/hostcuda) under an ordinary C++ compiler.
#pragma once

#ifdef __CUDACC__
#include <cuda_runtime.h>

// Declares `T* name` pointing at the block's dynamic shared memory. The extern
// array has one element type for every kernel, so float and double
// instantiations of a template kernel do not clash.
#define VAREKPT_DYNAMIC_SHARED(T, name)                                  \
  extern __shared__ __align__(16) unsigned char varekpt_dynamic_smem[]; \
  T* name = reinterpret_cast<T*>(varekpt_dynamic_smem)

#else
#include "common/hostcuda/hostcuda.h"

// Declares `T* name` pointing at the running block's dynamic shared memory
// (64-byte aligned, filled with 0xFF bytes before each block).
#define VAREKPT_DYNAMIC_SHARED(T, name) T* name = static_cast<T*>(hostcuda_dynamic_smem())

#endif
