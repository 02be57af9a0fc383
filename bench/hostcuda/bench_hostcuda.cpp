// Throughput of the host execution layer: (a) a large barrier-free grid,
// (b) a 256-thread block tree reduction with 9 barriers per block; each on one
// worker and on all cores; plus the fixed cost of a small launch.
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "common/cuda/platform.h"

namespace {

__global__ void AddKernel(const float* __restrict__ a, const float* __restrict__ b, float* out) {
  const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
  out[i] = a[i] + b[i];
}

__global__ void ReduceKernel(const float* __restrict__ in, float* out) {
  VAREKPT_DYNAMIC_SHARED(float, acc);
  const unsigned t = threadIdx.x;
  acc[t] = __ldg(in + blockIdx.x * blockDim.x + t);
  __syncthreads();
  for (unsigned s = blockDim.x / 2; s > 0; s >>= 1) {
    if (t < s) acc[t] += acc[t + s];
    __syncthreads();
  }
  if (t == 0) out[blockIdx.x] = acc[0];
}

template <typename F>
double best_seconds(int reps, F&& f) {
  double best = 1e30;
  for (int r = 0; r < reps; ++r) {
    const auto start = std::chrono::steady_clock::now();
    f();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (s < best) best = s;
  }
  return best;
}

bool check(cudaError_t e) {
  if (e == cudaSuccess) return true;
  std::fprintf(stderr, "launch failed: %s\n", cudaGetErrorString(e));
  return false;
}

}  // namespace

int main() {
  const unsigned add_blocks = 32768, add_threads = 128;
  const size_t add_n = static_cast<size_t>(add_blocks) * add_threads;
  std::vector<float> a(add_n, 1.0f), b(add_n, 2.0f), c(add_n);

  const unsigned red_threads = 256;
  const size_t red_n = 4u << 20;
  const unsigned red_blocks = static_cast<unsigned>(red_n / red_threads);
  std::vector<float> in(red_n, 1.0f), partial(red_blocks);

  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  bool ok = true;
  for (int workers : {1, cores > 0 ? cores : 1}) {
    hostcuda::set_workers(workers);
    const double add_s = best_seconds(5, [&] {
      ok &= check(hostcuda::launch("AddKernel", AddKernel, dim3(add_blocks), dim3(add_threads), 0, nullptr,
                                   a.data(), b.data(), c.data()));
    });
    const double red_s = best_seconds(3, [&] {
      ok &= check(hostcuda::launch("ReduceKernel", ReduceKernel, dim3(red_blocks), dim3(red_threads),
                                   red_threads * sizeof(float), nullptr, in.data(), partial.data()));
    });
    ok &= c[add_n - 1] == 3.0f && partial[red_blocks - 1] == static_cast<float>(red_threads);
    std::printf("workers %2d: (a) %u x %u threads, no barrier: %.1f M threads/s (%.4f s)\n", workers,
                add_blocks, add_threads, add_n / add_s / 1e6, add_s);
    std::printf("workers %2d: (b) tree reduction of %zu floats, %u-thread blocks, 9 barriers: %.4f s\n",
                workers, red_n, red_threads, red_s);
  }
  hostcuda::set_workers(1);
  const int launches = 200000;
  const double small_s = best_seconds(3, [&] {
    for (int i = 0; i < launches; ++i) {
      ok &= check(hostcuda::launch("AddKernel", AddKernel, dim3(1), dim3(32), 0, nullptr, a.data(), b.data(),
                                   c.data()));
    }
  });
  std::printf("workers  1: (c) launch of 1 x 32 threads: %.2f us per launch\n", small_s / launches * 1e6);
  if (!ok) std::fprintf(stderr, "wrong results\n");
  return ok ? 0 : 1;
}
