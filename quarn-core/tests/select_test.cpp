#include "quarn/select.hpp"

#include <oneapi/tbb/task_arena.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <queue>
#include <utility>
#include <vector>

#include "check.hpp"
#include "quarn/scores.hpp"
#include "sample_series.hpp"

using quarn::ChangeKind;
using quarn::eliminate;
using quarn::relocate;
using quarn::SplitTester;
using quarn::TestKind;

namespace {

using Points = std::vector<std::uint64_t>;

// A series scored as the method scores it; the scores view the values.
struct Prepared {
    std::vector<double> x;
    quarn::ScoredSeries series;

    explicit Prepared(std::vector<double> values) : x(std::move(values)), series(x) {}
    Prepared(const Prepared&) = delete;
    SplitTester tester() const { return SplitTester(series, {}); }
};

bool close(double actual, double expected) {
    return std::abs(actual - expected) <= 1e-6 * std::abs(expected);
}

}  // namespace

TEST(elimination_keeps_the_real_changes_among_spurious_candidates) {
    const Prepared steps(sample::steps());
    const Points candidates{40, 100, 140, 200, 262, 300, 325, 331, 370};
    const auto kept = eliminate(steps.tester(), candidates, 0.05);
    CHECK(kept.points == (Points{140, 262, 331}));
    CHECK(kept.evidence[0].kind == TestKind::level);
    CHECK(kept.evidence[1].kind == TestKind::level);
    CHECK(kept.evidence[2].kind == TestKind::spread);
    CHECK(close(kept.evidence[0].p_value, 4.363906820542315e-24));
    CHECK(close(kept.evidence[1].p_value, 2.744383602372361e-37));
    CHECK(close(kept.evidence[2].p_value, 5.059471932869741e-07));
}

TEST(relocation_moves_each_point_to_its_best_split) {
    const Prepared steps(sample::steps());
    const auto kept =
        eliminate(steps.tester(), Points{40, 100, 140, 200, 262, 300, 325, 331, 370}, 0.05);
    CHECK(relocate(steps.series, kept) == (Points{150, 259, 330}));
    const Prepared kink(sample::kink());
    const auto bend = eliminate(kink.tester(), Points{50, 100, 170, 250}, 0.05);
    CHECK(bend.points == (Points{170}));
    CHECK(bend.evidence[0].kind == TestKind::trend);
    CHECK(relocate(kink.series, bend) == (Points{178}));
}

TEST(elimination_edges) {
    const Prepared steps(sample::steps());
    CHECK(eliminate(steps.tester(), Points{}, 0.05).points.empty());
    // At alpha 1 every p-value passes: nothing is removed.
    const Points all{40, 100, 140};
    CHECK(eliminate(steps.tester(), all, 1.0).points == all);
    // Candidates one value apart leave sides too short to test: all go.
    CHECK(eliminate(steps.tester(), Points{1, 2, 3}, 0.05).points.empty());
}

