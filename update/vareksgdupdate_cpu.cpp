// Parameter update rule: the CPU worker. One pass over the parameters, spread
// over PyTorch's intra-op threads and vector lanes; the weight decay then
// works unit by unit. Every element sees the same operations, fused
// multiply-adds included, as in a plain loop over the elements.
#include <algorithm>
#include <cstdint>

#include "common/cpu/unit_tables.h"
#include "update/vareksgdupdate.h"

namespace {

using varekpt::cpu::parallel_items;

constexpr int64_t kElementsPerTask = 1 << 14;

}  // namespace

template <typename T>
void vareksgd_getparupdate_cpu_main(const T* grad, const T* moments, const T* par, int units, int d,
                                    double doublehlr, double /*doubleplr*/, double doublemomentum,
                                    double /*doubledampening*/, bool nesterov, double doublewd,
                                    T* update, T* scratch) {
  const varekpt::cpu::UpdateStep<T> s{static_cast<T>(doublehlr), static_cast<T>(doublemomentum),
                                      nesterov};
  const T wd = static_cast<T>(doublewd);
  const int64_t L = int64_t{d + 1} * units * 2;
  // Weight decay rewrites h0 and h, which lead the vector: their new values
  // wait in scratch; everything else is final after one pass.
  const int64_t decayed = wd > 0 ? int64_t{units} * (d + 1) : 0;

  const auto& loops = varekpt::cpu::loops<T>();
  const int64_t tasks = (L + kElementsPerTask - 1) / kElementsPerTask;
  parallel_items(tasks, kElementsPerTask, [&](int64_t begin, int64_t end) {
    const int64_t lo = begin * kElementsPerTask, hi = std::min(L, end * kElementsPerTask);
    const int64_t split = std::clamp(decayed, lo, hi);
    loops.new_parameters(s, grad, moments, par, lo, split, false, scratch);
    loops.new_parameters(s, grad, moments, par, split, hi, true, update);
  });
  if (decayed == 0) return;

  // Weight decay turns the direction of each unit's (h0, h) and keeps its
  // length.
  const T hlr_wd = s.hlr * wd;
  parallel_items(units, 4 * int64_t{d}, [&](int64_t begin, int64_t end) {
    loops.decay_units(par, units, d, begin, end, hlr_wd, scratch, update);
  });
}

template void vareksgd_getparupdate_cpu_main<float>(const float*, const float*, const float*, int,
                                                    int, double, double, double, double, bool,
                                                    double, float*, float*);
template void vareksgd_getparupdate_cpu_main<double>(const double*, const double*, const double*,
                                                     int, int, double, double, double, double, bool,
                                                     double, double*, double*);
