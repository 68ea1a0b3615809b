#include "quarn/split_evidence.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "check.hpp"
#include "quarn/scores.hpp"
#include "sample_series.hpp"

using quarn::DependenceFactors;
using quarn::normal_upper_quantile;
using quarn::RunningSum;
using quarn::scan_tail;
using quarn::SplitTester;
using quarn::student_quantile;
using quarn::TestKind;

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

bool close(double actual, double expected, double relative = 1e-9) {
    return std::abs(actual - expected) <= relative * std::abs(expected);
}

// A tester on a series standardised, winsorized and ranked as the method
// does it, with the series it reads.
struct Tested {
    std::vector<double> x;
    quarn::ScoredSeries series;
    SplitTester tester;

    explicit Tested(std::vector<double> values, DependenceFactors factors = {})
        : x(std::move(values)), series(x), tester(series, factors) {}
    Tested(const Tested&) = delete;
};

// The level test's p-value of split c of [a, b) from sums of one pass over
// all rank scores, without checkpoints.
double level_in_one_pass(const std::vector<double>& x, std::size_t a, std::size_t c,
                         std::size_t b) {
    const std::vector<double> u = quarn::rank_scores(x);
    std::vector<double> sums(u.size() + 1, 0.0), squares(u.size() + 1, 0.0);
    for (std::size_t t = 0; t < u.size(); ++t) {
        sums[t + 1] = sums[t] + u[t];
        squares[t + 1] = squares[t] + u[t] * u[t];
    }
    const auto centred = [&](std::size_t begin, std::size_t end) {
        const double s = sums[end] - sums[begin];
        return std::max(squares[end] - squares[begin] - s * s / static_cast<double>(end - begin),
                        0.0);
    };
    const std::size_t n1 = c - a, n2 = b - c;
    const double variance = (centred(a, c) + centred(c, b)) / static_cast<double>(n1 + n2 - 2);
    const double difference = (sums[b] - sums[c]) / static_cast<double>(n2) -
                              (sums[c] - sums[a]) / static_cast<double>(n1);
    const double se =
        std::sqrt(variance * (1.0 / static_cast<double>(n1) + 1.0 / static_cast<double>(n2)));
    return scan_tail(std::abs(difference) / se, n1, n2, u.size());
}

}  // namespace

TEST(scan_tail_matches_reference_values) {
    CHECK(close(scan_tail(4.0, 50, 50, 1000), 0.041032071067725294));
    CHECK(close(scan_tail(2.0, 3, 97, 100), 0.9512188378588089));
    CHECK(close(scan_tail(6.0, 10, 990, 1000000), 0.0017491972076137037));
}

TEST(scan_tail_edges) {
    CHECK_EQ(scan_tail(0.0, 10, 10, 100), 1.0);
    CHECK_EQ(scan_tail(-1.0, 10, 10, 100), 1.0);
    CHECK_EQ(scan_tail(infinity, 10, 10, 100), 0.0);
    CHECK_EQ(scan_tail(std::nan(""), 10, 10, 100), 1.0);
    CHECK_EQ(scan_tail(0.5, 3, 3, 1000000), 1.0);
    // Smaller for larger z, larger for a longer series or a shorter side.
    CHECK(scan_tail(5.0, 40, 60, 1000) < scan_tail(4.5, 40, 60, 1000));
    CHECK(scan_tail(5.0, 40, 60, 10000) > scan_tail(5.0, 40, 60, 1000));
    CHECK(scan_tail(5.0, 5, 95, 1000) > scan_tail(5.0, 50, 50, 1000));
}

TEST(normal_quantiles_agree_with_tables) {
    CHECK(close(normal_upper_quantile(0.025), 1.9599639845400538, 1e-15));
    CHECK(close(normal_upper_quantile(1e-10), 6.361340902404056, 1e-15));
    CHECK(close(normal_upper_quantile(0.3), 0.5244005127080407, 1e-15));
    CHECK_EQ(normal_upper_quantile(0.5), 0.0);
    CHECK_EQ(normal_upper_quantile(0.0), infinity);
    CHECK_EQ(normal_upper_quantile(1e-320) > 37.0, true);
}