namespace {

// The elimination written plainly: 64-bit points, links and versions, the
// queue ordered by p-value, then position.
quarn::Selection plain_elimination(const SplitTester& tester, const Points& candidates,
                                   double alpha) {
    struct Entry {
        double p_value;
        std::uint64_t position, index, version;
        bool operator<(const Entry& other) const {
            if (p_value != other.p_value) return p_value < other.p_value;
            return position > other.position;
        }
    };
    Points points{0};
    points.insert(points.end(), candidates.begin(), candidates.end());
    points.push_back(tester.size());
    const std::size_t count = points.size();
    std::vector<std::size_t> previous(count), next(count);
    for (std::size_t i = 0; i < count; ++i) {
        previous[i] = i == 0 ? 0 : i - 1;
        next[i] = i + 1;
    }
    std::vector<quarn::SplitEvidence> evidence(count);
    std::vector<std::uint64_t> version(count, 0);
    std::vector<bool> alive(count, true);
    std::priority_queue<Entry> queue;
    const auto evaluate = [&](std::size_t i) {
        evidence[i] = tester.evidence(points[previous[i]], points[i], points[next[i]]);
        if (std::isnan(evidence[i].p_value)) evidence[i] = quarn::SplitEvidence{};
        queue.push({evidence[i].p_value, points[i], i, ++version[i]});
    };
    for (std::size_t i = 1; i + 1 < count; ++i) evaluate(i);
    while (!queue.empty()) {
        const Entry top = queue.top();
        queue.pop();
        if (!alive[top.index] || top.version != version[top.index]) continue;
        if (top.p_value <= alpha) break;
        alive[top.index] = false;
        const std::size_t left = previous[top.index], right = next[top.index];
        next[left] = right;
        previous[right] = left;
        if (left > 0) evaluate(left);
        if (right + 1 < count) evaluate(right);
    }
    quarn::Selection kept;
    for (std::size_t i = 1; i + 1 < count; ++i) {
        if (!alive[i]) continue;
        kept.points.push_back(points[i]);
        kept.evidence.push_back(evidence[i]);
    }
    return kept;
}

void check_same_selection(const quarn::Selection& actual, const quarn::Selection& expected) {
    CHECK(actual.points == expected.points);
    CHECK_EQ(actual.evidence.size(), expected.evidence.size());
    for (std::size_t i = 0; i < actual.evidence.size() && i < expected.evidence.size(); ++i) {
        CHECK_BITS(actual.evidence[i].p_value, expected.evidence[i].p_value);
        CHECK(actual.evidence[i].kind == expected.evidence[i].kind);
    }
}

}  // namespace

// Both widths of the list's indices give the plain elimination's selection
// bit for bit: dense candidates (many ties at p = 1 among short sides),
// sparse ones, none, and alphas that keep all or nothing.
TEST(elimination_same_at_both_index_widths) {
    const Prepared steps(sample::steps());
    const Prepared noisy(sample::noise(5, 3000));
    struct Case {
        const Prepared* series;
        Points candidates;
        double alpha;
    };
    Points every_third, every_fifty;
    for (std::uint64_t p = 3; p < 3000; p += 3) every_third.push_back(p);
    for (std::uint64_t p = 50; p < 400; p += 50) every_fifty.push_back(p);
    const std::vector<Case> cases{
        {&steps, every_fifty, 0.05},
        {&steps, Points{40, 100, 140, 200, 262, 300, 325, 331, 370}, 0.05},
        {&steps, Points{1, 2, 3, 397, 398, 399}, 0.05},
        {&steps, Points{}, 0.05},
        {&noisy, every_third, 0.05},
        {&noisy, every_third, 1.0},
        {&noisy, every_third, 0.0},
    };
    for (const Case& c : cases) {
        const SplitTester tester = c.series->tester();
        const quarn::Selection expected = plain_elimination(tester, c.candidates, c.alpha);
        check_same_selection(quarn::eliminate_indexed<std::uint32_t>(tester, c.candidates, c.alpha),
                             expected);
        check_same_selection(quarn::eliminate_indexed<std::uint64_t>(tester, c.candidates, c.alpha),
                             expected);
        check_same_selection(eliminate(tester, c.candidates, c.alpha), expected);
    }
}

TEST(kinds_of_change) {
    const Prepared steps(sample::steps());
    const SplitTester tester = steps.tester();
    CHECK(quarn::name_change(tester, steps.series, 0, 150, 259, TestKind::level, 0.05) ==
          ChangeKind::level);
    CHECK(quarn::name_change(tester, steps.series, 259, 330, 400, TestKind::spread, 0.05) ==
          ChangeKind::spread);
    // A spread test that the level test also confirms names a level change.
    CHECK(quarn::name_change(tester, steps.series, 0, 150, 259, TestKind::spread, 0.05) ==
          ChangeKind::level);
    const Prepared kink(sample::kink());
    CHECK(quarn::name_change(kink.tester(), kink.series, 0, 178, 300, TestKind::trend, 0.05) ==
          ChangeKind::slope);
}

