// Order statistics of a run's samples. Any thread.
#pragma once

#include <vector>

namespace harlo::bench {

// The sample at `fraction` (0 to 1) of the sorted samples, by nearest rank:
// quantile(s, 0.5) is the median (the upper middle of an even count),
// quantile(s, 0.99) the 99th percentile. `samples` must not be empty.
double quantile(std::vector<double> samples, double fraction);

inline double median(const std::vector<double>& samples) { return quantile(samples, 0.5); }

}  // namespace harlo::bench