TEST(student_quantiles_widen_normal_ones) {
    CHECK(close(student_quantile(3.0, 5), 5.1899999999999995));
    CHECK(student_quantile(3.0, 1000000) - 3.0 < 1e-5);
    CHECK_EQ(student_quantile(3.0, 0), infinity);
}

TEST(compensated_sums_stay_exact_deep_into_a_long_series) {
    // Terms 1e8 + 0.25 and 1e8 - 0.25 alternate: every pair sums to 2e8.
    std::vector<double> terms;
    for (int t = 0; t < 2000000; ++t) terms.push_back(t % 2 == 0 ? 1e8 + 0.25 : 1e8 - 0.25);
    RunningSum sum, at_1999000, at_1999001;
    for (std::size_t t = 0; t < 1999002; ++t) {
        if (t == 1999000) at_1999000 = sum;
        if (t == 1999001) at_1999001 = sum;
        sum.add(terms[t]);
    }
    CHECK_EQ(sum.since(at_1999000), 2e8);
    CHECK_EQ(sum.since(at_1999001), 1e8 - 0.25);
}

TEST(sums_from_checkpoints_equal_one_pass_sums_bit_for_bit) {
    const Tested noisy(sample::noise(31, 700));
    const std::size_t stride = SplitTester::checkpoint_stride;
    // Splits on, just before and just after checkpoints, and far from them.
    for (const std::size_t a : {std::size_t{0}, stride - 1, stride, stride + 1, 3 * stride + 5}) {
        for (const std::size_t c : {4 * stride - 1, 4 * stride, 4 * stride + 1, 5 * stride + 33}) {
            for (const std::size_t b :
                 {8 * stride, 8 * stride + 1, 10 * stride + 60, std::size_t{700}}) {
                CHECK_BITS(noisy.tester.level(a, c, b), level_in_one_pass(noisy.x, a, c, b));
            }
        }
    }
}

TEST(value_lines_from_their_sparser_checkpoints_equal_one_pass_sums_bit_for_bit) {
    const Tested noisy(sample::noise(37, 1500));
    const std::size_t stride = SplitTester::value_checkpoint_stride;
    // One pass over the values: the sums before every index.
    struct Sums {
        RunningSum value, square, time;
    };
    std::vector<Sums> before(noisy.x.size() + 1);
    for (std::size_t t = 0; t < noisy.x.size(); ++t) {
        before[t + 1] = before[t];
        const double v = noisy.series.value(t);
        before[t + 1].value.add(v);
        before[t + 1].square.add(v * v);
        before[t + 1].time.add(static_cast<double>(t) * v);
    }
    for (const std::size_t begin : {std::size_t{0}, stride - 1, stride, stride + 1, stride + 70}) {
        for (const std::size_t end : {2 * stride - 1, 2 * stride, 2 * stride + 1, 5 * stride + 99,
                                      std::size_t{1500}}) {
            const Sums& from = before[begin];
            const Sums& to = before[end];
            const double m = static_cast<double>(end - begin);
            const double sum = to.value.since(from.value);
            const double cross = to.time.since(from.time) - static_cast<double>(begin) * sum -
                                 (m - 1.0) / 2.0 * sum;
            const double time_squares = m * (m * m - 1.0) / 12.0;
            const quarn::LineFit fit = noisy.tester.value_line(begin, end);
            CHECK_BITS(fit.slope, cross / time_squares);
            CHECK_BITS(fit.residual_squares,
                       std::max(to.square.since(from.square) - sum * sum / m -
                                    cross * cross / time_squares,
                                0.0));
        }
    }
}

