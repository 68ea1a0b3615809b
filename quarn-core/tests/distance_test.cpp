#include "quarn/distance.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "check.hpp"

using quarn::total_order_sort;
using quarn::wasserstein_distance;

namespace {
double distance(std::vector<double> x, std::vector<double> y) {
    total_order_sort(x);
    total_order_sort(y);
    return wasserstein_distance(x, y);
}
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
}  // namespace

TEST(total_order_places_negative_zero_and_nans_at_their_ranks) {
    const double neg_nan = -kNaN;
    std::vector<double> values{kNaN, 1.0, 0.0, -0.0, -kInf, kInf, neg_nan, -1.0};
    total_order_sort(values);
    CHECK(std::isnan(values[0]) && std::signbit(values[0]));
    CHECK_BITS(values[1], -kInf);
    CHECK_BITS(values[2], -1.0);
    CHECK_BITS(values[3], -0.0);
    CHECK_BITS(values[4], 0.0);
    CHECK_BITS(values[5], 1.0);
    CHECK_BITS(values[6], kInf);
    CHECK(std::isnan(values[7]) && !std::signbit(values[7]));
}

TEST(total_order_sort_leaves_sorted_input_unchanged) {
    std::vector<double> values{-3.0, -0.0, 0.0, 2.5, 2.5, 7.0};
    const auto before = values;
    total_order_sort(values);
    for (std::size_t i = 0; i < values.size(); ++i) CHECK_BITS(values[i], before[i]);
}

TEST(distance_examples) {
    CHECK_BITS(distance({0.0, 1.0}, {0.5}), 0.5);
    CHECK_BITS(distance({0.0, 0.0, 0.0}, {1.0, 1.0}), 1.0);
    CHECK_BITS(distance({1.0, 2.0, 3.0}, {3.0, 2.0, 1.0}), 0.0);
    CHECK_BITS(distance({1.0}, {3.5}), 2.5);
    CHECK_BITS(distance({3.0, 1.0, 2.0}, {2.0}), 0.6666666666666667);
    CHECK_BITS(distance({2.0}, {3.0, 1.0, 2.0}), 0.6666666666666667);
}

TEST(signed_zeros_are_one_value) {
    CHECK_BITS(distance({-0.0}, {0.0}), 0.0);
    CHECK_BITS(distance({0.0, -0.0}, {-0.0, 0.0}), 0.0);
}

TEST(empty_sample_gives_the_quiet_nan) {
    const std::vector<double> one{1.0};
    const double result = wasserstein_distance(one.data(), 1, nullptr, 0);
    CHECK_EQ(std::bit_cast<std::uint64_t>(result), 0x7ff8000000000000ULL);
    CHECK_EQ(std::bit_cast<std::uint64_t>(wasserstein_distance(nullptr, 0, one.data(), 1)),
             0x7ff8000000000000ULL);
}

TEST(span_beyond_largest_finite_gives_infinity) {
    CHECK_BITS(distance({-1e308}, {1e308}), kInf);
}

TEST(samples_spanning_the_whole_range_keep_a_finite_distance) {
    using quarn::wasserstein_samples;
    const double big = 1.7e308, largest = std::numeric_limits<double>::max();
    // The gap of 3.4e308 overflows, times a zero weight: NaN before.
    CHECK_BITS(*wasserstein_samples(std::vector<double>{-big, big}, std::vector<double>{-big, big}),
               0.0);
    CHECK_BITS(*wasserstein_samples(std::vector<double>{-largest, largest},
                                    std::vector<double>{largest, -largest}),
               0.0);
    // Half the mass moves by 1.7e308 (infinite before).
    CHECK_BITS(*wasserstein_samples(std::vector<double>{-big, big}, std::vector<double>{0.0, big}),
               0.5 * big);
    // Beyond the largest double the distance stays infinite.
    CHECK_BITS(*wasserstein_samples(std::vector<double>{-1e308}, std::vector<double>{1e308}),
               kInf);
    // Finite results are those of the plain pass, bit for bit.
    const std::vector<double> a{3.0, 1.0, 2.0}, b{2.0};
    CHECK_BITS(*wasserstein_samples(a, b), distance({1.0, 2.0, 3.0}, {2.0}));
}

TEST(nan_in_a_sample_terminates_with_nan) {
    // Sums that overflow in the bootstrap can produce NaN; the merge must
    // still end and report NaN.
    CHECK(std::isnan(distance({1.0, kNaN}, {0.0, 2.0})));
    CHECK(std::isnan(distance({1.0}, {-kNaN, 2.0})));
    CHECK(std::isnan(distance({kNaN}, {kNaN})));
    CHECK(std::isnan(distance({kInf, -kInf}, {0.0})));  // kInf - kInf inside the sum
}

TEST(samples_checks_in_order) {
    using quarn::wasserstein_samples;
    const std::vector<double> empty;
    const std::vector<double> with_nan{kNaN};
    const std::vector<double> one{1.0};
    CHECK_EQ(wasserstein_samples(empty, with_nan).error(),
             std::string("left and right samples must be non-empty"));
    CHECK_EQ(wasserstein_samples(one, empty).error(),
             std::string("left and right samples must be non-empty"));
    CHECK_EQ(wasserstein_samples(one, with_nan).error(),
             std::string("samples contain NaN or infinite values"));
    const std::vector<double> with_inf{1.0, kInf};
    CHECK_EQ(wasserstein_samples(with_inf, one).error(),
             std::string("samples contain NaN or infinite values"));
    CHECK_BITS(*wasserstein_samples(std::vector<double>{0.0, 1.0}, std::vector<double>{0.5}), 0.5);
}
