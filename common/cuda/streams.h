// CUDA streams owned by one worker call.
#pragma once

#include <exception>
#include <vector>

#include "common/cuda/launch.h"

namespace varekpt {

// Creates streams for one call and destroys them when the call ends. If the
// call ends by an exception (a refused launch, say), the device is first
// synchronised so that no kernel queued before the failure still writes into
// buffers that are about to be released.
class WorkerStreams {
 public:
  WorkerStreams() = default;
  WorkerStreams(const WorkerStreams&) = delete;
  WorkerStreams& operator=(const WorkerStreams&) = delete;

  ~WorkerStreams() {
    if (std::uncaught_exceptions() > uncaught_) (void)cudaDeviceSynchronize();
    for (cudaStream_t s : streams_) (void)cudaStreamDestroy(s);
    (void)cudaGetLastError();
  }

  // A new blocking stream (default flags).
  cudaStream_t create() {
    cudaStream_t s = nullptr;
    VAREKPT_CUDA_CHECK(cudaStreamCreate(&s));
    streams_.push_back(s);
    return s;
  }

 private:
  std::vector<cudaStream_t> streams_;
  int uncaught_ = std::uncaught_exceptions();
};

}  // namespace varekpt
