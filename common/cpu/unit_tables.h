// Work shared by the CPU workers' loops: the split over PyTorch's threads,
// scratch arrays, and a layer's parameters copied into the layouts the loops
// read.
#pragma once

#include <ATen/Parallel.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "common/cpu/loops.h"
#include "common/parameter_blocks.h"

namespace varekpt::cpu {

// Runs fn(begin, end) over [0, count) on PyTorch's intra-op threads.
// `item_cost` estimates one item's work in multiply-adds: work too small to
// gain from threads stays on the calling thread.
template <typename Fn>
void parallel_items(int64_t count, int64_t item_cost, const Fn& fn) {
  constexpr int64_t kMinWork = 1 << 15;
  const int64_t grain = std::max<int64_t>(1, kMinWork / std::max<int64_t>(item_cost, 1));
  at::parallel_for(0, count, grain, fn);
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

// A layer's parameters in the layouts the loops read, padded with zeros to
// whole vectors of the widest path.
template <typename T>
struct UnitTables {
  int units = 0, d = 0;
  int up = 0;                   // units rounded up to whole pairs of vectors
  int dp = 0;                   // d rounded up to whole panels (at least one)
  std::unique_ptr<T[]> h0, p0;  // [up]
  // h and p transposed for the forward, in panels of kPanel units:
  // [up / kPanel][d][kPanel], so that a block of units reads them in order.
  static constexpr int kPanel = 2 * max_lanes<T>();
  std::unique_ptr<T[]> ht, pt;
  // h and p for the backward, in panels of kPanel columns:
  // [dp / kPanel][units][kPanel], so that the units' values of a few columns
  // are read in order.
  std::unique_ptr<T[]> hcols, pcols;

  TableView<T> view() const {
    return {units, d, dp, h0.get(), p0.get(), ht.get(), pt.get(), hcols.get(), pcols.get()};
  }
};

// The tables of `parameters` (layout h0, h, p, p0), transposed for the forward
// or row by row for the backward.
template <typename T>
UnitTables<T> unit_tables(const T* parameters, int units, int d, bool forward) {
  UnitTables<T> t;
  t.units = units;
  t.d = d;
  t.up = round_up_lanes<T>(units, 2);
  t.dp = round_up_lanes<T>(std::max(d, 1), 2);
  const auto w = varekpt::parameter_blocks(parameters, units, d);
  t.h0 = uninitialized<T>(t.up);
  t.p0 = uninitialized<T>(t.up);
  for (int u = 0; u < t.up; ++u) {
    t.h0[u] = u < units ? w.h0[u] : T(0);
    t.p0[u] = u < units ? w.p0[u] : T(0);
  }
  if (forward) {
    t.ht = uninitialized<T>(int64_t{d} * t.up);
    t.pt = uninitialized<T>(int64_t{d} * t.up);
    parallel_items(t.up, d, [&](int64_t begin, int64_t end) {
      for (int64_t u = begin; u < end; ++u) {
        for (int64_t j = 0; j < d; ++j) {
          const int64_t at = (u / t.kPanel * d + j) * t.kPanel + u % t.kPanel;
          t.ht[at] = u < units ? w.h[u * d + j] : T(0);
          t.pt[at] = u < units ? w.p[u * d + j] : T(0);
        }
      }
    });
  } else {
    t.hcols = uninitialized<T>(int64_t{std::max(units, 1)} * t.dp);
    t.pcols = uninitialized<T>(int64_t{std::max(units, 1)} * t.dp);
    parallel_items(std::max(units, 1), t.dp, [&](int64_t begin, int64_t end) {
      for (int64_t u = begin; u < end; ++u) {
        for (int j = 0; j < t.dp; ++j) {
          const int64_t at = (int64_t{j} / t.kPanel * units + u) * t.kPanel + j % t.kPanel;
          const bool value = u < units && j < d;
          t.hcols[at] = value ? w.h[u * d + j] : T(0);
          t.pcols[at] = value ? w.p[u * d + j] : T(0);
        }
      }
    });
  }
  return t;
}

}  // namespace varekpt::cpu
