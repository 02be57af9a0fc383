// Test data and comparisons shared by the C++ tests.
#pragma once

#include <cmath>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

// n values drawn uniformly from [-1, 1), the same for the same seed.
template <typename T>
std::vector<T> random_values(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  std::vector<T> v(n);
  for (T& x : v) x = static_cast<T>(dist(gen));
  return v;
}

// The first `count` elements of `actual` (all of `expected` by default) agree
// with `expected` up to rounding: within eps·(1 + |expected|), eps 2e-5 for
// float and 1e-12 for double.
template <typename T>
void expect_close(const std::vector<T>& expected, const std::vector<T>& actual,
                  const std::string& what, size_t count = size_t(-1)) {
  if (count == size_t(-1)) count = expected.size();
  ASSERT_LE(count, actual.size()) << what;
  const double eps = std::is_same<T, float>::value ? 2e-5 : 1e-12;
  for (size_t i = 0; i < count; ++i) {
    const double tol = eps * (1.0 + std::abs(static_cast<double>(expected[i])));
    ASSERT_NEAR(expected[i], actual[i], tol) << what << " element " << i;
  }
}