TEST(shape_changes_at_equal_variance_are_not_spread) {
    // Gaussian then uniform values of the same variance.
    sample::Gaussian g(21);
    std::vector<double> x;
    for (int t = 0; t < 3000; ++t) x.push_back(g());
    for (int t = 0; t < 3000; ++t) x.push_back((2.0 * g.uniform() - 1.0) * std::sqrt(3.0));
    const Prepared shapes(x);
    CHECK(quarn::name_change(shapes.tester(), shapes.series, 0, 3000, 6000, TestKind::shape,
                             0.05) == ChangeKind::shape);
    CHECK(shapes.tester().evidence(0, 3000, 6000).p_value < 1e-6);
}

TEST(variance_ratio_z_signs_and_degenerate_sides) {
    const std::vector<double> narrow{-1.0, 1.0, -1.0, 1.0, -1.0, 1.0};
    const std::vector<double> wide{-3.0, 3.0, -3.0, 3.0, -2.0, 2.0};
    CHECK(quarn::variance_ratio_z(narrow, wide) > 0.0);
    CHECK(quarn::variance_ratio_z(wide, narrow) < 0.0);
    const std::vector<double> flat(6, 1.0);
    CHECK_EQ(quarn::variance_ratio_z(flat, wide), std::numeric_limits<double>::infinity());
    CHECK_EQ(quarn::variance_ratio_z(flat, flat), 0.0);
}

TEST(close_candidates_merge_alike_on_any_pool) {
    // Runs of close candidates, each judged between its neighbours' as found:
    // on any pool each run keeps the member with the smallest p-value, the
    // first among equals, as one run at a time in order does.
    std::vector<double> values = sample::noise(21, 40000);
    for (std::size_t t = 0; t < values.size(); ++t) values[t] += (t / 400) % 2 == 0 ? 0.0 : 1.0;
    const Prepared shifts(std::move(values));
    const SplitTester tester = shifts.tester();
    Points candidates;
    for (std::uint64_t c = 37; c + 40 < 40000; c += 23) {
        candidates.push_back(c);
        if (c % 3 == 0) candidates.push_back(c + 1 + c % 7);
    }
    // One run at a time, in order.
    Points expected;
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (!runs.empty() && candidates[i] - candidates[i - 1] < quarn::candidate_merge_gap) {
            runs.back().second = i;
        } else {
            runs.emplace_back(i, i);
        }
    }
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const std::size_t a = r == 0 ? 0 : candidates[runs[r - 1].second];
        const std::size_t b = r + 1 < runs.size() ? candidates[runs[r + 1].first] : 40000;
        std::uint64_t chosen = candidates[runs[r].first];
        double best = std::numeric_limits<double>::infinity();
        for (std::size_t i = runs[r].first; i <= runs[r].second && runs[r].first != runs[r].second;
             ++i) {
            const double p = tester.evidence(a, candidates[i], b).p_value;
            if (p < best) {
                best = p;
                chosen = candidates[i];
            }
        }
        expected.push_back(chosen);
    }
    CHECK(expected.size() < candidates.size());
    for (const int threads : {1, 2, 3, 8}) {
        tbb::task_arena arena(threads);
        Points merged;
        arena.execute([&] {
            merged = quarn::merge_close_candidates(tester, candidates, quarn::candidate_merge_gap);
        });
        CHECK(merged == expected);
    }
}

