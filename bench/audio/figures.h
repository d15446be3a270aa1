#pragma once
// Order statistics of a set of measurements, for printing.

#include <algorithm>
#include <cstddef>
#include <vector>

struct Spread {
  double median = 0, p99 = 0, worst = 0, best = 0;
};

inline Spread SpreadOf(std::vector<double> values) {
  if (values.empty()) return {};
  std::sort(values.begin(), values.end());
  auto at = [&](double fraction) { return values[static_cast<size_t>(fraction * static_cast<double>(values.size() - 1))]; };
  return {at(0.5), at(0.99), values.back(), values.front()};
}
