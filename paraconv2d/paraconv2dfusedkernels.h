// Fused forward kernels of the convolution layer: hsum and output in one
// launch, straight from the four parameter blocks (h, h0, p, p0). For native
// callers; no operator launches them. Instantiated for float and double. The
// filter is applied unflipped: tap (i, j) of output (oh, ow) reads row
// oh·sh + i·dh and column ow·sw + j·dw. The outputs are written, not
// accumulated.
#pragma once

#include "common/cuda/platform.h"

// Channels-last (input [N][H][W][C], filter rows [kh][kw][C], hsum and output
// [N][outH][outW][units]): one block per output element, grid
// (n, oh·outW + ow, u), block (B, 1, 1) with 2·B·sizeof(T) bytes of dynamic
// shared memory. chunk is not read.
template <typename T>
__global__ void ParaConv2DFusedCudaKernel(T factor, const T* input, const T* h, const T* h0,
                                          const T* p, const T* p0, int kh, int kw, int sh, int sw,
                                          int dh, int dw, int N, int H, int W, int C, int units,
                                          int outH, int outW, int chunk, T* hsum, T* output);

// NCHW (input [N][C][H][W], filter rows [C][kh][kw], hsum and output
// [N][units][outH][outW]): one block per sample, unit and tile of tileH × tileW
// outputs, grid (n, u, tile) with tiles numbered row by row; block (B, 1, 1)
// with (2·tileH·tileW + 2·d)·sizeof(T) bytes of dynamic shared memory. Each
// thread scatters the pixels of one input column, of B rows from the tile's
// first tap, into the tile's outputs: B must cover (tile − 1)·stride +
// (taps − 1)·dilation + 1 in both directions. Blocks past N, units or the
// tiles, and launches with a tile side or a stride below 1, write nothing.
template <typename T>
__global__ void ParaConv2DFusedCudaKernelNCHW(int tileH, int tileW, T factor, const T* input,
                                              const T* h, const T* h0, const T* p, const T* p0,
                                              int kh, int kw, int sh, int sw, int dh, int dw,
                                              int N, int H, int W, int C, int units, int outH,
                                              int outW, T* hsum, T* output);

// The same with kh, kw and C fixed at compile time (instantiated for 7, 7, 3).
template <typename T, int KH, int KW, int C>
__global__ void ParaConv2DFusedCudaKernelNCHWtemplated(int tileH, int tileW, T factor,
                                                       const T* input, const T* h, const T* h0,
                                                       const T* p, const T* p0, int sh, int sw,
                                                       int dh, int dw, int N, int H, int W,
                                                       int units, int outH, int outW, T* hsum,
                                                       T* output);
