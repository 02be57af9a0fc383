// Paraboloid convolution layer: operator entries and workers of namespace
// "ptparaconv2dfree". Each unit applies factor·((h0 + h·x)² − |x − p|² − p0²)
// to every window of the image, x being the window's C·kh·kw input values.
#pragma once

#include <vector>

#include <ATen/ATen.h>

#include "paraconv2d/paraconv2d_cuda.h"

// Operator entries, called by the dispatcher (or directly from native code).
// The geometry tensors hold (height, width) pairs as int32 on the CPU.
std::vector<at::Tensor> paraconv2d_forward_cpu(at::Tensor input, at::Tensor parameters,
                                               double doublefactor, at::Tensor kernel_size_tensor,
                                               at::Tensor strides_tensor,
                                               at::Tensor dilation_rate_tensor);
std::vector<at::Tensor> paraconv2d_backward_cpu(at::Tensor grad, at::Tensor input,
                                                at::Tensor parameters, at::Tensor hsum,
                                                double doublefactor, at::Tensor kernel_size_tensor,
                                                at::Tensor strides_tensor,
                                                at::Tensor dilation_rate_tensor,
                                                bool skip_input_grad);

// CUDA entries (present when the library is built with CUDA): the same
// operators on the input's CUDA device; the geometry tensors stay on the CPU.
std::vector<at::Tensor> paraconv2d_forward_cuda(at::Tensor input, at::Tensor parameters,
                                                double doublefactor, at::Tensor kernel_size_tensor,
                                                at::Tensor strides_tensor,
                                                at::Tensor dilation_rate_tensor);
std::vector<at::Tensor> paraconv2d_backward_cuda(at::Tensor grad, at::Tensor input,
                                                 at::Tensor parameters, at::Tensor hsum,
                                                 double doublefactor,
                                                 at::Tensor kernel_size_tensor,
                                                 at::Tensor strides_tensor,
                                                 at::Tensor dilation_rate_tensor,
                                                 bool skip_input_grad);

// CPU workers on raw row-major arrays; instantiated for float and double.
// input, grad_input [N][C][H][W]; parameters h0 [units], h [units][C][kh][kw],
// p [units][C][kh][kw], p0 [units]; output, hsum, grad [N][units][outH][outW].
// Tap (i, j) of window (oh, ow) reads row oh·sh + (kh−1−i)·dh and column
// ow·sw + (kw−1−j)·dw: the filter is applied flipped.
template <typename T>
void paraconv2d_forward_cpu_main(const T* input, const T* parameters, double doublefactor, int kh,
                                 int kw, int sh, int sw, int dh, int dw, int N, int C, int H, int W,
                                 int units, int outH, int outW, T* output, T* hsum);
template <typename T>
void paraconv2d_backward_cpu_main(const T* grad, const T* input, const T* parameters, const T* hsum,
                                  double doublefactor, int kh, int kw, int sh, int sw, int dh,
                                  int dw, int N, int C, int H, int W, int units, int outH, int outW,
                                  T* grad_input, T* grad_parameters, bool skip_input_grad);
