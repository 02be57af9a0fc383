// Dense paraboloid layer: CUDA workers. Kept apart from paraboloid.h so that
// the CUDA sources need no ATen header.
#pragma once

#include <c10/core/Device.h>

// CUDA workers on device arrays of the same layout. They queue their kernels
// on streams of their own on `device`, which they make current for the call
// and then restore the caller's; the forward returns without waiting, the
// backward waits for the device.
template <typename T>
void paraboloid_forward_cuda_main(c10::Device device, const T* input, const T* parameters,
                                  double doublefactor, int N, int d, int units, T* output,
                                  T* hsum);
template <typename T>
void paraboloid_backward_cuda_main(c10::Device device, const T* grad, const T* input,
                                   const T* parameters, const T* hsum, double doublefactor,
                                   int N, int d, int units, T* grad_input, T* grad_parameters);
