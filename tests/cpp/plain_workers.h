// The reference of every C++ test: the layers and the update rule as plain
// loops over one element at a time, each product and sum rounded on its own.
// The CPU workers must give these loops' bits; the kernels are compared with
// them in float64.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "common/parameter_blocks.h"

namespace plain {

// A convolution layer's sizes and layout. The dense layer is the case
// C = d, H = W = kh = kw = 1.
struct Conv {
  int N, C, H, W, units, kh = 1, kw = 1, sh = 1, sw = 1, dh = 1, dw = 1;
  // The operators apply the filter flipped: tap (0, 0) meets the window's
  // last row and column. The kernels that no operator launches do not.
  bool flip = true;
  // Channels last: input [N][H][W][C], filters [units][kh][kw][C], outputs
  // [N][outH][outW][units]; otherwise NCHW and [units][C][kh][kw].
  bool last = false;
  int extra = 0;  // output rows and columns past the image's; their taps outside are skipped

  int d() const { return C * kh * kw; }
  int outH() const { return (H - dh * (kh - 1) - 1) / sh + 1 + extra; }
  int outW() const { return (W - dw * (kw - 1) - 1) / sw + 1 + extra; }
  size_t inputs() const { return size_t(N) * C * H * W; }
  size_t outputs() const { return size_t(N) * units * outH() * outW(); }
  size_t length() const { return 2 * size_t(units) * (d() + 1); }
  int row(int oh, int i) const { return oh * sh + (flip ? kh - 1 - i : i) * dh; }
  int col(int ow, int j) const { return ow * sw + (flip ? kw - 1 - j : j) * dw; }
  size_t in(int n, int c, int r, int q) const {
    return last ? ((size_t(n) * H + r) * W + q) * C + c : ((size_t(n) * C + c) * H + r) * W + q;
  }
  size_t out(int n, int u, int oh, int ow) const {
    return last ? ((size_t(n) * outH() + oh) * outW() + ow) * units + u
                : ((size_t(n) * units + u) * outH() + oh) * outW() + ow;
  }
  size_t tap(int u, int c, int i, int j) const {
    return last ? ((size_t(u) * kh + i) * kw + j) * C + c : ((size_t(u) * C + c) * kh + i) * kw + j;
  }
  // Calls fn(n, oh, ow, u, output index) in ascending order of windows, then units.
  template <typename Fn>
  void for_outputs(Fn&& fn) const {
    for (int n = 0; n < N; ++n)
      for (int oh = 0; oh < outH(); ++oh)
        for (int ow = 0; ow < outW(); ++ow)
          for (int u = 0; u < units; ++u) fn(n, oh, ow, u, out(n, u, oh, ow));
  }
  // Calls fn(input index, filter index) for the taps of unit u at window
  // (n, oh, ow) inside the image, channel outermost.
  template <typename Fn>
  void for_taps(int n, int oh, int ow, int u, Fn&& fn) const {
    for (int c = 0; c < C; ++c)
      for (int i = 0; i < kh; ++i)
        for (int j = 0; j < kw; ++j) {
          const int r = row(oh, i), q = col(ow, j);
          if (r < H && q < W) fn(in(n, c, r, q), tap(u, c, i, j));
        }
  }
};

template <typename T>
void forward(const Conv& g, const T* x, const T* parameters, double factor, T* output, T* hsum) {
  const auto w = varekpt::parameter_blocks(parameters, g.units, g.d());
  g.for_outputs([&](int n, int oh, int ow, int u, size_t o) {
    T s = w.h0[u];
    g.for_taps(n, oh, ow, u, [&](size_t xi, size_t t) { s = s + x[xi] * w.h[t]; });
    T out = s * s;
    g.for_taps(n, oh, ow, u, [&](size_t xi, size_t t) {
      const T e = x[xi] - w.p[t];
      out = out - e * e;
    });
    hsum[o] = s;
    output[o] = (out - w.p0[u] * w.p0[u]) * static_cast<T>(factor);
  });
}

// All gradients carry 2·factor. An input element under several windows sums
// the windows' terms in window order; a skipped input gradient is 0.
template <typename T>
void backward(const Conv& g, const T* grad, const T* x, const T* parameters, const T* hsum,
              double factor, T* grad_input, T* grad_parameters, bool skip_input_grad = false) {
  const T f = static_cast<T>(factor), f2 = f + f;
  const auto w = varekpt::parameter_blocks(parameters, g.units, g.d());
  const auto gw = varekpt::parameter_blocks(grad_parameters, g.units, g.d());
  std::fill(grad_input, grad_input + g.inputs(), T(0));
  std::fill(grad_parameters, grad_parameters + g.length(), T(0));
  if (!skip_input_grad) {
    g.for_outputs([&](int n, int oh, int ow, int u0, size_t) {
      if (u0 > 0) return;  // once per window; tap t of unit u is tap t − u·d of unit 0
      g.for_taps(n, oh, ow, 0, [&](size_t xi, size_t t0) {
        T acc = 0;
        for (int u = 0; u < g.units; ++u) {
          const size_t o = g.out(n, u, oh, ow), t = t0 + size_t(u) * g.d();
          acc = acc + (w.p[t] + (w.h[t] * hsum[o] - x[xi])) * grad[o];
        }
        grad_input[xi] = grad_input[xi] + acc;
      });
    });
    for (size_t i = 0; i < g.inputs(); ++i) grad_input[i] = grad_input[i] * f2;
  }
  g.for_outputs([&](int n, int oh, int ow, int u, size_t o) {
    g.for_taps(n, oh, ow, u, [&](size_t xi, size_t t) {
      gw.h[t] = gw.h[t] + x[xi] * (grad[o] * hsum[o]);
      gw.p[t] = gw.p[t] + (x[xi] - w.p[t]) * grad[o];
    });
    gw.h0[u] = gw.h0[u] + hsum[o] * grad[o];
    gw.p0[u] = gw.p0[u] + (-w.p0[u]) * grad[o];
  });
  for (size_t i = 0; i < g.length(); ++i) grad_parameters[i] = grad_parameters[i] * f2;
}

// The step par − newpar of a parameter vector of `units` units of d inputs.
template <typename T>
std::vector<T> update(const T* grad, const T* moments, const T* par, int units, int d, double hlr_,
                      double m_, bool nesterov, double wd_) {
  const T hlr = static_cast<T>(hlr_), m = static_cast<T>(m_), wd = static_cast<T>(wd_);
  const int L = 2 * units * (d + 1);
  std::vector<T> newpar(L), update(L);
  for (int i = 0; i < L; ++i) {
    T a = grad[i];
    if (m > 0) {
      a = std::fma(moments[i], m, a);
      if (nesterov) a = std::fma(a, m, grad[i]);
    }
    newpar[i] = par[i] - a * hlr;
  }
  // Weight decay turns the direction of each unit's (h0, h) and keeps its
  // length; a unit decayed to length 0 keeps factor 1.
  if (wd > 0) {
    const T hlr_wd = hlr * wd;
    // Unit u's (h0[u], row u of h) by fused multiply-adds over the row, then h0.
    const auto unit_length = [&](int u) {
      T acc = 0;
      for (int j = 0; j < d; ++j)
        acc = std::fma(newpar[units + u * d + j], newpar[units + u * d + j], acc);
      return std::sqrt(std::fma(newpar[u], newpar[u], acc));
    };
    std::vector<T> length(units);
    for (int u = 0; u < units; ++u) length[u] = unit_length(u);
    for (int i = 0; i < units * (d + 1); ++i) newpar[i] = newpar[i] - par[i] * hlr_wd;
    for (int u = 0; u < units; ++u) {
      const T decayed = unit_length(u);
      const T r = decayed == 0 ? T(1) : length[u] / decayed;
      newpar[u] = newpar[u] * r;
      for (int j = 0; j < d; ++j) newpar[units + u * d + j] = newpar[units + u * d + j] * r;
    }
  }
  for (int i = 0; i < L; ++i) update[i] = par[i] - newpar[i];
  return update;
}

}  // namespace plain
