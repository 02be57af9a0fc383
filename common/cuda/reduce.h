// Block-wide sums in shared memory, for kernels of every subsystem.
#pragma once

#include "common/cuda/platform.h"

namespace varekpt {

// Tree sum over the block: each thread has stored its partial sum in slot
// threadIdx.x of every array given; afterwards slot 0 of each holds the sum of
// its blockDim.x slots (any block size up to 1024). Every thread of the block
// must call it: it starts and ends with a barrier.
template <typename... Slots>
__device__ __forceinline__ void block_tree_sum(Slots*... slots) {
  const unsigned t = threadIdx.x;
  __syncthreads();
  for (unsigned s = 512; s > 0; s >>= 1) {
    if (t < s && t + s < blockDim.x) ((slots[t] = slots[t + s] + slots[t]), ...);
    __syncthreads();
  }
}

}  // namespace varekpt
