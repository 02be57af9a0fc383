// Kernel launch and CUDA error checks, with the same meaning under nvcc and
// on the host execution layer.
#pragma once

#include <c10/util/Exception.h>

#include <cstddef>
#include <utility>

#include "common/cuda/platform.h"

namespace varekpt {
namespace detail {

// Throws a c10::Error if the last launch (or an earlier asynchronous fault)
// left an error. Clears a non-sticky error, as cudaGetLastError does.
inline void check_launch(const char* name) {
  const cudaError_t err = cudaGetLastError();
  if (err == cudaSuccess) return;
#ifdef __CUDACC__
  TORCH_CHECK(false, "CUDA kernel ", name, " failed to launch: ", cudaGetErrorString(err));
#else
  const std::string detail = ::hostcuda::error_detail();
  TORCH_CHECK(false, "CUDA kernel ", name, " failed to launch: ", cudaGetErrorString(err),
              detail.empty() ? "" : " (", detail, detail.empty() ? "" : ")");
#endif
}

}  // namespace detail

// kernel<<<grid, block, shared_bytes, stream>>>(args...), then the launch check.
// A grid or block with an extent of 0 has no work: the launch is skipped
// rather than refused, so that a size of 0 computes what the CPU does.
template <typename... Params, typename... Args>
void launch_kernel(const char* name, void (*kernel)(Params...), dim3 grid, dim3 block,
                   size_t shared_bytes, cudaStream_t stream, Args&&... args) {
  static_assert(sizeof...(Params) == sizeof...(Args), "wrong number of kernel arguments");
  if (grid.x == 0 || grid.y == 0 || grid.z == 0 || block.x == 0 || block.y == 0 || block.z == 0) {
    return;
  }
#ifdef __CUDACC__
  kernel<<<grid, block, shared_bytes, stream>>>(Params(std::forward<Args>(args))...);
#else
  ::hostcuda::launch(name, kernel, grid, block, shared_bytes, stream, std::forward<Args>(args)...);
#endif
  detail::check_launch(name);
}

}  // namespace varekpt

// Checks a CUDA runtime call; on failure clears the (non-sticky) last error so
// that a later launch check does not report it again, and throws a c10::Error.
#define VAREKPT_CUDA_CHECK(expr)                                                     \
  do {                                                                               \
    const cudaError_t varekpt_cuda_err_ = (expr);                                    \
    if (varekpt_cuda_err_ != cudaSuccess) {                                          \
      (void)cudaGetLastError();                                                      \
      TORCH_CHECK(false, "CUDA call ", #expr, " failed: ",                           \
                  cudaGetErrorString(varekpt_cuda_err_));                            \
    }                                                                                \
  } while (0)
