#include "quarn/scaling.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quarn {

namespace {

// The value of rank (n - 1) / 2 of a non-empty sample (partitioning it).
double lower_median(std::vector<double>& sample) {
    const auto middle = sample.begin() + static_cast<std::ptrdiff_t>((sample.size() - 1) / 2);
    std::nth_element(sample.begin(), middle, sample.end());
    return *middle;
}

// The binary exponent e of x = m * 2^e with m in [0.5, 1) (0 for 0).
int exponent_of(double x) {
    int exponent = 0;
    std::frexp(x, &exponent);
    return exponent;
}

struct Range {
    double lowest;
    double highest;
    std::size_t missing;  // NaN values, left out of the range
};

// One pass for the range and the missing values (NaN, left out of it).
Range range_of(std::span<const double> values) {
    double lowest = std::numeric_limits<double>::infinity();
    double highest = -lowest;
    std::size_t missing = 0;
    // Branch-free, so the loop vectorises: a NaN fails both comparisons and
    // so never enters the range.
    for (const double v : values) {
        missing += static_cast<std::size_t>(v != v);
        lowest = v < lowest ? v : lowest;
        highest = v > highest ? v : highest;
    }
    return {lowest, highest, missing};
}

}  // namespace

double Scaling::unit() const { return power != 0 ? std::ldexp(1.0, -power) : 1.0; }

Scaling choose_scaling(std::span<const double> values) {
    const Range range = range_of(values);
    const double lowest = range.lowest;
    const double highest = range.highest;
    const std::size_t missing = range.missing;
    if (missing == values.size()) return {};
    if (!std::isfinite(lowest) || !std::isfinite(highest)) return {};
    // The estimate reads the values that are there: every stride-th of them.
    const std::size_t present = values.size() - missing;
    const std::size_t stride = (present + scaling_sample_size - 1) / scaling_sample_size;
    std::vector<double> sample;
    sample.reserve((present + stride - 1) / stride);
    if (missing == 0) {
        for (std::size_t i = 0; i < values.size(); i += stride) sample.push_back(values[i]);
    } else {
        std::size_t skip = 0;  // present values until the next one sampled
        for (const double v : values) {
            if (std::isnan(v)) continue;
            if (skip == 0) {
                sample.push_back(v);
                skip = stride;
            }
            --skip;
        }
    }

    std::vector<double> scratch = sample;
    // + 0.0 turns a -0.0 into 0.0, so the centre does not depend on which of
    // two equal zeros the partition put first.
    const double centre = lower_median(scratch) + 0.0;
    // Halves keep x - centre from overflowing for values near the largest
    // floats; halving is exact but deep in the subnormal range.
    const double half_centre = centre * 0.5;
    std::vector<double> deviations(sample.size());
    for (std::size_t i = 0; i < sample.size(); ++i) {
        deviations[i] = std::fabs(sample[i] * 0.5 - half_centre);
    }
    scratch = deviations;
    double spread = lower_median(scratch);
    if (spread == 0.0) {
        std::vector<double> others;
        for (const double d : deviations) {
            if (d > 0.0) others.push_back(d);
        }
        spread = others.empty() ? 0.0 : lower_median(others);
    }
    // Every value equals the centre: subtracting it gives exact zeros.
    if (spread == 0.0) return {centre, 0};
    // spread (a half) lies in [2^(e-1), 2^e), so twice it times 2^-e lies
    // in [1, 2).
    int power = -exponent_of(spread);
    const double furthest = std::max(highest * 0.5 - half_centre, half_centre - lowest * 0.5);
    power = std::min(power, scaling_max_deviation_exponent - 1 - exponent_of(furthest));
    const double largest = std::max(std::fabs(lowest), std::fabs(highest));
    power = std::min(power, scaling_max_magnitude_exponent - exponent_of(largest));
    power = std::max(-scaling_max_power, std::min(scaling_max_power, power));
    return {centre, power};
}

std::vector<double> apply_scaling(const Scaling& scaling, std::span<const double> values) {
    std::vector<double> mapped(values.begin(), values.end());
    if (scaling.is_identity()) return mapped;
    const double factor = std::ldexp(1.0, scaling.power);
    const double shift = scaling.centre * factor;
    for (double& value : mapped) value = value * factor - shift;
    return mapped;
}

void scale_figures(DetectorOutput& output, double unit) {
    if (unit == 1.0) return;
    for (auto& [size, window] : output.window_results) {
        for (double& v : window.statistics) v = v * unit;
        for (double& v : window.tapered_block_bootstrap_threshold) v = v * unit;
        for (double& v : window.threshold_runs.values) v = v * unit;
    }
}

}  // namespace quarn
