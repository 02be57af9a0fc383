// Paraboloid convolution layer: the CPU workers. Each window's C·kh·kw input
// values are gathered into a row (tap order c, i, j, that of the filter rows)
// and the rows go through the dense layer's blocked loops; every result
// element is still one sum of its terms in the order of the plain loops.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/cpu/unit_rows.h"
#include "paraconv2d/paraconv2d.h"

namespace {

using varekpt::cpu::parallel_items;
using varekpt::cpu::round_up_lanes;
using varekpt::cpu::RowValues;

// Windows of one input-gradient step: at most 64, fewer where their values
// would take more than kChunkValues; a window with more values than that is
// taken in slices of its taps.
constexpr int kWindowsPerChunk = 64;
constexpr int kChunkValues = 1 << 14;
// Values of the windows that a forward task gathers, at most.
constexpr int kForwardValues = 1 << 18;
constexpr int kUnitsPerTask = 64;  // a multiple of two vectors of the widest path

struct Geometry {
  int kh, kw, sh, sw, dh, dw, C, H, W, units, outH, outW;

  int d() const { return C * kh * kw; }
  int64_t windows() const { return int64_t{outH} * outW; }
  int64_t image() const { return int64_t{C} * H * W; }
  // Row and column of the input that tap (i, j) of window (oh, ow) reads: the
  // filter is applied flipped, tap (0, 0) meeting the window's last row and
  // column.
  int row(int oh, int i) const { return oh * sh + (kh / 2 + (kh / 2 - i)) * dh; }
  int col(int ow, int j) const { return ow * sw + (kw / 2 + (kw / 2 - j)) * dw; }

  // Calls fn(tap, input offset within the image) for the taps [k, end) of
  // window w, in ascending order.
  template <typename Fn>
  void for_taps(int w, int k, int end, Fn&& fn) const {
    const int oh = w / outW, ow = w % outW, taps = kh * kw;
    int c = k / taps, i = k % taps / kw, j = k % kw;
    for (int tap = k; tap < end; ++tap) {
      fn(tap, (int64_t{c} * H + row(oh, i)) * W + col(ow, j));
      if (++j == kw) {
        j = 0;
        if (++i == kh) {
          i = 0;
          ++c;
        }
      }
    }
  }

  // Writes the values of taps [k, k + width) of windows [w, w + count) of
  // image `x` to dst (window r at dst + r·ld), 0 past the last tap.
  template <typename T>
  void gather(const T* x, int w, int count, int k, int width, T* dst, int64_t ld) const {
    const int end = std::min(k + width, d());
    for (int r = 0; r < count; ++r) {
      T* out = dst + r * ld - k;
      for_taps(w + r, k, end, [&](int tap, int64_t at) { out[tap] = x[at]; });
      std::fill(out + std::max(end, k), out + k + width, T(0));
    }
  }
};

}  // namespace

template <typename T>
void paraconv2d_forward_cpu_main(const T* input, const T* parameters, double doublefactor, int kh,
                                 int kw, int sh, int sw, int dh, int dw, int N, int C, int H, int W,
                                 int units, int outH, int outW, T* output, T* hsum) {
  const T factor = static_cast<T>(doublefactor);
  const Geometry g{kh, kw, sh, sw, dh, dw, C, H, W, units, outH, outW};
  if (N <= 0 || units <= 0) return;
  const int d = g.d();
  const auto t = varekpt::cpu::unit_tables(parameters, units, d, true);
  const auto view = t.view();
  const auto& loops = varekpt::cpu::loops<T>();
  const int64_t hw = g.windows();
  const int unit_tasks = (units + kUnitsPerTask - 1) / kUnitsPerTask;
  const int task_rows = std::clamp(kForwardValues / std::max(d, 1), 1,
                                   varekpt::cpu::rows_per_task(N * hw, unit_tasks));
  const int64_t window_tasks = (hw + task_rows - 1) / task_rows;
  const int64_t row_tasks = N * window_tasks;
  parallel_items(row_tasks * unit_tasks, int64_t{task_rows} * kUnitsPerTask * d,
                 [&](int64_t begin, int64_t end) {
                   std::vector<T> x(static_cast<size_t>(task_rows) * std::max(d, 1));
                   for (int64_t task = begin; task < end; ++task) {
                     const int64_t n = task % row_tasks / window_tasks;
                     const int w0 = static_cast<int>(task % window_tasks) * task_rows;
                     const int u0 = static_cast<int>(task / row_tasks) * kUnitsPerTask;
                     const int rows = static_cast<int>(std::min<int64_t>(task_rows, hw - w0));
                     const int u1 = std::min(units, u0 + kUnitsPerTask);
                     g.gather(input + n * g.image(), w0, rows, 0, d, x.data(), d);
                     const int64_t at = n * units * hw + w0;
                     loops.forward_rows(x.data(), d, rows, view, u0, u1, factor, {hsum + at, 1, hw},
                                        {output + at, 1, hw});
                   }
                 });
}

