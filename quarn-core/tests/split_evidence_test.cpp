#include "quarn/split_evidence.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "check.hpp"
#include "quarn/scores.hpp"
#include "sample_series.hpp"

using quarn::CompensatedPrefix;
using quarn::DependenceFactors;
using quarn::normal_upper_quantile;
using quarn::scan_tail;
using quarn::SplitTester;
using quarn::student_quantile;
using quarn::TestKind;

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

bool close(double actual, double expected, double relative = 1e-9) {
    return std::abs(actual - expected) <= relative * std::abs(expected);
}

// A tester on a series standardised and winsorized as the method does it.
SplitTester tester_of(const std::vector<double>& x, DependenceFactors factors = {}) {
    const std::vector<double> ranks = quarn::rank_scores(x);
    std::vector<double> raw(x);
    const double centre = quarn::median_in_place(raw);
    const double scale = quarn::robust_scale(x);
    for (std::size_t t = 0; t < x.size(); ++t) raw[t] = (x[t] - centre) / scale;
    // The tester keeps running sums only, not the spans.
    return SplitTester(ranks, quarn::winsorize(raw, 2, 3.0), factors);
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
    CompensatedPrefix prefix;
    prefix.assign(terms);
    CHECK_EQ(prefix.sum(1999000, 1999002), 2e8);
    CHECK_EQ(prefix.sum(1999001, 1999002), 1e8 - 0.25);
}

TEST(tests_of_the_steps_series_match_the_reference) {
    const SplitTester tester = tester_of(sample::steps());
    CHECK(close(tester.level(0, 150, 260), 1.5290577173007562e-34, 1e-6));
    CHECK(close(tester.spread(0, 150, 260), 0.004125660366677816, 1e-6));
    CHECK_EQ(tester.shape(0, 150, 260), 1.0);
    CHECK(close(tester.trend(0, 150, 260), 5.311127935090391e-08, 1e-6));
    CHECK(close(tester.spread(260, 330, 400), 1.0531964123792421e-07, 1e-6));
    CHECK(close(tester.shape(260, 330, 400), 0.331550824946093, 1e-6));
}

TEST(evidence_names_the_test_and_adjusts_for_three_tests) {
    const SplitTester tester = tester_of(sample::steps());
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
    const SplitTester tester = tester_of(sample::steps());
    CHECK(tester.evidence(148, 150, 260).kind == TestKind::none);
    CHECK(tester.evidence(0, 150, 152).kind == TestKind::none);
    CHECK(tester.evidence(147, 150, 260).kind == TestKind::level);
}

TEST(trends_are_tested_with_lines) {
    const SplitTester tester = tester_of(sample::kink());
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
    const SplitTester independent = tester_of(x);
    const SplitTester dependent = tester_of(x, {4.0, 4.0, 4.0, 4.0});
    CHECK(dependent.level(0, 150, 260) > independent.level(0, 150, 260));
    CHECK(dependent.spread(260, 330, 400) > independent.spread(260, 330, 400));
}

TEST(equal_sides_of_different_constants_are_certain) {
    std::vector<double> x(20, 0.0);
    for (int t = 10; t < 20; ++t) x[t] = 1.0;
    const SplitTester tester = tester_of(x);
    CHECK_EQ(tester.level(0, 10, 20), 0.0);
    CHECK_EQ(tester.evidence(0, 10, 20).p_value, 0.0);
    const std::vector<double> flat(20, 2.0);
    CHECK_EQ(tester_of(flat).evidence(0, 10, 20).p_value, 1.0);
}
