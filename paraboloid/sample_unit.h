// Thread mapping of the dense kernels that give each (sample, unit) pair one
// thread of a 2-D launch.
#pragma once

#include "common/cuda/platform.h"

namespace varekpt {

// Sets n from the x dimension and u from the y dimension of the launch;
// false for a thread past N samples or past units.
__device__ __forceinline__ bool thread_sample_unit(int N, int units, int* n, int* u) {
  const long long x = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
  const long long y = static_cast<long long>(blockIdx.y) * blockDim.y + threadIdx.y;
  if (x >= N || y >= units) return false;
  *n = static_cast<int>(x);
  *u = static_cast<int>(y);
  return true;
}

}  // namespace varekpt