template <typename T>
void paraconv2d_backward_cpu_main(const T* grad, const T* input, const T* parameters, const T* hsum,
                                  double doublefactor, int kh, int kw, int sh, int sw, int dh,
                                  int dw, int N, int C, int H, int W, int units, int outH, int outW,
                                  T* grad_input, T* grad_parameters, bool skip_input_grad) {
  const T factor = static_cast<T>(doublefactor);
  const T f2 = factor + factor;
  const Geometry g{kh, kw, sh, sw, dh, dw, C, H, W, units, outH, outW};
  const int d = g.d();
  const int64_t hw = g.windows();
  const int64_t inputs = N * g.image();
  const auto t = varekpt::cpu::unit_tables(parameters, units, d, false);
  const auto view = t.view();
  const auto& loops = varekpt::cpu::loops<T>();

  // The input gradient is accumulated into, so it starts from zero whatever
  // the caller passes, also when it is skipped. Without channels there is no
  // input gradient (and no channel to split).
  if (skip_input_grad || C == 0) {
    parallel_items(inputs, 1, [&](int64_t begin, int64_t end) {
      std::fill(grad_input + begin, grad_input + end, T(0));
    });
  } else {
    // An input element under several windows collects their sums in window
    // order, so each task owns whole images, or channels of one: it zeroes
    // them, accumulates their sums and applies the factor, which the input
    // gradient carries like the parameter gradients.
    const int threads = at::get_num_threads();
    const int groups = std::min(C, std::max(1, (2 * threads + N - 1) / std::max(N, 1)));
    const int per_group = (C + groups - 1) / groups;
    const int taps = kh * kw;
    parallel_items(int64_t{N} * groups, hw * per_group * taps * units,
                   [&](int64_t begin, int64_t end) {
                     // The sums run over whole panels of taps, from k0 on, in slices of
                     // ld taps. Taps of one window reach distinct input elements, so
                     // the slices of a window may come in any order; several windows
                     // share a step only when each fits in one slice.
                     constexpr int P = varekpt::cpu::kPanel<T>;
                     const int span = round_up_lanes<T>(per_group * taps + P, 2);
                     const int ld = std::min(span, kChunkValues);
                     const int chunk = std::clamp(kChunkValues / span, 1, kWindowsPerChunk);
                     std::vector<T> x(static_cast<size_t>(chunk) * ld);
                     std::vector<T> acc(x.size());
                     for (int64_t task = begin; task < end; ++task) {
                       const int64_t n = task / groups;
                       const int k = static_cast<int>(task % groups) * per_group * taps;
                       const int k_end = std::min(d, k + per_group * taps);
                       if (k >= k_end) continue;
                       const int k0 = k / P * P;
                       const T* image = input + n * g.image();
                       T* grad_image = grad_input + n * g.image();
                       const int64_t plane = int64_t{H} * W;
                       T* const first = grad_image + k / taps * plane;
                       T* const last = grad_image + k_end / taps * plane;
                       std::fill(first, last, T(0));
                       for (int w0 = 0; w0 < hw; w0 += chunk) {
                         const int rows = static_cast<int>(std::min<int64_t>(chunk, hw - w0));
                         const RowValues<T> gr{grad + n * units * hw + w0, 1, hw};
                         const RowValues<T> hs{hsum + n * units * hw + w0, 1, hw};
                         for (int ks = k0; ks < k_end; ks += ld) {
                           const int ks_end = std::min(k_end, ks + ld);
                           g.gather(image, w0, rows, ks, ld, x.data(), ld);
                           loops.input_grad_rows(x.data(), ld, rows, ks, ks_end - ks, gr, hs, view,
                                                 acc.data(), ld);
                           for (int r = 0; r < rows; ++r) {
                             const T* a = acc.data() + r * ld - ks;
                             g.for_taps(w0 + r, std::max(k, ks), ks_end, [&](int tap, int64_t at) {
                               grad_image[at] = grad_image[at] + a[tap];
                             });
                           }
                         }
                       }
                       for (T* i = first; i != last; ++i) *i *= f2;
                     }
                   });
  }

  // The parameter gradients: rows are the windows of all images in order.
  const auto values_at = [&](const T* base) {
    return [=](int64_t row) {
      return RowValues<T>{base + row / hw * units * hw + row % hw, 1, hw};
    };
  };
  varekpt::cpu::param_grads(
      t, N * hw,
      [&](int64_t row, int count, int k, int width, T* dst, int64_t ld) {
        g.gather(input + row / hw * g.image(), static_cast<int>(row % hw), count, k, width, dst,
                 ld);
      },
      [&](int64_t row) { return (row / hw + 1) * hw; }, values_at(grad), values_at(hsum), f2,
      grad_parameters);
}

template void paraconv2d_forward_cpu_main<float>(const float*, const float*, double, int, int, int,
                                                 int, int, int, int, int, int, int, int, int, int,
                                                 float*, float*);
template void paraconv2d_forward_cpu_main<double>(const double*, const double*, double, int, int,
                                                  int, int, int, int, int, int, int, int, int, int,
                                                  int, double*, double*);
template void paraconv2d_backward_cpu_main<float>(const float*, const float*, const float*,
                                                  const float*, double, int, int, int, int, int,
                                                  int, int, int, int, int, int, int, int, float*,
                                                  float*, bool);
template void paraconv2d_backward_cpu_main<double>(const double*, const double*, const double*,
                                                   const double*, double, int, int, int, int, int,
                                                   int, int, int, int, int, int, int, int, double*,
                                                   double*, bool);
