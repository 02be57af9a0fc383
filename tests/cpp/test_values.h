// Test data, comparisons and error texts shared by the C++ tests.
#pragma once

#include <c10/util/Exception.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

// A typed test suite `name` run for float and for double.
using ElementTypes = ::testing::Types<float, double>;
#define FLOAT_AND_DOUBLE_TEST_SUITE(name) \
  template <typename T>                   \
  class name : public ::testing::Test {}; \
  TYPED_TEST_SUITE(name, ElementTypes)

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
// with `expected` within eps·(1 + |expected|); eps defaults to 2e-5 for float
// and 1e-12 for double.
template <typename E, typename T>
void expect_close(const std::vector<E>& expected, const std::vector<T>& actual,
                  const std::string& what, size_t count = size_t(-1), double eps = 0) {
  if (count == size_t(-1)) count = expected.size();
  ASSERT_LE(count, actual.size()) << what;
  if (eps == 0) eps = std::is_same<T, float>::value ? 2e-5 : 1e-12;
  for (size_t i = 0; i < count; ++i) {
    const double tol = eps * (1.0 + std::abs(static_cast<double>(expected[i])));
    ASSERT_NEAR(expected[i], actual[i], tol) << what << " element " << i;
  }
}

// The full text of the c10::Error that `call` raises, or "no error".
inline std::string error_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const c10::Error& e) {
    return e.what();
  }
  return "no error";
}
