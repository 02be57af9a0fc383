// The layout of a layer's flat parameter vector (and of its gradient):
// h0 [units], h [units][d], p [units][d], p0 [units], one after another.
// Plain C++: used by the CPU workers and the CUDA workers alike.
#pragma once

namespace varekpt {

template <typename P>
struct ParameterBlocks {
  P* h0;
  P* h;
  P* p;
  P* p0;
};

// The starts of the four blocks of `base`, with units·d formed in int.
template <typename P>
ParameterBlocks<P> parameter_blocks(P* base, int units, int d) {
  P* h = base + units;
  P* p = h + units * d;
  return {base, h, p, p + units * d};
}

// A gradient element that no term reaches: the workers' empty sum scaled by
// 2·factor, the factor doubled as factor + factor in T (so −0 for a negative
// factor and NaN for an infinite one).
template <typename T>
T empty_gradient(double doublefactor) {
  const T factor = static_cast<T>(doublefactor);
  return T(0) * (factor + factor);
}

}  // namespace varekpt
