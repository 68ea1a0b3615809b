// Reproducible test series: Gaussian noise from splitmix64 and Box-Muller,
// with level, spread and slope changes at known places. The same generator
// in a few lines of Python gives the reference results the tests expect.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace sample {

class Gaussian {
  public:
    explicit Gaussian(std::uint64_t seed) : state_(seed) {}

    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

    double operator()() {
        const double u1 = uniform();
        const double u2 = uniform();
        return std::sqrt(-2.0 * std::log(1.0 - u1)) * std::cos(2.0 * std::numbers::pi * u2);
    }

  private:
    std::uint64_t next() {
        std::uint64_t z = state_ += 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t state_;
};

// 400 values: level 0, 1.5 from 150, -0.5 from 260; spread 1, 3 from 330.
inline std::vector<double> steps() {
    Gaussian g(7);
    std::vector<double> x;
    for (int t = 0; t < 400; ++t) {
        const double level = t < 150 ? 0.0 : (t < 260 ? 1.5 : -0.5);
        const double sd = t < 330 ? 1.0 : 3.0;
        x.push_back(level + sd * g());
    }
    return x;
}

// 300 values rising by 0.05 a step, then falling by 0.04 from 180; noise 0.3.
inline std::vector<double> kink() {
    Gaussian g(11);
    std::vector<double> x;
    for (int t = 0; t < 300; ++t) {
        const double base = t < 180 ? 0.05 * t : 9.0 - 0.04 * (t - 180);
        x.push_back(base + 0.3 * g());
    }
    return x;
}

// n values of standard Gaussian noise.
inline std::vector<double> noise(std::uint64_t seed, int n) {
    Gaussian g(seed);
    std::vector<double> x;
    for (int t = 0; t < n; ++t) x.push_back(g());
    return x;
}

}  // namespace sample
