// Paraboloid convolution layer: schemas, registration and operator entries of
// namespace "ptparaconv2dfree".
#include "paraconv2d/paraconv2d.h"

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>

#include <torch/library.h>
#include <torch/types.h>

#include "common/checks.h"
#include "common/cuda/limits.h"
#include "common/frame.h"
#include "common/parameter_blocks.h"

namespace {

constexpr const char* kNamespace = "ptparaconv2dfree";
constexpr const char* kFile = "paraconv2d.cpp";
constexpr const char* kForwardOp = "ptparaconv2dfree::forward";
constexpr const char* kBackwardOp = "ptparaconv2dfree::backward";

// Lines that registrations and dispatch errors report as their location.
constexpr uint32_t kDefLine = 21;
constexpr uint32_t kForwardCpuDispatchLine = 337;
constexpr uint32_t kBackwardCpuDispatchLine = 451;
constexpr uint32_t kForwardCpuImplLine = 519;
constexpr uint32_t kBackwardCpuImplLine = 523;
constexpr uint32_t kForwardCudaDispatchLine = 390;
constexpr uint32_t kBackwardCudaDispatchLine = 509;
constexpr uint32_t kForwardCudaImplLine = 527;
constexpr uint32_t kBackwardCudaImplLine = 531;

struct ConvSizes {
  int kh, kw, sh, sw, dh, dw;
  int N, C, H, W;
  int d;
  int units;
  int outH, outW;
};

// Offset from t.data_ptr() of the element at position k of t in row-major
// order.
int64_t element_offset(const at::Tensor& t, int64_t k) {
  int64_t offset = 0;
  for (int64_t dim = t.dim() - 1; dim >= 0; --dim) {
    offset += k % t.size(dim) * t.stride(dim);
    k /= t.size(dim);
  }
  return offset;
}

// Reads the (height, width) pair at the front of an int32 geometry tensor
// through a view of its first two elements: a long or expanded tensor is not
// copied.
std::pair<int, int> read_pair(const char* op, const char* name, const at::Tensor& t) {
  varekpt::check_host_values(op, name, t, 2);
  varekpt::check_element_type(op, name, t, at::kInt);
  const at::Tensor front = varekpt::plain_contiguous(t.as_strided({2}, {element_offset(t, 1)}));
  const int* v = front.data_ptr<int>();
  return {v[0], v[1]};
}

// Checks shared by every convolution entry, CPU or CUDA; reads the geometry on
// the host and derives the sizes. Every size the workers index with fits int.
ConvSizes conv_sizes(const char* op, const at::Tensor& input, const at::Tensor& parameters,
                     const at::Tensor& kernel_size_tensor, const at::Tensor& strides_tensor,
                     const at::Tensor& dilation_rate_tensor) {
  varekpt::check_dim(op, "input", input, 4);
  varekpt::check_dim(op, "parameters", parameters, 1);
  varekpt::check_numel(op, "input", input);
  varekpt::check_numel(op, "parameters", parameters);

  ConvSizes s{};
  std::tie(s.kh, s.kw) = read_pair(op, "kernel_size_tensor", kernel_size_tensor);
  std::tie(s.sh, s.sw) = read_pair(op, "strides_tensor", strides_tensor);
  std::tie(s.dh, s.dw) = read_pair(op, "dilation_rate_tensor", dilation_rate_tensor);
  // An even size would put taps outside the window, and outside the image.
  TORCH_CHECK_VALUE(s.kh >= 1 && s.kw >= 1 && s.kh % 2 == 1 && s.kw % 2 == 1, op,
                    ": kernel_size_tensor must hold odd kernel sizes of at least 1, got ", s.kh,
                    " x ", s.kw);
  TORCH_CHECK_VALUE(s.sh >= 1 && s.sw >= 1, op,
                    ": strides_tensor must hold strides of at least 1, got ", s.sh, " x ", s.sw);
  TORCH_CHECK_VALUE(s.dh >= 1 && s.dw >= 1, op,
                    ": dilation_rate_tensor must hold dilations of at least 1, got ", s.dh, " x ",
                    s.dw);

  s.N = varekpt::checked_int(op, "N (input.size(0))", input.size(0));
  s.C = varekpt::checked_int(op, "C (input.size(1))", input.size(1));
  s.H = varekpt::checked_int(op, "H (input.size(2))", input.size(2));
  s.W = varekpt::checked_int(op, "W (input.size(3))", input.size(3));
  const int64_t window_h = static_cast<int64_t>(s.dh) * (s.kh - 1) + 1;
  const int64_t window_w = static_cast<int64_t>(s.dw) * (s.kw - 1) + 1;
  TORCH_CHECK_VALUE(s.H >= window_h && s.W >= window_w, op, ": input of height ", s.H,
                    " and width ", s.W, " is smaller than the dilated kernel window of ", window_h,
                    " x ", window_w);

  const int c_kh = varekpt::checked_int(op, "C·kh", static_cast<int64_t>(s.C) * s.kh);
  s.d = varekpt::checked_int(op, "d = C·kh·kw", static_cast<int64_t>(s.kw) * c_kh);
  s.units = varekpt::derive_units(op, parameters.size(0), s.d);
  s.outH = static_cast<int>((s.H - window_h) / s.sh + 1);
  s.outW = static_cast<int>((s.W - window_w) / s.sw + 1);
  // The workers visit every window of every image.
  const int n_rows = varekpt::checked_int(op, "N·outH", static_cast<int64_t>(s.N) * s.outH);
  varekpt::checked_int(op, "N·outH·outW", static_cast<int64_t>(n_rows) * s.outW);
  const int n_units = varekpt::checked_int(op, "N·units", static_cast<int64_t>(s.N) * s.units);
  const int n_units_rows =
      varekpt::checked_int(op, "N·units·outH", static_cast<int64_t>(n_units) * s.outH);
  varekpt::checked_int(op, "N·units·outH·outW", static_cast<int64_t>(n_units_rows) * s.outW);
  return s;
}

// Length of the parameter blocks, 2·units·(d+1): what the workers read.
int64_t used_length(const ConvSizes& s) { return int64_t{2} * s.units * (s.d + 1); }

// Whether any window meets any unit; without, the entries return at once.
bool has_work(const ConvSizes& s) { return s.N > 0 && s.units > 0; }

// The backward's further checks: grad and hsum are [N, units, outH, outW].
void check_backward_shapes(const char* op, const ConvSizes& s, const at::Tensor& grad,
                           const at::Tensor& hsum) {
  varekpt::check_sizes(op, "grad", grad, {s.N, s.units, s.outH, s.outW});
  varekpt::check_sizes(op, "hsum", hsum, {s.N, s.units, s.outH, s.outW});
}

// One launch extent of a CUDA worker against the device's limit; `what` names
// the extent and the sizes it comes from.
void check_extent(const char* op, const std::string& what, int64_t value, int64_t limit) {
  varekpt::check_launch_limit(op, what.c_str(), value, limit);
}

// The CUDA forward launches, per output row (n, u, oh), grids of up32(N) ×
// up32(units) × up32(outH) blocks of ceil(outW/8) threads and, per output
// position (n, oh, ow), grids of up32(N) × up32(outH) × up32(outW) blocks of
// up4(C) × up4(units) threads. The block limits keep units and outW far below
// the grid's limit along y and z.
void check_forward_launch_limits(const ConvSizes& s) {
  using namespace varekpt;
  const char* op = kForwardOp;
  check_extent(op, c10::str("threads per block up4(C)·up4(units) for C = ", s.C, " and units = ",
                            s.units),
               up4(s.C) * up4(s.units), kMaxThreadsPerBlock);
  check_extent(op, c10::str("threads per block up4(units) for units = ", s.units), up4(s.units),
               kMaxThreadsPerBlock);
  check_extent(op, c10::str("threads per block ceil(outW/8) for outW = ", s.outW),
               chunks(s.outW, 8), kMaxThreadsPerBlock);
  check_extent(op, c10::str("grid extent up32(N) along x for N = ", s.N), up32(s.N), kMaxGridX);
  check_extent(op, c10::str("grid extent up32(outH) for outH = ", s.outH), up32(s.outH),
               kMaxGridYZ);
}

// The CUDA backward launches blocks of C threads on a grid of N × outH × outW
// (the input gradient, unless skipped), blocks of outH threads on up32(N) ×
// up32(units) × up32(C), and blocks of outW threads on up32(N) × up32(outH) ×
// up32(units); the block limits keep outH and outW within the grid's. The
// zeroing and scaling launches widen their runs to fit.
void check_backward_launch_limits(const ConvSizes& s, bool skip_input_grad) {
  using namespace varekpt;
  const char* op = kBackwardOp;
  // The zeroing and scaling launches take an image's element count as an int,
  // also when there are no images.
  checked_int(op, "C·H·W", static_cast<int64_t>(s.C) * s.H * s.W);
  if (!skip_input_grad) {
    check_extent(op, c10::str("threads per block C for C = ", s.C), s.C, kMaxThreadsPerBlock);
  }
  check_extent(op, c10::str("threads per block outH for outH = ", s.outH), s.outH,
               kMaxThreadsPerBlock);
  check_extent(op, c10::str("threads per block outW for outW = ", s.outW), s.outW,
               kMaxThreadsPerBlock);
  check_extent(op, c10::str("grid extent up32(N) along x for N = ", s.N), up32(s.N), kMaxGridX);
  check_extent(op, c10::str("grid extent up32(units) for units = ", s.units), up32(s.units),
               kMaxGridYZ);
  check_extent(op, c10::str("grid extent up32(C) along z for C = ", s.C), up32(s.C), kMaxGridYZ);
}

// Everything a convolution forward entry does around its worker: checks (and,
// for CUDA, the launch limits), dense copies of strided arguments, zero-filled
// results, element-type dispatch. `call(input, parameters, sizes, output,
// hsum)` runs the worker on typed pointers.
template <typename CallWorker>
std::vector<at::Tensor> conv_forward(bool cuda, at::Tensor input, at::Tensor parameters,
                                     const at::Tensor& kernel_size_tensor,
                                     const at::Tensor& strides_tensor,
                                     const at::Tensor& dilation_rate_tensor, const char* worker,
                                     uint32_t dispatch_line, CallWorker call) {
  const ConvSizes s = conv_sizes(kForwardOp, input, parameters, kernel_size_tensor, strides_tensor,
                                 dilation_rate_tensor);
  if (cuda) check_forward_launch_limits(s);
  varekpt::check_tensors(kForwardOp, cuda, {{"input", &input}, {"parameters", &parameters}});
  input = varekpt::plain_contiguous(input);
  parameters = varekpt::plain_contiguous(varekpt::used_part(parameters, used_length(s)));

  const auto options = varekpt::result_options(input, cuda);
  at::Tensor output = torch::zeros({s.N, s.units, s.outH, s.outW}, options);
  at::Tensor hsum = torch::zeros({s.N, s.units, s.outH, s.outW}, options);
  varekpt::dispatch_floating(input, worker, kFile, dispatch_line, [&](auto tag) {
    using T = decltype(tag);
    const T* x = input.data_ptr<T>();
    const T* prm = parameters.data_ptr<T>();
    if (!has_work(s)) return;  // the results are empty
    call(x, prm, s, output.data_ptr<T>(), hsum.data_ptr<T>());
  });
  return {output, hsum};
}

// The same for a convolution backward entry; `call(grad, input, parameters,
// hsum, sizes, grad_input, grad_parameters)`. `doublefactor` scales the
// gradients of an entry without work.
template <typename CallWorker>
std::vector<at::Tensor> conv_backward(bool cuda, at::Tensor grad, at::Tensor input,
                                      at::Tensor parameters, at::Tensor hsum, double doublefactor,
                                      const at::Tensor& kernel_size_tensor,
                                      const at::Tensor& strides_tensor,
                                      const at::Tensor& dilation_rate_tensor,
                                      bool skip_input_grad, const char* worker,
                                      uint32_t dispatch_line, CallWorker call) {
  const ConvSizes s = conv_sizes(kBackwardOp, input, parameters, kernel_size_tensor, strides_tensor,
                                 dilation_rate_tensor);
  check_backward_shapes(kBackwardOp, s, grad, hsum);
  if (cuda) check_backward_launch_limits(s, skip_input_grad);
  varekpt::check_tensors(
      kBackwardOp, cuda,
      {{"input", &input}, {"grad", &grad}, {"parameters", &parameters}, {"hsum", &hsum}});
  grad = varekpt::plain_contiguous(grad);
  input = varekpt::plain_contiguous(input);
  parameters = varekpt::plain_contiguous(varekpt::used_part(parameters, used_length(s)));
  hsum = varekpt::plain_contiguous(hsum);

  // The gradient covers the four parameter blocks only, whatever follows them.
  const auto options = varekpt::result_options(input, cuda);
  at::Tensor grad_input = torch::zeros({s.N, s.C, s.H, s.W}, options);
  at::Tensor grad_parameters = torch::zeros({used_length(s)}, options);
  varekpt::dispatch_floating(input, worker, kFile, dispatch_line, [&](auto tag) {
    using T = decltype(tag);
    const T* g = grad.data_ptr<T>();
    const T* x = input.data_ptr<T>();
    const T* prm = parameters.data_ptr<T>();
    const T* hs = hsum.data_ptr<T>();
    if (!has_work(s)) {
      // A skipped input gradient stays 0.
      const T empty_sum = varekpt::empty_gradient<T>(doublefactor);
      if (!skip_input_grad) grad_input.fill_(empty_sum);
      grad_parameters.fill_(empty_sum);
      return;
    }
    call(g, x, prm, hs, s, grad_input.data_ptr<T>(), grad_parameters.data_ptr<T>());
  });
  return {grad_input, grad_parameters};
}

}  // namespace

