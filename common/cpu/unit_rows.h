// The parameter-gradient sums of paraboloid units over rows of inputs, shared
// by the dense layer (a row is a sample) and the convolution layer (a row is
// the C·kh·kw input values under one window): the split of the rows, columns
// and units over threads around the loops of row_loops.h.
#pragma once

#include <ATen/Parallel.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/cpu/loops.h"
#include "common/cpu/unit_tables.h"
#include "common/parameter_blocks.h"

namespace varekpt::cpu {

// Sums of the parameter gradient, panelled like the backward's tables; start
// at 0.
template <typename T>
struct ParamSums {
  std::unique_ptr<T[]> h, p;    // [units][d] panelled
  std::unique_ptr<T[]> h0, p0;  // [units]

  ParamSums(int units, int d)
      : h(uninitialized<T>(panelled_size<T>(units, d))),
        p(uninitialized<T>(panelled_size<T>(units, d))),
        h0(uninitialized<T>(units)),
        p0(uninitialized<T>(units)) {
    const int64_t size = panelled_size<T>(units, d);
    parallel_items(size, 1, [&](int64_t begin, int64_t end) {
      std::fill(h.get() + begin, h.get() + end, T(0));
      std::fill(p.get() + begin, p.get() + end, T(0));
    });
    std::fill(h0.get(), h0.get() + units, T(0));
    std::fill(p0.get(), p0.get() + units, T(0));
  }
};

// Parameter-gradient sums over all rows, rows [0, rows) taken in order.
// `gather(row, count, k, width, dst, ld)` writes the values of columns
// [k, k + width) of rows [row, row + count) to dst (row r at dst + r·ld; 0
// past column d). `segment(row)` returns the first row after the run of rows
// from `row` on whose grad and gh are addressed by `grad_at(row)` and
// `gh_at(row)` (RowValues of that run, its row 0 being `row`).
template <typename T, typename Gather, typename Segment, typename GradAt, typename GhAt>
void param_grad_sums(const UnitTables<T>& t, int64_t rows, const Gather& gather,
                     const Segment& segment, const GradAt& grad_at, const GhAt& gh_at,
                     ParamSums<T>& sums) {
  constexpr int kTileWidth = 2 * max_lanes<T>();
  constexpr int kChunkRows = 256;
  const int units = t.units;
  const int tiles = std::max(1, (t.d + kTileWidth - 1) / kTileWidth);
  // Units are split into groups when the columns give too few tasks.
  const int threads = at::get_num_threads();
  const int groups =
      std::min(std::max(1, (4 * threads + tiles - 1) / tiles), std::max(1, (units + 3) / 4));
  const int per_group = (units + groups - 1) / groups;
  const Loops<T>& loops = cpu::loops<T>();
  const TableView<T> view = t.view();
  const SumsView<T> sums_view{sums.h.get(), sums.p.get(), sums.h0.get(), sums.p0.get()};
  parallel_items(int64_t{tiles} * groups, rows * per_group * kTileWidth,
                 [&](int64_t begin, int64_t end) {
                   std::vector<T> buffer(static_cast<size_t>(kChunkRows) * kTileWidth);
                   for (int64_t task = begin; task < end; ++task) {
                     const int k = static_cast<int>(task / groups) * kTileWidth;
                     const int u0 = static_cast<int>(task % groups) * per_group;
                     const int u1 = std::min(units, u0 + per_group);
                     if (u0 >= u1) continue;
                     const int width = std::min(kTileWidth, round_up_lanes<T>(t.d - k));
                     for (int64_t row = 0; row < rows;) {
                       const int64_t stop = std::min(segment(row), row + kChunkRows);
                       const int count = static_cast<int>(stop - row);
                       gather(row, count, k, width, buffer.data(), int64_t{kTileWidth});
                       const RowValues<T> g = grad_at(row), gh = gh_at(row);
                       loops.param_grad_rows(buffer.data(), kTileWidth, count, k, width, g, gh,
                                             view, u0, u1, k == 0, sums_view);
                       row = stop;
                     }
                   }
                 });
}

// grad_parameters' four blocks = the sums times f2.
template <typename T>
void store_param_grads(const ParamSums<T>& sums, int units, int d, T f2, T* grad_parameters) {
  const auto gw = varekpt::parameter_blocks(grad_parameters, units, d);
  parallel_items(units, d, [&](int64_t begin, int64_t end) {
    for (int64_t u = begin; u < end; ++u) {
      gw.h0[u] = sums.h0[u] * f2;
      gw.p0[u] = sums.p0[u] * f2;
      for (int64_t j = 0; j < d; ++j) {
        gw.h[u * d + j] = sums.h[panel_at<T>(units, d, u, j)] * f2;
        gw.p[u * d + j] = sums.p[panel_at<T>(units, d, u, j)] * f2;
      }
    }
  });
}

}  // namespace varekpt::cpu
