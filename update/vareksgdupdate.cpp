// Parameter update rule: schema, registration and operator entry of
// namespace "ptvareksgdfree".
#include "update/vareksgdupdate.h"

#include <utility>

#include <torch/library.h>
#include <torch/types.h>

#include "common/checks.h"
#include "common/cuda/limits.h"
#include "common/frame.h"

namespace {

constexpr const char* kNamespace = "ptvareksgdfree";
constexpr const char* kFile = "vareksgdupdate.cpp";
constexpr const char* kOp = "ptvareksgdfree::getparupdate";

// Lines that registrations and dispatch errors report as their location.
constexpr uint32_t kDefLine = 20;
constexpr uint32_t kCpuDispatchLine = 118;
constexpr uint32_t kCpuImplLine = 175;
constexpr uint32_t kCudaDispatchLine = 159;
constexpr uint32_t kCudaImplLine = 179;

struct UpdateSizes {
  int d;
  int units;
};

// The step's settings, each finite in the element type: a learning rate;
// momentum and weight decay from 0, where 0 turns them off.
struct UpdateSettings {
  double hlr;
  double momentum;
  double wd;
};

// Every check of the entry; derives d and units.
UpdateSizes update_sizes(const char* op, const at::Tensor& grad, const at::Tensor& moments,
                         const at::Tensor& par, double doubled, const UpdateSettings& settings) {
  UpdateSizes s{};
  s.d = varekpt::truncated_int(op, "doubled", doubled);
  // The worker rounds the settings to par's element type.
  const at::ScalarType type = par.scalar_type();
  varekpt::check_finite(op, "doublehlr", settings.hlr, type);
  varekpt::check_non_negative(op, "doublemomentum", settings.momentum, type);
  varekpt::check_non_negative(op, "doublewd", settings.wd, type);
  varekpt::check_dim(op, "grad", grad, 1);
  varekpt::check_dim(op, "moments", moments, 1);
  varekpt::check_dim(op, "par", par, 1);
  varekpt::check_numel(op, "par", par);
  s.units = varekpt::derive_units(op, par.size(0), s.d);
  const int64_t length = int64_t{2} * s.units * (s.d + 1);
  varekpt::checked_int(op, "L + 2·units, the scratch length", length + 2 * int64_t{s.units});
  varekpt::check_min_length(op, "grad", grad, length, "2·units·(d+1)");
  varekpt::check_min_length(op, "moments", moments, length, "2·units·(d+1)");
  return s;
}

// The CUDA worker launches blocks of 128 threads on grids of ceil(L/128) and
// units blocks.
void check_launch_limits(const UpdateSizes& s) {
  using namespace varekpt;
  const int64_t length = int64_t{2} * s.units * (s.d + 1);
  check_launch_limit(kOp, "grid extent ceil(L/128) along x", chunks(length, 128), kMaxGridX);
  check_launch_limit(kOp, "grid extent units along x", s.units, kMaxGridX);
}

}  // namespace

namespace {

// Everything an update entry does around its worker: checks, dense copies of
// strided arguments, zero-filled update and scratch (where the worker needs
// one), element-type dispatch on par. `call(grad, moments, par, sizes, update,
// scratch)` runs the worker on typed pointers.
template <typename CallWorker>
std::vector<at::Tensor> update_entry(bool cuda, at::Tensor grad, at::Tensor moments,
                                     at::Tensor par, double doubled,
                                     const UpdateSettings& settings, const char* worker,
                                     uint32_t dispatch_line, CallWorker call) {
  const UpdateSizes s = update_sizes(kOp, grad, moments, par, doubled, settings);
  if (cuda) check_launch_limits(s);
  varekpt::check_tensors(kOp, cuda, {{"par", &par}, {"grad", &grad}, {"moments", &moments}});
  const int P = static_cast<int>(par.size(0));
  const int L = 2 * s.units * (s.d + 1);
  // The step reads the first L elements of each argument and nothing past them.
  grad = varekpt::plain_contiguous(varekpt::used_part(grad, L));
  moments = varekpt::plain_contiguous(varekpt::used_part(moments, L));
  par = varekpt::plain_contiguous(varekpt::used_part(par, L));

  const auto options = varekpt::result_options(par, cuda);
  at::Tensor update = torch::zeros({P}, options);
  // The CPU worker needs its scratch only for the weight decay.
  const int64_t scratch_length = cuda || settings.wd > 0 ? L + 2 * int64_t{s.units} : 0;
  at::Tensor scratch = torch::zeros({scratch_length}, options);
  varekpt::dispatch_floating(par, worker, kFile, dispatch_line, [&](auto tag) {
    using T = decltype(tag);
    const T* g = grad.data_ptr<T>();
    const T* mom = moments.data_ptr<T>();
    const T* y = par.data_ptr<T>();
    if (L == 0) return;  // no unit, no work: the step is 0
    call(g, mom, y, s, update.data_ptr<T>(), scratch.data_ptr<T>());
  });
  return {update};
}

}  // namespace

