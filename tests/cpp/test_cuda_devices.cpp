// Every CUDA worker runs on the device it is given and gives the caller back
// its current device, also when it fails.
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/hostcuda/hostcuda.h"
#include "paraboloid/paraboloid.h"
#include "paraconv2d/paraconv2d.h"
#include "tests/cpp/test_errors.h"
#include "update/vareksgdupdate.h"

namespace {

using Worker = std::function<void(c10::Device)>;

// Each worker on small data: 2 rows (or units) of 3 inputs, one 3×3 image.
std::vector<std::pair<std::string, Worker>> workers() {
  static std::vector<float> in(64, 0.5f), prm(64, 0.25f), out(64), out2(64);
  return {
      {"dense forward",
       [](c10::Device d) {
         paraboloid_forward_cuda_main<float>(d, in.data(), prm.data(), 1.0, 2, 3, 2, out.data(),
                                             out2.data());
       }},
      {"dense backward",
       [](c10::Device d) {
         paraboloid_backward_cuda_main<float>(d, in.data(), in.data(), prm.data(), in.data(), 1.0,
                                              2, 3, 2, out.data(), out2.data());
       }},
      {"convolution forward",
       [](c10::Device d) {
         paraconv2d_forward_cuda_main<float>(d, in.data(), prm.data(), 1.0, 3, 3, 1, 1, 1, 1, 1, 1,
                                             3, 3, 2, 1, 1, out.data(), out2.data());
       }},
      {"convolution backward",
       [](c10::Device d) {
         paraconv2d_backward_cuda_main<float>(d, in.data(), in.data(), prm.data(), in.data(), 1.0,
                                              3, 3, 1, 1, 1, 1, 1, 1, 3, 3, 2, 1, 1, out.data(),
                                              out2.data(), false);
       }},
      {"update",
       [](c10::Device d) {
         vareksgd_getparupdate_cuda_main<float>(d, in.data(), in.data(), prm.data(), 2, 3, 0.5, 0.0,
                                                0.9, 0.0, true, 0.1, out.data(), out2.data());
       }},
  };
}

int current_device() {
  int device = -1;
  EXPECT_EQ(cudaGetDevice(&device), cudaSuccess);
  return device;
}

class CudaWorkerDevices : public ::testing::Test {
 protected:
  void SetUp() override { hostcuda::set_device_count(3); }
  void TearDown() override {
    hostcuda::reset_device();
    (void)cudaSetDevice(0);
    hostcuda::set_device_count(1);
  }
};

__global__ void TrapKernel() { __trap(); }

// From device 2, a worker given cuda:1 launches everything on device 1, one
// given cuda (no index) on the current device; afterwards device 2 is
// current again.
TEST_F(CudaWorkerDevices, RunOnTheirDeviceAndRestoreTheCallers) {
  for (const auto& [name, worker] : workers()) {
    for (const auto& [device, expected] :
         {std::make_pair(c10::Device(c10::kCUDA, 1), 1), {c10::Device(c10::kCUDA), 2}}) {
      ASSERT_EQ(cudaSetDevice(2), cudaSuccess);
      hostcuda::trace_start();
      worker(device);
      const auto trace = hostcuda::trace_stop();
      EXPECT_FALSE(trace.empty()) << name;
      for (const auto& r : trace) {
        EXPECT_EQ(r.device, expected) << name << " " << r.kernel;
        EXPECT_FALSE(r.refused) << name << " " << r.kernel;
      }
      EXPECT_EQ(current_device(), 2) << name;
    }
  }
}

// A failed launch (a fault left by earlier work) and a device that does not
// exist raise errors; the caller's device is current afterwards.
TEST_F(CudaWorkerDevices, RestoreTheCallersDeviceWhenTheyFail) {
  for (const auto& [name, worker] : workers()) {
    const std::pair<c10::Device, std::string> cases[] = {
        {c10::Device(c10::kCUDA, 1), "failed to launch"},
        {c10::Device(c10::kCUDA, 3), "cudaSetDevice"},
        {c10::Device(c10::kCPU), "not a CUDA device"}};
    for (const auto& [device, message] : cases) {
      ASSERT_EQ(cudaSetDevice(2), cudaSuccess);
      const bool fault = message == "failed to launch";
      if (fault) hostcuda::launch("TrapKernel", TrapKernel, dim3(1), dim3(1), 0, nullptr);
      const std::string error = error_of([&] { worker(device); });
      if (fault) hostcuda::reset_device();
      EXPECT_NE(error.find(message), std::string::npos) << name << ": " << error;
      EXPECT_EQ(current_device(), 2) << name;
    }
  }
}

}  // namespace
