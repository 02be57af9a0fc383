// Update rule: CUDA worker. Kept apart from vareksgdupdate.h so that the CUDA
// sources need no ATen header.
#pragma once

#include <c10/core/Device.h>

// CUDA worker on device arrays of the CPU worker's layout; instantiated for
// float and double. It queues its kernels on a stream of its own on `device`,
// which it makes current for the call and then restores the caller's, and
// waits for them before it returns, so the caller may release scratch at once.
template <typename T>
void vareksgd_getparupdate_cuda_main(c10::Device device, const T* grad, const T* moments, const T* par, int units,
                                     int d, double doublehlr, double doubleplr,
                                     double doublemomentum, double doubledampening, bool nesterov,
                                     double doublewd, T* update, T* scratch);
