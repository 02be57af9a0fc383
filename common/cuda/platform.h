// The one include of every .cu source: the CUDA runtime under nvcc, the host
// execution layer (common/hostcuda) under an ordinary C++ compiler.
#pragma once

#ifdef __CUDACC__
#include <cuda_runtime.h>

// Declares `T* name` pointing at the block's dynamic shared memory. The extern
// array has one element type for every kernel, so float and double
// instantiations of a template kernel do not clash.
#define VAREKPT_DYNAMIC_SHARED(T, name)                                 \
  extern __shared__ __align__(16) unsigned char varekpt_dynamic_smem[]; \
  T* name = reinterpret_cast<T*>(varekpt_dynamic_smem)

// Instantiates kernel template `name` for T with the parameter list given
// (which also selects an overload); the runtime registers its device code at load.
#define VAREKPT_KERNEL(name, T, ...) VAREKPT_KERNEL_INSTANCE((name<T>), __VA_ARGS__)
// The same for a parenthesised template-id, for kernels with further template
// arguments: VAREKPT_KERNEL_INSTANCE((Kernel<T, 7, 3>), params...).
#define VAREKPT_KERNEL_INSTANCE(id, ...) template __global__ void VAREKPT_UNPAREN id(__VA_ARGS__)

#else
#include "common/hostcuda/hostcuda.h"

// Declares `T* name` pointing at the running block's dynamic shared memory
// (64-byte aligned, filled with 0xFF bytes before each block).
#define VAREKPT_DYNAMIC_SHARED(T, name) T* name = static_cast<T*>(hostcuda_dynamic_smem())

// Instantiates kernel template `name` for T with the parameter list given
// (which also selects an overload) and registers the instantiation with the
// host layer while the library is loaded, so that cudaLaunchKernel finds it.
#define VAREKPT_KERNEL(name, T, ...) VAREKPT_KERNEL_INSTANCE((name<T>), __VA_ARGS__)
// The same for a parenthesised template-id, for kernels with further template
// arguments: VAREKPT_KERNEL_INSTANCE((Kernel<T, 7, 3>), params...).
#define VAREKPT_KERNEL_INSTANCE(id, ...)                                                  \
  template __global__ void VAREKPT_UNPAREN id(__VA_ARGS__);                               \
  VAREKPT_REGISTER_KERNEL_AS(VAREKPT_CONCAT(varekpt_kernel_registration_, __COUNTER__), \
                             VAREKPT_UNPAREN id, __VA_ARGS__)
#define VAREKPT_REGISTER_KERNEL_AS(var, kernel, ...)                   \
  static const ::hostcuda::KernelRegistration var(VAREKPT_STRING(kernel), \
                                                  static_cast<void (*)(__VA_ARGS__)>(&kernel))
#define VAREKPT_CONCAT(a, b) VAREKPT_CONCAT_(a, b)
#define VAREKPT_CONCAT_(a, b) a##b
#define VAREKPT_STRING(...) #__VA_ARGS__

#endif

#define VAREKPT_UNPAREN(...) __VA_ARGS__
