// Bringing a series to a comfortable range before the detector sees it.
//
// The detector's arithmetic is exact only where the numbers are moderate: a
// level far above the noise makes running sums cancel, values near 1e300
// overflow when squared, and values near 1e-13 fall under the floor of the
// window standard deviation. So the native detection runs on
//
//     y = x * 2^power - centre * 2^power
//
// where `centre` is a robust centre of the series (a lower median) and
// `power` puts a robust spread of y between 1 and 2. Multiplying by a power
// of two is exact, so the only rounding is the one subtraction, and the
// change points found depend on the shape of the series, not on its offset
// or unit. The detector's statistics and thresholds are differences of
// values, so they come back to the series' units times 2^-power alone
// (exact again, but for overflow and subnormals).
//
// The centre and spread come from at most about scaling_sample_size values
// taken at an even stride, so that the cost stays linear and the scratch
// memory small.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quarn/multi_window.hpp"

namespace quarn {

// The centre and spread are estimated from at most about this many values.
inline constexpr std::size_t scaling_sample_size = std::size_t{1} << 17;

// After scaling no value lies further than 2^scaling_max_deviation_exponent
// from the centre (so sums of squares of up to 2^200 values stay finite),
// and no value before centring exceeds 2^scaling_max_magnitude_exponent;
// 2^power and 2^-power are normal floats.
inline constexpr int scaling_max_deviation_exponent = 400;
inline constexpr int scaling_max_magnitude_exponent = 1000;
inline constexpr int scaling_max_power = 1022;

struct Scaling {
    double centre = 0.0;  // the value that becomes 0 (a value of the series)
    int power = 0;        // the power of two that multiplies the values

    bool is_identity() const { return power == 0 && centre == 0.0; }
    // 2^-power: what figures of the mapped series are multiplied by to be
    // in the series' units.
    double unit() const;
};

// The scaling of a series: the centre is the lower median of the sampled
// values, the spread their median absolute deviation from it (where more
// than half of them sit on the centre, the median of the other deviations;
// where all do, no power). The power is then capped so that every value
// stays far from overflow. NaN values (missing) are left out of the
// estimate; a series holding an infinite value, or only NaN, is left as it
// is (the identity), so that the detector names its first bad value.
Scaling choose_scaling(std::span<const double> values);

// The mapped series (a copy, even for the identity).
std::vector<double> apply_scaling(const Scaling& scaling, std::span<const double> values);

// Every statistic and threshold (per position or of runs) of every window
// multiplied by `unit`, in place: figures of values near the largest
// floats may become infinite.
void scale_figures(DetectorOutput& output, double unit);

}  // namespace quarn
