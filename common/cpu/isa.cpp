#include "common/cpu/isa.h"

#include <atomic>
#include <initializer_list>

namespace varekpt::cpu {
namespace {

bool supported(Isa isa) {
  switch (isa) {
    case Isa::kAvx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
             __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
             supported(Isa::kAvx2);
    case Isa::kAvx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case Isa::kPortable:
    case Isa::kPortableWide:
      return true;
  }
  return false;
}

std::atomic<Isa>& active() {
  static std::atomic<Isa> isa{best_isa()};
  return isa;
}

}  // namespace

Isa best_isa() {
  __builtin_cpu_init();
  for (Isa isa : {Isa::kAvx512, Isa::kAvx2}) {
    if (supported(isa)) return isa;
  }
  return Isa::kPortable;
}

Isa active_isa() { return active().load(std::memory_order_relaxed); }

bool force_isa(Isa isa) {
  __builtin_cpu_init();
  if (!supported(isa)) return false;
  active().store(isa, std::memory_order_relaxed);
  return true;
}

}  // namespace varekpt::cpu
