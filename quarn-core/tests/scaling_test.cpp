#include "quarn/scaling.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "sample_series.hpp"

using quarn::Scaling;

namespace {

using Figures = std::vector<double>;
constexpr double missing = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();

}  // namespace

// Centre 20 (the lower median); half deviations 10, 10, 0, 5, 5 have the
// lower median 5 = 0.625 * 2^3, so the power is -3: the spread 10 of the
// values becomes 10 * 2^-3 = 1.25, in [1, 2).
TEST(centre_is_the_lower_median_and_the_spread_lands_in_one_to_two) {
    const Figures values{40.0, 0.0, 20.0, 10.0, 30.0};
    const Scaling scaling = quarn::choose_scaling(values);
    CHECK_EQ(scaling.centre, 20.0);
    CHECK_EQ(scaling.power, -3);
    CHECK_EQ(scaling.unit(), 8.0);
    CHECK(quarn::apply_scaling(scaling, values) == (Figures{2.5, -2.5, 0.0, -1.25, 1.25}));
}

TEST(missing_values_are_left_out_of_the_estimate_and_stay_missing) {
    const Figures values{missing, 40.0, 0.0, missing, 20.0, 10.0, 30.0};
    const Scaling scaling = quarn::choose_scaling(values);
    CHECK_EQ(scaling.centre, 20.0);
    CHECK_EQ(scaling.power, -3);
    const Figures mapped = quarn::apply_scaling(scaling, values);
    CHECK(std::isnan(mapped[0]) && std::isnan(mapped[3]) && mapped[1] == 2.5);
}

TEST(series_the_scaling_cannot_help_are_left_as_they_are) {
    CHECK(quarn::choose_scaling(Figures{1.0, infinity, 3.0}).is_identity());
    CHECK(quarn::choose_scaling(Figures{1.0, -infinity}).is_identity());
    CHECK(quarn::choose_scaling(Figures{missing, missing}).is_identity());
    CHECK(quarn::choose_scaling(Figures{}).is_identity());
    // A constant series: its value subtracted gives exact zeros.
    const Scaling constant = quarn::choose_scaling(Figures(50, 1e8));
    CHECK_EQ(constant.centre, 1e8);
    CHECK_EQ(constant.power, 0);
    CHECK(quarn::apply_scaling(constant, Figures(3, 1e8)) == Figures(3, 0.0));
}

// Half the values on the centre: the spread is the median of the others.
TEST(a_series_mostly_on_its_centre_takes_the_spread_of_the_rest) {
    const Figures values{5.0, 5.0, 5.0, 5.0, 5.0, 9.0, 1.0, 13.0};
    const Scaling scaling = quarn::choose_scaling(values);
    CHECK_EQ(scaling.centre, 5.0);
    // Half deviations of the others: 2, 2, 4; their lower median 2 = 0.5 * 2^2.
    CHECK_EQ(scaling.power, -2);
}

// Values near the largest floats: the power is capped at -1022 so that
// 2^power and 2^-power stay normal, and nothing overflows.
TEST(the_power_stays_within_normal_floats) {
    const Figures values{1e308, -1e308, 0.0};
    const Scaling scaling = quarn::choose_scaling(values);
    CHECK_EQ(scaling.centre, 0.0);
    CHECK_EQ(scaling.power, -1022);
    for (const double y : quarn::apply_scaling(scaling, values)) CHECK(std::isfinite(y));
    // An outlier far from the rest caps the power so that no value lies
    // beyond 2^400 of the centre.
    Figures outlier(101, 0.0);
    for (std::size_t i = 0; i < outlier.size(); ++i) outlier[i] = 1e-200 * static_cast<double>(i);
    outlier[7] = 1e300;
    const Scaling capped = quarn::choose_scaling(outlier);
    for (const double y : quarn::apply_scaling(capped, outlier)) {
        CHECK(std::fabs(y) <= std::ldexp(1.0, quarn::scaling_max_deviation_exponent));
    }
}

