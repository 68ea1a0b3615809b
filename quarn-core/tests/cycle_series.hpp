// Test series of the seasonal-cycle tests: Gaussian noise, and a sine
// cycle added to a series.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <vector>

#include "sample_series.hpp"

namespace cycle_series {

// The tests' own generator, the same on every standard library.
inline std::vector<double> gaussian(std::size_t n, std::uint32_t seed) {
    return sample::noise(seed, static_cast<int>(n));
}

inline std::vector<double> with_cycle(std::vector<double> x, double period, double amplitude) {
    for (std::size_t t = 0; t < x.size(); ++t) {
        x[t] += amplitude * std::sin(2.0 * std::numbers::pi * static_cast<double>(t) / period);
    }
    return x;
}

}  // namespace cycle_series