TEST(a_level_split_is_the_first_best_of_the_plain_scan) {
    // The level split's scores are computed a block of splits at a time
    // (two at once where the processor can): the split is the first with
    // the largest score of the plain scan over the rank scores, on series of
    // odd and even lengths, across blocks, with many tied values.
    std::vector<double> noise = sample::noise(8, 3000);
    for (std::size_t t = 0; t < noise.size(); ++t) {
        noise[t] = std::round(noise[t] * 2.0) + (t >= 1700 ? 1.0 : 0.0);
    }
    for (const auto& [a, b] : {std::pair<std::size_t, std::size_t>{0, 3000}, {1000, 2999},
                               {1650, 1757}, {1690, 1695}}) {
        const Prepared prepared(std::vector<double>(noise.begin() + static_cast<std::ptrdiff_t>(a),
                                                    noise.begin() + static_cast<std::ptrdiff_t>(b)));
        const quarn::ScoredSeries& series = prepared.series;
        const std::size_t m = b - a;
        double total = 0.0;
        for (std::size_t t = 0; t < m; ++t) total += series.rank(t);
        double running = 0.0, best = -std::numeric_limits<double>::infinity();
        std::size_t expected = 1;
        for (std::size_t k = 1; k < m; ++k) {
            running += series.rank(k - 1);
            const double kd = static_cast<double>(k), md = static_cast<double>(m);
            const double score = std::abs(running - kd / md * total) / std::sqrt(kd * (md - kd) / md);
            if (score > best) {
                best = score;
                expected = k;
            }
        }
        // The rank split is then settled on the values, from where the
        // scan put it (ties among the values go to the split nearest it).
        std::vector<double> values(m);
        for (std::size_t t = 0; t < m; ++t) values[t] = series.value(t);
        quarn::Selection selection;
        selection.points = {m / 2};
        selection.evidence = {quarn::SplitEvidence{0.001, TestKind::level}};
        CHECK(relocate(series, selection) ==
              (Points{quarn::settled_level_split(values, expected)}));
    }
}

namespace {

// A step from 0 to `height` at `at` in n values of standard Gaussian noise.
std::vector<double> noisy_step(std::uint64_t seed, int n, std::size_t at, double height) {
    std::vector<double> y = sample::noise(seed, n);
    for (std::size_t t = at; t < y.size(); ++t) y[t] += height;
    return y;
}

}  // namespace

TEST(a_settled_level_split_takes_the_values_magnitudes) {
    // The values of the first example of the fault, the step between 0.89
    // and 0.18: the ranks put the split two values late, among the low
    // side's highest values; the values' magnitudes put it at the step,
    // from a start on either side.
    const std::vector<double> y{1.03, 0.97, 1.11, 1.02, 1.05, 0.89, 0.18, 0.20,
                                -0.11, 0.04, -0.07, 0.02, -0.05, 0.09, -0.02};
    for (const std::size_t start : {4, 5, 6, 7, 8, 9}) {
        CHECK_EQ(quarn::settled_level_split(y, start), std::size_t{6});
    }
    // Steps of 6 to 20 deviations, up and down, near both ends of a stretch
    // and in it, from starts a few values off.
    for (const double height : {6.0, 10.0, -10.0, 20.0}) {
        for (const std::size_t at : {std::size_t{12}, std::size_t{70}, std::size_t{188}}) {
            for (std::uint64_t seed = 1; seed <= 3; ++seed) {
                const std::vector<double> y = noisy_step(seed, 200, at, height);
                for (const std::size_t start : {at - 3, at, at + 3}) {
                    CHECK_EQ(quarn::settled_level_split(y, start), at);
                }
            }
        }
    }
}

TEST(a_settled_level_split_bounds_what_an_outlier_weighs) {
    // Wild values of either sign a few places from a step of ten
    // deviations weigh as one value on the wrong side: least squares would
    // follow them.
    for (const double wild : {60.0, -60.0, 1e12, -1e12}) {
        for (const std::size_t place : {std::size_t{96}, std::size_t{97}, std::size_t{103}}) {
            std::vector<double> y = noisy_step(4, 200, 100, 10.0);
            y[place] += wild;
            CHECK_EQ(quarn::settled_level_split(y, 98), std::size_t{100});
        }
    }
}

