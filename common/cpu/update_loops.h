// The loops of the update rule; one instantiation per path (loops.h). Every
// element sees the same operations, fused multiply-adds included, as in a
// plain loop over the elements.
#pragma once

#include <cstdint>
#include <type_traits>

#include "common/cpu/loops.h"
#include "common/cpu/simd.h"

namespace varekpt::cpu::VAREKPT_CPU_PATH {
namespace {

// Calls fn(std::bool_constant<flag>{}): a loop body specialised on the flag.
template <typename Fn>
VAREKPT_INLINE void with_flag(bool flag, Fn&& fn) {
  if (flag) {
    fn(std::true_type{});
  } else {
    fn(std::false_type{});
  }
}

// The new parameters par − a·hlr of [begin, end), a being the gradient
// combined with the momentum: written to out as they are, or as the update
// par − newpar when `as_update`. The scalars are copied and the flags fixed
// before the loop, which then tests nothing per element.
template <typename T, int Bytes>
void new_parameters(const UpdateStep<T>& s, const T* grad, const T* moments, const T* par,
                    int64_t begin, int64_t end, bool as_update, T* out) {
  using S = Simd<T, Bytes>;
  const T hlr = s.hlr, m = s.m;
  with_flag(m > 0, [&](auto momentum) {
    with_flag(momentum && s.nesterov, [&](auto nesterov) {
      with_flag(as_update, [&](auto update) {
        const auto mv = S::splat(m), hv = S::splat(hlr);
        int64_t i = begin;
        for (; i + S::W <= end; i += S::W) {
          const auto g = S::load(grad + i), p = S::load(par + i);
          auto a = g;
          if constexpr (momentum) a = S::fused(S::load(moments + i), mv, a);
          if constexpr (nesterov) a = S::fused(a, mv, g);
          const auto newpar = p - a * hv;
          S::store(out + i, update ? p - newpar : newpar);
        }
        for (; i < end; ++i) {
          T a = grad[i];
          if constexpr (momentum) a = fused(moments[i], m, a);
          if constexpr (nesterov) a = fused(a, m, grad[i]);
          const T newpar = par[i] - a * hlr;
          out[i] = update ? par[i] - newpar : newpar;
        }
      });
    });
  });
}

VAREKPT_INLINE float square_root(float x) { return __builtin_sqrtf(x); }
VAREKPT_INLINE double square_root(double x) { return __builtin_sqrt(x); }

// Length of (h0, row), accumulated by fused multiply-adds over the row and
// then h0.
template <typename T>
VAREKPT_INLINE T unit_length(T h0, const T* row, int d) {
  T acc = 0;
  for (int j = 0; j < d; ++j) acc = fused(row[j], row[j], acc);
  return square_root(fused(h0, h0, acc));
}

// Weight decay of the units [begin, end): scratch holds their new (h0, h)
// without decay; each unit's (h0, h) is turned towards the decayed one and
// keeps its length, and the update par − new is written.
template <typename T>
void decay_units(const T* par, int units, int d, int64_t begin, int64_t end, T hlr_wd, T* scratch,
                 T* update) {
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
}

}  // namespace
}  // namespace varekpt::cpu::VAREKPT_CPU_PATH
