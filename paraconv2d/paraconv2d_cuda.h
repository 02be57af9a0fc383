// Convolution layer: CUDA workers. Kept apart from paraconv2d.h so that the
// CUDA sources need no ATen header.
#pragma once

#include <c10/core/Device.h>

// CUDA workers on device arrays of the CPU workers' layout, instantiated for
// float and double. They queue their kernels on a stream of their own on
// `device`, which they make current for the call and then restore the
// caller's, and return without waiting for the kernels. The forward writes
// every element of output and hsum. The backward adds the parameter gradients
// into grad_parameters, which must arrive zeroed; it zeroes grad_input itself
// unless skip_input_grad is set, in which case grad_input must arrive zeroed.
template <typename T>
void paraconv2d_forward_cuda_main(c10::Device device, const T* input, const T* parameters,
                                  double doublefactor, int kh, int kw, int sh, int sw, int dh,
                                  int dw, int N, int C, int H, int W, int units, int outH, int outW,
                                  T* output, T* hsum);
template <typename T>
void paraconv2d_backward_cuda_main(c10::Device device, const T* grad, const T* input,
                                   const T* parameters, const T* hsum, double doublefactor, int kh,
                                   int kw, int sh, int sw, int dh, int dw, int N, int C, int H,
                                   int W, int units, int outH, int outW, T* grad_input,
                                   T* grad_parameters, bool skip_input_grad);
