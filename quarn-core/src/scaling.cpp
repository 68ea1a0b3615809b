#include "quarn/scaling.hpp"

#include <algorithm>
#include <cmath>

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

}  // namespace

double Scaling::unit() const { return power != 0 ? std::ldexp(1.0, -power) : 1.0; }

Scaling choose_scaling(std::span<const double> values) {
    std::vector<double> present;
    std::span<const double> kept = values;
    if (std::any_of(values.begin(), values.end(), [](double v) { return std::isnan(v); })) {
        present.reserve(values.size());
        for (const double v : values) {
            if (!std::isnan(v)) present.push_back(v);
        }
        kept = present;
    }
    if (kept.empty()) return {};
    double lowest = kept.front();
    double highest = kept.front();
    for (const double v : kept) {
        lowest = std::min(lowest, v);
        highest = std::max(highest, v);
    }
    if (!std::isfinite(lowest) || !std::isfinite(highest)) return {};

    const std::size_t stride = (kept.size() + scaling_sample_size - 1) / scaling_sample_size;
    std::vector<double> sample;
    sample.reserve((kept.size() + stride - 1) / stride);
    for (std::size_t i = 0; i < kept.size(); i += stride) sample.push_back(kept[i]);
    std::vector<double>().swap(present);

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
