// Launches, schedules and traces of the host execution layer.
#pragma once

#include <gtest/gtest.h>

#include <tuple>
#include <type_traits>

#include "common/hostcuda/hostcuda.h"

// cudaLaunchKernel(kernel, grid, block, {&arg...}, shared_bytes, default
// stream), as a native caller launches, each argument converted to the
// kernel's parameter type first; the launch must succeed.
template <typename... Params, typename... Args>
void launch_ok(void (*kernel)(Params...), dim3 grid, dim3 block, size_t shared, Args... args) {
  static_assert(sizeof...(Params) == sizeof...(Args), "wrong number of kernel arguments");
  std::tuple<std::decay_t<Params>...> values(static_cast<std::decay_t<Params>>(args)...);
  std::apply(
      [&](auto&... value) {
        void* addresses[] = {static_cast<void*>(&value)...};
        ASSERT_EQ(cudaLaunchKernel(reinterpret_cast<const void*>(kernel), grid, block, addresses,
                                   shared, nullptr),
                  cudaSuccess);
      },
      values);
}

// Runs `body` as on a device with one block at a time, then with blocks on
// four host workers and threads resumed in shuffled order, so that a lost
// atomic addition or a missing barrier shows.
template <typename Body>
void in_each_schedule(Body body) {
  for (int workers : {1, 4}) {
    SCOPED_TRACE(::testing::Message() << workers << " workers");
    hostcuda::set_workers(workers);
    hostcuda::set_resume_order(
        workers > 1 ? hostcuda::ResumeOrder::Shuffle : hostcuda::ResumeOrder::Forward, 11);
    body();
  }
  hostcuda::set_workers(1);
  hostcuda::set_resume_order(hostcuda::ResumeOrder::Forward);
}
