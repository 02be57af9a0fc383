// Parameter update rule of namespace "ptvareksgdfree": one SGD step with
// momentum, Nesterov momentum and a length-preserving weight decay of the
// (h0, h) part of each paraboloid unit.
#pragma once

#include <vector>

#include <ATen/ATen.h>

#include "update/vareksgdupdate_cuda.h"

// Operator entry, called by the dispatcher (or directly from native code).
// Returns {update}, the length of par; the caller applies par − update.
std::vector<at::Tensor> vareksgd_getparupdate_cpu(at::Tensor grad, at::Tensor moments,
                                                  at::Tensor par, double doubled,
                                                  double doublehlr, double doubleplr,
                                                  double doublemomentum, double doubledampening,
                                                  bool nesterov, double doublewd);

// CUDA entry (present when the library is built with CUDA): the same operator
// on par's CUDA device.
std::vector<at::Tensor> vareksgd_getparupdate_cuda(at::Tensor grad, at::Tensor moments,
                                                   at::Tensor par, double doubled,
                                                   double doublehlr, double doubleplr,
                                                   double doublemomentum, double doubledampening,
                                                   bool nesterov, double doublewd);

// CPU worker on raw arrays; instantiated for float and double. grad, moments,
// par and update hold at least L = 2·units·(d+1) elements laid out as h0
// [units], h [units][d], p [units][d], p0 [units]; only the first L of update
// are written. scratch [L + 2·units] is a work buffer: newpar, then the
// per-unit lengths before and after the decay; it is used only when doublewd
// is above 0 in T, and may be null otherwise.
template <typename T>
void vareksgd_getparupdate_cpu_main(const T* grad, const T* moments, const T* par, int units,
                                    int d, double doublehlr, double doubleplr,
                                    double doublemomentum, double doubledampening,
                                    bool nesterov, double doublewd, T* update, T* scratch);
