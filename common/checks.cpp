#include "common/checks.h"

#include <cmath>
#include <limits>

#include <c10/util/Exception.h>

namespace varekpt {

namespace {

constexpr int64_t kIntMax = std::numeric_limits<int>::max();

}  // namespace

void check_dim(const char* op, const char* name, const at::Tensor& t, int64_t dim) {
  TORCH_CHECK_VALUE(t.dim() == dim, op, ": ", name, " must have ", dim,
                    " dimensions, but has ", t.dim(), " (sizes ", t.sizes(), ")");
}

void check_sizes(const char* op, const char* name, const at::Tensor& t,
                 at::IntArrayRef expected) {
  TORCH_CHECK_VALUE(t.sizes() == expected, op, ": ", name, " must have sizes ", expected,
                    ", but has sizes ", t.sizes());
}

void check_same_device(const char* op, std::initializer_list<NamedTensor> tensors) {
  const NamedTensor& first = *tensors.begin();
  for (const NamedTensor& t : tensors) {
    TORCH_CHECK(t.second->device() == first.second->device(), op,
                ": expected all tensors on one device, but ", first.first, " is on ",
                first.second->device(), " and ", t.first, " is on ", t.second->device());
  }
}

void check_cuda_device(const char* op, std::initializer_list<NamedTensor> tensors) {
  const NamedTensor& first = *tensors.begin();
  TORCH_CHECK(first.second->is_cuda(), op, ": expected CUDA tensors, but ", first.first,
              " is on ", first.second->device());
  check_same_device(op, tensors);
}

void check_host_values(const char* op, const char* name, const at::Tensor& t, int64_t count) {
  TORCH_CHECK_VALUE(t.numel() >= count, op, ": ", name, " must hold at least ", count,
                    " elements, but holds ", t.numel());
  TORCH_CHECK(t.is_cpu(), op, ": ", name,
              " must be on the CPU, where its values are read, but is on ", t.device());
}

int checked_int(const char* op, const char* what, int64_t value) {
  TORCH_CHECK_VALUE(value >= 0 && value <= kIntMax, op, ": ", what, " is ", value,
                    ", outside the supported range of 0 to ", kIntMax);
  return static_cast<int>(value);
}

void check_numel(const char* op, const char* name, const at::Tensor& t) {
  TORCH_CHECK_VALUE(t.numel() <= kIntMax, op, ": ", name, " has ", t.numel(),
                    " elements, more than the supported ", kIntMax);
}

int truncated_int(const char* op, const char* name, double value) {
  // The comparisons fail for NaN; the upper bound refuses +inf.
  TORCH_CHECK_VALUE(value >= 0 && value < static_cast<double>(kIntMax) + 1, op, ": ", name,
                    " must be a finite number from 0 to below ", kIntMax + 1, ", but is ",
                    value);
  return static_cast<int>(value);
}

void check_finite(const char* op, const char* name, double value, at::ScalarType type) {
  const double rounded = type == at::kFloat ? static_cast<float>(value) : value;
  TORCH_CHECK_VALUE(std::isfinite(rounded), op, ": ", name, " must be a finite number in ",
                    type == at::kFloat ? at::kFloat : at::kDouble, ", but is ", value);
}

void check_non_negative(const char* op, const char* name, double value, at::ScalarType type) {
  // The comparison fails for NaN.
  TORCH_CHECK_VALUE(value >= 0, op, ": ", name, " must be a number from 0, but is ", value);
  check_finite(op, name, value, type);
}

void check_min_length(const char* op, const char* name, const at::Tensor& t, int64_t length,
                      const char* what) {
  TORCH_CHECK_VALUE(t.size(0) >= length, op, ": ", name, " has ", t.size(0),
                    " elements, fewer than ", what, " = ", length);
}

int derive_units(const char* op, int64_t length, int d) {
  const int divisor = checked_int(op, "2·(d+1)", 2 * (static_cast<int64_t>(d) + 1));
  const int units = static_cast<int>(length / static_cast<int64_t>(divisor));
  checked_int(op, "2·units·(d+1), the used length of the parameter vector",
              static_cast<int64_t>(units) * divisor);
  return units;
}

at::Tensor used_part(const at::Tensor& t, int64_t length) {
  return t.narrow(0, 0, length);
}

void check_launch_limit(const char* op, const char* what, int64_t value, int64_t limit) {
  TORCH_CHECK_VALUE(value <= limit, op, ": ", what, " would be ", value,
                    ", beyond the device limit of ", limit);
}

void check_element_type(const char* op, const char* name, const at::Tensor& t,
                        at::ScalarType expected) {
  TORCH_CHECK(t.scalar_type() == expected, op, ": ", name, " must have element type ", expected,
              ", but has ", t.scalar_type());
}

void check_tensors(const char* op, bool cuda, std::initializer_list<NamedTensor> tensors) {
  if (cuda) {
    check_cuda_device(op, tensors);
  } else {
    check_same_device(op, tensors);
  }
  const at::ScalarType type = tensors.begin()->second->scalar_type();
  if (type != at::kFloat && type != at::kDouble) return;
  for (const NamedTensor& t : tensors) check_element_type(op, t.first, *t.second, type);
}

at::Tensor plain_contiguous(const at::Tensor& t) {
  return t.resolve_conj().resolve_neg().contiguous();
}

at::TensorOptions result_options(const at::Tensor& designated, bool cuda) {
  auto options = at::TensorOptions().dtype(designated.scalar_type());
  return cuda ? options.device(designated.device()) : options;
}

}  // namespace varekpt
