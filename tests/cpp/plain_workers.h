// The CPU workers as they were before they ran on threads and vectors:
// plain loops over one element at a time. The tests hold the workers to these
// loops' bits.
#pragma once

#include <algorithm>
#include <cmath>

#include "common/parameter_blocks.h"

namespace plain {

template <typename T>
void dense_forward(const T* input, const T* parameters, double doublefactor,
                                 int N, int d, int units, T* output, T* hsum) {
  const T factor = static_cast<T>(doublefactor);
  const auto [h0, h, p, p0] = varekpt::parameter_blocks(parameters, units, d);

  for (int n = 0; n < N; ++n) {
    const T* x = input + n * d;
    for (int u = 0; u < units; ++u) {
      T s = h0[u];
      for (int j = 0; j < d; ++j) s = s + h[u * d + j] * x[j];
      hsum[n * units + u] = s;
      output[n * units + u] = s * s;
    }
  }
  for (int n = 0; n < N; ++n) {
    const T* x = input + n * d;
    for (int u = 0; u < units; ++u) {
      T out = output[n * units + u];
      for (int j = 0; j < d; ++j) {
        const T t = x[j] - p[u * d + j];
        out = out - t * t;
      }
      out = out - p0[u] * p0[u];
      output[n * units + u] = out * factor;
    }
  }
}

template <typename T>
void dense_backward(const T* grad, const T* input, const T* parameters,
                                  const T* hsum, double doublefactor, int N, int d,
                                  int units, T* grad_input, T* grad_parameters) {
  const T factor = static_cast<T>(doublefactor);
  const T f2 = factor + factor;
  const auto [h0, h, p, p0] = varekpt::parameter_blocks(parameters, units, d);
  const auto [grad_h0, grad_h, grad_p, grad_p0] =
      varekpt::parameter_blocks(grad_parameters, units, d);

  // The input gradient carries the factor like the parameter gradients.
  for (int n = 0; n < N; ++n) {
    for (int k = 0; k < d; ++k) {
      T acc = 0;
      for (int u = 0; u < units; ++u) {
        const int nu = n * units + u;
        acc = acc + (p[u * d + k] + (h[u * d + k] * hsum[nu] - input[n * d + k])) * grad[nu];
      }
      grad_input[n * d + k] = acc * f2;
    }
  }
  for (int u = 0; u < units; ++u) {
    for (int k = 0; k < d; ++k) {
      T acc = 0;
      for (int n = 0; n < N; ++n) {
        acc = acc + input[n * d + k] * (grad[n * units + u] * hsum[n * units + u]);
      }
      grad_h[u * d + k] = acc * f2;
    }
  }
  for (int u = 0; u < units; ++u) {
    T acc = 0;
    for (int n = 0; n < N; ++n) acc = acc + hsum[n * units + u] * grad[n * units + u];
    grad_h0[u] = acc * f2;
  }
  for (int u = 0; u < units; ++u) {
    for (int k = 0; k < d; ++k) {
      T acc = 0;
      for (int n = 0; n < N; ++n) {
        acc = acc + (input[n * d + k] - p[u * d + k]) * grad[n * units + u];
      }
      grad_p[u * d + k] = acc * f2;
    }
  }
  for (int u = 0; u < units; ++u) {
    T acc = 0;
    for (int n = 0; n < N; ++n) acc = acc + (-p0[u]) * grad[n * units + u];
    grad_p0[u] = acc * f2;
  }
}

// Index arithmetic of the dense NCHW arrays and the parameter blocks, in int.
struct Layout {
  int kh, kw, sh, sw, dh, dw, C, H, W, units, outH, outW;

