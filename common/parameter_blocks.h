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

}  // namespace varekpt