TEST(lines_deep_into_a_long_series_are_accurate) {
    // A short stretch two million values in: its line comes from differences
    // of running sums of about t * v, some 1e12, so plain sums would lose the
    // residuals entirely.
    std::vector<double> x = sample::noise(17, 2000000);
    for (std::size_t t = 0; t < x.size(); ++t) x[t] += 1e-6 * static_cast<double>(t);
    const Tested tested(std::move(x));
    for (const auto& [begin, end] : {std::pair<std::size_t, std::size_t>{1999000, 1999030},
                                     {1999937, 1999999},
                                     {1000001, 1000064}}) {
        std::vector<double> v;
        for (std::size_t t = begin; t < end; ++t) v.push_back(tested.series.value(t));
        // Two-pass least squares on the stretch itself.
        const double m = static_cast<double>(v.size());
        double mean = 0.0;
        for (const double y : v) mean += y / m;
        double cross = 0.0, time_squares = 0.0, squares = 0.0;
        for (std::size_t t = 0; t < v.size(); ++t) {
            const double dt = static_cast<double>(t) - (m - 1.0) / 2.0;
            cross += dt * (v[t] - mean);
            time_squares += dt * dt;
            squares += (v[t] - mean) * (v[t] - mean);
        }
        const quarn::LineFit fit = tested.tester.value_line(begin, end);
        CHECK(close(fit.slope, cross / time_squares, 1e-8));
        CHECK(close(fit.residual_squares, squares - cross * cross / time_squares, 1e-8));
    }
}

TEST(tests_of_the_steps_series_match_the_reference) {
    const Tested steps(sample::steps());
    const SplitTester& tester = steps.tester;
    CHECK(close(tester.level(0, 150, 260), 1.5290577173007562e-34, 1e-6));
    CHECK(close(tester.spread(0, 150, 260), 0.004125660366677816, 1e-6));
    CHECK_EQ(tester.shape(0, 150, 260), 1.0);
    CHECK(close(tester.trend(0, 150, 260), 5.311127935090391e-08, 1e-6));
    CHECK(close(tester.spread(260, 330, 400), 1.0531964123792421e-07, 1e-6));
    CHECK(close(tester.shape(260, 330, 400), 0.331550824946093, 1e-6));
}

TEST(evidence_names_the_test_and_adjusts_for_three_tests) {
    const Tested steps(sample::steps());
    const SplitTester& tester = steps.tester;
    const auto step = tester.evidence(0, 150, 260);
    CHECK(step.kind == TestKind::level);
    CHECK(close(step.p_value, 4.587173151902269e-34, 1e-6));
    const auto spread = tester.evidence(260, 330, 400);
    CHECK(spread.kind == TestKind::spread);
    CHECK(close(spread.p_value, 3.1595892371377263e-07, 1e-6));
    const auto nothing = tester.evidence(0, 75, 150);
    CHECK(nothing.kind == TestKind::none);
    CHECK_EQ(nothing.p_value, 1.0);
}

TEST(sides_shorter_than_three_values_are_never_tested) {
    const Tested steps(sample::steps());
    const SplitTester& tester = steps.tester;
    CHECK(tester.evidence(148, 150, 260).kind == TestKind::none);
    CHECK(tester.evidence(0, 150, 152).kind == TestKind::none);
    CHECK(tester.evidence(147, 150, 260).kind == TestKind::level);
}

TEST(trends_are_tested_with_lines) {
    const Tested series(sample::kink());
    const SplitTester& tester = series.tester;
    CHECK(tester.trending(0, 180, 300));
    const auto kink = tester.evidence(0, 180, 300);
    CHECK(kink.kind == TestKind::trend);
    CHECK_EQ(kink.p_value, 0.0);
    // Halfway up the straight rise there is nothing to find.
    CHECK(tester.trending(0, 90, 180));
    CHECK_EQ(tester.evidence(0, 90, 180).p_value, 1.0);
}

TEST(dependence_factors_weaken_the_evidence) {
    const std::vector<double> x = sample::steps();
    const Tested independent_series(x), dependent_series(x, {4.0, 4.0, 4.0, 4.0});
    const SplitTester& independent = independent_series.tester;
    const SplitTester& dependent = dependent_series.tester;
    CHECK(dependent.level(0, 150, 260) > independent.level(0, 150, 260));
    CHECK(dependent.spread(260, 330, 400) > independent.spread(260, 330, 400));
}

