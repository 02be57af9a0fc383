// The loops in AVX-512 (compiled with -mavx512f -mavx512dq -mavx512bw
// -mavx512vl -mavx2 -mfma).
#define VAREKPT_CPU_PATH avx512
#include "common/cpu/path_loops.h"

VAREKPT_DEFINE_PATH_LOOPS(avx512_loops, 64)
