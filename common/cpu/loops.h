// The CPU workers' innermost loops, compiled once per instruction-set path in
// translation units of their own (path_*.cpp, each with its path's compiler
// options), and the run-time choice among them. The workers split the work
// and call the loops of the active path through a table of functions, so no
// code of a wider path runs on a processor that lacks it.
//
// Lanes never mix: every lane performs exactly the scalar operations of one
// result element, each rounded on its own (the library is built with
// -ffp-contract=off), so every path gives the same bits.
#pragma once

#include <cstdint>
#include <type_traits>

#include "common/cpu/isa.h"

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

// Panels: the tables and sums that the loops read by whole vectors keep a
// matrix [n][m] in panels of kPanel columns; panel q holds columns
// [q·kPanel, q·kPanel + w) of every row, row after row, w = min(kPanel,
// m − q·kPanel). The layout has no gaps: a vector read past a row's end reads
// the next row (its lanes are never stored) or, past the last, one panel of
// zeros after the matrix.
template <typename T>
constexpr int kPanel = 2 * max_lanes<T>();

// Where element (i, j) of a panelled [n][m] matrix is. Internal to each
// translation unit, so that no path's copy is shared.
template <typename T>
static inline int64_t panel_at(int64_t n, int64_t m, int64_t i, int64_t j) {
  const int64_t k = j / kPanel<T> * kPanel<T>;
  const int64_t width = m - k < kPanel<T> ? m - k : kPanel<T>;
  return k * n + i * width + (j - k);
}

// Elements of a panelled [n][m] matrix, with the zeros after it.
template <typename T>
constexpr int64_t panelled_size(int64_t n, int64_t m) {
  return n * m + kPanel<T>;
}

// Values given per (row, unit), such as grad and hsum: element (r, u) at
// base[r·row_stride + u·unit_stride].
template <typename T>
struct RowValues {
  const T* base;
  int64_t row_stride, unit_stride;
};

// Where the loops store a result given per (row, unit).
template <typename T>
struct RowResults {
  T* base;
  int64_t row_stride, unit_stride;
};

// A layer's parameters in the layouts the loops read (built by unit_tables).
template <typename T>
struct TableView {
  int units, d;
  const T *h0, *p0;        // [units rounded up to a panel], 0 past units
  const T *ht, *pt;        // forward: h and p transposed, [d][units] panelled
  const T *hcols, *pcols;  // backward: h and p, [units][d] panelled
};

// Sums of the parameter gradient of the units [u0, ...) over a few columns:
// unit u's sums of h and p at (u − u0)·stride, of h0 and p0 at u − u0.
template <typename T>
struct SumsView {
  T *h, *p, *h0, *p0;
  int u0, stride;
};

// The scalars of an update step, converted to T.
template <typename T>
struct UpdateStep {
  T hlr, m;
  bool nesterov;
};

// The loops of one path for element type T; row_loops.h and update_loops.h
// say what each computes.
template <typename T>
struct Loops {
  void (*forward_rows)(const T* x, int64_t ldx, int rows, const TableView<T>& t, int u0, int u1,
                       T factor, RowResults<T> hsum, RowResults<T> output);
  void (*input_grad_rows)(const T* x, int64_t ldx, int rows, int k, int width, RowValues<T> grad,
                          RowValues<T> hsum, const TableView<T>& t, T* out, int64_t ldo);
  void (*param_grad_rows)(const T* x, int64_t ldx, int rows, int k, int width, RowValues<T> grad,
                          RowValues<T> hsum, const TableView<T>& t, int u0, int u1, bool bias,
                          SumsView<T> sums);
  void (*new_parameters)(const UpdateStep<T>& s, const T* grad, const T* moments, const T* par,
                         int64_t begin, int64_t end, bool as_update, T* out);
  void (*decay_units)(const T* par, int units, int d, int64_t begin, int64_t end, T hlr_wd,
                      T* scratch, T* update);
};

struct PathLoops {
  Loops<float> f;
  Loops<double> d;
};

// The tables of each path, defined in its translation unit.
const PathLoops& sse2_loops();       // 16-byte vectors
const PathLoops& sse2_wide_loops();  // SSE2 instructions on 64-byte vectors
const PathLoops& avx2_loops();
const PathLoops& avx512_loops();

// The loops of the active path.
template <typename T>
const Loops<T>& loops() {
  const PathLoops* path = nullptr;
  switch (active_isa()) {
    case Isa::kAvx512:
      path = &avx512_loops();
      break;
    case Isa::kAvx2:
      path = &avx2_loops();
      break;
    case Isa::kPortableWide:
      path = &sse2_wide_loops();
      break;
    case Isa::kPortable:
    default:
      path = &sse2_loops();
      break;
  }
  if constexpr (std::is_same_v<T, float>) {
    return path->f;
  } else {
    return path->d;
  }
}

}  // namespace varekpt::cpu