TEST(a_settled_level_split_keeps_its_start_among_equals) {
    // Equal sides' medians: nothing to settle.
    const std::vector<double> flat{0.0, 1.0, 0.0, 1.0, 0.0, 1.0, 0.0, 1.0};
    CHECK_EQ(quarn::settled_level_split(flat, 4), std::size_t{4});
    // Values midway between the levels cost the same on either side: the
    // split goes to the nearest of the equally good ones.
    std::vector<double> y(10, 0.0);
    y.insert(y.end(), 3, 0.5);
    y.insert(y.end(), 10, 1.0);
    CHECK_EQ(quarn::settled_level_split(y, 11), std::size_t{11});
    CHECK_EQ(quarn::settled_level_split(y, 13), std::size_t{13});
    CHECK_EQ(quarn::settled_level_split(y, 6), std::size_t{10});
    // From far off, the start's left side holds both levels: its median
    // lies midway, too near the right side's for the values to settle.
    CHECK_EQ(quarn::settled_level_split(y, 20), std::size_t{20});
    // Levels two deviations apart lie within two corners of each other:
    // the values fit either side, and the ranks' split stands.
    for (std::uint64_t seed = 1; seed <= 3; ++seed) {
        const std::vector<double> close_levels = noisy_step(seed, 200, 100, 2.0);
        for (const std::size_t start : {std::size_t{96}, std::size_t{100}, std::size_t{104}}) {
            CHECK_EQ(quarn::settled_level_split(close_levels, start), start);
        }
    }
    // Without spread the loss is the absolute distance: a noise-free step
    // is found from a start at most half candidate_merge_gap away; from
    // farther, the split moves that far towards it and no farther.
    std::vector<double> step(40, 2.0);
    for (std::size_t t = 25; t < step.size(); ++t) step[t] = -3.0;
    for (const std::size_t start : {std::size_t{21}, std::size_t{25}, std::size_t{29}}) {
        CHECK_EQ(quarn::settled_level_split(step, start), std::size_t{25});
    }
    CHECK_EQ(quarn::settled_level_split(step, 15), std::size_t{19});
    CHECK_EQ(quarn::settled_level_split(step, 35), std::size_t{31});
    // A start with no split to settle is returned as it is.
    CHECK_EQ(quarn::settled_level_split(step, 0), std::size_t{0});
    CHECK_EQ(quarn::settled_level_split(step, 40), std::size_t{40});
    CHECK_EQ(quarn::settled_level_split(std::vector<double>{1.0}, 1), std::size_t{1});
}

TEST(a_stretch_of_a_series_settles_as_a_copy_of_its_values) {
    // Relocation settles a stretch [from, to) of the series' values in
    // place: the split, counted from `from`, is the one a copy of those
    // values gives, for stretches at either end and inside the series,
    // with steps near and away from the ranks' split, and for a stretch
    // longer than the medians' copies (read in place, medians streamed),
    // where a step of ten deviations is still found from a start a few
    // values off.
    constexpr std::size_t n = 300000, at = 280000;
    const Prepared prepared(noisy_step(7, static_cast<int>(n), at, 10.0));
    const quarn::ScoredSeries& series = prepared.series;
    struct Case {
        std::size_t from, to, start;
    };
    for (const Case c : {Case{0, 400, 200}, Case{279800, 280100, 198}, Case{279800, 280100, 203},
                         Case{279900, n, 96}, Case{279990, 280010, 13}, Case{0, n, at - 3},
                         Case{0, n, at + 2}, Case{1, n, at - 4}}) {
        std::vector<double> copy(c.to - c.from);
        for (std::size_t t = 0; t < copy.size(); ++t) copy[t] = series.value(c.from + t);
        const std::size_t settled = quarn::settled_level_split(series, c.from, c.to, c.start);
        CHECK_EQ(settled, quarn::settled_level_split(copy, c.start));
        if (c.from < at && at < c.to && c.to - c.from >= 100) CHECK_EQ(c.from + settled, at);
    }
}
