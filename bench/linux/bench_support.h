#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

namespace vorn::bench {

// The median of the figures, or not a number when there are none.
inline double median(std::vector<double> values) {
  if (values.empty()) {
    return NAN;
  }
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

}  // namespace vorn::bench
