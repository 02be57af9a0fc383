// Blocked, vectorised loops of paraboloid units over rows of inputs, shared by
// the dense layer (a row is a sample) and the convolution layer (a row is the
// C·kh·kw input values under one window).
//
// Each result element is the same chain of separately rounded operations, in
// the same order, as in a plain loop that computes it alone; the loops below
// only run several such chains side by side (a vector lane each, several rows
// or units per block), so the results do not depend on the block sizes, the
// vector width or the split of the work over threads.
#pragma once

#include <ATen/Parallel.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/cpu/simd.h"
#include "common/cpu/unit_tables.h"
#include "common/parameter_blocks.h"

namespace varekpt::cpu {

// Values given per (row, unit), such as grad and hsum: element (r, u) at
// base[r·row_stride + u·unit_stride].
template <typename T>
struct RowValues {
  const T* base;
  int64_t row_stride, unit_stride;

  VAREKPT_INLINE T at(int64_t r, int64_t u) const { return base[r * row_stride + u * unit_stride]; }
  RowValues from_row(int64_t r) const { return {base + r * row_stride, row_stride, unit_stride}; }
};

// Where the loops store a result given per (row, unit).
template <typename T>
struct RowResults {
  T* base;
  int64_t row_stride, unit_stride;
};

// Calls fn(std::integral_constant<int, k>) for k = n, 1 ≤ n ≤ 4: the block
// sizes of the loops' tails are compile-time constants too.
template <typename Fn>
VAREKPT_INLINE void with_block(int n, Fn&& fn) {
  switch (n) {
    case 1:
      fn(std::integral_constant<int, 1>{});
      break;
    case 2:
      fn(std::integral_constant<int, 2>{});
      break;
    case 3:
      fn(std::integral_constant<int, 3>{});
      break;
    default:
      fn(std::integral_constant<int, 4>{});
      break;
  }
}

// Forward of `rows` rows x (row r at x + r·ldx, d values) for the units
// [u0, u1), u0 a multiple of two vectors of the widest path:
//   s = h0[u]; s = s + h[u][j]·x[j] for j ascending; hsum = s;
//   o = s·s; o = o − t·t with t = x[j] − p[u][j] for j ascending;
//   o = o − p0[u]·p0[u]; output = o·factor.
template <typename T, int Bytes>
VAREKPT_INLINE void forward_rows(const T* x, int64_t ldx, int rows, const UnitTables<T>& t, int u0,
                                 int u1, T factor, RowResults<T> hsum, RowResults<T> output) {
  using S = Simd<T, Bytes>;
  using V = typename S::V;
  constexpr int W = S::W;
  constexpr int P = UnitTables<T>::kPanel;
  // Blocks of RB rows by NV vectors of units: eight accumulators.
  constexpr int NV = std::min(4, P / W), RB = 8 / NV;
  const int d = t.d;
  for (int u = u0; u < u1; u += NV * W) {
    for (int r0 = 0; r0 < rows; r0 += RB) {
      with_block(std::min(RB, rows - r0), [&](auto rb) {
        constexpr int R = decltype(rb)::value;
        const T* xr = x + r0 * ldx;
        V s[R][NV], o[R][NV];
        for (int b = 0; b < NV; ++b) {
          const V h0 = S::load(t.h0.get() + u + b * W);
          for (int r = 0; r < R; ++r) s[r][b] = h0;
        }
        const int64_t panel = int64_t{u} / P * d * P + u % P;
        const T* ht = t.ht.get() + panel;
        for (int64_t j = 0; j < d; ++j) {
          V hv[NV];
          for (int b = 0; b < NV; ++b) hv[b] = S::load(ht + j * P + b * W);
          for (int r = 0; r < R; ++r) {
            const V xv = S::splat(xr[r * ldx + j]);
            for (int b = 0; b < NV; ++b) s[r][b] = s[r][b] + hv[b] * xv;
          }
        }
        for (int r = 0; r < R; ++r) {
          for (int b = 0; b < NV; ++b) o[r][b] = s[r][b] * s[r][b];
        }
        const T* pt = t.pt.get() + panel;
        for (int64_t j = 0; j < d; ++j) {
          V pv[NV];
          for (int b = 0; b < NV; ++b) pv[b] = S::load(pt + j * P + b * W);
          for (int r = 0; r < R; ++r) {
            const V xv = S::splat(xr[r * ldx + j]);
            for (int b = 0; b < NV; ++b) {
              const V tv = xv - pv[b];
              o[r][b] = o[r][b] - tv * tv;
            }
          }
        }
        const V f = S::splat(factor);
        for (int b = 0; b < NV; ++b) {
          const int lanes = std::min(W, u1 - (u + b * W));
          if (lanes <= 0) break;
          const V p0 = S::load(t.p0.get() + u + b * W);
          for (int r = 0; r < R; ++r) {
            const int64_t at = (r0 + r) * hsum.row_stride + (u + b * W) * hsum.unit_stride;
            S::store_lanes(hsum.base + at, hsum.unit_stride, s[r][b], lanes);
            const V ov = (o[r][b] - p0 * p0) * f;
            const int64_t ot = (r0 + r) * output.row_stride + (u + b * W) * output.unit_stride;
            S::store_lanes(output.base + ot, output.unit_stride, ov, lanes);
          }
        }
      });
    }
  }
}

// Input-gradient sums of `rows` rows for the columns [k, k + width), k a
// multiple of UnitTables::kPanel: x holds
// the rows' values of these columns (row r at x + r·ldx, column k at its
// start, readable up to the next whole vector);
//   acc = 0; acc = acc + (p[u][k] + (h[u][k]·hsum(r, u) − x[r][k]))·grad(r, u)
// for u ascending; acc is stored at out + r·ldo + (column − k), in whole
// vectors (out is padded like x).
template <typename T, int Bytes>
VAREKPT_INLINE void input_grad_rows(const T* x, int64_t ldx, int rows, int k, int width,
                                    RowValues<T> grad, RowValues<T> hsum, const UnitTables<T>& t,
                                    T* out, int64_t ldo) {
  using S = Simd<T, Bytes>;
  using V = typename S::V;
  constexpr int W = S::W;
  const int units = t.units;
  constexpr int P = UnitTables<T>::kPanel;
  // Blocks of RB rows by up to NV vectors of columns: eight accumulators.
  constexpr int NV = std::min(4, P / W), RB = 8 / NV;
  for (int c = 0; c < width; c += NV * W) {
    const T* pcols = t.cols(t.pcols, 0, k + c);
    const T* hcols = t.cols(t.hcols, 0, k + c);
    with_block(std::min(NV, (width - c + W - 1) / W), [&](auto nv) {
      constexpr int NB = decltype(nv)::value;
      for (int r0 = 0; r0 < rows; r0 += RB) {
        with_block(std::min(RB, rows - r0), [&](auto rb) {
          constexpr int R = decltype(rb)::value;
          V acc[R][NB];
          for (int r = 0; r < R; ++r) {
            for (int b = 0; b < NB; ++b) acc[r][b] = S::splat(T(0));
          }
          for (int64_t u = 0; u < units; ++u) {
            V pv[NB], hv[NB];
            for (int b = 0; b < NB; ++b) {
              pv[b] = S::load(pcols + u * P + b * W);
              hv[b] = S::load(hcols + u * P + b * W);
            }
            for (int r = 0; r < R; ++r) {
              const V hs = S::splat(hsum.at(r0 + r, u));
              const V g = S::splat(grad.at(r0 + r, u));
              for (int b = 0; b < NB; ++b) {
                const V xv = S::load(x + (r0 + r) * ldx + c + b * W);
                acc[r][b] = acc[r][b] + (pv[b] + (hv[b] * hs - xv)) * g;
              }
            }
          }
          for (int r = 0; r < R; ++r) {
            for (int b = 0; b < NB; ++b) S::store(out + (r0 + r) * ldo + c + b * W, acc[r][b]);
          }
        });
      }
    });
  }
}

// Parameter-gradient sums: adds the terms of `rows` rows, in row order, to the
// sums of the units [u0, u1) and the columns [k, k + width) (k a multiple of
// UnitTables::kPanel, width of whole vectors of the widest path; x as for
// input_grad_rows):
//   grad_h[u][k] += x[r][k]·gh(r, u),  grad_p[u][k] += (x[r][k] − p[u][k])·grad(r, u),
// with gh = grad·hsum computed beforehand; when `bias`, also
//   grad_h0[u] += gh(r, u),  grad_p0[u] += (−p0[u])·grad(r, u).
// The sums are kept in sum_h and sum_p ([units][dp]) and sum_h0 and sum_p0.
template <typename T, int Bytes>
VAREKPT_INLINE void param_grad_rows(const T* x, int64_t ldx, int rows, int k, int width,
                                    RowValues<T> grad, RowValues<T> gh, const UnitTables<T>& t,
                                    int u0, int u1, bool bias, T* sum_h, T* sum_p, T* sum_h0,
                                    T* sum_p0) {
  using S = Simd<T, Bytes>;
  using V = typename S::V;
  constexpr int W = S::W;
  const int64_t dp = t.dp;
  // Blocks of UB units by up to NV vectors of columns: eight accumulators.
  constexpr int NV = std::min(4, UnitTables<T>::kPanel / W), UB = 4 / NV;
  // With no columns (d = 0) one pass still adds the bias terms.
  for (int c = 0; c == 0 || c < width; c += NV * W) {
    const bool with_bias = bias && c == 0;
    with_block(std::max(1, std::min(NV, (width - c + W - 1) / W)), [&](auto nv) {
      constexpr int NB = decltype(nv)::value;
      for (int ub = u0; ub < u1; ub += UB) {
        with_block(std::min(UB, u1 - ub), [&](auto nu) {
          constexpr int U = decltype(nu)::value;
          V ah[U][NB], ap[U][NB], pv[U][NB];
          for (int i = 0; i < U; ++i) {
            for (int b = 0; b < NB; ++b) {
              const int64_t at = (ub + i) * dp + k + c + b * W;
              ah[i][b] = S::load(sum_h + at);
              ap[i][b] = S::load(sum_p + at);
              pv[i][b] = S::load(t.cols(t.pcols, ub + i, k + c) + b * W);
            }
          }
          for (int r = 0; r < rows; ++r) {
            V xv[NB];
            for (int b = 0; b < NB; ++b) xv[b] = S::load(x + r * ldx + c + b * W);
            for (int i = 0; i < U; ++i) {
              const V ghv = S::splat(gh.at(r, ub + i));
              const V gv = S::splat(grad.at(r, ub + i));
              for (int b = 0; b < NB; ++b) {
                ah[i][b] = ah[i][b] + xv[b] * ghv;
                ap[i][b] = ap[i][b] + (xv[b] - pv[i][b]) * gv;
              }
            }
          }
          for (int i = 0; i < U; ++i) {
            for (int b = 0; b < NB; ++b) {
              const int64_t at = (ub + i) * dp + k + c + b * W;
              S::store(sum_h + at, ah[i][b]);
              S::store(sum_p + at, ap[i][b]);
            }
          }
          if (!with_bias) return;
          // The bias terms, unit by unit, in row order.
          for (int i = 0; i < U; ++i) {
            const int u = ub + i;
            const T neg_p0 = -t.p0[u];
            T bh = sum_h0[u], bp = sum_p0[u];
            for (int r = 0; r < rows; ++r) {
              bh = bh + gh.at(r, u);
              bp = bp + neg_p0 * grad.at(r, u);
            }
            sum_h0[u] = bh;
            sum_p0[u] = bp;
          }
        });
      }
    });
  }
}

// Sums of the parameter gradient, rows padded to dp columns; start at 0.
template <typename T>
struct ParamSums {
  std::unique_ptr<T[]> h, p;    // [units][dp]
  std::unique_ptr<T[]> h0, p0;  // [units]

