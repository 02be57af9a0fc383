// The loops in AVX2 with FMA (compiled with -mavx2 -mfma).
#define VAREKPT_CPU_PATH avx2
#include "common/cpu/path_loops.h"

VAREKPT_DEFINE_PATH_LOOPS(avx2_loops, 32)