TEST(figures_come_back_in_the_series_units_runs_included) {
    quarn::DetectorOutput output;
    quarn::WindowResult& first = output.window_results[10];
    first.statistics = {32.0, missing};
    first.tapered_block_bootstrap_threshold = {0.5, infinity};
    quarn::WindowResult& second = output.window_results[20];
    second.statistics = {1.0, 2.0};
    second.threshold_runs.starts = {0};
    second.threshold_runs.values = {0.25};
    quarn::scale_figures(output, 16.0);
    CHECK(first.statistics[0] == 512.0 && std::isnan(first.statistics[1]));
    CHECK(first.tapered_block_bootstrap_threshold == (Figures{8.0, infinity}));
    CHECK(second.statistics == (Figures{16.0, 32.0}));
    CHECK(second.threshold_runs.values == (Figures{4.0}));
}

namespace {

// Gaussian noise of several shapes, as the scaling meets them in practice.
Figures sample_of(const char* kind, std::size_t n = 2000) {
    sample::Gaussian gauss(1);
    Figures values(n);
    for (double& v : values) v = gauss();
    const std::string_view name = kind;
    if (name == "ties") {
        for (double& v : values) v = std::round(v) * 0.5;
        for (int i = 0; i < 10; ++i) values.insert(values.end(), {0.0, -0.0});
    } else if (name == "mostly-equal") {
        Figures mostly(n, 5.0);
        for (std::size_t i = 0; i < n / 3; ++i) mostly.push_back(5.0 + values[i]);
        values = mostly;
    } else if (name == "huge") {
        for (double& v : values) v *= 1e300;
    } else if (name == "long") {  // more than the sample size: a strided sample
        Figures repeated;
        for (int copy = 0; copy < 100; ++copy) {
            repeated.insert(repeated.end(), values.begin(), values.end());
        }
        values = repeated;
    }
    return values;
}

constexpr const char* kinds[] = {"plain", "ties", "mostly-equal", "huge", "long"};

}  // namespace

// The lower median of the absolute mapped values lies in [1, 2) (or, where
// most of them are 0, that of the others), and the centre is a value of
// the series.
TEST(the_mapped_spread_lies_between_one_and_two) {
    for (const char* kind : kinds) {
        const Figures values = sample_of(kind);
        const Scaling scaling = quarn::choose_scaling(values);
        CHECK(std::find(values.begin(), values.end(), scaling.centre) != values.end());
        Figures deviations;
        for (const double y : quarn::apply_scaling(scaling, values)) {
            if (y != 0.0) deviations.push_back(std::fabs(y));
        }
        std::sort(deviations.begin(), deviations.end());
        const double spread = deviations[(deviations.size() - 1) / 2];
        CHECK(spread >= 1.0 && spread < 2.0);
    }
}

// x * 2^power - centre * 2^power: the products are exact, so each mapped
// value is (x - centre) * 2^power rounded once.
TEST(each_mapped_value_is_rounded_once) {
    Figures values = sample_of("plain");
    values.insert(values.end(), {1e-9, -3e5, 2.5});
    const Scaling scaling = quarn::choose_scaling(values);
    const Figures mapped = quarn::apply_scaling(scaling, values);
    for (std::size_t i = 0; i < values.size(); ++i) {
        CHECK(check::same_bits(mapped[i], std::ldexp(values[i] - scaling.centre, scaling.power)));
    }
}

// Missing values are left out of the sample, also where it is strided: a
// series with gaps is scaled as the series without them.
TEST(a_series_with_gaps_is_scaled_as_the_series_without_them) {
    for (const char* kind : {"huge", "long"}) {
        Figures values = sample_of(kind);
        values[3] = values[1500] = missing;
        for (std::size_t i = 7; i < values.size(); i += 13) values[i] = missing;
        Figures present;
        for (const double v : values) {
            if (!std::isnan(v)) present.push_back(v);
        }
        const Scaling gaps = quarn::choose_scaling(values);
        const Scaling without = quarn::choose_scaling(present);
        CHECK(check::same_bits(gaps.centre, without.centre));
        CHECK_EQ(gaps.power, without.power);
        CHECK(gaps.power != 0);
    }
}
