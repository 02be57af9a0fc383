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

// `t` holds at least `count` elements and is on the CPU, where the host reads
// them (sizes and other settings passed as tensors).
void check_host_values(const char* op, const char* name, const at::Tensor& t, int64_t count);

// `value` fits a 32-bit signed int; returns it as one.
int checked_int(const char* op, const char* what, int64_t value);

// The element count of `t` fits a 32-bit signed int.
void check_numel(const char* op, const char* name, const at::Tensor& t);

// `value` is a number from 0 whose truncation toward zero fits a 32-bit signed
// int; returns the truncation. NaN and infinities are refused.
int truncated_int(const char* op, const char* name, double value);

// `value` is a finite number once rounded to the element type `type` (a
// float32 type rounds it to float): NaN, infinities and numbers beyond the
// type's range are refused.
void check_finite(const char* op, const char* name, double value, at::ScalarType type);

// `value` is a number from 0 (a setting where 0 means "off"), finite in the
// element type `type`: NaN, negative and infinite numbers are refused.
void check_non_negative(const char* op, const char* name, double value, at::ScalarType type);

// The 1-D tensor `t` has at least `length` elements, the `what` of its use.
void check_min_length(const char* op, const char* name, const at::Tensor& t, int64_t length,
                      const char* what);

// units = length / (2·(d+1)), the divisor formed in int and the quotient
// truncated to int; checks that the divisor and the vector's used length fit.
int derive_units(const char* op, int64_t length, int d);

// A launch extent (threads per block or blocks along y/z) stays within the
// device's limit.
void check_launch_limit(const char* op, const char* what, int64_t value, int64_t limit);

// The first `length` elements of the 1-D tensor `t`, as a view: what an
// entry makes contiguous of an argument it reads no further, so that an
// over-long (or expanded) argument costs no more than its used part.
at::Tensor used_part(const at::Tensor& t, int64_t length);

// `t` has the element type `expected`.
void check_element_type(const char* op, const char* name, const at::Tensor& t,
                        at::ScalarType expected);

// All tensors on one device (with `cuda`, on one CUDA device) and, when the
// first is float32 or float64, of its element type; any other type of the
// first is the element-type dispatch's error.
void check_tensors(const char* op, bool cuda, std::initializer_list<NamedTensor> tensors);

// `t` as a contiguous tensor of the values it stands for: a negative or
// conjugate view, which the dispatcher resolves but a caller of an exported
// entry may pass, is resolved, so that the workers read plain values.
at::Tensor plain_contiguous(const at::Tensor& t);

// Options of an entry's results: the element type of `designated`, on its
// device for a CUDA entry and on the default device for a CPU entry.
at::TensorOptions result_options(const at::Tensor& designated, bool cuda);

}  // namespace varekpt
