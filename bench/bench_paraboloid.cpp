// Times the dense layer's CPU forward and backward next to the same
// computation composed from PyTorch's own operators.
//
//   build/bench/bench_paraboloid [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <torch/torch.h>

#include "paraboloid/paraboloid.h"

namespace {

constexpr int64_t kSize = 256;  // N = d = units
constexpr double kFactor = 0.5;

struct Layer {
  torch::Tensor x, parameters, grad, hsum;
};

Layer make_layer(torch::ScalarType dtype) {
  torch::manual_seed(0);
  Layer l;
  l.x = torch::randn({kSize, kSize}, dtype);
  l.parameters = torch::randn({2 * kSize * (kSize + 1)}, dtype);
  l.grad = torch::randn({kSize, kSize}, dtype);
  l.hsum = paraboloid_forward_cpu(l.x, l.parameters, kFactor)[1];
  return l;
}

// The four parameter blocks as views.
std::vector<torch::Tensor> blocks(const torch::Tensor& parameters) {
  const int64_t u = kSize, d = kSize;
  return {parameters.narrow(0, 0, u), parameters.narrow(0, u, u * d).view({u, d}),
          parameters.narrow(0, u + u * d, u * d).view({u, d}),
          parameters.narrow(0, u + 2 * u * d, u)};
}

std::vector<torch::Tensor> composed_forward(const Layer& l) {
  auto b = blocks(l.parameters);
  auto hsum = torch::addmm(b[0], l.x, b[1].t());
  auto distance = l.x.pow(2).sum(1, true) - 2 * l.x.mm(b[2].t()) + b[2].pow(2).sum(1);
  return {kFactor * (hsum.pow(2) - distance - b[3].pow(2)), hsum};
}

std::vector<torch::Tensor> composed_backward(const Layer& l) {
  auto b = blocks(l.parameters);
  const double f2 = 2 * kFactor;
  auto gh = l.grad * l.hsum;
  auto gsum = l.grad.sum(0);
  auto grad_input = f2 * (gh.mm(b[1]) + l.grad.mm(b[2]) - l.x * l.grad.sum(1, true));
  auto grad_h = f2 * gh.t().mm(l.x);
  auto grad_p = f2 * (l.grad.t().mm(l.x) - b[2] * gsum.unsqueeze(1));
  auto grad_parameters =
      torch::cat({f2 * gh.sum(0), grad_h.flatten(), grad_p.flatten(), -f2 * b[3] * gsum});
  return {grad_input, grad_parameters};
}

template <typename Fn>
void run(benchmark::State& state, torch::ScalarType dtype, Fn fn) {
  const Layer layer = make_layer(dtype);
  for (auto _ : state) benchmark::DoNotOptimize(fn(layer));
  state.counters["GFLOP/s"] = benchmark::Counter(
      2.0 * kSize * kSize * kSize, benchmark::Counter::kIsIterationInvariantRate,
      benchmark::Counter::kIs1000);
}

void register_all() {
  for (auto [name, dtype] : {std::pair{"float32", torch::kFloat}, {"float64", torch::kDouble}}) {
    const std::string suffix = std::string("/") + name;
    benchmark::RegisterBenchmark(("forward/varekpt" + suffix).c_str(), [dtype = dtype](auto& s) {
      run(s, dtype, [](const Layer& l) { return paraboloid_forward_cpu(l.x, l.parameters, kFactor); });
    });
    benchmark::RegisterBenchmark(("forward/pytorch" + suffix).c_str(), [dtype = dtype](auto& s) {
      run(s, dtype, composed_forward);
    });
    benchmark::RegisterBenchmark(("backward/varekpt" + suffix).c_str(), [dtype = dtype](auto& s) {
      run(s, dtype, [](const Layer& l) {
        return paraboloid_backward_cpu(l.grad, l.x, l.parameters, l.hsum, kFactor);
      });
    });
    benchmark::RegisterBenchmark(("backward/pytorch" + suffix).c_str(), [dtype = dtype](auto& s) {
      run(s, dtype, composed_backward);
    });
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