TEST(the_shape_test_can_ask_for_effectively_independent_sides) {
    // Noise, then values of the same mean and spread bunched at -1 and +1:
    // a change of shape alone.
    std::vector<double> x = sample::noise(3, 600);
    for (std::size_t t = 300; t < x.size(); ++t) x[t] = (x[t] < 0.0 ? -1.0 : 1.0) + 0.05 * x[t];
    const DependenceFactors factors{4.0, 1.0, 1.0, 1.0};
    Tested plain(x, factors), strict(x, factors);
    strict.tester.require_effective_shape_sides(true);
    // Sides of 300 hold 75 effectively independent values, enough (25) for
    // the shape test either way.
    const auto wide = plain.tester.evidence(0, 300, 600);
    CHECK(wide.kind == TestKind::shape);
    CHECK_EQ(strict.tester.evidence(0, 300, 600).p_value, wide.p_value);
    // A side of 60 holds only 15: the strict tester leaves shape out.
    const auto narrow = plain.tester.evidence(240, 300, 360);
    const auto narrow_strict = strict.tester.evidence(240, 300, 360);
    CHECK(narrow.kind == TestKind::shape);
    CHECK(narrow_strict.kind != TestKind::shape);
    CHECK(narrow_strict.p_value >= narrow.p_value);
}

TEST(equal_sides_of_different_constants_are_certain) {
    std::vector<double> x(20, 0.0);
    for (int t = 10; t < 20; ++t) x[t] = 1.0;
    const Tested steps(x);
    const SplitTester& tester = steps.tester;
    CHECK_EQ(tester.level(0, 10, 20), 0.0);
    CHECK_EQ(tester.evidence(0, 10, 20).p_value, 0.0);
    const std::vector<double> flat(20, 2.0);
    CHECK_EQ(Tested(flat).tester.evidence(0, 10, 20).p_value, 1.0);
}

TEST(within_variance_share_matches_the_ar1_sum) {
    // m times the variance of an AR(1) mean over one value's variance is
    // 1 + 2 sum_k (1 - k/m) r^k; the expected squares about the mean are
    // m minus that, and independent values leave m - 1.
    for (const double r : {0.3, 0.8, 0.95}) {
        for (const std::size_t m : {2, 8, 25, 300}) {
            const double md = static_cast<double>(m);
            double of_mean = 1.0;
            for (std::size_t k = 1; k < m; ++k) {
                of_mean += 2.0 * (1.0 - static_cast<double>(k) / md) * std::pow(r, static_cast<double>(k));
            }
            CHECK(close(quarn::within_variance_share(m, r), (md - of_mean) / (md - 1.0), 1e-9));
        }
    }
    CHECK_EQ(quarn::within_variance_share(25, 0.0), 1.0);
    CHECK_EQ(quarn::within_variance_share(1, 0.9), 1.0);
    // Shorter stretches and stronger persistence leave less; it stays above 0.
    CHECK(quarn::within_variance_share(10, 0.9) < quarn::within_variance_share(100, 0.9));
    CHECK(quarn::within_variance_share(10, 0.9) < quarn::within_variance_share(10, 0.5));
    CHECK(quarn::within_variance_share(2, 1.0) > 0.0);
}

TEST(within_variance_share_is_what_short_stretches_of_persistent_noise_show) {
    // Gaussian AR(1) noise, phi 0.8: the mean variance of stretches of m
    // values about their own means, over the series' variance, is the
    // share times (m - 1) / m.
    constexpr double phi = 0.8;
    const std::vector<double> e = sample::noise(17, 200000);
    std::vector<double> x(e.size());
    double previous = 0.0;
    for (std::size_t t = 0; t < e.size(); ++t) {
        x[t] = previous = phi * previous + std::sqrt(1.0 - phi * phi) * e[t];
    }
    for (const std::size_t m : {5, 20, 60}) {
        double within = 0.0;
        std::size_t stretches = 0;
        for (std::size_t start = 0; start + m <= x.size(); start += m, ++stretches) {
            double mean = 0.0;
            for (std::size_t t = start; t < start + m; ++t) mean += x[t];
            mean /= static_cast<double>(m);
            double squares = 0.0;
            for (std::size_t t = start; t < start + m; ++t) squares += (x[t] - mean) * (x[t] - mean);
            within += squares / static_cast<double>(m);
        }
        within /= static_cast<double>(stretches);
        const double md = static_cast<double>(m);
        CHECK(close(within, quarn::within_variance_share(m, phi) * (md - 1.0) / md, 0.03));
    }
}

