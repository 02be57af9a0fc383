// Dense paraboloid layer: schemas, registration and operator entries of
// namespace "ptparaboloidfree".
#include "paraboloid/paraboloid.h"

#include <torch/library.h>
#include <torch/types.h>

#include "common/checks.h"
#include "common/cuda/limits.h"
#include "common/frame.h"
#include "common/parameter_blocks.h"

namespace {

constexpr const char* kNamespace = "ptparaboloidfree";
constexpr const char* kFile = "paraboloid.cpp";
constexpr const char* kForwardOp = "ptparaboloidfree::forward";
constexpr const char* kBackwardOp = "ptparaboloidfree::backward";

// Lines that registrations and dispatch errors report as their location.
constexpr uint32_t kDefLine = 16;
constexpr uint32_t kForwardCpuDispatchLine = 224;
constexpr uint32_t kBackwardCpuDispatchLine = 303;
constexpr uint32_t kForwardCpuImplLine = 399;
constexpr uint32_t kBackwardCpuImplLine = 403;
constexpr uint32_t kForwardCudaDispatchLine = 262;
constexpr uint32_t kBackwardCudaDispatchLine = 344;
constexpr uint32_t kForwardCudaImplLine = 407;
constexpr uint32_t kBackwardCudaImplLine = 411;

struct DenseSizes {
  int N;
  int d;
  int units;
};

// Checks shared by every dense entry; derives N, d and units.
DenseSizes dense_sizes(const char* op, const at::Tensor& input, const at::Tensor& parameters) {
  varekpt::check_dim(op, "input", input, 2);
  varekpt::check_dim(op, "parameters", parameters, 1);
  varekpt::check_numel(op, "input", input);
  varekpt::check_numel(op, "parameters", parameters);
  DenseSizes s{};
  s.N = varekpt::checked_int(op, "N (input.size(0))", input.size(0));
  s.d = varekpt::checked_int(op, "d (input.size(1))", input.size(1));
  s.units = varekpt::derive_units(op, parameters.size(0), s.d);
  varekpt::checked_int(op, "N·units", static_cast<int64_t>(s.N) * s.units);
  return s;
}

// Length of the parameter blocks, 2·units·(d+1): what the workers read.
int64_t used_length(const DenseSizes& s) { return int64_t{2} * s.units * (s.d + 1); }

// Whether any sample meets any unit; without, the entries return at once.
bool has_work(const DenseSizes& s) { return s.N > 0 && s.units > 0; }

// The backward's further checks: grad and hsum are [N, units].
void check_backward_shapes(const char* op, const DenseSizes& s, const at::Tensor& grad,
                           const at::Tensor& hsum) {
  varekpt::check_sizes(op, "grad", grad, {s.N, s.units});
  varekpt::check_sizes(op, "hsum", hsum, {s.N, s.units});
}

// The CUDA forward launches blocks of ceil(d/8) and ceil(units/8) threads on
// grids of up32(N) × up32(units) blocks.
void check_forward_launch_limits(const DenseSizes& s) {
  using namespace varekpt;
  check_launch_limit(kForwardOp, "threads per block ceil(d/8)", chunks(s.d, 8),
                     kMaxThreadsPerBlock);
  check_launch_limit(kForwardOp, "threads per block ceil(units/8)", chunks(s.units, 8),
                     kMaxThreadsPerBlock);
  check_launch_limit(kForwardOp, "grid extent up32(units) along y", up32(s.units), kMaxGridYZ);
  check_launch_limit(kForwardOp, "grid extent up32(N) along x", up32(s.N), kMaxGridX);
}

// The CUDA backward launches blocks of ceil(d/128), ceil(units/128) and
// ceil(N/128) threads on grids of up32(N) or up32(units) × up32(d) blocks.
void check_backward_launch_limits(const DenseSizes& s) {
  using namespace varekpt;
  check_launch_limit(kBackwardOp, "threads per block ceil(d/128)", chunks(s.d, 128),
                     kMaxThreadsPerBlock);
  check_launch_limit(kBackwardOp, "threads per block ceil(units/128)", chunks(s.units, 128),
                     kMaxThreadsPerBlock);
  check_launch_limit(kBackwardOp, "threads per block ceil(N/128)", chunks(s.N, 128),
                     kMaxThreadsPerBlock);
  check_launch_limit(kBackwardOp, "grid extent up32(d) along y", up32(s.d), kMaxGridYZ);
  check_launch_limit(kBackwardOp, "grid extent up32(N) along x", up32(s.N), kMaxGridX);
  check_launch_limit(kBackwardOp, "grid extent up32(units) along x", up32(s.units), kMaxGridX);
}

}  // namespace

