// Whole convolution gradients in one launch each, launched by native callers
// with a configuration of their own (no operator launches them). Instantiated
// for float and double.
//
// Taps are applied unflipped: tap (i, j) of output (oh, ow) reads input row
// oh·sh + i·dh and column ow·sw + j·dw. Outputs are accumulated with atomic
// additions into arrays that the caller has zero-filled.
#pragma once

#include "common/cuda/platform.h"

// All four parameter-gradient blocks, each contribution scaled by
// 2·factor, on channels-last arrays: grad, hsum [N][outH][outW][units], input
// [N][H][W][C], p, grad_h, grad_p [units][kh][kw][C]. Block (n, y, f) with
// y = oh·W + ow; grid (N, ≥ (outH − 1)·W + outW, units); blocks (bx, ≥ kh, ≥ kw),
// each thread (x, i, j) covering channels x, x + bx, ... of tap (i, j).
// chunk is not read.
template <typename T>
__global__ void ParaConv2DGradParametersFusedKernel(T factor, const T* grad, const T* hsum,
                                                    const T* input, const T* p, const T* p0, int kh,
                                                    int kw, int sh, int sw, int dh, int dw, int N,
                                                    int H, int W, int C, int units, int outH,
                                                    int outW, int chunk, T* grad_h, T* grad_h0,
                                                    T* grad_p, T* grad_p0);

// Input gradient, doubled, on channels-last arrays (h, p [units][kh][kw][C]).
// Block (n, oh, ow) on a grid of at least (N, outH, outW); blocks (bx, ≥ kh,
// ≥ kw) with bx·chunk ≥ units, thread (x, i, j) summing units x·chunk up to
// (x + 1)·chunk for tap (i, j).
template <typename T>
__global__ void ParaConv2DGradInputKernel(const T* grad, const T* hsum, const T* h, const T* p,
                                          const T* input, int kh, int kw, int sh, int sw, int dh,
                                          int dw, int N, int H, int W, int C, int units, int outH,
                                          int outW, int chunk, T* grad_input);

// Input gradient, not doubled, on channels-first arrays (grad, hsum
// [N][units][outH][outW], input [N][C][H][W], h, p [units][C][kh][kw]).
// Grid (N, C, outH), blocks (outW, units, 1): thread (ow, f) adds one term per
// tap. chunk is not read.
template <typename T>
__global__ void ParaConv2DGradInputKernelNCHW(const T* grad, const T* hsum, const T* h, const T* p,
                                              const T* input, int kh, int kw, int sh, int sw,
                                              int dh, int dw, int N, int H, int W, int C, int units,
                                              int outH, int outW, int chunk, T* grad_input);
