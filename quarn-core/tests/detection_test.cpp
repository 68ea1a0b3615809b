#include "quarn/detection.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "check.hpp"
#include "sample_series.hpp"

using quarn::Detection;
using quarn::DetectionArguments;
using quarn::DetectionSeries;
using quarn::PresentPositions;

namespace {

using Points = std::vector<std::uint64_t>;

DetectionArguments native_arguments() {
    DetectionArguments arguments;
    arguments.confirm = false;
    arguments.native.window_sizes = std::vector<std::uint64_t>{10, 25};
    arguments.native.n_perm = 40;
    arguments.native.keep_starts = false;
    arguments.native.threshold_runs = true;
    return arguments;
}

DetectionArguments confirm_arguments() {
    DetectionArguments arguments;
    arguments.method.keep_detector = true;
    return arguments;
}

// Series without missing values, each its own way back.
struct Batch {
    std::vector<std::vector<double>> values;
    std::vector<PresentPositions> present;
    std::vector<DetectionSeries> series;

    explicit Batch(std::vector<std::vector<double>> given) : values(std::move(given)) {
        for (const auto& one : values) present.emplace_back(one.size());
        for (std::size_t i = 0; i < values.size(); ++i) {
            series.push_back({values[i], values[i], &present[i]});
        }
    }
};

std::vector<Detection> detected(const Batch& batch, const DetectionArguments& arguments) {
    auto found = quarn::detect_series(batch.series, arguments);
    CHECK(found.has_value());
    return found ? std::move(*found) : std::vector<Detection>{};
}

std::vector<double> scaled(std::vector<double> values, double factor) {
    for (double& v : values) v *= factor;
    return values;
}

bool same_figures(const std::vector<double>& a, const std::vector<double>& b, double factor) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!check::same_bits(a[i], b[i] * factor)) return false;
    }
    return true;
}

}  // namespace

// A series times a power of two maps to the very same scaled series: the
// same change table, and figures that are the series' times the power.
TEST(native_figures_come_back_in_the_series_units) {
    const double factor = std::ldexp(1.0, -30);
    const Batch batch({sample::steps(), scaled(sample::steps(), factor)});
    const auto found = detected(batch, native_arguments());
    CHECK_EQ(found.size(), 2u);
    if (found.size() != 2) return;
    CHECK(found[0].table.positions == found[1].table.positions);
    CHECK(found[0].table.probabilities == found[1].table.probabilities);
    CHECK(!found[0].table.positions.empty());
    const auto& base = found[0].detector->window_results;
    const auto& moved = found[1].detector->window_results;
    for (const auto& [size, window] : moved) {
        CHECK(same_figures(window.statistics, base.at(size).statistics, factor));
    }
    // The segments are those of the series as given, in its units.
    CHECK_EQ(found[0].segments.size(), found[0].table.size() + 1);
    CHECK(check::same_bits(found[1].segments[0].level, found[0].segments[0].level * factor));
    CHECK(!found[0].seasonal_period);
}

TEST(a_batch_equals_one_detection_per_series) {
    const std::vector<std::vector<double>> values{sample::steps(), sample::kink(),
                                                  sample::noise(3, 250)};
    for (const DetectionArguments& arguments : {native_arguments(), confirm_arguments()}) {
        const auto batch = detected(Batch(values), arguments);
        CHECK_EQ(batch.size(), values.size());
        for (std::size_t i = 0; i < values.size() && i < batch.size(); ++i) {
            const auto alone = detected(Batch({values[i]}), arguments);
            CHECK_EQ(alone.size(), 1u);
            if (alone.size() != 1) continue;
            CHECK(alone[0].table.positions == batch[i].table.positions);
            CHECK(alone[0].table.kinds == batch[i].table.kinds);
            CHECK(same_figures(alone[0].table.p_values, batch[i].table.p_values, 1.0));
            CHECK_EQ(alone[0].segments.size(), batch[i].segments.size());
        }
    }
    CHECK(detected(Batch({}), confirm_arguments()).empty());
}

TEST(confirmed_changes_fill_the_whole_table) {
    const auto found = detected(Batch({sample::steps()}), confirm_arguments());
    CHECK_EQ(found.size(), 1u);
    if (found.empty()) return;
    const quarn::ChangeTable& table = found[0].table;
    CHECK(!table.positions.empty());
    for (std::size_t i = 0; i < table.size(); ++i) {
        CHECK(table.kinds[i] != quarn::TableKind::none);
        CHECK(table.p_values[i] >= 0.0 && table.p_values[i] <= 0.05);
        CHECK(table.interval_lows[i] <= table.positions[i]);
        CHECK(table.positions[i] <= table.interval_highs[i]);
    }
    CHECK(std::fabs(table.cdf.back() - 1.0) < 1e-12);
    CHECK(found[0].detector.has_value());
}

// Values left out: the detection of the present values, its positions
// those of the whole series.
TEST(positions_count_the_whole_series_where_values_were_left_out) {
    std::vector<double> gaps = sample::steps();
    for (const std::size_t at : {5u, 6u, 7u, 90u, 200u, 399u}) {
        gaps[at] = std::numeric_limits<double>::quiet_NaN();
    }
    const PresentPositions present = PresentPositions::of(gaps);
    const std::vector<double> compact = present.present_values(gaps);
    const std::vector<DetectionSeries> series{{gaps, compact, &present}};
    for (const DetectionArguments& arguments : {native_arguments(), confirm_arguments()}) {
        const auto found = quarn::detect_series(series, arguments);
        const auto plain = detected(Batch({compact}), arguments);
        CHECK(found.has_value() && plain.size() == 1);
        if (!found || plain.size() != 1) continue;
        Points expected = plain[0].table.positions;
        for (std::uint64_t& position : expected) position = present.restore(position);
        CHECK((*found)[0].table.positions == expected);
        CHECK_EQ((*found)[0].segments.back().stop, gaps.size());
    }
}

TEST(the_first_failing_series_is_named) {
    std::vector<double> bad = sample::steps();
    bad[123] = std::numeric_limits<double>::infinity();
    for (const DetectionArguments& arguments : {native_arguments(), confirm_arguments()}) {
        const Batch batch({sample::kink(), bad, {1.0, 2.0}});
        const auto found = quarn::detect_series(batch.series, arguments);
        CHECK(!found.has_value());
        if (found) continue;
        CHECK(found.error().series_index == std::optional<std::uint64_t>(1));
        CHECK(found.error().non_finite_index == std::optional<std::uint64_t>(123));
    }
}

TEST(progress_totals_are_the_methods_sweeps) {
    const DetectionArguments native = native_arguments();
    const std::vector<std::uint64_t> sizes{10, 25};
    CHECK_EQ(quarn::detection_positions(400, native), quarn::sweep_positions(400, sizes));
    CHECK_EQ(quarn::detection_positions(5000, confirm_arguments()),
             quarn::sweep_positions(5000, quarn::method_window_sizes(5000)));
}
