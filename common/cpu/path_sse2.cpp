// The loops in SSE2, which every x86-64 processor has: on 16-byte vectors,
// and on the AVX-512 path's 64-byte vectors (its lane and block layout on any
// processor, for the tests).
#define VAREKPT_CPU_PATH sse2
#include "common/cpu/path_loops.h"

VAREKPT_DEFINE_PATH_LOOPS(sse2_loops, 16)
VAREKPT_DEFINE_PATH_LOOPS(sse2_wide_loops, kMaxVectorBytes)
