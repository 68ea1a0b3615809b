#include "quarn/refine.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "quarn/distance.hpp"

using quarn::best_split;
using quarn::ChangeType;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const ChangeType kAllTypes[] = {ChangeType::mean, ChangeType::var, ChangeType::distribution};

// Score of split k computed from scratch: both parts copied and sorted.
double reference_score(const std::vector<double>& x, std::size_t k) {
    std::vector<double> left(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(k));
    std::vector<double> right(x.begin() + static_cast<std::ptrdiff_t>(k), x.end());
    quarn::total_order_sort(left);
    quarn::total_order_sort(right);
    const double n = static_cast<double>(x.size());
    const double d = quarn::wasserstein_distance(left, right);
    return d * std::sqrt((static_cast<double>(x.size() - k) * static_cast<double>(k)) / n);
}

// Copies out of a result: CHECK_EQ keeps a reference to its argument, which
// must not point into a temporary Result.
template <class T>
std::string error_of(const quarn::Result<T>& result) {
    return result ? std::string("no error") : result.error();
}

std::uint64_t value_of(const quarn::Result<std::uint64_t>& result) {
    CHECK(result.has_value());
    return result.value_or(0);
}

// Split and profile of a series that must pass validation.
quarn::WassersteinRefinement refine(const std::vector<double>& x) {
    auto result = quarn::refine_wasserstein(x);
    CHECK(result.has_value());
    if (!result) return {0, std::vector<double>(x.size(), 0.0)};
    return std::move(*result);
}

std::uint64_t split_of(const std::vector<double>& x, ChangeType type) {
    const auto result = best_split(x, type);
    CHECK(result.has_value());
    return result.value_or(0);
}

}  // namespace

TEST(step_series_splits_at_the_step_for_every_change_type) {
    const std::vector<double> x{0, 0, 0, 10, 10, 10};
    for (const ChangeType type : kAllTypes) CHECK_EQ(split_of(x, type), 3u);
    CHECK_EQ(value_of(quarn::refine_cusum(x)), 3u);
    CHECK_EQ(refine(x).split, 3u);
}

TEST(constant_series_keeps_the_first_split) {
    const std::vector<double> x(7, 1.0);
    for (const ChangeType type : kAllTypes) CHECK_EQ(split_of(x, type), 1u);
    const auto refined = refine(x);
    CHECK_EQ(refined.split, 1u);
    CHECK(std::isnan(refined.profile[0]));
    for (std::size_t k = 1; k < x.size(); ++k) CHECK_BITS(refined.profile[k], 0.0);
}

TEST(cusum_three_values_and_ties) {
    CHECK_EQ(split_of({5, 0, 0}, ChangeType::mean), 1u);
    CHECK_EQ(split_of({0, 0, 5}, ChangeType::mean), 2u);
    // Scores 0.5, 0, 0.5: the first maximum is kept.
    CHECK_EQ(split_of({0, 1, 0, 1}, ChangeType::mean), 1u);
    CHECK_EQ(value_of(quarn::refine_cusum(std::vector<double>{0, 1, 0, 1})), 1u);
}

TEST(wasserstein_ties_go_to_the_smaller_split) {
    const std::vector<double> x{0, 10, 0};
    CHECK_EQ(split_of(x, ChangeType::distribution), 1u);
    const auto refined = refine(x);
    CHECK_EQ(refined.split, 1u);
    CHECK_EQ(refined.profile.size(), 3u);
    CHECK(std::isnan(refined.profile[0]));
    CHECK_BITS(refined.profile[1], refined.profile[2]);
    CHECK(std::fabs(refined.profile[1] - 5.0 * std::sqrt(2.0 / 3.0)) < 1e-12);
}

TEST(wasserstein_profile_of_the_step_series) {
    const std::vector<double> x{0, 0, 0, 10, 10, 10};
    const auto refined = refine(x);
    CHECK_EQ(refined.profile.size(), x.size());
    CHECK_EQ(std::bit_cast<std::uint64_t>(refined.profile[0]), 0x7ff8000000000000ULL);
    for (std::size_t k = 1; k < x.size(); ++k) {
        CHECK_BITS(refined.profile[k], reference_score(x, k));
    }
    const double closed_form[] = {0.0,
                                  6.0 * std::sqrt(5.0 / 6.0),
                                  7.5 * std::sqrt(4.0 / 3.0),
                                  10.0 * std::sqrt(1.5),
                                  7.5 * std::sqrt(4.0 / 3.0),
                                  6.0 * std::sqrt(5.0 / 6.0)};
    for (std::size_t k = 1; k < x.size(); ++k) {
        CHECK(std::fabs(refined.profile[k] - closed_form[k]) < 1e-12);
    }
}

