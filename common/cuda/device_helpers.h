// Device-side helpers shared by kernel files.
#pragma once

#include "common/cuda/platform.h"

namespace varekpt {

// Whether a block or thread index lies below a size; nothing lies below a
// size of 0 or less.
__device__ __forceinline__ bool below(unsigned index, int size) {
  return size > 0 && index < static_cast<unsigned>(size);
}

// Block-wide sum, for 1-D blocks of at most 1024 threads with blockDim.x
// elements of T of dynamic shared memory in `slots`.
// Every thread of the block calls this with its partial sum; the block's total
// is returned to every thread. Thread t stores its partial into slot t; then,
// for strides 512, 256, ..., 1, thread t < stride adds slot t + stride (when
// below blockDim.x) into slot t. No thread leaves early, so every thread
// passes every barrier, and every slot counts exactly once for any block size.
template <typename T>
__device__ __forceinline__ T block_tree_sum(T* slots, T partial) {
  const unsigned t = threadIdx.x;
  slots[t] = partial;
  __syncthreads();
  for (unsigned s = 512; s > 0; s >>= 1) {
    if (t < s && t + s < blockDim.x) slots[t] = slots[t + s] + slots[t];
    __syncthreads();
  }
  return slots[0];
}

}  // namespace varekpt