std::vector<at::Tensor> paraconv2d_forward_cpu(at::Tensor input, at::Tensor parameters,
                                               double doublefactor, at::Tensor kernel_size_tensor,
                                               at::Tensor strides_tensor,
                                               at::Tensor dilation_rate_tensor) {
  return conv_forward(false, std::move(input), std::move(parameters), kernel_size_tensor,
                      strides_tensor, dilation_rate_tensor, "paraconv2d_forward_cpu_main",
                      kForwardCpuDispatchLine,
                      [&](auto* x, auto* prm, const ConvSizes& s, auto* out, auto* hs) {
                        paraconv2d_forward_cpu_main(x, prm, doublefactor, s.kh, s.kw, s.sh, s.sw,
                                                    s.dh, s.dw, s.N, s.C, s.H, s.W, s.units,
                                                    s.outH, s.outW, out, hs);
                      });
}

std::vector<at::Tensor> paraconv2d_backward_cpu(at::Tensor grad, at::Tensor input,
                                                at::Tensor parameters, at::Tensor hsum,
                                                double doublefactor, at::Tensor kernel_size_tensor,
                                                at::Tensor strides_tensor,
                                                at::Tensor dilation_rate_tensor,
                                                bool skip_input_grad) {
  return conv_backward(
      false, std::move(grad), std::move(input), std::move(parameters), std::move(hsum),
      doublefactor, kernel_size_tensor, strides_tensor, dilation_rate_tensor, skip_input_grad,
      "paraconv2d_backward_cpu_main", kBackwardCpuDispatchLine,
      [&](auto* g, auto* x, auto* prm, auto* hs, const ConvSizes& s, auto* gi, auto* gp) {
        paraconv2d_backward_cpu_main(g, x, prm, hs, doublefactor, s.kh, s.kw, s.sh, s.sw, s.dh,
                                     s.dw, s.N, s.C, s.H, s.W, s.units, s.outH, s.outW, gi, gp,
                                     skip_input_grad);
      });
}

