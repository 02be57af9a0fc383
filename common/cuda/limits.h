// Launch-shape arithmetic and the device's launch limits, shared by the CUDA
// entries (which check the limits before anything is queued) and the CUDA
// workers (which form the shapes). Plain C++: usable from .cpp and .cu files.
#pragma once

#include <cstdint>

namespace varekpt {

constexpr int64_t kMaxThreadsPerBlock = 1024;
constexpr int64_t kMaxGridX = 2147483647;
constexpr int64_t kMaxGridYZ = 65535;

// Blocks rounded up to a multiple of 32: up32(100) = 128. Computed in 64 bits
// so that the entries can check it against the limits; the workers narrow the
// checked value.
constexpr int64_t up32(int64_t x) { return (x + 31) / 32 * 32; }

// Number of threads that cover `length` elements `chunk` at a time.
constexpr int64_t chunks(int64_t length, int64_t chunk) { return (length + chunk - 1) / chunk; }

// Threads rounded up to a multiple of 4: up4(10) = 12.
constexpr int64_t up4(int64_t x) { return (x + 3) / 4 * 4; }

// Run length per thread for `length` elements: `chunk` while a block of
// chunks(length, chunk) threads fits the device, otherwise the shortest run
// that keeps the block at kMaxThreadsPerBlock threads. Never below 1.
constexpr int64_t widened_chunk(int64_t length, int64_t chunk) {
  const int64_t fitting = chunks(length, kMaxThreadsPerBlock);
  const int64_t run = chunk > fitting ? chunk : fitting;
  return run > 0 ? run : 1;
}

}  // namespace varekpt
