// Vectors of T that the CPU workers' loops compute with, and the run-time
// choice of their width.
//
// A loop body is written once, as a template over the vector width in bytes,
// and run_simd compiles it for each instruction-set path (with that path's
// target options; everything the body calls is inlined into it) and runs the
// one active_isa() names. Lanes never mix: every lane performs exactly the
// scalar operations of one result element, each rounded on its own (the
// library is built with -ffp-contract=off), so every path gives the same bits.
#pragma once

#include <type_traits>

#include "common/cpu/isa.h"

#define VAREKPT_INLINE inline __attribute__((always_inline))

namespace varekpt::cpu {

// The widest vector of any path, in bytes. Buffers that vector loops read and
// write past their last element are padded to whole vectors of this size.
constexpr int kMaxVectorBytes = 64;

template <typename T>
constexpr int max_lanes() {
  return kMaxVectorBytes / static_cast<int>(sizeof(T));
}

// `n` rounded up to a multiple of `vectors` vectors of the widest path.
template <typename T>
constexpr int round_up_lanes(int n, int vectors = 1) {
  const int step = vectors * max_lanes<T>();
  return (n + step - 1) / step * step;
}

// Fused multiply-add a·b + c, rounded once.
VAREKPT_INLINE float fused(float a, float b, float c) { return __builtin_fmaf(a, b, c); }
VAREKPT_INLINE double fused(double a, double b, double c) { return __builtin_fma(a, b, c); }

template <typename T, int Bytes>
struct Simd {
  typedef T V __attribute__((vector_size(Bytes)));
  static constexpr int W = Bytes / static_cast<int>(sizeof(T));

  static VAREKPT_INLINE V load(const T* p) {
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
  }
  static VAREKPT_INLINE void store(T* p, const V& v) { __builtin_memcpy(p, &v, sizeof v); }
  // x in every lane. A shuffle of lane 0, which every path turns into one
  // broadcast (a vector built lane by lane is not).
  static VAREKPT_INLINE V splat(T x) {
    V v = {};
    v[0] = x;
    return __builtin_shuffle(v, decltype(v > v){});
  }
  // Fused multiply-add a·b + c of each lane, rounded once.
  static VAREKPT_INLINE V fused(const V& a, const V& b, const V& c) {
    V r = {};
    for (int l = 0; l < W; ++l) r[l] = cpu::fused(a[l], b[l], c[l]);
    return r;
  }
  // Stores the first `count` lanes at p, p + stride, p + 2·stride, ...
  static VAREKPT_INLINE void store_lanes(T* p, long stride, const V& v, int count) {
    if (stride == 1 && count == W) {
      store(p, v);
      return;
    }
    for (int l = 0; l < count; ++l) p[l * stride] = v[l];
  }
};

// The bodies compiled for each path; `flatten` inlines everything they call.
template <int Bytes, typename F>
__attribute__((flatten)) void run_portable(F& f) {
  f(std::integral_constant<int, Bytes>{});
}
template <typename F>
__attribute__((target("avx2,fma"), flatten)) void run_avx2(F& f) {
  f(std::integral_constant<int, 32>{});
}
template <typename F>
__attribute__((target("avx512f,avx512dq,avx2,fma"), flatten)) void run_avx512(F& f) {
  f(std::integral_constant<int, 64>{});
}

// Runs f(std::integral_constant<int, Bytes>) on the active path.
template <typename F>
void run_simd(F&& f) {
  switch (active_isa()) {
    case Isa::kAvx512:
      run_avx512(f);
      return;
    case Isa::kAvx2:
      run_avx2(f);
      return;
    case Isa::kPortable:
      run_portable<16>(f);
      return;
    case Isa::kPortableWide:
      run_portable<kMaxVectorBytes>(f);
      return;
  }
}

}  // namespace varekpt::cpu
