// Index tests of kernels against sizes given as int.
#pragma once

#include "common/cuda/platform.h"

namespace varekpt {

// Whether a block or thread index lies below a size; nothing lies below a
// size of 0 or less.
__device__ __forceinline__ bool below(unsigned index, int size) {
  return size > 0 && index < static_cast<unsigned>(size);
}

}  // namespace varekpt