  ParamSums(int units, int dp)
      : h(uninitialized<T>(int64_t{units} * dp)),
        p(uninitialized<T>(int64_t{units} * dp)),
        h0(uninitialized<T>(units)),
        p0(uninitialized<T>(units)) {
    parallel_items(units, dp, [&](int64_t begin, int64_t end) {
      std::fill(h.get() + begin * dp, h.get() + end * dp, T(0));
      std::fill(p.get() + begin * dp, p.get() + end * dp, T(0));
      std::fill(h0.get() + begin, h0.get() + end, T(0));
      std::fill(p0.get() + begin, p0.get() + end, T(0));
    });
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
                       run_simd([&](auto bytes) {
                         param_grad_rows<T, decltype(bytes)::value>(
                             buffer.data(), kTileWidth, count, k, width, g, gh, t, u0, u1, k == 0,
                             sums.h.get(), sums.p.get(), sums.h0.get(), sums.p0.get());
                       });
                       row = stop;
                     }
                   }
                 });
}

// grad_parameters' four blocks = the sums times f2.
template <typename T>
void store_param_grads(const ParamSums<T>& sums, int units, int d, int dp, T f2,
                       T* grad_parameters) {
  const auto gw = varekpt::parameter_blocks(grad_parameters, units, d);
  parallel_items(units, d, [&](int64_t begin, int64_t end) {
    for (int64_t u = begin; u < end; ++u) {
      gw.h0[u] = sums.h0[u] * f2;
      gw.p0[u] = sums.p0[u] * f2;
      for (int64_t j = 0; j < d; ++j) {
        gw.h[u * d + j] = sums.h[u * dp + j] * f2;
        gw.p[u * d + j] = sums.p[u * dp + j] * f2;
      }
    }
  });
}

}  // namespace varekpt::cpu
