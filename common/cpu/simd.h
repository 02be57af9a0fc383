// Vectors of T for the loops of one instruction-set path. Included only by
// the path's translation unit, inside its own namespace
// (VAREKPT_CPU_PATH): nothing compiled here with a wide path's options can
// stand in for code of another path at link time.
#pragma once

#ifndef VAREKPT_CPU_PATH
#error "simd.h belongs to a path's translation unit, which defines VAREKPT_CPU_PATH"
#endif

#define VAREKPT_INLINE inline __attribute__((always_inline))

namespace varekpt::cpu::VAREKPT_CPU_PATH {
namespace {

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
  // The first `count` lanes from p, 0 in the others.
  static VAREKPT_INLINE V load_lanes(const T* p, int count) {
    if (count == W) return load(p);
    V v = {};
    for (int l = 0; l < count; ++l) v[l] = p[l];
    return v;
  }
  // x in every lane. A shuffle of lane 0, which every path turns into one
  // broadcast (a vector built lane by lane is not).
  static VAREKPT_INLINE V splat(T x) {
    V v = {};
    v[0] = x;
    return __builtin_shuffle(v, decltype(v > v){});
  }
  // Fused multiply-add a·b + c of each lane, rounded once (one instruction
  // where the path has it).
  static VAREKPT_INLINE V fused(const V& a, const V& b, const V& c) {
    V r = {};
    for (int l = 0; l < W; ++l) r[l] = VAREKPT_CPU_PATH::fused(a[l], b[l], c[l]);
    return r;
  }
  // Stores the first `count` lanes at p, p + stride, p + 2·stride, ...
  static VAREKPT_INLINE void store_lanes(T* p, int64_t stride, const V& v, int count) {
    if (stride == 1 && count == W) {
      store(p, v);
      return;
    }
    for (int l = 0; l < count; ++l) p[l * stride] = v[l];
  }
};

}  // namespace
}  // namespace varekpt::cpu::VAREKPT_CPU_PATH
