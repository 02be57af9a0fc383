// Parameter update rule: the CPU worker. One pass over the parameters, spread
// over PyTorch's intra-op threads and vector lanes; the weight decay then
// works unit by unit. Every element sees the same operations, fused
// multiply-adds included, as in a plain loop over the elements.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "common/cpu/unit_tables.h"
#include "update/vareksgdupdate.h"

namespace {

using varekpt::cpu::fused;
using varekpt::cpu::parallel_items;
using varekpt::cpu::run_simd;

// The step's scalars, converted to T once.
template <typename T>
struct Step {
  T hlr, m;
  bool nesterov;
};

// The new parameters par − a·hlr of [begin, end), a being the gradient
// combined with the momentum: written to out as they are, or as the update
// par − newpar when `as_update`.
template <typename T, int Bytes>
VAREKPT_INLINE void new_parameters(const Step<T>& s, const T* grad, const T* moments, const T* par,
                                   int64_t begin, int64_t end, bool as_update, T* out) {
  using S = varekpt::cpu::Simd<T, Bytes>;
  const bool momentum = s.m > 0, nesterov = momentum && s.nesterov;
  int64_t i = begin;
  for (; i + S::W <= end; i += S::W) {
    const auto g = S::load(grad + i), p = S::load(par + i), m = S::splat(s.m);
    auto a = g;
    if (momentum) a = S::fused(S::load(moments + i), m, a);
    if (nesterov) a = S::fused(a, m, g);
    const auto newpar = p - a * S::splat(s.hlr);
    S::store(out + i, as_update ? p - newpar : newpar);
  }
  for (; i < end; ++i) {
    T a = grad[i];
    if (momentum) a = fused(moments[i], s.m, a);
    if (nesterov) a = fused(a, s.m, grad[i]);
    const T newpar = par[i] - a * s.hlr;
    out[i] = as_update ? par[i] - newpar : newpar;
  }
}

// Length of (v[0], row), accumulated by fused multiply-adds over the row and
// then v[0].
template <typename T>
VAREKPT_INLINE T unit_length(T h0, const T* row, int d) {
  T acc = 0;
  for (int j = 0; j < d; ++j) acc = fused(row[j], row[j], acc);
  return std::sqrt(fused(h0, h0, acc));
}

constexpr int64_t kElementsPerTask = 1 << 14;

}  // namespace

template <typename T>
void vareksgd_getparupdate_cpu_main(const T* grad, const T* moments, const T* par, int units, int d,
                                    double doublehlr, double /*doubleplr*/, double doublemomentum,
                                    double /*doubledampening*/, bool nesterov, double doublewd,
                                    T* update, T* scratch) {
  const Step<T> s{static_cast<T>(doublehlr), static_cast<T>(doublemomentum), nesterov};
  const T wd = static_cast<T>(doublewd);
  const int64_t L = int64_t{d + 1} * units * 2;
  // Weight decay rewrites h0 and h, which lead the vector: their new values
  // wait in scratch; everything else is final after one pass.
  const int64_t decayed = wd > 0 ? int64_t{units} * (d + 1) : 0;

  const int64_t tasks = (L + kElementsPerTask - 1) / kElementsPerTask;
  parallel_items(tasks, kElementsPerTask, [&](int64_t begin, int64_t end) {
    const int64_t lo = begin * kElementsPerTask, hi = std::min(L, end * kElementsPerTask);
    const int64_t split = std::clamp(decayed, lo, hi);
    run_simd([&](auto bytes) {
      constexpr int B = decltype(bytes)::value;
      new_parameters<T, B>(s, grad, moments, par, lo, split, false, scratch);
      new_parameters<T, B>(s, grad, moments, par, split, hi, true, update);
    });
  });
  if (decayed == 0) return;

  // Weight decay turns the direction of each unit's (h0, h) and keeps its
  // length.
  const T hlr_wd = s.hlr * wd;
  parallel_items(units, 4 * int64_t{d}, [&](int64_t begin, int64_t end) {
    run_simd([&](auto) {
      for (int64_t u = begin; u < end; ++u) {
        T& h0 = scratch[u];
        T* row = scratch + units + u * d;
        const T* par_row = par + units + u * d;
        const T length = unit_length(h0, row, d);
        h0 = h0 - par[u] * hlr_wd;
        for (int j = 0; j < d; ++j) row[j] = row[j] - par_row[j] * hlr_wd;
        const T decayed_length = unit_length(h0, row, d);
        const T r = decayed_length == 0 ? T(1) : length / decayed_length;
        update[u] = par[u] - h0 * r;
        T* update_row = update + units + u * d;
        for (int j = 0; j < d; ++j) update_row[j] = par_row[j] - row[j] * r;
      }
    });
  });
}

template void vareksgd_getparupdate_cpu_main<float>(const float*, const float*, const float*, int,
                                                    int, double, double, double, double, bool,
                                                    double, float*, float*);
template void vareksgd_getparupdate_cpu_main<double>(const double*, const double*, const double*,
                                                     int, int, double, double, double, double, bool,
                                                     double, double*, double*);
