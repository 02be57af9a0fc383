// CUDA streams owned by one worker call.
#pragma once

#include <exception>
#include <vector>

#include "common/cuda/launch.h"

namespace varekpt {

// Creates streams for one call; release() destroys them at the call's normal
// end, the destructor otherwise. If the call ends by an exception (a refused
// launch, say), the device is first synchronised so that no kernel queued
// before the failure still writes into buffers that are about to be released.
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

  // Destroys the streams at the normal end of a call (their queued work still
  // runs) and raises if a destruction fails; the destructor then destroys the
  // rest.
  void release() {
    while (!streams_.empty()) {
      const cudaStream_t s = streams_.back();
      streams_.pop_back();
      VAREKPT_CUDA_CHECK(cudaStreamDestroy(s));
    }
  }

 private:
  std::vector<cudaStream_t> streams_;
  int uncaught_ = std::uncaught_exceptions();
};

}  // namespace varekpt
