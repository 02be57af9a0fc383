// The table of one path's loops (loops.h), built from the loop templates at
// the path's vector width. Included by the path's translation unit only.
#pragma once

#include "common/cpu/row_loops.h"
#include "common/cpu/update_loops.h"

namespace varekpt::cpu::VAREKPT_CPU_PATH {
namespace {

template <typename T, int Bytes>
constexpr Loops<T> loops_of() {
  return {&forward_rows<T, Bytes>, &input_grad_rows<T, Bytes>, &param_grad_rows<T, Bytes>,
          &new_parameters<T, Bytes>, &decay_units<T>};
}

template <int Bytes>
constexpr PathLoops path_loops() {
  return {loops_of<float, Bytes>(), loops_of<double, Bytes>()};
}

}  // namespace
}  // namespace varekpt::cpu::VAREKPT_CPU_PATH

// Defines `function`, which returns the table at vectors of `bytes` bytes.
#define VAREKPT_DEFINE_PATH_LOOPS(function, bytes)                            \
  const varekpt::cpu::PathLoops& varekpt::cpu::function() {                   \
    static constexpr PathLoops loops = VAREKPT_CPU_PATH::path_loops<bytes>(); \
    return loops;                                                             \
  }
