// Launches as a native caller makes them: by the launch function's address
// through cudaLaunchKernel, with a configuration of the caller's own.
#pragma once

#include <tuple>
#include <type_traits>

#include "common/hostcuda/hostcuda.h"

// cudaLaunchKernel(kernel, grid, block, {&arg...}, shared_bytes, default
// stream), each argument converted to the kernel's parameter type first.
template <typename... Params, typename... Args>
cudaError_t launch(void (*kernel)(Params...), dim3 grid, dim3 block, size_t shared_bytes,
                   Args... args) {
  static_assert(sizeof...(Params) == sizeof...(Args), "wrong number of kernel arguments");
  std::tuple<std::decay_t<Params>...> values(static_cast<std::decay_t<Params>>(args)...);
  return std::apply(
      [&](auto&... value) {
        void* addresses[] = {static_cast<void*>(&value)...};
        return cudaLaunchKernel(reinterpret_cast<const void*>(kernel), grid, block, addresses,
                                shared_bytes, nullptr);
      },
      values);
}
