#include "quarn/report.hpp"

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "check.hpp"
#include "quarn/bootstrap.hpp"
#include "quarn/confirm.hpp"
#include "sample_series.hpp"

using namespace quarn;

namespace {

std::vector<double> step(int before, int after, double size, double noise, std::uint64_t seed) {
    sample::Gaussian g(seed);
    std::vector<double> x;
    for (int t = 0; t < before + after; ++t) x.push_back((t < before ? 0.0 : size) + noise * g());
    return x;
}

}  // namespace

TEST(robust_figures_are_median_and_scaled_mad) {
    const std::vector<double> x = {3.0, 1.0, 100.0, 2.0, 4.0};
    const RobustFigures f = robust_figures(x);
    CHECK_BITS(f.level, 3.0);
    // deviations 0, 2, 97, 1, 1: median 1
    CHECK_BITS(f.spread, 1.4826);
    CHECK(std::isnan(robust_figures({}).level));
}

TEST(segments_hold_level_spread_count_and_only_real_trends) {
    std::vector<double> x = {1.0, 2.0, 3.0, 5.0, 5.0, 5.0, 9.0};
    for (int t = 0; t < 20; ++t) x.push_back(0.5 * t);  // a clean line from 7
    const std::vector<std::uint64_t> cuts = {3, 7};
    const std::vector<SegmentReport> s = describe_segments(x, cuts);
    CHECK_EQ(s.size(), std::size_t{3});
    CHECK_EQ(s[0].start, std::uint64_t{0});
    CHECK_EQ(s[0].stop, std::uint64_t{3});
    CHECK_EQ(s[0].count, std::uint64_t{3});
    CHECK_BITS(s[0].level, 2.0);
    CHECK_BITS(s[0].spread, 1.4826);
    CHECK(std::isnan(s[0].slope));  // too short to call a trend
    CHECK_BITS(s[1].level, 5.0);
    CHECK_BITS(s[1].spread, 0.0);
    CHECK_EQ(s[2].count, std::uint64_t{20});
    CHECK_BITS(s[2].level, 4.75);
    CHECK(std::abs(s[2].slope - 0.5) < 1e-12);
    CHECK(s[2].spread < 1e-12);  // about the line
    // Noise without a trend reports none.
    const std::vector<double> flat = sample::noise(3, 500);
    CHECK(std::isnan(describe_segments(flat, {})[0].slope));
}

TEST(effects_follow_the_kind) {
    // level: left median 1, right median 4; MADs 1 and 1 -> pooled 1.4826
    const std::vector<double> x = {0.0, 1.0, 2.0, 3.0, 4.0, 5.0};
    const ChangeReport level = describe_effect(x, 0, 3, 6, ChangeKind::level);
    CHECK(level.direction == Direction::up);
    CHECK(std::abs(level.effect - 3.0 / 1.4826) < 1e-12);
    const std::vector<double> y = {1.0, -1.0, 1.0, -1.0, 3.0, -3.0, 3.0, -3.0};
    const ChangeReport spread = describe_effect(y, 0, 4, 8, ChangeKind::spread);
    CHECK(spread.direction == Direction::up);
    CHECK(std::abs(spread.effect - 3.0) < 1e-12);
    const ChangeReport down = describe_effect(y, 4, 6, 8, ChangeKind::level);
    CHECK(down.direction == Direction::none);  // equal medians (0 and 0)
    std::vector<double> z;
    for (int t = 0; t < 10; ++t) z.push_back(t < 5 ? 2.0 * t : 10.0 - 0.5 * (t - 5));
    const ChangeReport slope = describe_effect(z, 0, 5, 10, ChangeKind::slope);
    CHECK(slope.direction == Direction::down);
    CHECK(std::abs(slope.effect + 2.5) < 1e-12);
    const ChangeReport shape = describe_effect(z, 0, 5, 10, ChangeKind::shape);
    CHECK(shape.direction == Direction::none);
    CHECK(std::isnan(shape.effect));
}

TEST(interval_quantiles_are_conservative_and_clipped) {
    std::vector<std::int64_t> errors(400, 0);
    CHECK(interval_from_errors(errors, 10, 50, 90, 0.9) ==
          (std::pair<std::uint64_t, std::uint64_t>{50, 50}));
    for (int i = 0; i < 400; ++i) errors[static_cast<std::size_t>(i)] = i / 20 - 10;  // -10 .. 9
    const auto [low, high] = interval_from_errors(errors, 45, 50, 90, 0.9);
    CHECK_EQ(low, std::uint64_t{41 + 5});  // 50 - 9 = 41, clipped above the neighbour at 45
    CHECK_EQ(high, std::uint64_t{60});     // 50 + 10
    const auto [l2, h2] = interval_from_errors({}, 45, 50, 90, 0.9);
    CHECK_EQ(l2, std::uint64_t{46});
    CHECK_EQ(h2, std::uint64_t{89});
}

TEST(an_exact_step_has_an_interval_of_one_position) {
    const std::vector<double> x = step(100, 100, 5.0, 0.0, 1);
    const ScoredSeries series{std::span<const double>(x)};
    for (const TestKind kind : {TestKind::level, TestKind::trend, TestKind::spread}) {
        const auto [low, high] = location_interval(series, 0, 100, 200, kind, 0.9, 7);
        CHECK(low >= 99 && low <= 100);
        CHECK(high >= 100 && high <= 101);
    }
}

