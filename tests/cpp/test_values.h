// Test data shared by the C++ tests.
#pragma once

#include <random>
#include <vector>

// n values drawn uniformly from [-1, 1), the same for the same seed.
template <typename T>
std::vector<T> random_values(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  std::vector<T> v(n);
  for (T& x : v) x = static_cast<T>(dist(gen));
  return v;
}