namespace {

// Everything a dense forward entry does around its worker: checks, dense
// copies of strided arguments, zero-filled results, element-type dispatch.
// `call(input, parameters, sizes, output, hsum)` runs the worker on typed
// pointers.
template <typename CallWorker>
std::vector<at::Tensor> dense_forward(bool cuda, at::Tensor input, at::Tensor parameters,
                                      const char* worker, uint32_t dispatch_line,
                                      CallWorker call) {
  const DenseSizes s = dense_sizes(kForwardOp, input, parameters);
  if (cuda) check_forward_launch_limits(s);
  varekpt::check_tensors(kForwardOp, cuda, {{"input", &input}, {"parameters", &parameters}});
  input = varekpt::plain_contiguous(input);
  parameters = varekpt::plain_contiguous(varekpt::used_part(parameters, used_length(s)));

  const auto options = varekpt::result_options(input, cuda);
  at::Tensor output = torch::zeros({s.N, s.units}, options);
  at::Tensor hsum = torch::zeros({s.N, s.units}, options);
  varekpt::dispatch_floating(input, worker, kFile, dispatch_line, [&](auto tag) {
    using T = decltype(tag);
    const T* x = input.data_ptr<T>();
    const T* prm = parameters.data_ptr<T>();
    if (!has_work(s)) return;  // the results are empty
    call(x, prm, s, output.data_ptr<T>(), hsum.data_ptr<T>());
  });
  return {output, hsum};
}

// The same for a dense backward entry; `call(grad, input, parameters, hsum,
// sizes, grad_input, grad_parameters)`. `doublefactor` scales the gradients
// of an entry without work.
template <typename CallWorker>
std::vector<at::Tensor> dense_backward(bool cuda, at::Tensor grad, at::Tensor input,
                                       at::Tensor parameters, at::Tensor hsum,
                                       double doublefactor, const char* worker,
                                       uint32_t dispatch_line, CallWorker call) {
  const DenseSizes s = dense_sizes(kBackwardOp, input, parameters);
  check_backward_shapes(kBackwardOp, s, grad, hsum);
  if (cuda) check_backward_launch_limits(s);
  varekpt::check_tensors(
      kBackwardOp, cuda,
      {{"input", &input}, {"grad", &grad}, {"parameters", &parameters}, {"hsum", &hsum}});
  // The gradient has the full length of the vector, 0 past the blocks.
  const auto options = varekpt::result_options(input, cuda);
  at::Tensor grad_input = torch::zeros({s.N, s.d}, options);
  at::Tensor grad_parameters = torch::zeros({parameters.size(0)}, options);
  grad = varekpt::plain_contiguous(grad);
  input = varekpt::plain_contiguous(input);
  parameters = varekpt::plain_contiguous(varekpt::used_part(parameters, used_length(s)));
  hsum = varekpt::plain_contiguous(hsum);

  varekpt::dispatch_floating(input, worker, kFile, dispatch_line, [&](auto tag) {
    using T = decltype(tag);
    const T* g = grad.data_ptr<T>();
    const T* x = input.data_ptr<T>();
    const T* prm = parameters.data_ptr<T>();
    const T* hs = hsum.data_ptr<T>();
    if (!has_work(s)) {
      const T empty_sum = varekpt::empty_gradient<T>(doublefactor);
      grad_input.fill_(empty_sum);
      varekpt::used_part(grad_parameters, used_length(s)).fill_(empty_sum);
      return;
    }
    call(g, x, prm, hs, s, grad_input.data_ptr<T>(), grad_parameters.data_ptr<T>());
  });
  return {grad_input, grad_parameters};
}

}  // namespace