TEST(the_spread_test_allows_for_short_sides_of_persistent_noise) {
    // Persistent noise whose last third is twice as loud. Known persistence
    // sets each side's spread against what its length leaves of the series'
    // spread: the loud part stands out more clearly, and short stretches of
    // the quiet part stay unremarkable.
    constexpr double phi = 0.9;
    for (const std::uint64_t seed : {1, 3, 6}) {
        const std::vector<double> e = sample::noise(seed, 1200);
        std::vector<double> x(e.size());
        double previous = 0.0;
        for (std::size_t t = 0; t < e.size(); ++t) {
            x[t] = previous = phi * previous + (t >= 800 ? 2.0 : 1.0) * e[t];
        }
        const DependenceFactors blind{5.0, 5.0, 1.0, 1.0};
        DependenceFactors aware = blind;
        aware.persistence = phi;
        const Tested without(x, blind), with(x, aware);
        CHECK(with.tester.spread(0, 800, 1200) < without.tester.spread(0, 800, 1200));
        CHECK(with.tester.spread(0, 800, 1200) < 1e-4);
        for (std::size_t c = 100; c <= 760; c += 60) {
            CHECK(with.tester.spread(0, c, c + 30) > 0.05);
        }
    }
}

TEST(the_shape_test_asks_for_two_correlation_lengths_per_side) {
    // Noise whose stretch [300, 340) holds the 40 largest values, bunched: in
    // persistent noise a wander to the edge of the range. Its shape scores
    // differ plainly; the shape test takes it up only when 40 values span
    // two long-run correlation lengths (the level factor).
    std::vector<double> x = sample::noise(8, 600);
    for (std::size_t t = 300; t < 340; ++t) x[t] = 10.0 + 0.1 * x[t];
    const Tested short_memory(x, {10.0, 1.0, 1.0, 1.0}), long_memory(x, {30.0, 1.0, 1.0, 1.0});
    const auto seen = short_memory.tester.evidence(0, 300, 340);
    CHECK(seen.kind == TestKind::shape);
    CHECK(seen.p_value < 1e-6);
    const auto unseen = long_memory.tester.evidence(0, 300, 340);
    CHECK(unseen.kind != TestKind::shape);
    CHECK(unseen.p_value > 3.0 * long_memory.tester.shape(0, 300, 340));
    // A bunch of 70 spans two lengths of 30: the shape test is back.
    std::vector<double> longer = sample::noise(8, 600);
    for (std::size_t t = 300; t < 370; ++t) longer[t] = 10.0 + 0.1 * longer[t];
    const Tested wide(longer, {30.0, 1.0, 1.0, 1.0});
    CHECK(wide.tester.evidence(0, 300, 370).p_value <= 3.0 * wide.tester.shape(0, 300, 370));
}

TEST(a_tester_given_other_factors_tests_as_one_built_with_them) {
    std::vector<double> x = sample::noise(5, 600);
    for (std::size_t t = 300; t < x.size(); ++t) x[t] = 1.6 * x[t] + 0.4;
    const DependenceFactors first{1.0, 1.0, 1.0, 1.0, 0.0};
    const DependenceFactors second{1.7, 2.2, 1.3, 2.9, 0.45};
    Tested reused(x, first), built(x, second);
    reused.tester.set_factors(second);
    for (const bool effective : {false, true}) {
        reused.tester.require_effective_shape_sides(effective);
        built.tester.require_effective_shape_sides(effective);
        struct Split {
            std::size_t a, c, b;
        };
        for (const auto& [a, c, b] : {Split{0, 300, 600}, Split{100, 290, 450}, Split{0, 37, 600},
                                      Split{250, 320, 333}}) {
            const auto got = reused.tester.evidence(a, c, b);
            const auto want = built.tester.evidence(a, c, b);
            CHECK(check::same_bits(got.p_value, want.p_value));
            CHECK(got.kind == want.kind);
            CHECK(check::same_bits(reused.tester.trend(a, c, b), built.tester.trend(a, c, b)));
        }
    }
}