TEST(wasserstein_split_matches_a_sort_per_split_reference) {
    // Small value pools force many ties, and both zeros appear; the
    // incremental samples must agree with sorting every split from scratch.
    std::mt19937_64 generator(20240611);
    const double pool[] = {-0.0, 0.0, 1.0, -1.0, 2.5, 0.1, 1e-300, -3.75};
    std::uniform_int_distribution<int> pick(0, 7);
    std::uniform_real_distribution<double> real(-5.0, 5.0);
    std::uniform_int_distribution<int> coin(0, 3);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t n = 3 + static_cast<std::size_t>(trial % 40);
        std::vector<double> x(n);
        for (double& value : x) {
            value = coin(generator) == 0 ? real(generator) : pool[pick(generator)];
        }

        std::vector<double> profile(n, kNaN);
        const std::uint64_t split = quarn::wasserstein_split(x, profile);
        double best = -kInf;
        std::uint64_t expected = 1;
        for (std::size_t k = 1; k < n; ++k) {
            const double score = reference_score(x, k);
            CHECK_BITS(profile[k], score);
            if (score > best) {
                best = score;
                expected = k;
            }
        }
        CHECK(std::isnan(profile[0]));
        CHECK_EQ(split, expected);
        CHECK_EQ(split_of(x, ChangeType::var), expected);
        CHECK_EQ(split_of(x, ChangeType::distribution), expected);
        const auto refined = refine(x);
        CHECK_EQ(refined.split, expected);
        for (std::size_t k = 0; k < n; ++k) CHECK_BITS(refined.profile[k], profile[k]);
    }
}

TEST(nan_score_never_replaces_the_best) {
    // Split 2 has equal distribution functions across a gap that overflows:
    // inf * 0 gives a NaN score between two infinite ones. The first infinite
    // score must stay the best.
    const std::vector<double> x{-1e308, 1e308, -1e308, 1e308};
    std::vector<double> profile(x.size(), 0.0);
    CHECK_EQ(quarn::wasserstein_split(x, profile), 1u);
    CHECK_BITS(profile[1], kInf);
    CHECK(std::isnan(profile[2]));
    CHECK_BITS(profile[3], kInf);

    // All scores NaN: the first split is returned.
    CHECK_EQ(quarn::wasserstein_split(std::vector<double>{1.0, kNaN, 2.0}), 1u);
    CHECK_EQ(quarn::cusum_split(std::vector<double>{1.0, kNaN, 2.0}), 1u);
}

TEST(best_split_needs_three_points) {
    for (const ChangeType type : kAllTypes) {
        CHECK_EQ(error_of(best_split(std::vector<double>{1.0, 2.0}, type)),
                 std::string("need at least 3 points"));
        CHECK_EQ(error_of(best_split(std::vector<double>{}, type)),
                 std::string("need at least 3 points"));
    }
}

TEST(whole_series_entry_points_check_in_order) {
    const std::string too_short = "series must contain at least 3 values";
    const std::string not_finite =
        "series contains NaN or infinite values; clean/impute before calling quarn";
    const std::vector<double> short_nan{1.0, kNaN};
    const std::vector<double> with_inf{1.0, kInf, 3.0};
    const std::vector<double> good{0, 0, 0, 10, 10, 10};

    // Length first, then finiteness, then the change type.
    CHECK_EQ(error_of(quarn::swal_split(short_nan, "bogus")), too_short);
    CHECK_EQ(error_of(quarn::swal_split(with_inf, "bogus")), not_finite);
    CHECK_EQ(error_of(quarn::swal_split(good, "Median")),
             std::string("change_type must be one of {'mean', 'var', 'distribution'}, got "
                         "\"median\""));
    CHECK_EQ(value_of(quarn::swal_split(good, "VAR")), 3u);
    CHECK_EQ(value_of(quarn::swal_split(good, "Distribution")), 3u);
    CHECK_EQ(value_of(quarn::swal_split(std::vector<double>{0, 0, 5}, "mean")), 2u);

    CHECK_EQ(error_of(quarn::refine_cusum(short_nan)), too_short);
    CHECK_EQ(error_of(quarn::refine_cusum(with_inf)), not_finite);
    CHECK_EQ(error_of(quarn::refine_wasserstein(short_nan)), too_short);
    CHECK_EQ(error_of(quarn::refine_wasserstein(std::vector<double>{kNaN, 1.0, 2.0})), not_finite);
}

TEST(var_and_distribution_find_a_change_in_spread) {
    // Same mean on both sides, larger spread on the right: the Wasserstein
    // split finds the change in spread.
    const std::vector<double> x{1, -1, 1, -1, 1, -1, 8, -8, 8, -8, 8, -8};
    CHECK_EQ(value_of(quarn::swal_split(x, "var")), value_of(quarn::swal_split(x, "distribution")));
    CHECK_EQ(value_of(quarn::swal_split(x, "var")), 6u);
}
