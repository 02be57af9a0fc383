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

// Each block carries its size in front of it.
constexpr size_t kHeader = alignof(std::max_align_t);

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

// Peak bytes that `fn` allocated through operator new.
template <typename Fn>
int64_t peak_scratch(Fn&& fn) {
  in_use = 0;
  peak = 0;
  counting = true;
  fn();
  counting = false;
  return peak;
}

}  // namespace

void* operator new(size_t size) { return allocate(size); }
void* operator new[](size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, size_t) noexcept { release(p); }
void operator delete[](void* p, size_t) noexcept { release(p); }

namespace {

// Few inputs and outputs: the scratch that scales is the parameters'; the
// threads' buffers come on top.
TEST(CpuScratch, StaysWithinFourTimesTheParametersForEveryWidth) {
  struct Shape {
    int units, d;
  };
  const int threads = at::get_num_threads();
  at::set_num_threads(4);
  for (const Shape s : {Shape{1 << 18, 1}, Shape{1 << 13, 3}, Shape{1 << 10, 33},
                        Shape{1, (1 << 15) + 1}, Shape{3, (1 << 13) + 1}}) {
    const int N = 2, L = 2 * s.units * (s.d + 1);
    std::vector<float> x(N * s.d, 0.5f), prm(L, 0.25f), grad(N * s.units, 1.0f), out(N * s.units),
        hsum(N * s.units), gi(N * s.d), gp(L);
    // Per-thread buffers and the transposed grad and grad·hsum come on top.
    const int64_t bound = 4 * int64_t{L} * sizeof(float) + (1 << 20);
    const auto expect_within = [&](const char* what, auto&& fn) {
      EXPECT_LE(peak_scratch(fn), bound) << what << ", units " << s.units << ", d " << s.d;
    };
    expect_within("dense forward", [&] {
      paraboloid_forward_cpu_main<float>(x.data(), prm.data(), 1.0, N, s.d, s.units, out.data(),
                                         hsum.data());
    });
    expect_within("dense backward", [&] {
      paraboloid_backward_cpu_main<float>(grad.data(), x.data(), prm.data(), hsum.data(), 1.0, N,
                                          s.d, s.units, gi.data(), gp.data());
    });
    // The same units on a 1 × d image under a 1 × d filter (d is odd): one
    // window.
    expect_within("convolution backward", [&] {
      paraconv2d_backward_cpu_main<float>(grad.data(), x.data(), prm.data(), hsum.data(), 1.0, 1,
                                          s.d, 1, 1, 1, 1, N, 1, 1, s.d, s.units, 1, 1, gi.data(),
                                          gp.data(), false);
    });
  }
  at::set_num_threads(threads);
}

}  // namespace
