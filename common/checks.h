// Argument checks shared by every operator entry. Each raises a c10 error
// (ValueError or RuntimeError in Python) whose message starts with the
// operator's name and names the offending argument; all of them run before an
// entry allocates anything.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <utility>

#include <ATen/ATen.h>

namespace varekpt {

using NamedTensor = std::pair<const char*, const at::Tensor*>;

// `t` has exactly `dim` dimensions.
void check_dim(const char* op, const char* name, const at::Tensor& t, int64_t dim);

// `t` has exactly the sizes `expected`.
void check_sizes(const char* op, const char* name, const at::Tensor& t,
                 at::IntArrayRef expected);

// All tensors are on the device of the first one.
void check_same_device(const char* op, std::initializer_list<NamedTensor> tensors);

// All tensors are on one CUDA device.
void check_cuda_device(const char* op, std::initializer_list<NamedTensor> tensors);

// `value` fits a 32-bit signed int; returns it as one.
int checked_int(const char* op, const char* what, int64_t value);

// The element count of `t` fits a 32-bit signed int.
void check_numel(const char* op, const char* name, const at::Tensor& t);

// units = length / (2·(d+1)), the divisor formed in int and the quotient
// truncated to int; checks that the divisor and the vector's used length fit.
int derive_units(const char* op, int64_t length, int d);

// A launch extent (threads per block or blocks along y/z) stays within the
// device's limit.
void check_launch_limit(const char* op, const char* what, int64_t value, int64_t limit);

}  // namespace varekpt