  int d() const { return C * kh * kw; }
  // Input row and column read by tap (i, j) of window (oh, ow); the filter is
  // applied flipped, so tap (0, 0) meets the window's last row and column.
  int row(int oh, int i) const { return oh * sh + (kh / 2 + (kh / 2 - i)) * dh; }
  int col(int ow, int j) const { return ow * sw + (kw / 2 + (kw / 2 - j)) * dw; }
  int in(int n, int c, int r, int q) const { return ((n * C + c) * H + r) * W + q; }
  int out(int n, int u, int oh, int ow) const { return ((n * units + u) * outH + oh) * outW + ow; }
  int tap(int u, int c, int i, int j) const { return ((u * C + c) * kh + i) * kw + j; }
};

// Calls fn(n, oh, ow) for every window of every image, in ascending order.
template <typename Fn>
void for_each_window(int N, const Layout& g, Fn&& fn) {
  for (int n = 0; n < N; ++n) {
    for (int oh = 0; oh < g.outH; ++oh) {
      for (int ow = 0; ow < g.outW; ++ow) fn(n, oh, ow);
    }
  }
}

// Length of unit u's (h0[u], row u of h) in v, accumulated by fused
// multiply-adds over the row and then h0.
template <typename T>
T unit_length(const T* v, int units, int d, int u) {
  const T* row = v + units + u * d;
  T acc = 0;
  for (int j = 0; j < d; ++j) acc = std::fma(row[j], row[j], acc);
  return std::sqrt(std::fma(v[u], v[u], acc));
}

// Multiplies unit u's (h0[u], row u of h) in v by r.
template <typename T>
void scale_unit(T* v, int units, int d, int u, T r) {
  v[u] = v[u] * r;
  T* row = v + units + u * d;
  for (int j = 0; j < d; ++j) row[j] = row[j] * r;
}

template <typename T>
void conv_forward(const T* input, const T* parameters, double doublefactor, int kh,
                                 int kw, int sh, int sw, int dh, int dw, int N, int C, int H, int W,
                                 int units, int outH, int outW, T* output, T* hsum) {
  const T factor = static_cast<T>(doublefactor);
  const Layout g{kh, kw, sh, sw, dh, dw, C, H, W, units, outH, outW};
  const auto w = varekpt::parameter_blocks(parameters, units, g.d());

  for_each_window(N, g, [&](int n, int oh, int ow) {
    for (int u = 0; u < units; ++u) {
      T s = w.h0[u];
      for (int c = 0; c < C; ++c) {
        for (int i = 0; i < kh; ++i) {
          for (int j = 0; j < kw; ++j) {
            s = s + input[g.in(n, c, g.row(oh, i), g.col(ow, j))] * w.h[g.tap(u, c, i, j)];
          }
        }
      }
      hsum[g.out(n, u, oh, ow)] = s;
      output[g.out(n, u, oh, ow)] = s * s;
    }
  });
  for_each_window(N, g, [&](int n, int oh, int ow) {
    for (int u = 0; u < units; ++u) {
      T out = output[g.out(n, u, oh, ow)];
      for (int c = 0; c < C; ++c) {
        for (int i = 0; i < kh; ++i) {
          for (int j = 0; j < kw; ++j) {
            const T t = input[g.in(n, c, g.row(oh, i), g.col(ow, j))] - w.p[g.tap(u, c, i, j)];
            out = out - t * t;
          }
        }
      }
      out = out - w.p0[u] * w.p0[u];
      output[g.out(n, u, oh, ow)] = out * factor;
    }
  });
}

template <typename T>
void conv_backward(const T* grad, const T* input, const T* parameters, const T* hsum,
                                  double doublefactor, int kh, int kw, int sh, int sw, int dh,
                                  int dw, int N, int C, int H, int W, int units, int outH, int outW,
                                  T* grad_input, T* grad_parameters, bool skip_input_grad) {
  const T factor = static_cast<T>(doublefactor);
  const T f2 = factor + factor;
  const Layout g{kh, kw, sh, sw, dh, dw, C, H, W, units, outH, outW};
  const auto w = varekpt::parameter_blocks(parameters, units, g.d());
  const auto gw = varekpt::parameter_blocks(grad_parameters, units, g.d());

  // The outputs are accumulated into, so they start from zero whatever the
  // caller passes; the input gradient is zeroed even when it is skipped.
  std::fill(grad_input, grad_input + N * C * H * W, T(0));
  std::fill(grad_parameters, grad_parameters + 2 * units * (g.d() + 1), T(0));

  if (!skip_input_grad) {
    for_each_window(N, g, [&](int n, int oh, int ow) {
      for (int c = 0; c < C; ++c) {
        for (int i = 0; i < kh; ++i) {
          for (int j = 0; j < kw; ++j) {
            const int xi = g.in(n, c, g.row(oh, i), g.col(ow, j));
            T acc = 0;
            for (int u = 0; u < units; ++u) {
              const int o = g.out(n, u, oh, ow);
              const int t = g.tap(u, c, i, j);
              acc = acc + (w.p[t] + (w.h[t] * hsum[o] - input[xi])) * grad[o];
            }
            grad_input[xi] = grad_input[xi] + acc;
          }
        }
      }
    });
    // The input gradient carries the factor like the parameter gradients.
    for (int n = 0; n < N; ++n) {
      for (int r = 0; r < H; ++r) {
        for (int q = 0; q < W; ++q) {
          for (int c = 0; c < C; ++c) grad_input[g.in(n, c, r, q)] *= f2;
        }
      }
    }
  }

  // One sweep feeds both parameter pairs; each element still sums its terms
  // in window order, channel innermost within a window.
  for_each_window(N, g, [&](int n, int oh, int ow) {
    for (int u = 0; u < units; ++u) {
      const int o = g.out(n, u, oh, ow);
      for (int i = 0; i < kh; ++i) {
        for (int j = 0; j < kw; ++j) {
          for (int c = 0; c < C; ++c) {
            const T x = input[g.in(n, c, g.row(oh, i), g.col(ow, j))];
            const int t = g.tap(u, c, i, j);
            gw.h[t] = gw.h[t] + x * (grad[o] * hsum[o]);
            gw.p[t] = gw.p[t] + (x - w.p[t]) * grad[o];
          }
        }
      }
      gw.h0[u] = gw.h0[u] + hsum[o] * grad[o];
      gw.p0[u] = gw.p0[u] + (-w.p0[u]) * grad[o];
    }
  });
  for (int u = 0; u < units; ++u) {
    gw.h0[u] *= f2;
    gw.p0[u] *= f2;
    for (int i = 0; i < kh; ++i) {
      for (int j = 0; j < kw; ++j) {
        for (int c = 0; c < C; ++c) {
          gw.h[g.tap(u, c, i, j)] *= f2;
          gw.p[g.tap(u, c, i, j)] *= f2;
        }
      }
    }
  }
}

template <typename T>
void update(const T* grad, const T* moments, const T* par, int units,
                                    int d, double doublehlr, double /*doubleplr*/,
                                    double doublemomentum, double /*doubledampening*/,
                                    bool nesterov, double doublewd, T* update, T* scratch) {
  const T hlr = static_cast<T>(doublehlr);
  const T m = static_cast<T>(doublemomentum);
  const T wd = static_cast<T>(doublewd);
  const int L = (d + 1) * units * 2;
  T* newpar = scratch;
  T* length = scratch + L;
  T* decayed_length = length + units;

  for (int i = 0; i < L; ++i) {
    T a = grad[i];
    if (m > 0) {
      a = std::fma(moments[i], m, a);
      if (nesterov) a = std::fma(a, m, grad[i]);
    }
    newpar[i] = par[i] - a * hlr;
  }

  // Weight decay turns the direction of each unit's (h0, h) and keeps its length.
  if (wd > 0) {
    const T hlr_wd = hlr * wd;
    const int decayed = units * (d + 1);  // h0 and h lead the vector
    for (int u = 0; u < units; ++u) length[u] = unit_length(newpar, units, d, u);
    for (int i = 0; i < decayed; ++i) newpar[i] = newpar[i] - par[i] * hlr_wd;
    for (int u = 0; u < units; ++u) decayed_length[u] = unit_length(newpar, units, d, u);
    for (int u = 0; u < units; ++u) {
      const T r = decayed_length[u] == 0 ? T(1) : length[u] / decayed_length[u];
      scale_unit(newpar, units, d, u, r);
    }
  }

  for (int i = 0; i < L; ++i) update[i] = par[i] - newpar[i];
}

}  // namespace plain
