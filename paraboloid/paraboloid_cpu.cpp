// Dense paraboloid layer: the CPU workers. Independent result elements are
// spread over PyTorch's intra-op threads and over vector lanes; each element
// is still one sum of its terms in ascending order, rounded term by term.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/cpu/unit_rows.h"
#include "paraboloid/paraboloid.h"

namespace {

using varekpt::cpu::parallel_items;
using varekpt::cpu::RowValues;

constexpr int kUnitsPerTask = 64;  // a multiple of two vectors of the widest path

// Copies columns [k, k + width) of rows [row, row + count) of x [.][d] to dst
// (row r at dst + r·ld), 0 past column d.
template <typename T>
void copy_columns(const T* x, int d, int64_t row, int count, int k, int width, T* dst, int64_t ld) {
  const int valid = std::max(0, std::min(width, d - k));
  for (int r = 0; r < count; ++r) {
    const T* src = x + (row + r) * d + k;
    T* out = dst + r * ld;
    std::copy(src, src + valid, out);
    std::fill(out + valid, out + width, T(0));
  }
}

}  // namespace

template <typename T>
void paraboloid_forward_cpu_main(const T* input, const T* parameters, double doublefactor, int N,
                                 int d, int units, T* output, T* hsum) {
  const T factor = static_cast<T>(doublefactor);
  if (N <= 0 || units <= 0) return;
  const auto t = varekpt::cpu::unit_tables(parameters, units, d, true);
  const auto view = t.view();
  const auto& loops = varekpt::cpu::loops<T>();
  const int unit_tasks = (units + kUnitsPerTask - 1) / kUnitsPerTask;
  const int task_rows = varekpt::cpu::rows_per_task(N, unit_tasks);
  const int row_tasks = (N + task_rows - 1) / task_rows;
  // Tasks of one group of units are neighbours: a thread keeps its units'
  // columns of h and p in cache.
  parallel_items(int64_t{row_tasks} * unit_tasks, int64_t{task_rows} * kUnitsPerTask * d,
                 [&](int64_t begin, int64_t end) {
                   for (int64_t task = begin; task < end; ++task) {
                     const int r0 = static_cast<int>(task % row_tasks) * task_rows;
                     const int u0 = static_cast<int>(task / row_tasks) * kUnitsPerTask;
                     const int rows = std::min(task_rows, N - r0);
                     const int u1 = std::min(units, u0 + kUnitsPerTask);
                     const int64_t at = int64_t{r0} * units;
                     loops.forward_rows(input + int64_t{r0} * d, d, rows, view, u0, u1, factor,
                                        {hsum + at, units, 1}, {output + at, units, 1});
                   }
                 });
}

template <typename T>
void paraboloid_backward_cpu_main(const T* grad, const T* input, const T* parameters, const T* hsum,
                                  double doublefactor, int N, int d, int units, T* grad_input,
                                  T* grad_parameters) {
  const T factor = static_cast<T>(doublefactor);
  const T f2 = factor + factor;
  const auto t = varekpt::cpu::unit_tables(parameters, units, d, false);
  const auto view = t.view();
  const auto& loops = varekpt::cpu::loops<T>();

  // The input gradient, in tiles of rows and columns; it carries the factor
  // like the parameter gradients.
  constexpr int kCols = varekpt::cpu::kPanel<T>;
  const int col_tasks = (d + kCols - 1) / kCols;
  const int task_rows = varekpt::cpu::rows_per_task(N, col_tasks);
  const int row_tasks = (N + task_rows - 1) / task_rows;
  parallel_items(int64_t{row_tasks} * col_tasks, int64_t{task_rows} * kCols * units,
                 [&](int64_t begin, int64_t end) {
                   std::vector<T> x(task_rows * kCols), acc(task_rows * kCols);
                   for (int64_t task = begin; task < end; ++task) {
                     const int r0 = static_cast<int>(task % row_tasks) * task_rows;
                     const int k = static_cast<int>(task / row_tasks) * kCols;
                     const int rows = std::min(task_rows, N - r0);
                     const int width = std::min(kCols, d - k);
                     copy_columns(input, d, r0, rows, k, kCols, x.data(), kCols);
                     const RowValues<T> g{grad + int64_t{r0} * units, units, 1};
                     const RowValues<T> hs{hsum + int64_t{r0} * units, units, 1};
                     loops.input_grad_rows(x.data(), kCols, rows, k, width, g, hs, view, acc.data(),
                                           kCols);
                     for (int r = 0; r < rows; ++r) {
                       T* out = grad_input + int64_t{r0 + r} * d + k;
                       for (int c = 0; c < width; ++c) out[c] = acc[r * kCols + c] * f2;
                     }
                   }
                 });

  // The parameter gradients, all rows in one run.
  const auto values_at = [&](const T* base) {
    return [=](int64_t row) { return RowValues<T>{base + row * units, units, 1}; };
  };
  varekpt::cpu::param_grads(
      t, N,
      [&](int64_t row, int count, int k, int width, T* dst, int64_t ld) {
        copy_columns(input, d, row, count, k, width, dst, ld);
      },
      [&](int64_t) { return int64_t{N}; }, values_at(grad), values_at(hsum), f2, grad_parameters);
}

template void paraboloid_forward_cpu_main<float>(const float*, const float*, double, int, int, int,
                                                 float*, float*);
template void paraboloid_forward_cpu_main<double>(const double*, const double*, double, int, int,
                                                  int, double*, double*);
template void paraboloid_backward_cpu_main<float>(const float*, const float*, const float*,
                                                  const float*, double, int, int, int, float*,
                                                  float*);
template void paraboloid_backward_cpu_main<double>(const double*, const double*, const double*,
                                                   const double*, double, int, int, int, double*,
                                                   double*);