std::vector<at::Tensor> paraboloid_forward_cpu(at::Tensor input, at::Tensor parameters,
                                               double doublefactor) {
  return dense_forward(false, std::move(input), std::move(parameters),
                       "paraboloid_forward_cpu_main", kForwardCpuDispatchLine,
                       [&](auto* x, auto* prm, const DenseSizes& s, auto* out, auto* hs) {
                         paraboloid_forward_cpu_main(x, prm, doublefactor, s.N, s.d, s.units,
                                                     out, hs);
                       });
}

std::vector<at::Tensor> paraboloid_backward_cpu(at::Tensor grad, at::Tensor input,
                                                at::Tensor parameters, at::Tensor hsum,
                                                double doublefactor) {
  return dense_backward(
      false, std::move(grad), std::move(input), std::move(parameters), std::move(hsum),
      doublefactor, "paraboloid_backward_cpu_main", kBackwardCpuDispatchLine,
      [&](auto* g, auto* x, auto* prm, auto* hs, const DenseSizes& s, auto* gi, auto* gp) {
        paraboloid_backward_cpu_main(g, x, prm, hs, doublefactor, s.N, s.d, s.units, gi, gp);
      });
}

#ifdef VAREKPT_WITH_CUDA
std::vector<at::Tensor> paraboloid_forward_cuda(at::Tensor input, at::Tensor parameters,
                                                double doublefactor) {
  const c10::Device device = input.device();
  return dense_forward(true, std::move(input), std::move(parameters),
                       "paraboloid_forward_cuda_main", kForwardCudaDispatchLine,
                       [&](auto* x, auto* prm, const DenseSizes& s, auto* out, auto* hs) {
                         paraboloid_forward_cuda_main(device, x, prm, doublefactor, s.N, s.d,
                                                      s.units, out, hs);
                       });
}

std::vector<at::Tensor> paraboloid_backward_cuda(at::Tensor grad, at::Tensor input,
                                                 at::Tensor parameters, at::Tensor hsum,
                                                 double doublefactor) {
  const c10::Device device = input.device();
  return dense_backward(
      true, std::move(grad), std::move(input), std::move(parameters), std::move(hsum),
      doublefactor, "paraboloid_backward_cuda_main", kBackwardCudaDispatchLine,
      [&](auto* g, auto* x, auto* prm, auto* hs, const DenseSizes& s, auto* gi, auto* gp) {
        paraboloid_backward_cuda_main(device, g, x, prm, hs, doublefactor, s.N, s.d, s.units,
                                      gi, gp);
      });
}
#endif

namespace {

void define_operators(torch::Library& m) {
  m.def("forward(Tensor input, Tensor parameters, float doublefactor) -> (Tensor[])",
        varekpt::kNoTags);
  m.def(
      "backward(Tensor grad, Tensor input, Tensor parameters, Tensor hsum, "
      "float doublefactor) -> (Tensor[])",
      varekpt::kNoTags);
}

void register_forward_cpu(torch::Library& m) { m.impl("forward", paraboloid_forward_cpu); }
void register_backward_cpu(torch::Library& m) { m.impl("backward", paraboloid_backward_cpu); }
#ifdef VAREKPT_WITH_CUDA
void register_forward_cuda(torch::Library& m) { m.impl("forward", paraboloid_forward_cuda); }
void register_backward_cuda(torch::Library& m) { m.impl("backward", paraboloid_backward_cuda); }
#endif

// Created in this order at load and destroyed in reverse order at unload.
const torch::detail::TorchLibraryInit kRegistrations[] = {
    varekpt::def_block(kNamespace, define_operators, kFile, kDefLine),
    varekpt::impl_block(kNamespace, c10::DispatchKey::CPU, register_forward_cpu, kFile,
                        kForwardCpuImplLine),
    varekpt::impl_block(kNamespace, c10::DispatchKey::CPU, register_backward_cpu, kFile,
                        kBackwardCpuImplLine),
#ifdef VAREKPT_WITH_CUDA
    varekpt::impl_block(kNamespace, c10::DispatchKey::CUDA, register_forward_cuda, kFile,
                        kForwardCudaImplLine),
    varekpt::impl_block(kNamespace, c10::DispatchKey::CUDA, register_backward_cuda, kFile,
                        kBackwardCudaImplLine),
#endif
};

}  // namespace
