#include "quarn/select.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
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
