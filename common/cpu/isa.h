// Run-time choice of the instruction set that the CPU workers' loops use.
// Every path computes the same bits; the wider ones only do more of them at
// once.
#pragma once

namespace varekpt::cpu {

enum class Isa {
  kPortable,  // what every x86-64 processor has (SSE2)
  kAvx2,      // AVX2 and FMA
  kAvx512,    // AVX-512F, DQ, BW and VL
  // SSE2 instructions on the AVX-512 path's 64-byte vectors: its lane and
  // block layout on any processor, for the tests. Never chosen by itself.
  kPortableWide,
};

// The widest path this processor supports.
Isa best_isa();

// The path in use: best_isa() unless force_isa chose another.
Isa active_isa();

// Makes the workers use `isa` from now on, if the processor supports it;
// returns whether it does. Lets the tests run every path the machine has.
bool force_isa(Isa isa);

}  // namespace varekpt::cpu
