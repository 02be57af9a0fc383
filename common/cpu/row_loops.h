// The loops of paraboloid units over rows of inputs, shared by the dense
// layer (a row is a sample) and the convolution layer (a row is the C·kh·kw
// input values under one window); one instantiation per path (loops.h).
//
// Each result element is the same chain of separately rounded operations, in
// the same order, as in a plain loop that computes it alone; the loops below
// only run several such chains side by side (a vector lane each, several rows
// or units per block), so the results do not depend on the block sizes, the
// vector width or the split of the work over threads.
#pragma once

#include <cstdint>
#include <type_traits>

#include "common/cpu/loops.h"
#include "common/cpu/simd.h"

namespace varekpt::cpu::VAREKPT_CPU_PATH {
namespace {

// Local to the path: no inline function shared with other translation units.
constexpr VAREKPT_INLINE int min(int a, int b) { return a < b ? a : b; }
constexpr VAREKPT_INLINE int max(int a, int b) { return a > b ? a : b; }

template <typename T>
VAREKPT_INLINE T at(const RowValues<T>& v, int64_t r, int64_t u) {
  return v.base[r * v.row_stride + u * v.unit_stride];
}

// The width of the panel that holds column k of a panelled matrix of m
// columns: the distance from one row's values to the next row's.
template <typename T>
VAREKPT_INLINE int panel_width(int m, int k) {
  return min(kPanel<T>, m - k / kPanel<T> * kPanel<T>);
}

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
void forward_rows(const T* x, int64_t ldx, int rows, const TableView<T>& t, int u0, int u1,
                  T factor, RowResults<T> hsum, RowResults<T> output) {
  using S = Simd<T, Bytes>;
  using V = typename S::V;
  constexpr int W = S::W;
  constexpr int P = kPanel<T>;
  // Blocks of RB rows by NV vectors of units: eight accumulators.
  constexpr int NV = min(4, P / W), RB = 8 / NV;
  const int d = t.d;
  // Only as many vectors as there are units left: no lanes computed for none.
  for (int u = u0; u < u1; u += NV * W) {
    with_block(min(NV, (u1 - u + W - 1) / W), [&](auto nv) {
      constexpr int NB = decltype(nv)::value;
      for (int r0 = 0; r0 < rows; r0 += RB) {
        with_block(min(RB, rows - r0), [&](auto rb) {
          constexpr int R = decltype(rb)::value;
          const T* xr = x + r0 * ldx;
          V s[R][NB], o[R][NB];
          for (int b = 0; b < NB; ++b) {
            const V h0 = S::load(t.h0 + u + b * W);
            for (int r = 0; r < R; ++r) s[r][b] = h0;
          }
          // Unit u's values of column j, and its neighbours', at j·pw.
          const int64_t pw = panel_width<T>(t.units, u), panel = panel_at<T>(d, t.units, 0, u);
          const T* ht = t.ht + panel;
          for (int64_t j = 0; j < d; ++j) {
            V hv[NB];
            for (int b = 0; b < NB; ++b) hv[b] = S::load(ht + j * pw + b * W);
            for (int r = 0; r < R; ++r) {
              const V xv = S::splat(xr[r * ldx + j]);
              for (int b = 0; b < NB; ++b) s[r][b] = s[r][b] + hv[b] * xv;
            }
          }
          for (int r = 0; r < R; ++r) {
            for (int b = 0; b < NB; ++b) o[r][b] = s[r][b] * s[r][b];
          }
          const T* pt = t.pt + panel;
          for (int64_t j = 0; j < d; ++j) {
            V pv[NB];
            for (int b = 0; b < NB; ++b) pv[b] = S::load(pt + j * pw + b * W);
            for (int r = 0; r < R; ++r) {
              const V xv = S::splat(xr[r * ldx + j]);
              for (int b = 0; b < NB; ++b) {
                const V tv = xv - pv[b];
                o[r][b] = o[r][b] - tv * tv;
              }
            }
          }
          const V f = S::splat(factor);
          for (int b = 0; b < NB; ++b) {
            const int lanes = min(W, u1 - (u + b * W));
            if (lanes <= 0) break;
            const V p0 = S::load(t.p0 + u + b * W);
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
    });
  }
}

// Input-gradient sums of `rows` rows for the columns [k, k + width), k a
// multiple of the panel width: x holds
// the rows' values of these columns (row r at x + r·ldx, column k at its
// start, readable up to the next whole vector);
//   acc = 0; acc = acc + (p[u][k] + (h[u][k]·hsum(r, u) − x[r][k]))·grad(r, u)
// for u ascending; acc is stored at out + r·ldo + (column − k), in whole
// vectors (out is padded like x).
template <typename T, int Bytes>
void input_grad_rows(const T* x, int64_t ldx, int rows, int k, int width, RowValues<T> grad,
                     RowValues<T> hsum, const TableView<T>& t, T* out, int64_t ldo) {
  using S = Simd<T, Bytes>;
  using V = typename S::V;
  constexpr int W = S::W;
  const int units = t.units;
  constexpr int P = kPanel<T>;
  // Blocks of RB rows by up to NV vectors of columns: eight accumulators.
  constexpr int NV = min(4, P / W), RB = 8 / NV;
  for (int c = 0; c < width; c += NV * W) {
    // Unit u's values of columns k + c, ... at u·pw.
    const int64_t pw = panel_width<T>(t.d, k + c), panel = panel_at<T>(units, t.d, 0, k + c);
    const T* pcols = t.pcols + panel;
    const T* hcols = t.hcols + panel;
    with_block(min(NV, (width - c + W - 1) / W), [&](auto nv) {
      constexpr int NB = decltype(nv)::value;
      for (int r0 = 0; r0 < rows; r0 += RB) {
        with_block(min(RB, rows - r0), [&](auto rb) {
          constexpr int R = decltype(rb)::value;
          V acc[R][NB];
          for (int r = 0; r < R; ++r) {
            for (int b = 0; b < NB; ++b) acc[r][b] = S::splat(T(0));
          }
          for (int64_t u = 0; u < units; ++u) {
            V pv[NB], hv[NB];
            for (int b = 0; b < NB; ++b) {
              pv[b] = S::load(pcols + u * pw + b * W);
              hv[b] = S::load(hcols + u * pw + b * W);
            }
            for (int r = 0; r < R; ++r) {
              const V hs = S::splat(at(hsum, r0 + r, u));
              const V g = S::splat(at(grad, r0 + r, u));
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
// the panel width, width of whole vectors of the widest path; x as for
// input_grad_rows):
//   grad_h[u][k] += x[r][k]·gh,  grad_p[u][k] += (x[r][k] − p[u][k])·grad(r, u),
// with gh = grad(r, u)·hsum(r, u); when `bias`, also
//   grad_h0[u] += gh,  grad_p0[u] += (−p0[u])·grad(r, u).
// Only a unit's own lanes of the sums are read and written.
template <typename T, int Bytes>
void param_grad_rows(const T* x, int64_t ldx, int rows, int k, int width, RowValues<T> grad,
                     RowValues<T> hsum, const TableView<T>& t, int u0, int u1, bool bias,
                     SumsView<T> sums) {
  using S = Simd<T, Bytes>;
  using V = typename S::V;
  constexpr int W = S::W;
  // Blocks of UB units by up to NV vectors of columns: eight accumulators.
  constexpr int NV = min(4, kPanel<T> / W), UB = 4 / NV;
  // With no columns (d = 0) one pass still adds the bias terms.
  for (int c = 0; c == 0 || c < width; c += NV * W) {
    const bool with_bias = bias && c == 0;
    // The lanes of vector b that hold the unit's own columns.
    const int own = panel_width<T>(t.d, k + c) - (k + c) % kPanel<T>;
    const auto lanes = [&](int b) { return max(0, min(W, own - b * W)); };
    with_block(max(1, min(NV, (width - c + W - 1) / W)), [&](auto nv) {
      constexpr int NB = decltype(nv)::value;
      for (int ub = u0; ub < u1; ub += UB) {
        with_block(min(UB, u1 - ub), [&](auto nu) {
          constexpr int U = decltype(nu)::value;
          V ah[U][NB], ap[U][NB], pv[U][NB];
          for (int i = 0; i < U; ++i) {
            for (int b = 0; b < NB; ++b) {
              const int64_t at = int64_t{ub + i - sums.u0} * sums.stride + c + b * W;
              ah[i][b] = S::load_lanes(sums.h + at, lanes(b));
              ap[i][b] = S::load_lanes(sums.p + at, lanes(b));
              pv[i][b] = S::load(t.pcols + panel_at<T>(t.units, t.d, ub + i, k + c) + b * W);
            }
          }
          for (int r = 0; r < rows; ++r) {
            V xv[NB];
            for (int b = 0; b < NB; ++b) xv[b] = S::load(x + r * ldx + c + b * W);
            for (int i = 0; i < U; ++i) {
              const T g = at(grad, r, ub + i);
              const V ghv = S::splat(g * at(hsum, r, ub + i));
              const V gv = S::splat(g);
              for (int b = 0; b < NB; ++b) {
                ah[i][b] = ah[i][b] + xv[b] * ghv;
                ap[i][b] = ap[i][b] + (xv[b] - pv[i][b]) * gv;
              }
            }
          }
          for (int i = 0; i < U; ++i) {
            for (int b = 0; b < NB; ++b) {
              const int64_t at = int64_t{ub + i - sums.u0} * sums.stride + c + b * W;
              S::store_lanes(sums.h + at, 1, ah[i][b], lanes(b));
              S::store_lanes(sums.p + at, 1, ap[i][b], lanes(b));
            }
          }
          if (!with_bias) return;
          // The bias terms, unit by unit, in row order.
          for (int i = 0; i < U; ++i) {
            const int u = ub + i;
            const T neg_p0 = -t.p0[u];
            T bh = sums.h0[u - sums.u0], bp = sums.p0[u - sums.u0];
            for (int r = 0; r < rows; ++r) {
              const T g = at(grad, r, u);
              bh = bh + g * at(hsum, r, u);
              bp = bp + neg_p0 * g;
            }
            sums.h0[u - sums.u0] = bh;
            sums.p0[u - sums.u0] = bp;
          }
        });
      }
    });
  }
}

}  // namespace
}  // namespace varekpt::cpu::VAREKPT_CPU_PATH