TEST(weak_changes_get_wider_intervals_within_the_neighbours) {
    const std::vector<double> strong = step(300, 300, 3.0, 1.0, 5);
    const std::vector<double> weak = step(300, 300, 0.7, 1.0, 5);
    const ScoredSeries s{std::span<const double>(strong)}, w{std::span<const double>(weak)};
    const auto [sl, sh] = location_interval(s, 0, 300, 600, TestKind::level, 0.9, 3);
    const auto [wl, wh] = location_interval(w, 0, 300, 600, TestKind::level, 0.9, 3);
    CHECK(wh - wl > sh - sl);
    CHECK(sl <= 300 && sh >= 300);
    const auto [nl, nh] = location_interval(w, 280, 300, 310, TestKind::level, 0.9, 3);
    CHECK(nl > 280 && nh < 310);
    // a test without scores of its own still gets an interval around c
    const auto [ol, oh] = location_interval(s, 0, 300, 600, TestKind::none, 0.9, 3);
    CHECK(ol <= 300 && oh >= 300 && ol > 0 && oh < 600);
    // the same seed gives the same interval
    CHECK(location_interval(w, 0, 300, 600, TestKind::level, 0.9, 3) ==
          (std::pair<std::uint64_t, std::uint64_t>{wl, wh}));
}

TEST(the_method_reports_every_change_and_segment) {
    const std::vector<double> x = sample::steps();
    MethodArguments arguments;
    arguments.series = x;
    const auto output = detect_changes(arguments);
    CHECK(output.has_value());
    CHECK_EQ(output->segments.size(), output->changes.size() + 1);
    std::uint64_t start = 0;
    for (std::size_t i = 0; i < output->changes.size(); ++i) {
        const Change& change = output->changes[i];
        CHECK(change.report.interval_low <= change.position);
        CHECK(change.report.interval_high >= change.position);
        CHECK_EQ(output->segments[i].start, start);
        start = change.position;
    }
    CHECK_EQ(output->segments.back().stop, std::uint64_t{400});
    arguments.confidence = 1.0;
    CHECK(!detect_changes(arguments).has_value());
}

namespace {

// The walks of simulated_errors one replicate at a time, as the
// definition reads: the right side's, then the left side's, each drawing
// from the one generator as it steps.
std::vector<std::int64_t> walked_one_by_one(const WalkSide& left, const WalkSide& right,
                                            double phi, std::uint64_t seed,
                                            std::size_t replicates) {
    struct Noise {
        std::span<const double> r;
        double phi, mean = 0.0, last = 0.0;
        double innovation(std::size_t t) const { return r[t] - phi * r[t - 1]; }
    };
    const auto make = [phi](std::span<const double> r) {
        Noise noise{r, phi};
        for (std::size_t t = 1; t < r.size(); ++t) noise.mean += noise.innovation(t);
        if (r.size() >= 2) noise.mean /= static_cast<double>(r.size() - 1);
        return noise;
    };
    Noise left_noise = make(left.residuals), right_noise = make(right.residuals);
    Xoshiro256PlusPlus generator = seed_generator(seed);
    std::vector<std::int64_t> errors;
    for (std::size_t k = 0; k < replicates; ++k) {
        double best = 0.0;
        std::int64_t arg = 0;
        const auto walk = [&](const WalkSide& side, Noise& noise, std::int64_t sign) {
            if (side.gaps.empty() || noise.r.size() < 2) return;
            double position = 0.0;
            for (std::size_t j = 0; j < side.gaps.size(); ++j) {
                if (j == 0) {
                    noise.last = noise.r[uniform_below(generator, noise.r.size())];
                } else {
                    const std::size_t drawn = uniform_below(generator, noise.r.size() - 1);
                    noise.last = noise.phi * noise.last + (noise.innovation(drawn + 1) - noise.mean);
                }
                const double d = side.gaps[j], e = noise.last;
                position -= d * d + 2.0 * d * e;
                if (position > best) {
                    best = position;
                    arg = sign * static_cast<std::int64_t>(j + 1);
                }
            }
        };
        walk(right, right_noise, 1);
        walk(left, left_noise, -1);
        errors.push_back(arg);
    }
    return errors;
}

}  // namespace

TEST(replicates_walked_side_by_side_match_walks_one_by_one) {
    const std::vector<double> noise = step(60, 0, 0.0, 1.0, 11);
    const std::vector<double> left_residuals(noise.begin(), noise.begin() + 25);
    const std::vector<double> right_residuals(noise.begin() + 25, noise.end());
    std::vector<double> growing;  // the gaps of a change of slope grow with the distance
    for (int j = 0; j < 30; ++j) growing.push_back(0.05 * (j + 1));
    const std::vector<double> flat(20, 0.4), one(1, 0.3);
    const std::vector<double> none;
    struct Case {
        WalkSide left, right;
    };
    const Case cases[] = {
        {{flat, left_residuals}, {flat, right_residuals}},
        {{growing, left_residuals}, {one, right_residuals}},
        {{flat, left_residuals}, {none, right_residuals}},        // the right side does not walk
        {{flat, std::span(left_residuals).first(1)}, {flat, right_residuals}},  // nor the left
        {{none, none}, {none, none}},
    };
    for (const Case& c : cases) {
        for (const double phi : {0.0, 0.6}) {
            for (const std::size_t replicates : {std::size_t{1}, std::size_t{7}, std::size_t{9}, std::size_t{17}, std::size_t{400}}) {
                const auto expected = walked_one_by_one(c.left, c.right, phi, 99, replicates);
                CHECK(simulated_errors(c.left, c.right, phi, 99, replicates) == expected);
            }
        }
    }
}