std::vector<at::Tensor> vareksgd_getparupdate_cpu(at::Tensor grad, at::Tensor moments,
                                                  at::Tensor par, double doubled,
                                                  double doublehlr, double doubleplr,
                                                  double doublemomentum, double doubledampening,
                                                  bool nesterov, double doublewd) {
  return update_entry(
      false, std::move(grad), std::move(moments), std::move(par), doubled,
      UpdateSettings{doublehlr, doublemomentum, doublewd},
      "vareksgd_getparupdate_cpu_main", kCpuDispatchLine,
      [&](auto* g, auto* mom, auto* y, const UpdateSizes& s, auto* update, auto* scratch) {
        vareksgd_getparupdate_cpu_main(g, mom, y, s.units, s.d, doublehlr, doubleplr,
                                       doublemomentum, doubledampening, nesterov, doublewd,
                                       update, scratch);
      });
}

#ifdef VAREKPT_WITH_CUDA
std::vector<at::Tensor> vareksgd_getparupdate_cuda(at::Tensor grad, at::Tensor moments,
                                                   at::Tensor par, double doubled,
                                                   double doublehlr, double doubleplr,
                                                   double doublemomentum, double doubledampening,
                                                   bool nesterov, double doublewd) {
  const c10::Device device = par.device();
  return update_entry(
      true, std::move(grad), std::move(moments), std::move(par), doubled,
      UpdateSettings{doublehlr, doublemomentum, doublewd},
      "vareksgd_getparupdate_cuda_main", kCudaDispatchLine,
      [&](auto* g, auto* mom, auto* y, const UpdateSizes& s, auto* update, auto* scratch) {
        vareksgd_getparupdate_cuda_main(device, g, mom, y, s.units, s.d, doublehlr, doubleplr,
                                        doublemomentum, doubledampening, nesterov, doublewd,
                                        update, scratch);
      });
}
#endif

namespace {

void define_operators(torch::Library& m) {
  m.def(
      "getparupdate(Tensor grad, Tensor moments, Tensor par, float doubled, float doublehlr, "
      "float doubleplr, float doublemomentum, float doubledampening, bool nesterov, "
      "float doublewd) -> Tensor[]",
      varekpt::kNoTags);
}

void register_getparupdate_cpu(torch::Library& m) {
  m.impl("getparupdate", vareksgd_getparupdate_cpu);
}
#ifdef VAREKPT_WITH_CUDA
void register_getparupdate_cuda(torch::Library& m) {
  m.impl("getparupdate", vareksgd_getparupdate_cuda);
}
#endif

// Created in this order at load and destroyed in reverse order at unload.
const torch::detail::TorchLibraryInit kRegistrations[] = {
    varekpt::def_block(kNamespace, define_operators, kFile, kDefLine),
    varekpt::impl_block(kNamespace, c10::DispatchKey::CPU, register_getparupdate_cpu, kFile,
                        kCpuImplLine),
#ifdef VAREKPT_WITH_CUDA
    varekpt::impl_block(kNamespace, c10::DispatchKey::CUDA, register_getparupdate_cuda, kFile,
                        kCudaImplLine),
#endif
};

}  // namespace
