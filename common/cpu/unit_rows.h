// The parameter gradients of paraboloid units over rows of inputs, shared
// by the dense layer (a row is a sample) and the convolution layer (a row is
// the C·kh·kw input values under one window): the split of the rows, columns
// and units over threads around the loops of row_loops.h.
#pragma once

#include <ATen/Parallel.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/cpu/loops.h"
#include "common/cpu/unit_tables.h"
#include "common/parameter_blocks.h"

namespace varekpt::cpu {

// The parameter gradients: grad_parameters' four blocks = f2 times the sums
// of the terms of the rows [0, rows), taken in order.
// `gather(row, count, k, width, dst, ld)` writes the values of columns
// [k, k + width) of rows [row, row + count) to dst (row r at dst + r·ld; 0
// past column d). `segment(row)` returns the first row after the run of rows
// from `row` on whose grad and hsum are addressed by `grad_at(row)` and
// `hsum_at(row)` (RowValues of that run, its row 0 being `row`).
//
// Each task owns a tile of columns of a group of units: it sums all rows for
// them and stores their gradients, so the sums live only for the task.
template <typename T, typename Gather, typename Segment, typename ValuesAt>
void param_grads(const UnitTables<T>& t, int64_t rows, const Gather& gather, const Segment& segment,
                 const ValuesAt& grad_at, const ValuesAt& hsum_at, T f2, T* grad_parameters) {
  constexpr int kTileWidth = kPanel<T>;
  constexpr int kChunkRows = 256;
  const int units = t.units, d = t.d;
  const int tiles = std::max(1, (d + kTileWidth - 1) / kTileWidth);
  // Units are split into groups when the columns give too few tasks.
  const int threads = at::get_num_threads();
  const int groups =
      std::min(std::max(1, (4 * threads + tiles - 1) / tiles), std::max(1, (units + 3) / 4));
  const int per_group = (units + groups - 1) / groups;
  const Loops<T>& loops = cpu::loops<T>();
  const TableView<T> view = t.view();
  const auto gw = varekpt::parameter_blocks(grad_parameters, units, d);
  parallel_items(int64_t{tiles} * groups, rows * per_group * kTileWidth,
                 [&](int64_t begin, int64_t end) {
                   std::vector<T> buffer(static_cast<size_t>(kChunkRows) * kTileWidth);
                   // The sums of h and p, in rows of the tile's width, and of h0 and p0.
                   const size_t span = static_cast<size_t>(per_group) * std::min(kTileWidth, d);
                   std::vector<T> sums(2 * span + 2 * static_cast<size_t>(per_group));
                   for (int64_t task = begin; task < end; ++task) {
                     const int k = static_cast<int>(task / groups) * kTileWidth;
                     const int u0 = static_cast<int>(task % groups) * per_group;
                     const int u1 = std::min(units, u0 + per_group);
                     if (u0 >= u1) continue;
                     const int width = std::min(kTileWidth, round_up_lanes<T>(d - k));
                     const int columns = std::max(0, std::min(kTileWidth, d - k));
                     std::fill(sums.begin(), sums.end(), T(0));
                     const SumsView<T> s{sums.data(),
                                         sums.data() + span,
                                         sums.data() + 2 * span,
                                         sums.data() + 2 * span + per_group,
                                         u0,
                                         columns};
                     for (int64_t row = 0; row < rows;) {
                       const int64_t stop = std::min(segment(row), row + kChunkRows);
                       const int count = static_cast<int>(stop - row);
                       gather(row, count, k, width, buffer.data(), int64_t{kTileWidth});
                       loops.param_grad_rows(buffer.data(), kTileWidth, count, k, width,
                                             grad_at(row), hsum_at(row), view, u0, u1, k == 0, s);
                       row = stop;
                     }
                     for (int64_t u = u0; u < u1; ++u) {
                       const int64_t at = (u - u0) * columns;
                       for (int j = 0; j < columns; ++j) {
                         gw.h[u * d + k + j] = s.h[at + j] * f2;
                         gw.p[u * d + k + j] = s.p[at + j] * f2;
                       }
                       if (k == 0) {
                         gw.h0[u] = s.h0[u - u0] * f2;
                         gw.p0[u] = s.p0[u - u0] * f2;
                       }
                     }
                   }
                 });
}

}  // namespace varekpt::cpu
