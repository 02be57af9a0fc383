// Row-chunk kernels' shared body: a matrix of `rows` × `cols`, one block per
// row and a run of `chunk` consecutive columns per thread.
#pragma once

#include "common/cuda/bounds.h"
#include "common/cuda/platform.h"

namespace varekpt {

// Applies op to the elements of row blockIdx.x that thread threadIdx.x covers,
// columns threadIdx.x·chunk up to min(threadIdx.x·chunk + chunk, cols) − 1.
// Blocks past the last row (the grids are rounded up) return at once.
template <typename T, typename Op>
__device__ __forceinline__ void for_row_chunk(int rows, int cols, int chunk, T* matrix, Op op) {
  const unsigned row = blockIdx.x;
  if (!below(row, rows)) return;
  const int begin = threadIdx.x * chunk;
  const int end = min(begin + chunk, cols);
  for (int c = begin; c < end; ++c) op(matrix[row * cols + c]);
}

}  // namespace varekpt