TEST(checkpoint_stride_grows_on_long_series_only) {
    const std::size_t least = SplitTester::checkpoint_stride;
    const std::size_t most = SplitTester::most_checkpoints;
    CHECK_EQ(SplitTester::stride_for(0), least);
    CHECK_EQ(SplitTester::stride_for(1'000'000), least);
    CHECK_EQ(SplitTester::stride_for(least * most), least);
    CHECK_EQ(SplitTester::stride_for(least * most + 1), 2 * least);
    CHECK_EQ(SplitTester::stride_for(10'000'000), std::size_t{256});
    CHECK_EQ(SplitTester::stride_for(50'000'000), std::size_t{1024});
    for (const std::size_t n : {std::size_t{5'000'000}, std::size_t{50'000'000},
                                std::size_t{1} << 31}) {
        CHECK(n / SplitTester::stride_for(n) <= most);
    }
}

TEST(every_test_is_the_same_bit_for_bit_whatever_the_checkpoint_stride) {
    // A level shift, a trend and a change of spread, so that every test and
    // both lines are reached; splits on, next to and between checkpoints.
    // The second length is a multiple of every stride: a checkpoint then
    // sits at the series' end.
    for (const std::size_t n : {std::size_t{3000}, std::size_t{4096}}) {
        std::vector<double> x = sample::noise(41, n);
        for (std::size_t t = 1000; t < 1600; ++t) x[t] += 2.0;
        for (std::size_t t = 1600; t < 2200; ++t) x[t] += 0.004 * static_cast<double>(t - 1600);
        for (std::size_t t = 2200; t < n; ++t) x[t] *= 3.0;
        const quarn::ScoredSeries series(x);
        const SplitTester narrow(series, {}, SplitTester::checkpoint_stride);
        // Sums remembered at some of the splits' indices (and at one no split
        // uses) read the same bits as sums continued from a checkpoint.
        const std::vector<std::uint64_t> known = {63, 1024, 1599, 2201, 2500, n};
        for (const std::size_t stride : {std::size_t{128}, std::size_t{256}, std::size_t{1024},
                                         std::size_t{4096}}) {
            // Built with the stride, or built narrow and coarsened to it.
            std::vector<SplitTester> testers;
            testers.emplace_back(series, quarn::DependenceFactors{}, stride);
            testers.emplace_back(series, quarn::DependenceFactors{},
                                 SplitTester::checkpoint_stride);
            testers.back().coarsen_checkpoints(stride);
            for (SplitTester& wide : testers) {
                if (stride >= 1024) wide.remember(known);
                for (const std::size_t a : {std::size_t{0}, std::size_t{63}, std::size_t{1023},
                                            std::size_t{1024}, std::size_t{1500}}) {
                    for (const std::size_t c :
                         {std::size_t{1599}, std::size_t{2048}, std::size_t{2201}}) {
                        for (const std::size_t b : {std::size_t{2600}, n}) {
                            if (!(a < c && c < b)) continue;
                            const quarn::SplitEvidence p = narrow.evidence(a, c, b);
                            const quarn::SplitEvidence q = wide.evidence(a, c, b);
                            CHECK_BITS(q.p_value, p.p_value);
                            CHECK(q.kind == p.kind);
                            CHECK_BITS(wide.level(a, c, b), narrow.level(a, c, b));
                            CHECK_BITS(wide.spread(a, c, b), narrow.spread(a, c, b));
                            CHECK_BITS(wide.shape(a, c, b), narrow.shape(a, c, b));
                            CHECK_BITS(wide.trend(a, c, b), narrow.trend(a, c, b));
                            for (const auto& [begin, end] : {std::pair{a, c}, std::pair{c, b}}) {
                                CHECK_BITS(wide.rank_line(begin, end).residual_squares,
                                           narrow.rank_line(begin, end).residual_squares);
                                CHECK_BITS(wide.value_line(begin, end).slope,
                                           narrow.value_line(begin, end).slope);
                                CHECK_BITS(wide.value_line(begin, end).residual_squares,
                                           narrow.value_line(begin, end).residual_squares);
                            }
                        }
                    }
                }
            }
        }
    }
}
