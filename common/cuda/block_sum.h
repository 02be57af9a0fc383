// Block-wide sum of one value per thread in dynamic shared memory.
#pragma once

#include "common/cuda/platform.h"

namespace varekpt {

// Every thread of the block must call this (threads that have no data pass 0),
// so that all of them reach every barrier; the threads must differ in
// threadIdx.x alone. acc holds blockDim.x elements (at most 1024). Each step
// halves the stride from 512 and adds slot t + s into slot t where t + s is
// still inside the block, so any block size from 1 to 1024 sums completely.
// The sum is returned in thread 0; other threads get their own partial value.
template <typename T>
__device__ __forceinline__ T block_tree_sum(T* acc, T partial) {
  const unsigned t = threadIdx.x;
  acc[t] = partial;
  __syncthreads();
  for (unsigned s = 512; s > 0; s >>= 1) {
    if (t < s && t + s < blockDim.x) acc[t] = acc[t + s] + acc[t];
    __syncthreads();
  }
  return t == 0 ? acc[0] : partial;
}

}  // namespace varekpt
