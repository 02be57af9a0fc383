// Dense paraboloid layer: operator entries and workers of namespace
// "ptparaboloidfree". A unit computes factor·((h0 + h·x)² − |x − p|² − p0²).
#pragma once

#include <vector>

#include <ATen/ATen.h>

#include "paraboloid/paraboloid_cuda.h"

// Operator entries, called by the dispatcher (or directly from native code).
std::vector<at::Tensor> paraboloid_forward_cpu(at::Tensor input, at::Tensor parameters,
                                               double doublefactor);
std::vector<at::Tensor> paraboloid_backward_cpu(at::Tensor grad, at::Tensor input,
                                                at::Tensor parameters, at::Tensor hsum,
                                                double doublefactor);

// CUDA entries (present when the library is built with CUDA): the same
// operators on the input's CUDA device.
std::vector<at::Tensor> paraboloid_forward_cuda(at::Tensor input, at::Tensor parameters,
                                                double doublefactor);
std::vector<at::Tensor> paraboloid_backward_cuda(at::Tensor grad, at::Tensor input,
                                                 at::Tensor parameters, at::Tensor hsum,
                                                 double doublefactor);

// CPU workers on raw row-major arrays; instantiated for float and double.
// input [N][d]; parameters h0 [units], h [units][d], p [units][d], p0 [units];
// output, hsum, grad [N][units]; grad_input [N][d].
template <typename T>
void paraboloid_forward_cpu_main(const T* input, const T* parameters, double doublefactor,
                                 int N, int d, int units, T* output, T* hsum);
template <typename T>
void paraboloid_backward_cpu_main(const T* grad, const T* input, const T* parameters,
                                  const T* hsum, double doublefactor, int N, int d,
                                  int units, T* grad_input, T* grad_parameters);

