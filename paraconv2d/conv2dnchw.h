// Index arithmetic of the convolution layer's NCHW kernels, in 32-bit int.
#pragma once

#include "common/cuda/platform.h"

namespace varekpt {

// The window geometry and the image sizes that the kernels receive.
struct ConvNCHW {
  int kh, kw, sh, sw, dh, dw;
  int H, W, C;

  // Input row and column that tap (i, j) of output position (oh, ow) reads.
  // The filter is applied flipped: tap (0, 0) meets the window's last row and
  // column, as in the CPU workers.
  __device__ __forceinline__ int row(int oh, int i) const {
    return oh * sh + (kh / 2 + (kh / 2 - i)) * dh;
  }
  __device__ __forceinline__ int col(int ow, int j) const {
    return ow * sw + (kw / 2 + (kw / 2 - j)) * dw;
  }
  // Element (n, c, r, q) of input [N][C][H][W].
  __device__ __forceinline__ int input(int n, int c, int r, int q) const {
    return ((n * C + c) * H + r) * W + q;
  }
  // Element (u, c, i, j) of a filter block h or p [units][C][kh][kw].
  __device__ __forceinline__ int tap(int u, int c, int i, int j) const {
    return ((u * C + c) * kh + i) * kw + j;
  }
};

// Element (n, u, oh, ow) of output, hsum or grad [N][units][outH][outW].
__device__ __forceinline__ int conv_out_index(int n, int u, int oh, int ow, int units, int outH,
                                              int outW) {
  return ((n * units + u) * outH + oh) * outW + ow;
}

}  // namespace varekpt
