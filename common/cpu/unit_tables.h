// Work shared by the CPU workers' loops: the split over PyTorch's threads,
// scratch arrays, and a layer's parameters copied into the layouts the loops
// read.
#pragma once

#include <ATen/Parallel.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>

#include "common/cpu/loops.h"
#include "common/parameter_blocks.h"

namespace varekpt::cpu {

// Runs fn(begin, end) over [0, count) on PyTorch's intra-op threads.
// `item_cost` estimates one item's work in multiply-adds: work too small to
// gain from threads stays on the calling thread. The items go in batches to
// whichever thread is free, so a thread that the system holds back (on a busy
// machine) delays no more than its current batch. Which thread computes an
// item never changes its result.
template <typename Fn>
void parallel_items(int64_t count, int64_t item_cost, const Fn& fn) {
  constexpr int64_t kMinWork = 1 << 15;
  const int64_t grain = std::max<int64_t>(1, kMinWork / std::max<int64_t>(item_cost, 1));
  const int64_t threads = std::min<int64_t>(at::get_num_threads(), (count + grain - 1) / grain);
  if (threads <= 1 || at::in_parallel_region()) {
    if (count > 0) fn(0, count);
    return;
  }
  // About eight batches per thread, each at least the grain.
  const int64_t batch = std::max(grain, (count + 8 * threads - 1) / (8 * threads));
  std::atomic<int64_t> next{0};
  at::parallel_for(0, threads, 1, [&](int64_t, int64_t) {
    for (int64_t begin = next.fetch_add(batch); begin < count; begin = next.fetch_add(batch)) {
      fn(begin, std::min(count, begin + batch));
    }
  });
}

// Rows per task when `rows` rows are split into tasks, each row range further
// split `ways` ways: a multiple of 4, at most 64 (so that a task reuses the
// parameters it reads from cache), and small enough to give every thread a
// few tasks.
inline int rows_per_task(int64_t rows, int64_t ways) {
  const int64_t tasks = 4 * int64_t{at::get_num_threads()};
  const int64_t per_task = (rows * std::max<int64_t>(ways, 1) + tasks - 1) / tasks;
  return static_cast<int>(std::clamp<int64_t>((per_task + 3) / 4 * 4, 4, 64));
}

// n elements left uninitialised: for arrays that are written in full, in
// parallel, before they are read.
template <typename T>
std::unique_ptr<T[]> uninitialized(int64_t n) {
  return std::unique_ptr<T[]>(new T[std::max<int64_t>(n, 1)]);
}

// A layer's parameters in the layouts the loops read: panelled (loops.h), so
// that a block of units reads its values of a column, or a unit its values of
// a few columns, in order.
template <typename T>
struct UnitTables {
  int units = 0, d = 0;
  std::unique_ptr<T[]> h0, p0;        // [units rounded up to a panel], 0 past units
  std::unique_ptr<T[]> ht, pt;        // forward: h and p transposed, [d][units]
  std::unique_ptr<T[]> hcols, pcols;  // backward: h and p, [units][d]

  TableView<T> view() const {
    return {units, d, h0.get(), p0.get(), ht.get(), pt.get(), hcols.get(), pcols.get()};
  }
};

// Copies element (i, j) of the [n][m] matrices a and b, row-major, to
// element (i, j) of the panelled matrices pa and pb, transposed if
// `transpose` (then (j, i) of [m][n]); the zeros after them included. The
// copy runs in the panelled matrices' order, a row of a panel at a time.
template <typename T>
void copy_panelled(const T* a, const T* b, int64_t n, int64_t m, bool transpose, T* pa, T* pb) {
  const int64_t rows = transpose ? m : n, cols = transpose ? n : m;
  const int64_t panels = (cols + kPanel<T> - 1) / kPanel<T>;
  // A copy costs less than a multiply-add: threads only from 2^17 elements on.
  parallel_items(panels * rows, kPanel<T> / 4, [&](int64_t begin, int64_t end) {
    for (int64_t item = begin; item < end; ++item) {
      const int64_t k = item / rows * kPanel<T>, r = item % rows;
      const int64_t width = std::min<int64_t>(kPanel<T>, cols - k);
      T* da = pa + k * rows + r * width;
      T* db = pb + k * rows + r * width;
      for (int64_t c = 0; c < width; ++c) {
        const int64_t from = transpose ? (k + c) * m + r : r * m + k + c;
        da[c] = a[from];
        db[c] = b[from];
      }
    }
  });
  std::fill(pa + n * m, pa + panelled_size<T>(n, m), T(0));
  std::fill(pb + n * m, pb + panelled_size<T>(n, m), T(0));
}

// The tables of `parameters` (layout h0, h, p, p0), transposed for the forward
// or row by row for the backward.
template <typename T>
UnitTables<T> unit_tables(const T* parameters, int units, int d, bool forward) {
  UnitTables<T> t;
  t.units = units;
  t.d = d;
  const int up = round_up_lanes<T>(units, 2);
  const auto w = varekpt::parameter_blocks(parameters, units, d);
  t.h0 = uninitialized<T>(up);
  t.p0 = uninitialized<T>(up);
  for (int u = 0; u < up; ++u) {
    t.h0[u] = u < units ? w.h0[u] : T(0);
    t.p0[u] = u < units ? w.p0[u] : T(0);
  }
  auto& a = forward ? t.ht : t.hcols;
  auto& b = forward ? t.pt : t.pcols;
  a = uninitialized<T>(panelled_size<T>(units, d));
  b = uninitialized<T>(panelled_size<T>(units, d));
  copy_panelled(w.h, w.p, units, d, forward, a.get(), b.get());
  return t;
}

}  // namespace varekpt::cpu