#ifdef VAREKPT_WITH_CUDA
std::vector<at::Tensor> paraconv2d_forward_cuda(at::Tensor input, at::Tensor parameters,
                                                double doublefactor, at::Tensor kernel_size_tensor,
                                                at::Tensor strides_tensor,
                                                at::Tensor dilation_rate_tensor) {
  const c10::Device device = input.device();
  return conv_forward(true, std::move(input), std::move(parameters), kernel_size_tensor,
                      strides_tensor, dilation_rate_tensor, "paraconv2d_forward_cuda_main",
                      kForwardCudaDispatchLine,
                      [&](auto* x, auto* prm, const ConvSizes& s, auto* out, auto* hs) {
                        paraconv2d_forward_cuda_main(device, x, prm, doublefactor, s.kh, s.kw,
                                                     s.sh, s.sw, s.dh, s.dw, s.N, s.C, s.H, s.W,
                                                     s.units, s.outH, s.outW, out, hs);
                      });
}

std::vector<at::Tensor> paraconv2d_backward_cuda(at::Tensor grad, at::Tensor input,
                                                 at::Tensor parameters, at::Tensor hsum,
                                                 double doublefactor,
                                                 at::Tensor kernel_size_tensor,
                                                 at::Tensor strides_tensor,
                                                 at::Tensor dilation_rate_tensor,
                                                 bool skip_input_grad) {
  const c10::Device device = input.device();
  return conv_backward(
      true, std::move(grad), std::move(input), std::move(parameters), std::move(hsum),
      doublefactor, kernel_size_tensor, strides_tensor, dilation_rate_tensor, skip_input_grad,
      "paraconv2d_backward_cuda_main", kBackwardCudaDispatchLine,
      [&](auto* g, auto* x, auto* prm, auto* hs, const ConvSizes& s, auto* gi, auto* gp) {
        paraconv2d_backward_cuda_main(device, g, x, prm, hs, doublefactor, s.kh, s.kw, s.sh, s.sw,
                                      s.dh, s.dw, s.N, s.C, s.H, s.W, s.units, s.outH, s.outW, gi,
                                      gp, skip_input_grad);
      });
}
#endif

namespace {

void define_operators(torch::Library& m) {
  m.def(
      "forward(Tensor input, Tensor parameters, float doublefactor, Tensor kernel_size_tensor, "
      "Tensor strides_tensor, Tensor dilation_rate_tensor) -> (Tensor[])",
      varekpt::kNoTags);
  m.def(
      "backward(Tensor grad, Tensor input, Tensor parameters, Tensor hsum, float doublefactor, "
      "Tensor kernel_size_tensor, Tensor strides_tensor, Tensor dilation_rate_tensor, "
      "bool skip_input_grad) -> (Tensor[])",
      varekpt::kNoTags);
}

void register_forward_cpu(torch::Library& m) { m.impl("forward", paraconv2d_forward_cpu); }
void register_backward_cpu(torch::Library& m) { m.impl("backward", paraconv2d_backward_cpu); }
#ifdef VAREKPT_WITH_CUDA
void register_forward_cuda(torch::Library& m) { m.impl("forward", paraconv2d_forward_cuda); }
void register_backward_cuda(torch::Library& m) { m.impl("backward", paraconv2d_backward_cuda); }
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
