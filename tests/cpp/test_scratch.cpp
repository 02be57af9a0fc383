// The CPU workers' scratch stays within a small multiple of the parameters,
// whatever the shape: counted by replacing the global allocation functions,
// which the library's allocations (not PyTorch's tensors) go through.
#include <ATen/Parallel.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "paraboloid/paraboloid.h"
#include "paraconv2d/paraconv2d.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<int64_t> in_use{0}, peak{0};
constexpr size_t kHeader = alignof(std::max_align_t);  // each block carries its size in front

void* allocate(size_t size) {
  auto* block = static_cast<char*>(std::malloc(size + kHeader));
  if (block == nullptr) throw std::bad_alloc();
  *reinterpret_cast<size_t*>(block) = size;
  if (counting) {
    const int64_t now = in_use += static_cast<int64_t>(size);
    int64_t seen = peak;
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
  }
  return block + kHeader;
}

void release(void* p) {
  if (p == nullptr) return;
  char* block = static_cast<char*>(p) - kHeader;
  if (counting) in_use -= static_cast<int64_t>(*reinterpret_cast<size_t*>(block));
  std::free(block);
}

}  // namespace

void* operator new(size_t size) { return allocate(size); }
void* operator new[](size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, size_t) noexcept { release(p); }
void operator delete[](void* p, size_t) noexcept { release(p); }

namespace {

// Few inputs and outputs: the scratch that scales is the parameters'. The
// convolution runs the same units on a 1 × d image under a 1 × d filter (d is
// odd): one window. The threads' buffers come on top of four times the
// parameters.
TEST(CpuScratch, StaysWithinFourTimesTheParametersForEveryWidth) {
  const int threads = at::get_num_threads(), N = 2;
  at::set_num_threads(4);
  const int shapes[][2] = {
      {1 << 18, 1}, {1 << 13, 3}, {1 << 10, 33}, {1, (1 << 15) + 1}, {3, (1 << 13) + 1}};
  for (const auto& [units, d] : shapes) {
    const int L = 2 * units * (d + 1);
    std::vector<float> x(N * d, 0.5f), prm(L, 0.25f), grad(N * units, 1.0f), out(N * units),
        hsum(N * units), gi(N * d), gp(L);
    const int64_t bound = 4 * int64_t{L} * 4 + (1 << 20);
    const char* what[] = {"dense forward", "dense backward", "convolution backward"};
    for (int k = 0; k < 3; ++k) {
      in_use = peak = 0;
      counting = true;
      if (k == 0)
        paraboloid_forward_cpu_main<float>(x.data(), prm.data(), 1.0, N, d, units, out.data(),
                                           hsum.data());
      else if (k == 1)
        paraboloid_backward_cpu_main<float>(grad.data(), x.data(), prm.data(), hsum.data(), 1.0, N,
                                            d, units, gi.data(), gp.data());
      else
        paraconv2d_backward_cpu_main<float>(grad.data(), x.data(), prm.data(), hsum.data(), 1.0, 1,
                                            d, 1, 1, 1, 1, N, 1, 1, d, units, 1, 1, gi.data(),
                                            gp.data(), false);
      counting = false;
      EXPECT_LE(peak, bound) << what[k] << ", units " << units << ", d " << d;
    }
  }
  at::set_num_threads(threads);
}

}  // namespace
