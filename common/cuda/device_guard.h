// Makes a worker's device current for the worker's launches.
#pragma once

#include <c10/core/Device.h>
#include <c10/util/Exception.h>

#include "common/cuda/launch.h"

namespace varekpt {

// Makes `device` the calling thread's current CUDA device for the guard's
// lifetime and restores the caller's current device when the guard goes out
// of scope, also when an error unwinds the worker. A CUDA device without an
// index means the current one. Declare it before anything that creates
// streams, so that those streams are released on the device they belong to.
class CudaDeviceGuard {
 public:
  explicit CudaDeviceGuard(c10::Device device) {
    TORCH_CHECK(device.is_cuda(), "a CUDA worker was given the device ", device,
                ", which is not a CUDA device");
    VAREKPT_CUDA_CHECK(cudaGetDevice(&previous_));
    if (device.has_index() && device.index() != previous_) {
      VAREKPT_CUDA_CHECK(cudaSetDevice(device.index()));
      switched_ = true;
    }
  }
  ~CudaDeviceGuard() {
    if (switched_) (void)cudaSetDevice(previous_);
  }
  CudaDeviceGuard(const CudaDeviceGuard&) = delete;
  CudaDeviceGuard& operator=(const CudaDeviceGuard&) = delete;

 private:
  int previous_ = 0;
  bool switched_ = false;
};

}  // namespace varekpt
