#include "quarn/scaling.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "check.hpp"

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
