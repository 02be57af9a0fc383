// Update rule: CUDA worker. It queues the kernels of vareksgdupdatekernels on
// a stream of its own.
#include "update/vareksgdupdate_cuda.h"

#include "common/cuda/device_guard.h"
#include "common/cuda/launch.h"
#include "common/cuda/limits.h"
#include "common/cuda/streams.h"
#include "update/vareksgdupdatekernels.h"

using varekpt::launch_kernel;

namespace {

constexpr int kBlock = 128;

// The Nesterov step runs on the legacy default stream, which waits for the
// work queued before it on the worker's blocking stream and holds back what
// is queued after it there.
const cudaStream_t kLegacyDefaultStream = nullptr;

}  // namespace

template <typename T>
void vareksgd_getparupdate_cuda_main(c10::Device device, const T* grad, const T* moments,
                                     const T* par, int units, int d, double doublehlr,
                                     double /*doubleplr*/, double doublemomentum,
                                     double /*doubledampening*/, bool nesterov, double doublewd,
                                     T* update, T* scratch) {
  const varekpt::CudaDeviceGuard on_device(device);
  const T hlr = static_cast<T>(doublehlr);
  const T m = static_cast<T>(doublemomentum);
  const T wd = static_cast<T>(doublewd);
  const int L = (d + 1) * units * 2;
  T* newpar = scratch;
  T* length = scratch + L;
  T* decayed_length = length + units;
  // h0 [units] and h [units][d] lead newpar.
  T* h0 = newpar;
  T* h = newpar + units;

  const dim3 block(kBlock);
  // Rounded up in 64 bits: L may come close to the int range.
  const dim3 elements(static_cast<unsigned>(varekpt::chunks(L, kBlock)));
  const dim3 unit_blocks(units);
  const size_t reduce_bytes = kBlock * sizeof(T);

  varekpt::WorkerStreams streams;
  const cudaStream_t s = streams.create();
  launch_kernel("InitTensorKernel", InitTensorKernel<T>, elements, block, 0, s, grad, L, update);
  if (m > 0) {
    launch_kernel("ApplymomentumKernel", ApplymomentumKernel<T>, elements, block, 0, s, moments, L,
                  m, update);
    if (nesterov) {
      launch_kernel("ApplynesterovKernel", ApplynesterovKernel<T>, elements, block, 0,
                    kLegacyDefaultStream, grad, L, m, update);
    }
  }
  launch_kernel("InitTensorKernel", InitTensorKernel<T>, elements, block, 0, s, par, L, newpar);
  launch_kernel("ApplywithlrKernel", ApplywithlrKernel<T>, elements, block, 0, s, update, L, hlr,
                newpar);

  // Weight decay turns the direction of each unit's (h0, h) and keeps its length.
  if (wd > 0) {
    const T hlr_wd = hlr * wd;
    launch_kernel("GetmagsKernel", GetmagsKernel<T>, unit_blocks, block, reduce_bytes, s, h, h0,
                  units, d, length);
    launch_kernel("ApplyweightdecayKernel", ApplyweightdecayKernel<T>, elements, block, 0, s, par,
                  L / 2, hlr_wd, newpar);
    launch_kernel("GetmagsKernel", GetmagsKernel<T>, unit_blocks, block, reduce_bytes, s, h, h0,
                  units, d, decayed_length);
    launch_kernel("CompensatefordecayKernel", CompensatefordecayKernel<T>, unit_blocks, block, 0, s,
                  length, decayed_length, units, d, h, h0);
  }

  launch_kernel("GetfinalpuKernel", GetfinalpuKernel<T>, elements, block, 0, s, par, newpar, L, hlr,
                update);
  // The caller releases scratch as soon as this returns.
  VAREKPT_CUDA_CHECK(cudaStreamSynchronize(s));
  streams.release();
}

#define VAREKPT_INSTANTIATE(T)                                                                     \
  template void vareksgd_getparupdate_cuda_main<T>(c10::Device, const T*, const T*, const T*, int, \
                                                   int, double, double, double, double, bool,     \
                                                   double, T*, T*);
VAREKPT_INSTANTIATE(float)
VAREKPT_INSTANTIATE(double)
#undef VAREKPT_INSTANTIATE
